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

#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "image_builder.h"
#include "record_support.h"
#include "recording.h"
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
  std::vector<zt::RecordedSignal> recorded;
  for (const Signal &s : signals) recorded.push_back(zt::recordedSignal(s.name.c_str(), s.type, s.count, s.role, s.id));
  size_t rows = signals.empty() ? 0 : signals[0].rows.size();
  for (size_t i = 0; i < signals.size(); ++i)
    for (size_t r = 0; r < rows; ++r)
      ASSERT_EQ(signals[i].rows[r].size(), recorded[i].value.size()) << signals[i].name << " row " << r;
  zt::RecordingOptions options;
  options.sutSynchronous = sut;
  int32_t result = zt::writeRecording(path, recorded, (int64_t)rows, [&](int64_t r) -> const EventRecord * {
    for (size_t i = 0; i < signals.size(); ++i)
      if (!recorded[i].value.empty())
        std::memcpy(recorded[i].value.data(), signals[i].rows[(size_t)r].data(), recorded[i].value.size());
    return nullptr;
  }, options);
  ASSERT_EQ(result, 0) << path;
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
// zekvm started in the background. Standard input is a pipe the test writes (or closes);
// standard output goes to a file, or into a pipe whose reading end is closed at once; standard
// error goes to a file.
struct Child {
  pid_t pid = -1;
  int input = -1;  // the writing end of zekvm's standard input
  std::string out, err;
  int status = -1;
};

inline Child start(const std::vector<std::string> &args, bool closedStdout = false,
                   const std::string &self = ZEKVM_PATH) {
  Child c;
  c.out = tempPath("stdout");
  c.err = tempPath("stderr");
  int in[2], out[2] = {-1, -1};
  EXPECT_EQ(pipe(in), 0);
  if (closedStdout) {
    EXPECT_EQ(pipe(out), 0);
    // The reading end goes before zekvm starts: closed only after the start, it would still
    // take zekvm's first write when zekvm runs ahead of this process.
    close(out[0]);
  }
  std::vector<std::string> all{self};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  if (closedStdout) posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  else posix_spawn_file_actions_addopen(&actions, 1, c.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, c.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addclose(&actions, in[1]);
  EXPECT_EQ(posix_spawn(&c.pid, ZEKVM_PATH, &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  c.input = in[1];
  if (closedStdout) close(out[1]);
  return c;
}

inline bool waitUntil(const std::function<bool()> &condition,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Waits at most five seconds for the child to end; a child that does not is killed and fails.
// whilePolling runs before every look at the child, while it still exists.
inline bool ended(Child &c, std::chrono::milliseconds limit = std::chrono::milliseconds(5000),
                  const std::function<void()> &whilePolling = {}) {
  bool done = waitUntil(
      [&] {
        if (whilePolling) whilePolling();
        return waitpid(c.pid, &c.status, WNOHANG) == c.pid;
      },
      limit);
  if (!done) {
    kill(c.pid, SIGKILL);
    waitpid(c.pid, &c.status, 0);
  }
  if (c.input >= 0) close(c.input);
  c.input = -1;
  return done;
}

inline int exitCode(const Child &c) { return WIFEXITED(c.status) ? WEXITSTATUS(c.status) : 128 + WTERMSIG(c.status); }

// Runs zekvm with the arguments (argv[0] is self) and the text on standard input to its end.
inline Run runZekvm(const std::vector<std::string> &args, const std::string &input = "",
                    const std::string &self = ZEKVM_PATH) {
  Child c = start(args, false, self);
  Run run;
  if (c.pid < 0) return run;
  // Answers are short: they fit the pipe whether zekvm reads them or not.
  if (!input.empty()) {
    EXPECT_EQ(write(c.input, input.data(), input.size()), (ssize_t)input.size());
  }
  close(c.input);
  c.input = -1;
  waitpid(c.pid, &c.status, 0);
  run.exitCode = exitCode(c);
  run.out = readText(c.out);
  run.err = readText(c.err);
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

inline std::string writeProgram(const zt::Program &p, const std::string &name = "program.zvm") {
  std::string path = tempPath(name);
  writeAll(path, p.build().bytes);
  return path;
}

}  // namespace rr
