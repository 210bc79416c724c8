#include "os/file_write.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace os {

int WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return errno;
    if (written == 0) return EIO;  // no progress: it would never end
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

int ReplaceFile(const std::string& directory, const std::string& name, std::string_view bytes) {
  const std::string temporary = directory + "/." + name + ".tmp";
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  int error = WriteAll(fd, bytes);
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), (directory + "/" + name).c_str()) != 0) {
    error = errno;
  }
  ::close(fd);
  if (error != 0) {
    ::unlink(temporary.c_str());
    return error;
  }
  SyncDirectory(directory);
  return 0;
}

void SyncDirectory(const std::string& directory) {
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  static_cast<void>(::fsync(fd));
  ::close(fd);
}

}  // namespace os
