// The launcher's command-line, path and option functions, the jar collection
// over a real directory, and the JVM thread.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "jvmstart.h"
#include "utils.h"

namespace {

using Strings = std::vector<std::string>;

struct SplitCase {
  Strings argv;  // without the program name
  Strings jvm;
  Strings zek;
  bool verbose;
};

TEST(LauncherArguments, SplitsTheCommandLine) {
  const SplitCase cases[] = {
      {{"-vm-Xmx2g", "--remote", "foo"}, {"-Xmx2g"}, {"foo"}, false},
      {{"-vm"}, {""}, {}, false},
      {{"--startverbose", "x"}, {}, {"--startverbose", "x"}, true},
      {{"--nosplash", "-h", "--help", "--noconsole"}, {}, {"--nosplash", "-h", "--help", "--noconsole"}, false},
      // Only the exact "--remote" is dropped; only a leading "-vm" counts.
      {{"--remote=1", "--remotex", "-v", "-VMx", "--vm-x", "x-vm", "-vm-vm"},
       {"-vm"},
       {"--remote=1", "--remotex", "-v", "-VMx", "--vm-x", "x-vm"},
       false},
      {{"a", "-vm-Da=1", "--remote", "b", "-vm-Db=2", "--remote"}, {"-Da=1", "-Db=2"}, {"a", "b"}, false},
      {{"-vm--startverbose"}, {"--startverbose"}, {}, false},
      {{}, {}, {}, false},
  };
  for (const SplitCase& c : cases) {
    std::vector<const char*> argv{"zek_exe"};
    for (const std::string& arg : c.argv) argv.push_back(arg.c_str());
    int argc = static_cast<int>(argv.size());
    Strings jvm{"kept"};
    Strings zek{"kept"};
    zek_splitArguments(argc, argv.data(), jvm, zek);
    Strings expectedJvm{"kept"};
    expectedJvm.insert(expectedJvm.end(), c.jvm.begin(), c.jvm.end());
    Strings expectedZek{"kept"};
    expectedZek.insert(expectedZek.end(), c.zek.begin(), c.zek.end());
    std::string label = c.argv.empty() ? std::string("(none)") : c.argv.front();
    EXPECT_EQ(jvm, expectedJvm) << label;
    EXPECT_EQ(zek, expectedZek) << label;
    EXPECT_EQ(zek_hasStartVerbose(argc, argv.data()), c.verbose) << label;
  }
}

TEST(LauncherArguments, ProgramNameIsNeverAnArgument) {
  const char* argv[] = {"--startverbose", "-vm-Xmx1g"};
  Strings jvm;
  Strings zek;
  zek_splitArguments(2, argv, jvm, zek);
  EXPECT_EQ(jvm, Strings{"-Xmx1g"});
  EXPECT_TRUE(zek.empty());
  EXPECT_FALSE(zek_hasStartVerbose(2, argv));
}

TEST(LauncherPaths, ClassPathAndModulePath) {
  EXPECT_EQ(zek_buildClassPath("/opt/x", {}), "/opt/x/lib:/opt/x:/opt/x/bin");
  EXPECT_EQ(zek_buildClassPath("/opt/x", {"/opt/x/bin/b.jar", "/opt/x/bin/a.jar"}),
            "/opt/x/lib:/opt/x:/opt/x/bin/b.jar:/opt/x/bin/a.jar:/opt/x/bin");
  EXPECT_EQ(zek_buildModulePath("/opt/x"), "/opt/x/modules/javafx-17.0.1/lib");
  EXPECT_EQ(zek_directoryOf("/opt/x/zek_exe"), "/opt/x");
  EXPECT_EQ(zek_directoryOf("/zek_exe"), "");
}

TEST(LauncherPaths, EndsWith) {
  EXPECT_TRUE(ends_with("a.jar", ".jar"));
  EXPECT_TRUE(ends_with(".jar", ".jar"));
  EXPECT_TRUE(ends_with("a.jar", ""));
  EXPECT_FALSE(ends_with("jar", ".jar"));
  EXPECT_FALSE(ends_with("a.jar.txt", ".jar"));
  EXPECT_FALSE(ends_with("a.JAR", ".jar"));
  EXPECT_FALSE(ends_with("", ".jar"));
}

TEST(LauncherOptions, AppendsClassPathModulesAndRmiOptions) {
  Strings options{"-Xmx2g"};
  zek_appendJvmOptions(options, "/opt/x/lib:/opt/x:/opt/x/bin", "/opt/x/m", false);
  const Strings plain{"-Xmx2g",
                      "-Djava.class.path=/opt/x/lib:/opt/x:/opt/x/bin",
                      "--module-path=/opt/x/m",
                      "--add-modules=javafx.web,javafx.media,javafx.swing",
                      "-XX:+DisableAttachMechanism",
                      "-Djava.rmi.server.hostname=localhost"};
  EXPECT_EQ(options, plain);

  Strings verbose;
  zek_appendJvmOptions(verbose, "/opt/x/lib:/opt/x:/opt/x/bin", "/opt/x/m", true);
  Strings expected(plain.begin() + 1, plain.end());
  expected.insert(expected.end(),
                  {"-Dsun.rmi.server.logLevel=VERBOSE", "-Djava.rmi.server.logCalls=true",
                   "-Dsun.rmi.client.logCalls=true", "-Dsun.rmi.transport.tcp.logLevel=VERBOSE"});
  EXPECT_EQ(verbose, expected);
}

const Strings MODULE_ACCESS{"--add-exports=javafx.graphics/com.sun.javafx.embed=ALL-UNNAMED",
                            "--add-opens=javafx.swing/javafx.embed.swing=ALL-UNNAMED",
                            "--add-opens=java.desktop/java.awt=ALL-UNNAMED",
                            "--add-opens=java.base/java.lang=ALL-UNNAMED",
                            "--add-opens=java.base/java.nio=ALL-UNNAMED"};

TEST(LauncherOptions, CompletionPutsModuleAccessAndHeapInFront) {
  Strings options{"-Dx=1", "-XX:+DisableAttachMechanism"};
  zek_completeJvmOptions(options);
  Strings expected = MODULE_ACCESS;
  expected.insert(expected.end(), {"-Xmx3136M", "-Dx=1", "-XX:+DisableAttachMechanism"});
  EXPECT_EQ(options, expected);

  Strings withHeap{"-XX:MaxRAMPercentage=50"};
  zek_completeJvmOptions(withHeap);
  expected = MODULE_ACCESS;
  expected.push_back("-XX:MaxRAMPercentage=50");
  EXPECT_EQ(withHeap, expected);
}

TEST(LauncherOptions, HeapIsGiven) {
  const struct {
    const char* option;
    bool given;
  } cases[] = {
      {"-Xmx2g", true},
      {"-Xmx", true},
      {"-XX:MaxRAMPercentage=50", true},
      {"-XX:MaxRAM=8g", true},
      {"-XX:+UseG1GC", true},  // every other -XX option counts too
      {"-XX:+DisableAttachMechanism", false},
      {"-XX:-UseSplitVerifier", false},
      {"-XX", false},
      {"-Xms1g", false},
      {"-Dheap=-Xmx1g", false},
      {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(zek_heapIsGiven({c.option}), c.given) << c.option;
    EXPECT_EQ(zek_heapIsGiven({"-Dx=1", c.option, "-XX:+DisableAttachMechanism"}), c.given)
        << c.option;
  }
  EXPECT_FALSE(zek_heapIsGiven({}));
}

// A scratch directory, removed afterwards.
class LauncherFiles : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = testing::TempDir() + "zek_launcher_unit_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  void touch(const std::string& name) { std::ofstream(dir + "/" + name) << "x"; }
  std::string dir;
};

TEST_F(LauncherFiles, CollectsOnlyRegularJarFiles) {
  namespace fs = std::filesystem;
  touch("a.jar");
  touch("z.jar");
  touch(".c.jar");
  touch("d.txt");
  touch("e.JAR");
  touch("jar");
  fs::create_directory(dir + "/b.jar");
  fs::create_directory(dir + "/sub");
  fs::create_symlink("a.jar", dir + "/link.jar");
  fs::create_symlink("missing.jar", dir + "/dangling.jar");
  fs::create_symlink("sub", dir + "/dirlink.jar");
  ASSERT_EQ(mkfifo((dir + "/pipe.jar").c_str(), 0600), 0);

  Strings jars{"kept"};
  zek_collectJarsIn(dir, jars);
  ASSERT_FALSE(jars.empty());
  EXPECT_EQ(jars.front(), "kept");
  Strings found(jars.begin() + 1, jars.end());
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (Strings{dir + "/a.jar", dir + "/link.jar", dir + "/z.jar"}));
}

TEST_F(LauncherFiles, MissingDirectoryCollectsNothing) {
  Strings jars;
  zek_collectJarsIn(dir + "/bin", jars);
  EXPECT_TRUE(jars.empty());
}

TEST_F(LauncherFiles, LinkTargetMustFitTheBuffer) {
  const std::string link = dir + "/exe";
  const std::string target = "/opt/zek/ze";  // 11 bytes
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  std::string read = "untouched";
  EXPECT_FALSE(zek_readLinkTarget(link.c_str(), target.size(), read));
  EXPECT_EQ(read, "untouched");
  EXPECT_TRUE(zek_readLinkTarget(link.c_str(), target.size() + 1, read));
  EXPECT_EQ(read, target);
  EXPECT_FALSE(zek_readLinkTarget((dir + "/none").c_str(), 4096, read));
  touch("plain");
  EXPECT_FALSE(zek_readLinkTarget((dir + "/plain").c_str(), 4096, read));
}

void* boxedResult(unsigned value) {
  void* boxed = std::malloc(sizeof value);
  std::memcpy(boxed, &value, sizeof value);
  return boxed;
}

void* returnsArgument(void* argument) { return boxedResult(*static_cast<unsigned*>(argument)); }

void* returnsStackSize(void*) {
  pthread_attr_t attributes;
  size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
    pthread_attr_getstacksize(&attributes, &size);
    pthread_attr_destroy(&attributes);
  }
  return boxedResult(static_cast<unsigned>(size));
}

void* returnsNothing(void*) { return nullptr; }

// The results are malloc'ed: the leak checker of the sanitizer build sees
// any that NewThread does not free.
TEST(LauncherThread, RunsOnItsOwnStackAndReturnsTheResult) {
  unsigned value = 6;
  EXPECT_EQ(NewThread(returnsArgument, ZEK_JVM_THREAD_STACK, &value), 6u);
  value = 0;
  EXPECT_EQ(NewThread(returnsArgument, ZEK_JVM_THREAD_STACK, &value), 0u);
  EXPECT_EQ(NewThread(returnsStackSize, ZEK_JVM_THREAD_STACK, nullptr), ZEK_JVM_THREAD_STACK);
}

TEST(LauncherThread, FailuresGiveTwo) {
  unsigned value = 0;
  EXPECT_EQ(NewThread(returnsArgument, 1, &value), 2u);  // below the smallest stack
  EXPECT_EQ(NewThread(returnsNothing, ZEK_JVM_THREAD_STACK, nullptr), 2u);
}

}  // namespace
