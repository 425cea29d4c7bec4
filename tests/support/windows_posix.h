// The few POSIX calls the tests use that the Windows C runtime names differently; included
// ahead of every test source of a Windows build. The environment is changed with _putenv_s,
// which changes the process's own environment too, so that children started with
// plat_process_start see the change.
#pragma once
#if defined(_WIN32)
#include <cstdlib>
#include <process.h>
#include <unistd.h>

// The process environment's own call (kernel32), declared here rather than through windows.h,
// whose macros would reach every test source.
extern "C" __declspec(dllimport) int __stdcall SetEnvironmentVariableA(const char *name, const char *value);

// _putenv_s removes a variable given an empty value; a variable that is set and empty exists
// only in the process environment, where the platform layer reads it.
inline int setenv(const char *name, const char *value, int overwrite) {
  if (!overwrite && std::getenv(name) != nullptr) return 0;
  if (_putenv_s(name, value) != 0) return -1;
  return value[0] != '\0' || SetEnvironmentVariableA(name, "") != 0 ? 0 : -1;
}

inline int unsetenv(const char *name) { return _putenv_s(name, "") == 0 ? 0 : -1; }
#endif
