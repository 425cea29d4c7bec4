// Command line, installation discovery and Java options of zek_exe.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Verbose logging, turned on by "--startverbose".
extern bool zek_startverbose;

// Main class of the Java application, in the invocation interface's
// slash-separated form.
inline constexpr const char* ZEK_MAIN_CLASS = "com/norvale/loader/zek/ZekLoader";

// Size of the buffer that receives the path of the running executable.
inline constexpr std::size_t ZEK_EXE_PATH_BUFFER = 4096;

// One log line on the standard error stream, stamped with the local time;
// does nothing unless zek_startverbose is set.
void zek_writeLogMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Logs the heading, then "  Parameter <i>: '<option>'" for every option.
void zek_logParameters(const char* heading, const std::vector<std::string>& options);

// True when value ends with ending (false when value is the shorter one).
bool ends_with(const std::string& value, const std::string& ending);

// Appends dir + "/" + name for every regular file of dir whose name ends in
// ".jar" and does not begin with '.', in directory-listing order. A directory
// that cannot be opened appends nothing.
void zek_collectJarsIn(const std::string& dir, std::vector<std::string>& jars);

// True when one of argv[1 .. argc-1] is "--startverbose".
bool zek_hasStartVerbose(int argc, const char* const argv[]);

// Sorts argv[1 .. argc-1], in order: an argument beginning with "-vm" gives
// the rest of it to argListJVM, "--remote" is dropped, every other argument
// goes to argListZEK unchanged.
void zek_splitArguments(int argc, const char* const argv[], std::vector<std::string>& argListJVM,
                        std::vector<std::string>& argListZEK);

// Reads the target of a symbolic link through a buffer of bufferSize bytes.
// A target that fills the whole buffer may have been cut and counts as a
// failure, as does an unreadable link.
bool zek_readLinkTarget(const char* link, std::size_t bufferSize, std::string& target);

// The directory part of a path: everything before its last '/'.
std::string zek_directoryOf(const std::string& path);

// zekPath/lib, zekPath, the jars and zekPath/bin, joined by ':'.
std::string zek_buildClassPath(const std::string& zekPath, const std::vector<std::string>& jars);

// zekPath/modules/javafx-17.0.1/lib.
std::string zek_buildModulePath(const std::string& zekPath);

// Appends the class path, the JavaFX modules, the attach and RMI options
// (and with verbose the RMI logging options) to argListJVM.
void zek_appendJvmOptions(std::vector<std::string>& argListJVM, const std::string& classPath,
                          const std::string& modulePath, bool verbose);
