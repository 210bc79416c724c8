#include "os/file_access.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace os {

bool MayWrite(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return false;
  if ((status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return false;
  return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

}  // namespace os
