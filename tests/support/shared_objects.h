#pragma once
// The named objects (mappings and events of the platform layer) that a test's processes left
// behind under the test's name prefix.
//
// A Windows named object goes with its last handle, also with the handles of a process that
// was ended by force, so nothing is ever left there. On Linux an object is the file
// /dev/shm/<prefix><name>, which its last holder removes when it closes it; a holder ended by
// force (SIGKILL) never closes, and when it was the last one the file stays. Every holder keeps
// a shared lock on the file while it holds the object, so a file that takes an exclusive lock
// belongs to no live process.
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>
#endif

namespace zt {

// Removes every object under prefix that no process holds any more and returns the names
// removed (without the prefix). Objects still held by a live process stay.
inline std::vector<std::string> removeLeftOverObjects(const std::string &prefix) {
  std::vector<std::string> removed;
#ifndef _WIN32
  std::error_code failed;
  for (const auto &entry : std::filesystem::directory_iterator("/dev/shm", failed)) {
    std::string name = entry.path().filename().string();
    if (prefix.empty() || name.compare(0, prefix.size(), prefix) != 0) continue;
    int fd = open(entry.path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 && unlink(entry.path().c_str()) == 0)
      removed.push_back(name.substr(prefix.size()));
    close(fd);
  }
#else
  (void)prefix;
#endif
  return removed;
}

}  // namespace zt
