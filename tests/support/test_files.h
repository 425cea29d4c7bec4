#pragma once
// Files of a test process: one folder of its own, removed when the process ends, so runs of the
// same test in other builds or checkouts never share files and nothing is left behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace ztf {

inline const std::string &processTempDir() {
  // Removed by the process that made it, not by a child that ends through exit().
  struct Folder {
    pid_t owner = getpid();
    std::string path;
    Folder() : path(::testing::TempDir() + "zek_tests_" + std::to_string(owner) + "/") {
      std::filesystem::create_directories(path);
    }
    ~Folder() {
      std::error_code ignored;
      if (getpid() == owner) std::filesystem::remove_all(path, ignored);
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
