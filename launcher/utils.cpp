#include "utils.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

bool zek_startverbose = false;

void zek_writeLogMessage(const char* format, ...) {
  if (!zek_startverbose) return;
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[80];
  std::snprintf(stamp, sizeof stamp, "%d-%02d-%02d %02d:%02d:%02d ", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string line = stamp;
  if (length > 0) {
    std::string message((std::size_t)length + 1, '\0');
    std::vsnprintf(message.data(), message.size(), format, args);
    message.resize((std::size_t)length);
    line += message;
  }
  va_end(args);
  line += '\n';
  // One write per line: the Java runtime writes to the same stream from its own threads.
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void zek_logParameters(const char* heading, const std::vector<std::string>& options) {
  zek_writeLogMessage("%s", heading);
  for (std::size_t i = 0; i < options.size(); ++i)
    zek_writeLogMessage("  Parameter %d: '%s'", static_cast<int>(i), options[i].c_str());
}

bool ends_with(const std::string& value, const std::string& ending) {
  return value.size() >= ending.size() &&
         value.compare(value.size() - ending.size(), ending.size(), ending) == 0;
}

void zek_collectJarsIn(const std::string& dir, std::vector<std::string>& jars) {
  zek_writeLogMessage("%s", dir.c_str());
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return;
  while (const dirent* entry = readdir(listing)) {
    if (entry->d_name[0] == '.') continue;
    std::string path = dir + "/" + entry->d_name;
    if (!ends_with(path, ".jar")) continue;
    // stat follows links: a link to a jar counts, a dangling link does not.
    // Directories, FIFOs, sockets and devices are never jars; opening a FIFO
    // would even block the JVM's class loader.
    struct stat status;
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
    jars.push_back(path);
  }
  closedir(listing);
}

static bool zek_isStartVerbose(const char* arg) { return std::strcmp(arg, "--startverbose") == 0; }

bool zek_hasStartVerbose(int argc, const char* const argv[]) {
  for (int i = 1; i < argc; ++i)
    if (zek_isStartVerbose(argv[i])) return true;
  return false;
}

void zek_splitArguments(int argc, const char* const argv[], std::vector<std::string>& argListJVM,
                        std::vector<std::string>& argListZEK) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strncmp(arg, "-vm", 3) == 0)
      argListJVM.emplace_back(arg + 3);
    else if (std::strcmp(arg, "--remote") != 0)
      argListZEK.emplace_back(arg);
  }
}

bool zek_readLinkTarget(const char* link, std::size_t bufferSize, std::string& target) {
  std::vector<char> buffer(bufferSize);
  ssize_t length = readlink(link, buffer.data(), buffer.size());
  // readlink cuts silently: only a target shorter than the buffer is whole.
  if (length < 0 || static_cast<std::size_t>(length) >= bufferSize) return false;
  target.assign(buffer.data(), static_cast<std::size_t>(length));
  return true;
}

std::string zek_directoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string zek_buildClassPath(const std::string& zekPath, const std::vector<std::string>& jars) {
  std::string classPath = zekPath + "/lib";
  classPath += ":" + zekPath;
  for (const std::string& jar : jars) classPath += ":" + jar;
  classPath += ":" + zekPath + "/bin";
  return classPath;
}

std::string zek_buildModulePath(const std::string& zekPath) {
  return zekPath + "/modules/javafx-17.0.1/lib";
}

void zek_appendJvmOptions(std::vector<std::string>& argListJVM, const std::string& classPath,
                          const std::string& modulePath, bool verbose) {
  // No quotes around the class path: the invocation interface passes option
  // strings as they are, so quotes would become part of the first and the
  // last entry and both would be lost.
  argListJVM.push_back("-Djava.class.path=" + classPath);
  argListJVM.push_back("--module-path=" + modulePath);
  argListJVM.push_back("--add-modules=javafx.web,javafx.media,javafx.swing");
  argListJVM.push_back("-XX:+DisableAttachMechanism");
  argListJVM.push_back("-Djava.rmi.server.hostname=localhost");
  if (verbose) {
    argListJVM.push_back("-Dsun.rmi.server.logLevel=VERBOSE");
    argListJVM.push_back("-Djava.rmi.server.logCalls=true");
    argListJVM.push_back("-Dsun.rmi.client.logCalls=true");
    argListJVM.push_back("-Dsun.rmi.transport.tcp.logLevel=VERBOSE");
  }
}
