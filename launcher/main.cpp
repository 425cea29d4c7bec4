// zek_exe: finds the installation and the Java runtime, builds the class path,
// the module path and the options, and runs the Java application in-process.
// Exit codes: 1 installation or environment unusable, else the result of
// zek_startJavaVM (0, 2 to 6).

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "jvmstart.h"
#include "utils.h"

static bool zek_isUnset(const char* value) { return value == nullptr || value[0] == '\0'; }

int main(int argc, char* argv[]) {
  zek_startverbose = zek_hasStartVerbose(argc, argv);

  zek_writeLogMessage("Searching installation of ZEK...");
  std::string exePath;
  if (!zek_readLinkTarget("/proc/self/exe", ZEK_EXE_PATH_BUFFER, exePath)) {
    zek_writeLogMessage("The path of the running executable cannot be read.");
    return 1;
  }
  std::string zekPath = zek_directoryOf(exePath);
  zek_writeLogMessage("Located ZEK in '%s'.", zekPath.c_str());
  // ':' separates the entries of the class path and the module path, so such
  // an installation would load its classes from the wrong places.
  if (zekPath.find(':') != std::string::npos) {
    std::printf("Cannot start ZEK from '%s' since the path contains ':', please install ZEK in a "
                "directory whose path has no ':'.\n",
                zekPath.c_str());
    return 1;
  }

  zek_writeLogMessage("Searching installation of Java...");
  const char* javaHome = std::getenv("JAVA_HOME");
  if (zek_isUnset(javaHome)) {
    std::puts("Cannot locate Java installation since 'JAVA_HOME' is missing or empty");
    return 1;
  }
  if (zek_isUnset(std::getenv("LD_LIBRARY_PATH"))) {
    std::puts("The environment variable 'LD_LIBRARY_PATH' is missing or empty, please set this "
              "variable to the path where your java libraries are located.");
    return 1;
  }
  zek_writeLogMessage("Located Java in '%s'.", javaHome);

  std::vector<std::string> jars;
  zek_collectJarsIn(zekPath + "/bin", jars);
  std::string zekClassPath = zek_buildClassPath(zekPath, jars);
  std::string zekModulePath = zek_buildModulePath(zekPath);

  std::vector<std::string> argListJVM;
  std::vector<std::string> argListZEK;
  zek_splitArguments(argc, argv, argListJVM, argListZEK);
  zek_appendJvmOptions(argListJVM, zekClassPath, zekModulePath, zek_startverbose);

  zek_logParameters("Creating JVM with the following arguments: ", argListJVM);

  std::fflush(stdout);
  return static_cast<int>(zek_startJavaVM(javaHome, argListJVM, ZEK_MAIN_CLASS, argListZEK));
}
