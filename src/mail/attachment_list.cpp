#include "mail/attachment_list.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace pelorin {
namespace {

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Why the file at `path` cannot be attached, or empty text; `size` receives its size.
// Opened without blocking and looked at through the descriptor: a FIFO would otherwise hold
// the window, and what is checked is what was opened.
std::string Unattachable(const std::string& path, std::uint64_t& size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    return errno == ENOENT ? "it does not exist" : std::strerror(errno);
  }
  struct stat status {};
  const bool known = ::fstat(fd, &status) == 0;
  const int error = errno;
  const bool pseudo = known && OnPseudoFileSystem(fd);
  ::close(fd);
  if (!known) return std::strerror(error);
  if (S_ISDIR(status.st_mode)) return "it is a folder, not a file";
  if (!S_ISREG(status.st_mode) || pseudo) return "it is not a regular file";
  size = static_cast<std::uint64_t>(status.st_size);
  return {};
}

}  // namespace

bool OnPseudoFileSystem(int fd) {
  static constexpr unsigned long kPseudo[] = {
      PROC_SUPER_MAGIC,   SYSFS_MAGIC,         DEBUGFS_MAGIC, TRACEFS_MAGIC,  SECURITYFS_MAGIC,
      CGROUP_SUPER_MAGIC, CGROUP2_SUPER_MAGIC, BPF_FS_MAGIC,  PSTOREFS_MAGIC, EFIVARFS_MAGIC,
      DEVPTS_SUPER_MAGIC, SELINUX_MAGIC,       SMACK_MAGIC,   NSFS_MAGIC,     BINFMTFS_MAGIC};
  struct statfs system {};
  if (::fstatfs(fd, &system) != 0) return false;
  return std::find(std::begin(kPseudo), std::end(kPseudo),
                   static_cast<unsigned long>(system.f_type)) != std::end(kPseudo);
}

std::string SizeText(std::uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  char text[32];
  const double kib = static_cast<double>(bytes) / 1024.0;
  if (kib < 1024.0) {
    std::snprintf(text, sizeof text, "%.1f KiB", kib);
  } else {
    std::snprintf(text, sizeof text, "%.1f MiB", kib / 1024.0);
  }
  return text;
}

std::string AttachmentList::Add(const std::string& path) {
  if (std::any_of(files_.begin(), files_.end(),
                  [&](const AttachedFile& file) { return file.path == path; })) {
    return {};
  }
  std::uint64_t size = 0;
  const std::string why = Unattachable(path, size);
  if (!why.empty()) return "The file " + path + " cannot be attached: " + why + ".";
  if (size > kAttachmentLimit - std::min(TotalSize(), kAttachmentLimit)) {
    return "The file " + path + " cannot be attached: with it the attached files would come to " +
           SizeText(TotalSize() + size) + ", more than the " + SizeText(kAttachmentLimit) +
           " most mail servers take.";
  }
  files_.push_back({path, BaseName(path), size});
  return {};
}

void AttachmentList::Remove(std::size_t index) {
  if (index < files_.size()) files_.erase(files_.begin() + static_cast<std::ptrdiff_t>(index));
}

std::uint64_t AttachmentList::TotalSize() const {
  std::uint64_t total = 0;
  for (const AttachedFile& file : files_) total += file.size;
  return total;
}

}  // namespace pelorin
