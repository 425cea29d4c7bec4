// Runs the built zek_exe from temporary installations: against the real
// libjvm with a test main class and stand-in JavaFX modules, and against the
// stand-in libjvm for what a real JVM cannot be made to do.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

enum class Jvm { Real, StandIn };

struct LauncherResult {
  int exitCode = -1;
  std::string out;
  std::string err;
  Strings outLines;
  Strings logMessages;  // the messages of the time-stamped log lines on stderr
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

Strings splitLines(const std::string& text) {
  Strings lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

Strings logMessagesOf(const std::string& err) {
  // The Java runtime writes to the same stream from its own threads, and a warning of its own may
  // come in pieces: a log line can then start behind such a piece, so it is searched for.
  static const std::regex stamped(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} (.*)$)");
  Strings messages;
  for (const std::string& line : splitLines(err)) {
    std::smatch match;
    if (std::regex_search(line, match, stamped)) messages.push_back(match[1]);
  }
  return messages;
}

// Values of the loader's "key=value" report lines with that key, in order.
Strings valuesOf(const LauncherResult& run, const std::string& key) {
  Strings values;
  for (const std::string& line : run.outLines)
    if (line.compare(0, key.size() + 1, key + "=") == 0) values.push_back(line.substr(key.size() + 1));
  return values;
}

std::string valueOf(const LauncherResult& run, const std::string& key) {
  Strings values = valuesOf(run, key);
  return values.size() == 1 ? values.front() : "<" + std::to_string(values.size()) + " values>";
}

bool contains(const Strings& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// True when every expected line occurs in lines, in this order.
bool containsInOrder(const Strings& lines, const Strings& expected) {
  auto at = lines.begin();
  for (const std::string& line : expected) {
    at = std::find(at, lines.end(), line);
    if (at == lines.end()) return false;
    ++at;
  }
  return true;
}

// The test's own environment without anything that steers a JVM, with
// JAVA_HOME and LD_LIBRARY_PATH naming the chosen libjvm.
Strings launcherEnvironment(Jvm jvm) {
  static const char* const steering[] = {"JAVA_HOME=",        "LD_LIBRARY_PATH=", "JAVA_TOOL_OPTIONS=",
                                         "_JAVA_OPTIONS=",    "JDK_JAVA_OPTIONS=", "ZEK_STANDIN_JVM=",
                                         "ASAN_OPTIONS="};
  Strings env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string variable = *entry;
    bool steers = std::any_of(std::begin(steering), std::end(steering), [&](const char* prefix) {
      return variable.compare(0, std::strlen(prefix), prefix) == 0;
    });
    if (!steers) env.push_back(variable);
  }
  env.push_back("JAVA_HOME=" ZEK_TEST_JAVA_HOME);
  env.push_back(std::string("LD_LIBRARY_PATH=") +
                (jvm == Jvm::Real ? ZEK_TEST_JVM_DIR : ZEK_TEST_STANDIN_DIR));
  // HotSpot takes SIGSEGV for its own checks, and its leaks are not ours; the
  // stand-in runs keep the leak checker on the launcher.
  if (ZEK_TEST_SANITIZED && jvm == Jvm::Real)
    env.push_back("ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:detect_leaks=0");
  return env;
}

// Sets (value non-null) or removes a variable.
void setVariable(Strings& env, const std::string& name, const char* value) {
  std::erase_if(env, [&](const std::string& v) { return v.compare(0, name.size() + 1, name + "=") == 0; });
  if (value != nullptr) env.push_back(name + "=" + value);
}

const Strings MODULE_ACCESS{"--add-exports=javafx.graphics/com.sun.javafx.embed=ALL-UNNAMED",
                            "--add-opens=javafx.swing/javafx.embed.swing=ALL-UNNAMED",
                            "--add-opens=java.desktop/java.awt=ALL-UNNAMED",
                            "--add-opens=java.base/java.lang=ALL-UNNAMED",
                            "--add-opens=java.base/java.nio=ALL-UNNAMED"};

const Strings RMI_LOGGING{"-Dsun.rmi.server.logLevel=VERBOSE", "-Djava.rmi.server.logCalls=true",
                          "-Dsun.rmi.client.logCalls=true", "-Dsun.rmi.transport.tcp.logLevel=VERBOSE"};

// The options that main appends after the user's -vm options.
Strings installOptions(const std::string& install, bool withClassPath) {
  Strings options;
  if (withClassPath)
    options.push_back("-Djava.class.path=" + install + "/lib:" + install + ":" + install +
                      "/bin/zekloader.jar:" + install + "/bin");
  options.push_back("--module-path=" + install + "/modules/javafx-17.0.1/lib");
  options.push_back("--add-modules=javafx.web,javafx.media,javafx.swing");
  options.push_back("-XX:+DisableAttachMechanism");
  options.push_back("-Djava.rmi.server.hostname=localhost");
  return options;
}

Strings concat(std::initializer_list<Strings> parts) {
  Strings all;
  for (const Strings& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

class LauncherRun : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = testing::TempDir() + "zek_launcher_run_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root = fs::canonical(pattern).string();
  }
  void TearDown() override { fs::remove_all(root); }

  // An installation below the scratch directory, with the launcher, the
  // stand-in JavaFX modules and the given test jars in bin.
  std::string makeInstall(const std::string& name, const Strings& jars) {
    std::string install = root + "/" + name;
    fs::create_directories(install + "/bin");
    fs::create_directories(install + "/lib");
    fs::create_directories(install + "/modules/javafx-17.0.1/lib");
    fs::copy_file(ZEK_TEST_LAUNCHER, install + "/zek_exe");
    for (const char* module : {"javafx.graphics", "javafx.swing", "javafx.web", "javafx.media"})
      fs::copy_file(std::string(ZEK_TEST_JAR_DIR "/modules/") + module + ".jar",
                    install + "/modules/javafx-17.0.1/lib/" + module + ".jar");
    for (const std::string& jar : jars)
      fs::copy_file(ZEK_TEST_JAR_DIR "/" + jar, install + "/bin/" + jar);
    return install;
  }

  LauncherResult run(const std::string& install, const Strings& args, const Strings& env) {
    LauncherResult result;
    std::string outPath = root + "/stdout.txt";
    std::string errPath = root + "/stderr.txt";
    std::string exe = install + "/zek_exe";
    std::vector<char*> argv{const_cast<char*>("zek_exe")};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& variable : env) envp.push_back(const_cast<char*>(variable.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(spawned, 0) << exe;
    if (spawned != 0) return result;
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "status " << status;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    result.outLines = splitLines(result.out);
    result.logMessages = logMessagesOf(result.err);
    return result;
  }

  LauncherResult run(const std::string& install, const Strings& args, Jvm jvm) {
    return run(install, args, launcherEnvironment(jvm));
  }

  std::string root;
};

std::string describe(const LauncherResult& run) { return "stdout:\n" + run.out + "stderr:\n" + run.err; }

TEST_F(LauncherRun, RealJvmRunsTheMainClassWithArgumentsAndOptions) {
  std::string install = makeInstall("zek", {"zekloader.jar"});
  // None of these is a jar for the class path.
  std::ofstream(install + "/bin/notes.txt") << "x";
  std::ofstream(install + "/bin/.old.jar") << "x";
  fs::create_directory(install + "/bin/plugins.jar");

  LauncherResult r = run(install,
              {"-vm-Dzek.probe=on", "--remote", "--nosplash", "-h", "--help", "--noconsole",
               "two words"},
              Jvm::Real);
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_EQ(valuesOf(r, "arg"), (Strings{"--nosplash", "-h", "--help", "--noconsole", "two words"}));
  // The JVM reports its options without the class path.
  EXPECT_EQ(valuesOf(r, "jvm"),
            concat({MODULE_ACCESS, {"-Xmx3136M", "-Dzek.probe=on"}, installOptions(install, false)}));
  EXPECT_EQ(valueOf(r, "property java.class.path"),
            install + "/lib:" + install + ":" + install + "/bin/zekloader.jar:" + install + "/bin");
  EXPECT_EQ(valueOf(r, "property jdk.module.path"), install + "/modules/javafx-17.0.1/lib");
  EXPECT_EQ(valueOf(r, "property java.rmi.server.hostname"), "localhost");
  EXPECT_EQ(valueOf(r, "property sun.rmi.server.logLevel"), "null");
  EXPECT_EQ(valueOf(r, "property zek.probe"), "on");
  EXPECT_EQ(valueOf(r, "heap MiB"), "3136");
  for (const char* module : {"javafx.web", "javafx.media", "javafx.swing", "javafx.graphics"})
    EXPECT_EQ(valueOf(r, std::string("module ") + module), "true") << module;
  EXPECT_EQ(valueOf(r, "exports javafx.graphics/com.sun.javafx.embed"), "true");
  EXPECT_EQ(valueOf(r, "opens javafx.graphics/com.sun.javafx.embed"), "false");
  EXPECT_EQ(valueOf(r, "opens javafx.swing/javafx.embed.swing"), "true");
  EXPECT_EQ(valueOf(r, "opens java.desktop/java.awt"), "true");
  EXPECT_EQ(valueOf(r, "opens java.base/java.lang"), "true");
  EXPECT_EQ(valueOf(r, "opens java.base/java.nio"), "true");
  EXPECT_TRUE(r.logMessages.empty()) << r.err;
  EXPECT_EQ(r.err.find("WARNING"), std::string::npos) << r.err;
}

TEST_F(LauncherRun, RealJvmVerboseLogsEveryStep) {
  std::string install = makeInstall("zek", {"zekloader.jar"});
  LauncherResult r = run(install, {"--startverbose", "x"}, Jvm::Real);
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_EQ(valuesOf(r, "arg"), (Strings{"--startverbose", "x"}));
  EXPECT_EQ(valuesOf(r, "jvm"), concat({MODULE_ACCESS, {"-Xmx3136M"}, installOptions(install, false),
                                        RMI_LOGGING}));
  EXPECT_EQ(valueOf(r, "property sun.rmi.server.logLevel"), "VERBOSE");
  EXPECT_EQ(valueOf(r, "property sun.rmi.transport.tcp.logLevel"), "VERBOSE");
  EXPECT_EQ(valueOf(r, "property java.rmi.server.logCalls"), "true");
  EXPECT_EQ(valueOf(r, "property sun.rmi.client.logCalls"), "true");
  const std::string classPath =
      "-Djava.class.path=" + install + "/lib:" + install + ":" + install + "/bin/zekloader.jar:" + install + "/bin";
  EXPECT_TRUE(containsInOrder(
      r.logMessages,
      {"Searching installation of ZEK...", "Located ZEK in '" + install + "'.",
       "Searching installation of Java...", "Located Java in '" ZEK_TEST_JAVA_HOME "'.",
       install + "/bin", "Creating JVM with the following arguments: ",
       "  Parameter 0: '" + classPath + "'", "  Parameter 5: '" + RMI_LOGGING[0] + "'",
       "  Parameter 8: '" + RMI_LOGGING[3] + "'",
       "Heap memory observer: Maximum size automatically set to 3136MB (based on available "
       "system memory)",
       "Creating thread", "Starting Java VM",
       "Starting JVM with the following arguments:", "  Parameter 0: '" + MODULE_ACCESS[0] + "'",
       "  Parameter 5: '-Xmx3136M'", "  Parameter 6: '" + classPath + "'",
       "  Parameter 14: '" + RMI_LOGGING[3] + "'", "Starting Java VM done",
       "JVM has successfully been created.", "thread joined"}))
      << r.err;
  // The main thread's line after the start of the JVM's thread races with that thread's first
  // lines; it stands between the start and the join.
  EXPECT_TRUE(containsInOrder(r.logMessages, {"Creating thread", "thread created", "thread joined"})) << r.err;
}

TEST_F(LauncherRun, RealJvmKeepsAGivenHeap) {
  std::string install = makeInstall("zek", {"zekloader.jar"});
  LauncherResult r = run(install, {"--startverbose", "-vm-Xmx256m"}, Jvm::Real);
  ASSERT_EQ(r.exitCode, 0) << describe(r);
  EXPECT_EQ(valuesOf(r, "jvm"), concat({MODULE_ACCESS, {"-Xmx256m"}, installOptions(install, false),
                                        RMI_LOGGING}));
  EXPECT_LE(std::stoi(valueOf(r, "heap MiB")), 256);
  for (const std::string& message : r.logMessages)
    EXPECT_EQ(message.find("Heap memory observer"), std::string::npos) << message;
}

TEST_F(LauncherRun, RealJvmExitCodes) {
  const struct {
    const char* name;
    Strings jars;
    Strings args;
    int exitCode;
    const char* logMessage;  // null: none of the failure messages
    const char* errText;     // printed by the JVM
  } cases[] = {
      {"throwing-main", {"zekloader.jar"}, {"throw"}, 6, nullptr,
       "Exception in thread \"main\" java.lang.IllegalStateException: main of the test loader failed"},
      {"missing-main-class", {}, {}, 4, "The loader for ZEK could not be found!", nullptr},
      {"wrong-main-signature", {"zekloader-badmain.jar"}, {}, 5, "Could not load ZEK!", nullptr},
      {"bogus-option", {"zekloader.jar"}, {"-vm-Xzekbogus"}, 3, "JVM could not be created!",
       "Unrecognized option: -Xzekbogus"},
  };
  const Strings failureMessages{"The loader for ZEK could not be found!", "Could not load ZEK!",
                                "JVM could not be created!",
                                "Error during Java startup. Please check your Java installation."};
  for (const auto& c : cases) {
    std::string install = makeInstall(c.name, c.jars);
    Strings args{"--startverbose"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    LauncherResult r = run(install, args, Jvm::Real);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.name << "\n" << describe(r);
    for (const std::string& message : failureMessages)
      EXPECT_EQ(contains(r.logMessages, message), c.logMessage != nullptr && message == c.logMessage)
          << c.name << ": " << message;
    if (c.errText != nullptr) {
      EXPECT_NE(r.err.find(c.errText), std::string::npos) << c.name << "\n" << r.err;
    }
    EXPECT_TRUE(contains(r.logMessages, "thread joined")) << c.name << "\n" << r.err;
  }
}

TEST_F(LauncherRun, EnvironmentMustNameJava) {
  const std::string javaHomeMessage =
      "Cannot locate Java installation since 'JAVA_HOME' is missing or empty\n";
  const std::string libraryPathMessage =
      "The environment variable 'LD_LIBRARY_PATH' is missing or empty, please set this variable to "
      "the path where your java libraries are located.\n";
  const struct {
    const char* variable;
    const char* value;  // null: unset
    const std::string& message;
  } cases[] = {
      {"JAVA_HOME", nullptr, javaHomeMessage},
      {"JAVA_HOME", "", javaHomeMessage},
      // Without LD_LIBRARY_PATH the run path still finds libjvm, so the
      // launcher starts and says what is missing.
      {"LD_LIBRARY_PATH", nullptr, libraryPathMessage},
      {"LD_LIBRARY_PATH", "", libraryPathMessage},
  };
  std::string install = makeInstall("zek", {"zekloader.jar"});
  for (const auto& c : cases) {
    Strings env = launcherEnvironment(Jvm::StandIn);
    setVariable(env, c.variable, c.value);
    LauncherResult r = run(install, {"--startverbose"}, env);
    std::string label = std::string(c.variable) + (c.value == nullptr ? " unset" : " empty");
    EXPECT_EQ(r.exitCode, 1) << label;
    EXPECT_EQ(r.out, c.message) << label;
    EXPECT_FALSE(contains(r.logMessages, "Starting Java VM")) << label;
  }
}

TEST_F(LauncherRun, InstallationPathWithColonIsRefused) {
  std::string install = makeInstall("in:stall", {"zekloader.jar"});
  LauncherResult r = run(install, {}, Jvm::StandIn);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "Cannot start ZEK from '" + install +
                       "' since the path contains ':', please install ZEK in a directory whose "
                       "path has no ':'.\n");
}

TEST_F(LauncherRun, StandInJvmReceivesEveryOptionAndArgument) {
  std::string install = makeInstall("zek", {"zekloader.jar"});
  // More options than a fixed array of 128 would hold.
  Strings args{"alpha"};
  Strings userOptions;
  for (int i = 0; i < 300; ++i) {
    userOptions.push_back("-Dzek.option." + std::to_string(i) + "=" + std::to_string(i));
    args.push_back("-vm" + userOptions.back());
  }
  args.insert(args.end(), {"--remote", "", "beta"});
  LauncherResult r = run(install, args, Jvm::StandIn);
  ASSERT_EQ(r.exitCode, 0) << describe(r);

  Strings options = concat({MODULE_ACCESS, {"-Xmx3136M"}, userOptions, installOptions(install, true)});
  Strings expected{"JNI_CreateJavaVM version=0x000a0000 ignoreUnrecognized=0 nOptions=" +
                   std::to_string(options.size()) + " stack=1048576"};
  for (const std::string& option : options) expected.push_back("option " + option);
  expected.insert(expected.end(), {"FindClass java/lang/String",
                                   "NewObjectArray 3 String null",
                                   "NewStringUTF alpha",
                                   "SetObjectArrayElement 0 ok",
                                   "NewStringUTF ",
                                   "SetObjectArrayElement 1 ok",
                                   "NewStringUTF beta",
                                   "SetObjectArrayElement 2 ok",
                                   "FindClass com/norvale/loader/zek/ZekLoader",
                                   "GetStaticMethodID main-class main([Ljava/lang/String;)V",
                                   "CallStaticVoidMethod ok",
                                   "DestroyJavaVM"});
  EXPECT_EQ(r.outLines, expected);
}

TEST_F(LauncherRun, StandInJvmFailures) {
  const struct {
    const char* mode;
    int exitCode;
    const char* logMessage;  // null: none
    bool created;            // the launcher went on with the JVM and destroyed it
    bool ranMain;
    bool described;          // the pending exception was described
  } cases[] = {
      {"enomem", 2, nullptr, false, false, false},
      // A failed creation counts as failed even when pointers came back.
      {"fail-with-vm", 3, "JVM could not be created!", false, false, false},
      {"no-env", 3, "JVM could not be created!", false, false, false},
      {"no-string", 4, "Error during Java startup. Please check your Java installation.", true, false, false},
      {"no-array", 2, "Could not pass the arguments to ZEK!", true, false, true},
      {"no-utf", 2, "Could not pass the arguments to ZEK!", true, false, true},
      {"throw", 6, nullptr, true, true, true},
  };
  std::string install = makeInstall("zek", {"zekloader.jar"});
  for (const auto& c : cases) {
    Strings env = launcherEnvironment(Jvm::StandIn);
    setVariable(env, "ZEK_STANDIN_JVM", c.mode);
    LauncherResult r = run(install, {"--startverbose", "arg"}, env);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.mode << "\n" << describe(r);
    if (c.logMessage != nullptr) {
      EXPECT_TRUE(contains(r.logMessages, c.logMessage)) << c.mode << "\n" << r.err;
    }
    EXPECT_EQ(contains(r.logMessages, "JVM has successfully been created."), c.created) << c.mode;
    ASSERT_FALSE(r.outLines.empty()) << c.mode;
    EXPECT_EQ(r.outLines.back() == "DestroyJavaVM", c.created) << c.mode << "\n" << r.out;
    EXPECT_EQ(contains(r.outLines, "CallStaticVoidMethod ok"), c.ranMain) << c.mode;
    EXPECT_EQ(contains(r.outLines, "ExceptionDescribe"), c.described) << c.mode;
    EXPECT_TRUE(contains(r.logMessages, "thread joined")) << c.mode;
  }
}

}  // namespace
