#pragma once
// What the embedding-library tests share: the programs' paths, temporary files, record files
// read back with the independent decoder, child processes, and an execution fixture.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "test_files.h"
#include "zek_platform.h"
#include "zek_vmapi.h"
#include "zekbin_decoder.h"

namespace vt {

using Bytes = std::vector<uint8_t>;

inline std::string image(const std::string &name) { return std::string(ZEK_VMAPI_IMAGES) + "/" + name; }

inline const std::string &tempDir() { return ztf::processTempDir(); }
using ztf::tempPath;

// A UTF-8 name as a path (the narrow names of the Windows runtime are not UTF-8).
inline std::filesystem::path pathOf(const std::string &utf8) { return std::u8string(utf8.begin(), utf8.end()); }

inline Bytes readAll(const std::string &path) {
  std::ifstream in(pathOf(path), std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeAll(const std::string &path, const Bytes &bytes) {
  std::ofstream out(pathOf(path), std::ios::binary | std::ios::trunc);
  out.write((const char *)bytes.data(), (std::streamsize)bytes.size());
}

// The message without the VM's error context " (error=…)" that follows it after a load.
inline std::string message() {
  std::string m = zek_vmapi_getErrorMessage();
  size_t at = m.find(" (error=");
  return at == std::string::npos ? m : m.substr(0, at);
}

inline zd::File decode(const std::string &path) {
  zd::File f = zd::parse(readAll(path));
  EXPECT_EQ(f.error, "") << path;
  return f;
}

inline std::vector<uint64_t> eventTimes(const zd::File &f) {
  std::vector<uint64_t> times;
  for (const zd::EventRecord &r : f.events)
    for (size_t i = 0; i < r.events.size(); ++i) times.push_back(r.time);
  return times;
}

template <typename T> T valueAt(const zd::File &f, size_t element, int32_t row) {
  Bytes b = zd::valueAt(f, element, row);
  T v{};
  if (b.size() == sizeof(T)) std::memcpy(&v, b.data(), sizeof(T));
  return v;
}

// A function run in a child process with its standard output in a file: exit code and output.
// On Linux the child is a fork of the test process. Windows has no fork: the test program is
// started again for this test alone, with the number of the call in ZEK_TEST_CHILD_CALL; the
// copy runs the test up to that call and then the function. It works in the parent's folder,
// so that both see the same files.
struct Child {
  int exitCode = -1;
  std::string out;
};

inline Child inChild(const std::function<int()> &body) {
  std::string path = tempPath("stdout");
  Child c;
#if defined(_WIN32)
  // Calls are counted per test, as the copy counts them.
  const ::testing::TestInfo *t = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string test = std::string(t->test_suite_name()) + "." + t->name();
  static std::string countedTest;
  static int calls = 0;
  if (test != countedTest) countedTest = test, calls = 0;
  int call = ++calls;
  const char *wanted = std::getenv("ZEK_TEST_CHILD_CALL");
  if (wanted != nullptr && *wanted != '\0') {
    // The copy: what the test prints before its call goes to the file too, which the call
    // then starts anew.
    if (std::freopen(path.c_str(), "wb", stdout) == nullptr) std::_Exit(125);
    if (std::atoi(wanted) != call) return c;
    int code = body();
    std::fflush(stdout);
    std::_Exit(code);
  }
  std::string filter = "--gtest_filter=" + test;
  const char *argv[] = {__argv[0], filter.c_str(), nullptr};
  _putenv_s(ztf::kParentDirVariable, tempDir().c_str());
  _putenv_s("ZEK_TEST_CHILD_CALL", std::to_string(call).c_str());
  std::fflush(stdout);
  PlatProcess *child = plat_process_start(argv);
  _putenv_s("ZEK_TEST_CHILD_CALL", "");
  EXPECT_NE(child, nullptr) << "the test program cannot be started again";
  if (child == nullptr) return c;
  if (plat_process_wait(child, 60000) == PLAT_WAIT_OK) c.exitCode = plat_process_exit_code(child);
  else ADD_FAILURE() << "the child part of the test did not end";
  plat_process_terminate(child);
  plat_process_close(child);
#else
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    close(fd);
    int code = body();
    std::fflush(stdout);
    _exit(code);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  c.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
#endif
  Bytes b = readAll(path);
  c.out.assign(b.begin(), b.end());
  return c;
}

// SuT variables of the echo program.
struct Sut {
  int32_t x = 0, y = 0, rw = 0;
  double a[4] = {}, b[4] = {}, s = 0, t = 0;
  int32_t g[6] = {}, h[6] = {};
  uint8_t wide[65535] = {};
  int32_t open[4] = {};
};

// One execution of a program, closed at the end of the test.
class VmapiFrame : public ::testing::Test {
 protected:
  VmapiExecution *e = nullptr;
  Sut sut;

  void create(const std::string &program, const std::string &record = "") {
    e = zek_vmapi_createExecution(image(program).c_str(), record.empty() ? nullptr : record.c_str());
    ASSERT_NE(e, nullptr) << zek_vmapi_getErrorMessage();
  }
  // Everything of the echo program bound one to one by address, but the names skipped.
  void bindEcho(const std::vector<std::string> &skip = {}) {
    struct Target {
      const char *name;
      int32_t type;
      void *address;
      uint32_t dim;
    } targets[] = {{"x", 6, &sut.x, 1}, {"y", 6, &sut.y, 1},   {"a", 9, sut.a, 4},         {"b", 9, sut.b, 4},
                   {"s", 9, &sut.s, 1}, {"t", 9, &sut.t, 1},   {"rw", 6, &sut.rw, 1},      {"g", 6, sut.g, 6},
                   {"h", 6, sut.h, 6},  {"wide", 1, sut.wide, 65535}, {"open", 6, sut.open, 4}};
    for (const Target &t : targets) {
      if (std::find(skip.begin(), skip.end(), t.name) != skip.end()) continue;
      ASSERT_TRUE(zek_vmapi_bindSignal_v2(e, t.name, t.type, t.type, 1, 0, 0, 1, t.address, t.dim)) << t.name;
    }
  }
  void TearDown() override {
    zek_vmapi_closeExecution(e);
    zek_vmapi_resetError();
  }
};

}  // namespace vt
