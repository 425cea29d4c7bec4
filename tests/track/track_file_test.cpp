// The coverage result file: its layout for every decision kind byte for byte, the path from
// ZEK_TRACK_FILE or the caller, and the failures of saving.
#include "track_support.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <iostream>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

namespace {

using tt::Bytes;
using tt::Outcome;
using tt::TrackTest;

namespace fs = std::filesystem;

// A new empty folder of the running test's own (with its trailing '/'), so that whatever saving
// leaves in it shows.
std::string ownFolder(const std::string &name) {
  std::string folder = tt::tempPath(name);
  fs::remove_all(folder);
  fs::create_directories(folder);
  return folder + "/";
}

// The names in folder, sorted.
std::vector<std::string> entriesOf(const std::string &folder) {
  std::vector<std::string> names;
  for (const fs::directory_entry &entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void writeText(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

std::string readText(const std::string &path) {
  std::vector<uint8_t> bytes = tt::readFile(path);
  return std::string(bytes.begin(), bytes.end());
}

TEST_F(TrackTest, AnUntouchedTableIsOneKindBytePerDecision) {
  ZEK_TRACK_init_v2(3, 0, 1);
  std::string path = tt::tempPath("three.bin");
  ZEK_TRACK_save_to(path.c_str());
  EXPECT_EQ(tt::readFile(path), (std::vector<uint8_t>{0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST_F(TrackTest, AnEmptyTableSavesAsZeroDecisions) {
  ZEK_TRACK_init_v2(0, 0, 1);
  std::string path = tt::tempPath("empty.bin");
  ZEK_TRACK_save_to(path.c_str());
  EXPECT_EQ(tt::heldError(), "");
  EXPECT_EQ(tt::readFile(path), (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x00}));
  ZEK_TRACK_init_decision(0, 1);
  EXPECT_EQ(tt::heldError(), "Init for decision failed. Decision 0 is out of bounds.");
}

// Decision 0 unused, 1 conditional with two conditions evaluated once, 2 a switch with three
// cases, 3 conditional without conditions, 4 a switch of no cases that was never counted.
TEST_F(TrackTest, FileLayoutOfEveryKind) {
  ZEK_TRACK_init_v2(5, 0, 1);
  standin_setCycleCount(10);
  ZEK_TRACK_init_decision(1, 2);
  ZEK_TRACK_push_or();
  ZEK_TRACK_condition_int32(0, 0);
  ZEK_TRACK_condition_uint8(4, 1);
  ZEK_TRACK_logop(1);
  ZEK_TRACK_decision_int32(1, 1);
  ZEK_TRACK_switch_int32(2, 2, 3);
  ZEK_TRACK_case(2, 1);
  ZEK_TRACK_init_decision(3, 0);
  ZEK_TRACK_decision_int32(1, 3);
  ZEK_TRACK_switch_int32(0, 4, 0);
  ZEK_TRACK_case(4, 0); // out of bounds: no case exists
  EXPECT_EQ(tt::heldError(), "Illegal instrumentation. Case 0 for decision 4 is out of bounds.");
  ZEK_TRACK_SL_resetErrorMsg();

  const Outcome undef = tt::undefinedOutcome();
  Bytes want;
  want.u32(5);
  want.u8(0);
  // OR of a false condition 0 and a true condition 1 (value 4): 0 does not mask 1; 1 masks 0
  // with its distance 4 to false.
  want.u8(1).u32(2);
  want.outcome({0, -1, 1.0}).outcome({1, 9, 0.0}).outcome({0, -1, 5.0}).outcome({0, -1, 4.0});
  want.outcome({1, 9, 0.0}).outcome({0, -1, 4.0}).outcome({1, 9, 0.0}).outcome({0, -1, 4.0});
  want.outcome({1, 9, 0.0}).outcome({0, -1, 4.0});
  want.u8(2).u32(3).outcome(undef).outcome({1, 9, tt::undefinedDistance()}).outcome(undef);
  want.u8(1).u32(0).outcome({1, 9, 0.0}).outcome({0, -1, 1.0});
  want.u8(2).u32(0);
  std::string path = tt::tempPath("kinds.bin");
  ZEK_TRACK_save_to(path.c_str());
  EXPECT_EQ(tt::heldError(), "");
  EXPECT_EQ(tt::readFile(path), want.b);
}

TEST_F(TrackTest, SizesOfTheRecords) {
  ZEK_TRACK_init_v2(2, 0, 1);
  ZEK_TRACK_init_decision(0, 2);
  ZEK_TRACK_switch_uint16(0, 1, 3);
  ZEK_TRACK_case(1, 0);
  std::string path = tt::tempPath("sizes.bin");
  ZEK_TRACK_save_to(path.c_str());
  // The conditional frame is still pending: saving ignores it.
  EXPECT_EQ(tt::readFile(path).size(), 4u + (1 + 4 + 128 + 32) + (1 + 4 + 48));
}

// Saving changes no counter and can be repeated; a pending evaluation is not finished in the file.
TEST_F(TrackTest, SavingTwiceWritesTheSameFile) {
  ZEK_TRACK_init_v2(1, 0, 1);
  ZEK_TRACK_init_decision(0, 1);
  ZEK_TRACK_condition_int32(1, 0);
  ZEK_TRACK_decision_int32(1, 0);
  ZEK_TRACK_init_decision(0, 1);
  ZEK_TRACK_condition_int32(0, 0);
  std::string first = tt::tempPath("first.bin"), second = tt::tempPath("second.bin");
  ZEK_TRACK_save_to(first.c_str());
  ZEK_TRACK_save_to(second.c_str());
  EXPECT_EQ(tt::heldError(), "");
  EXPECT_EQ(tt::readFile(first), tt::readFile(second));
  tt::Table t;
  std::string why;
  ASSERT_TRUE(tt::parseTable(tt::readFile(first), t, why)) << why;
  // A condition counts when it is reported; MC/DC and decision outcomes wait for the end of
  // the evaluation.
  EXPECT_EQ(t.decisions[0].condFalse[0].hits, 1);
  EXPECT_EQ(t.decisions[0].mcdcFalse[0], (Outcome{0, -1, 1.0}));
  EXPECT_EQ(t.decisions[0].decisionFalse, (Outcome{0, -1, 1.0}));
}

TEST_F(TrackTest, SaveWritesToThePathOfZekTrackFile) {
  ZEK_TRACK_init_v2(1, 0, 1);
  std::string path = tt::tempPath("from_env.bin");
  setenv("ZEK_TRACK_FILE", path.c_str(), 1);
  ZEK_TRACK_save();
  EXPECT_EQ(tt::heldError(), "");
  EXPECT_EQ(tt::readFile(path), (std::vector<uint8_t>{0x01, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_NE(std::string(standin_printed()).find("Saving tracked data to " + path + " ... done\n"), std::string::npos);

  setenv("ZEK_TRACK_FILE", "", 1);
  ZEK_TRACK_save();
  EXPECT_EQ(tt::heldError(), "Environment variable ZEK_TRACK_FILE is empty. Track data cannot be written.");
  ZEK_TRACK_SL_resetErrorMsg();
  unsetenv("ZEK_TRACK_FILE");
  ZEK_TRACK_save();
  EXPECT_EQ(tt::heldError(), "Environment variable ZEK_TRACK_FILE has not been set. Track data cannot be written.");
}

TEST_F(TrackTest, SavingReportsAMissingPath) {
  ZEK_TRACK_init_v2(1, 0, 1);
  ZEK_TRACK_save_to(nullptr);
  EXPECT_EQ(tt::heldError(), "No file name given. Track data cannot be written.");
  ZEK_TRACK_SL_resetErrorMsg();
  ZEK_TRACK_save_to("");
  EXPECT_EQ(tt::heldError(), "No file name given. Track data cannot be written.");
}

TEST_F(TrackTest, SavingBeforeInitialisationWritesNothing) {
  std::string path = tt::tempPath("none.bin");
  ZEK_TRACK_save_to(path.c_str());
  EXPECT_EQ(tt::heldError(), "ZEK_TRACKS_init() has not been called before or failed.");
  EXPECT_FALSE(fs::exists(path));
}

// A file that cannot be created is reported, and "done" is printed only after a complete write.
TEST_F(TrackTest, SavingReportsAFileThatCannotBeOpened) {
  ZEK_TRACK_init_v2(1, 0, 1);
  std::string path = tt::tempPath("no_such_folder/result.bin");
  ZEK_TRACK_save_to(path.c_str());
  EXPECT_EQ(tt::heldError(), "Cannot open file '" + path + "' to write track data.");
  EXPECT_EQ(std::string(standin_printed()),
            "KLOVA> Init to track result data for 1 decisions \nSaving tracked data to " + path + " ... failed\n");
}

// The new file replaces the old one in one step; when it cannot take the old one's place the old
// one stays and no temporary file is left behind.
TEST_F(TrackTest, SavingReplacesTheOldFileOrLeavesItAlone) {
  ZEK_TRACK_init_v2(1, 0, 1);
  std::string dir = ownFolder("replace");
  std::string path = dir + "old.bin";
  tt::Bytes old;
  old.u32(0xDEADBEEF).u32(1).u32(2);
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(old.b.data()), std::streamsize(old.b.size()));
  }
  ZEK_TRACK_save_to(path.c_str());
  EXPECT_EQ(tt::heldError(), "");
  EXPECT_EQ(tt::readFile(path), (std::vector<uint8_t>{0x01, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(entriesOf(dir), (std::vector<std::string>{"old.bin"}));

  // A folder that is not empty cannot be replaced by a file.
  std::string folder = dir + "folder";
  fs::create_directories(folder + "/inside");
  ZEK_TRACK_save_to(folder.c_str());
  EXPECT_EQ(tt::heldError(), "Cannot replace file '" + folder + "' with the new track data.");
  EXPECT_TRUE(fs::is_directory(folder + "/inside"));
  EXPECT_EQ(entriesOf(dir), (std::vector<std::string>{"folder", "old.bin"}));
  EXPECT_EQ(entriesOf(folder), (std::vector<std::string>{"inside"}));
  EXPECT_NE(std::string(standin_printed()).find(folder + " ... failed\n"), std::string::npos);
}

// The temporary file's name does not grow with the result's: every name up to the longest the
// file system takes (255 bytes) saves, and only the result is left in the folder.
TEST_F(TrackTest, SavingTakesNamesUpToTheLongestTheSystemAllows) {
  ZEK_TRACK_init_v2(1, 0, 1);
  for (size_t length : {1u, 251u, 252u, 255u}) {
    SCOPED_TRACE(length);
    std::string folder = ownFolder("long" + std::to_string(length));
    std::string name = length < 4 ? std::string(length, 'c') : std::string(length - 4, 'c') + ".bin";
    std::string path = folder + name;
    ZEK_TRACK_save_to(path.c_str());
    EXPECT_EQ(tt::heldError(), "");
    ZEK_TRACK_SL_resetErrorMsg();
    EXPECT_EQ(tt::readFile(path), (std::vector<uint8_t>{0x01, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(entriesOf(folder), (std::vector<std::string>{name}));
  }
}

// Whatever bears the result's name with ".tmp" added (a user's file, a link to one, a link that
// leads nowhere) is no file of the runtime's: it stays as it was, nothing is written through it,
// and the result comes out complete.
TEST_F(TrackTest, SavingLeavesTheOtherFilesOfTheFolderAlone) {
  ZEK_TRACK_init_v2(2, 0, 1);
  standin_setCycleCount(3);
  ZEK_TRACK_switch_int32(1, 1, 2);
  ZEK_TRACK_case(1, 1);
  tt::Bytes want;
  want.u32(2).u8(0).u8(2).u32(2).outcome(tt::undefinedOutcome()).outcome({1, 2, tt::undefinedDistance()});

  enum class Kind { File, LinkToAFile, LinkToNothing };
  struct Case {
    const char *what;
    Kind kind;
  };
  const std::string users = "the user's own data";
  for (const Case &c : {Case{"file", Kind::File}, Case{"link", Kind::LinkToAFile}, Case{"dangling", Kind::LinkToNothing}}) {
    SCOPED_TRACE(c.what);
    std::string folder = ownFolder(c.what);
    std::string path = folder + "cov.bin", other = path + ".tmp", target = folder + "target";
    std::vector<std::string> entries{"cov.bin", "cov.bin.tmp"};
    if (c.kind == Kind::File) {
      writeText(other, users);
    } else {
      if (c.kind == Kind::LinkToAFile) {
        writeText(target, users);
        entries.push_back("target");
      }
      std::error_code failed;
      fs::create_symlink(target, other, failed);
      if (failed) {
        // Windows gives links only to privileged users.
        std::cout << "no symbolic link here (" << failed.message() << "): case left out\n";
        continue;
      }
    }
    ZEK_TRACK_save_to(path.c_str());
    EXPECT_EQ(tt::heldError(), "");
    ZEK_TRACK_SL_resetErrorMsg();
    EXPECT_EQ(tt::readFile(path), want.b);
    if (c.kind == Kind::File) {
      EXPECT_EQ(readText(other), users);
    } else {
      EXPECT_TRUE(fs::is_symlink(fs::symlink_status(other)));
      EXPECT_EQ(fs::read_symlink(other), fs::path(target));
    }
    if (c.kind == Kind::LinkToAFile) {
      EXPECT_EQ(readText(target), users);
    }
    EXPECT_EQ(entriesOf(folder), entries);
  }
}

// A write that fails part-way (here: the process may write no file beyond 1000 bytes) is
// reported, no "done" is printed, and the old file stays as it was.
TEST_F(TrackTest, SavingReportsAFailedWriteAndKeepsTheOldFile) {
  ZEK_TRACK_init_v2(1, 0, 1);
  ZEK_TRACK_init_decision(0, 100); // 4 + 1 + 4 + 6400 + 32 bytes
  ZEK_TRACK_condition_int32(1, 99);
  ZEK_TRACK_decision_int32(1, 0);
  std::string folder = ownFolder("kept");
  std::string path = folder + "kept.bin";
  ZEK_TRACK_save_to(path.c_str());
  ASSERT_EQ(tt::heldError(), "");
  std::vector<uint8_t> old = tt::readFile(path);
  ASSERT_EQ(old.size(), 6441u);

  ZEK_TRACK_init_decision(0, 100);
  ZEK_TRACK_condition_int32(0, 99);
  ZEK_TRACK_decision_int32(0, 0);
#if defined(_WIN32)
  GTEST_SKIP() << "a file size limit that makes writes fail is a POSIX resource limit";
#else
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 1000;
  auto previous = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  ZEK_TRACK_save_to(path.c_str());
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);

  EXPECT_EQ(tt::heldError(), "Failed to write track data to file '" + path + "'.");
  EXPECT_EQ(tt::readFile(path), old);
  EXPECT_EQ(entriesOf(folder), (std::vector<std::string>{"kept.bin"}));
  std::string printed = standin_printed();
  EXPECT_EQ(printed.substr(printed.size() - 12), " ... failed\n");
#endif
}

} // namespace
