#pragma once
// Record files written with the record writer from plain channel tables, and zekvm run as a
// user runs it: a child process with real files for its arguments, standard input, output and
// error.
#include <gtest/gtest.h>
#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "record_support.h"
#include "zekbin_decoder.h"
#include "zekbin_writer.h"

#if !defined(_WIN32)
extern char **environ;
#endif

namespace rr {

using Bytes = std::vector<uint8_t>;

using rt::readAll;
using rt::tempPath;
using rt::writeAll;

inline std::string readText(const std::string &path) {
  Bytes b = readAll(path);
  return std::string(b.begin(), b.end());
}

inline uint8_t sizeOf(uint32_t type) {
  static const uint8_t sizes[11] = {0, 1, 1, 2, 2, 4, 4, 8, 4, 8, 1};
  return type <= 10 ? sizes[type] : 0;
}

// One recorded signal and its value in every row (row-major: rows[r] holds all elements).
struct Signal {
  std::string name;
  uint32_t type = 6;
  uint32_t count = 1;
  uint32_t role = 0;
  uint16_t id = 0;
  std::vector<Bytes> rows;
};

template <typename T> Bytes bytesOf(std::initializer_list<T> values) {
  Bytes out;
  for (T v : values) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&v);
    out.insert(out.end(), p, p + sizeof(T));
  }
  return out;
}

// Records the signals row by row into a real file; every signal has the same number of rows.
inline void writeRecording(const std::string &path, std::vector<Signal> signals, uint8_t sut = 0) {
  std::vector<ChannelDecl> decls(signals.size());
  std::vector<Bytes> values(signals.size());
  std::vector<ChannelDecl *> channels;
  for (size_t i = 0; i < signals.size(); ++i) {
    ChannelDecl &d = decls[i];
    d = ChannelDecl{};
    d.name = signals[i].name.c_str();
    d.id = signals[i].id;
    d.baseType = signals[i].type;
    d.elementSize = sizeOf(signals[i].type);
    d.elementCount = signals[i].count;
    d.recorded = 1;
    d.role = signals[i].role;
    d.option2 = d.option4 = d.option5 = -1;
    values[i].assign((size_t)d.elementCount * d.elementSize, 0);
    d.value = values[i].data();
    channels.push_back(&d);
  }
  FILE *f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  ZekbinWriter *w = zek_write_zekbin_headerblock(f, channels.data(), (uint32_t)channels.size(), nullptr, 0, nullptr,
                                                 0, sut, 1);
  ASSERT_NE(w, nullptr);
  size_t rows = signals.empty() ? 0 : signals[0].rows.size();
  for (size_t r = 0; r < rows; ++r) {
    for (size_t i = 0; i < signals.size(); ++i) {
      ASSERT_EQ(signals[i].rows[r].size(), values[i].size()) << signals[i].name << " row " << r;
      if (!values[i].empty()) std::memcpy(values[i].data(), signals[i].rows[r].data(), values[i].size());
    }
    ASSERT_EQ(zek_write_zekbin_signaldatarow(w, f, nullptr, r * 10), 0);
  }
  ASSERT_EQ(zek_close_zekbin_datablock(w, f, nullptr, 10, rows * 10), 0);
  std::fclose(f);
}

// A scalar signal from one value per row.
template <typename T> Signal scalar(const std::string &name, uint32_t type, const std::vector<T> &perRow) {
  Signal s;
  s.name = name;
  s.type = type;
  for (T v : perRow) s.rows.push_back(bytesOf<T>({v}));
  return s;
}

struct Run {
  int exitCode = -1;
  std::string out, err;
};

#if defined(_WIN32)
inline std::wstring wide(const std::string &text) {
  int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  std::wstring out(n > 0 ? (size_t)n : 1, L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), n);
  out.resize(out.size() - 1);
  return out;
}

// One argument of a command line as the C runtime of the child splits it again.
inline std::wstring quoted(const std::wstring &arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
    } else {
      if (c == L'"') out.append(backslashes + 1, L'\\');
      backslashes = 0;
    }
    out.push_back(c);
  }
  out.append(backslashes, L'\\');
  return out + L"\"";
}

// The console's line ends as the tests compare them: a Windows program's text-mode output
// ends its lines with "\r\n".
inline std::string withoutCarriageReturns(std::string text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out.push_back(text[i]);
  return out;
}

// Runs zekvm with the arguments (argv[0] is the path of zekvm) and the text on standard input.
inline Run runZekvm(const std::vector<std::string> &args, const std::string &input = "",
                    const std::string &self = ZEKVM_PATH) {
  std::string in = tempPath("stdin"), out = tempPath("stdout"), err = tempPath("stderr");
  writeAll(in, Bytes(input.begin(), input.end()));
  std::wstring line = quoted(wide(self));
  for (const std::string &a : args) line += L" " + quoted(wide(a));
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE files[3] = {
      CreateFileW(wide(in).c_str(), GENERIC_READ, share, &inherit, OPEN_EXISTING, 0, nullptr),
      CreateFileW(wide(out).c_str(), GENERIC_WRITE, share, &inherit, CREATE_ALWAYS, 0, nullptr),
      CreateFileW(wide(err).c_str(), GENERIC_WRITE, share, &inherit, CREATE_ALWAYS, 0, nullptr)};
  Run run;
  for (HANDLE f : files) EXPECT_NE(f, INVALID_HANDLE_VALUE) << GetLastError();
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = files[0];
  startup.hStdOutput = files[1];
  startup.hStdError = files[2];
  PROCESS_INFORMATION info{};
  BOOL started = CreateProcessW(wide(ZEKVM_PATH).c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                nullptr, nullptr, &startup, &info);
  for (HANDLE f : files) CloseHandle(f);
  EXPECT_TRUE(started) << GetLastError();
  if (!started) return run;
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  run.exitCode = (int)code;
  run.out = withoutCarriageReturns(readText(out));
  run.err = withoutCarriageReturns(readText(err));
  return run;
}
#else
// Runs zekvm with the arguments (argv[0] is the path of zekvm) and the text on standard input.
inline Run runZekvm(const std::vector<std::string> &args, const std::string &input = "",
                    const std::string &self = ZEKVM_PATH) {
  std::string in = tempPath("stdin"), out = tempPath("stdout"), err = tempPath("stderr");
  writeAll(in, Bytes(input.begin(), input.end()));
  std::vector<std::string> all{self};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  Run run;
  pid_t pid;
  int rc = posix_spawn(&pid, ZEKVM_PATH, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(rc, 0);
  if (rc != 0) return run;
  int status = 0;
  waitpid(pid, &status, 0);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = readText(out);
  run.err = readText(err);
  return run;
}

#endif

// A record file as the independent decoder sees it; the decode must succeed.
inline zd::File decodeFile(const std::string &path) {
  zd::File f = zd::parse(readAll(path));
  EXPECT_EQ(f.error, "") << path;
  return f;
}

// The values of one element in every row of a decoded file, as T.
template <typename T> std::vector<T> column(const zd::File &f, size_t element) {
  std::vector<T> out;
  for (int32_t r = 0; r < f.rows(); ++r) {
    Bytes b = zd::valueAt(f, element, r);
    T v{};
    if (b.size() == sizeof(T)) std::memcpy(&v, b.data(), sizeof(T));
    out.push_back(v);
  }
  return out;
}

}  // namespace rr
