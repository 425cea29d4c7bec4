#pragma once
// Files of a test process: one folder of its own, removed when the process ends, so runs of the
// same test in other builds or checkouts never share files and nothing is left behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace ztf {

// The variable through which a test process hands its folder to the copies of itself that
// run a test's child part (Windows has no fork: GoogleTest starts the test program again).
inline constexpr char kParentDirVariable[] = "ZEK_TEST_PARENT_DIR";

inline const std::string &processTempDir() {
  // Removed by the process that made it, not by a child that ends through exit() nor by a copy
  // of the test program that works in its parent's folder.
  struct Folder {
    pid_t owner = getpid();
    std::string path;
    Folder() {
      const char *parent = std::getenv(kParentDirVariable);
      if (parent != nullptr && *parent != '\0') {
        path = parent;
        owner = 0;
        return;
      }
      path = ::testing::TempDir() + "zek_tests_" + std::to_string(owner) + "/";
      std::filesystem::create_directories(path);
    }
    ~Folder() {
      std::error_code ignored;
      if (owner != 0 && getpid() == owner) std::filesystem::remove_all(path, ignored);
    }
  };
  static Folder folder;
  return folder.path;
}

// A path in that folder named after the running test, so that tests never share a file.
inline std::string tempPath(const std::string &name) {
  const ::testing::TestInfo *t = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string test = t != nullptr ? std::string(t->test_suite_name()) + "." + t->name() : "none";
  for (char &c : test)
    if (c == '/') c = '_';
  return processTempDir() + test + "_" + name;
}

}  // namespace ztf
