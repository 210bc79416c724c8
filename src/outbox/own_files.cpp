#include "outbox/own_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pelorin {

bool MakePrivateDirectories(const std::string& path, std::string& why) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      why = "cannot create " + part + ": " + std::strerror(errno);
      return false;
    }
    if (slash == std::string::npos) return true;
  }
}

bool IsOwnFolder(const std::string& path, std::string& why) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return true;
  if (S_ISLNK(status.st_mode)) {
    why = path + " is a symbolic link, not a folder of your own";
    return false;
  }
  if (status.st_uid != ::geteuid()) {
    why = path + " belongs to another user, not to you";
    return false;
  }
  return true;
}

bool ReadAtMost(int fd, std::size_t limit, std::string& bytes) {
  char buffer[65536];
  while (bytes.size() <= limit) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace pelorin
