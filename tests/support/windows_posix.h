// The few POSIX calls the tests use that the Windows C runtime names differently; included
// ahead of every test source of a Windows build. The environment is changed with _putenv_s,
// which changes the process's own environment too, so that children started with
// plat_process_start see the change.
#pragma once
#if defined(_WIN32)
#include <cstdlib>
#include <process.h>
#include <unistd.h>

inline int setenv(const char *name, const char *value, int overwrite) {
  if (!overwrite && std::getenv(name) != nullptr) return 0;
  return _putenv_s(name, value) == 0 ? 0 : -1;
}

inline int unsetenv(const char *name) { return _putenv_s(name, "") == 0 ? 0 : -1; }
#endif
