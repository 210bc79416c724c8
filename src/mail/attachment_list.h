// The files attached to the message being written: checked when they are attached (a regular
// file this user can read, all of them together within the limit most providers set), read
// only when the message is queued.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pelorin {

// Most providers take no message beyond 25 MiB; files beyond it are refused when attached.
inline constexpr std::uint64_t kAttachmentLimit = 25u << 20;

struct AttachedFile {
  std::string path;
  std::string name;  // the file's name, as the message and the window show it
  std::uint64_t size = 0;
  bool operator==(const AttachedFile&) const = default;
};

// Whether the open file `fd` lies on a kernel's pseudo file system (/proc, /sys and the like):
// such files say they are regular and empty, yet read out the program's own secrets.
bool OnPseudoFileSystem(int fd);

// "812 bytes", "3.4 KiB", "12.0 MiB".
std::string SizeText(std::uint64_t bytes);

class AttachmentList {
 public:
  // Attaches the file at `path`; returns why it cannot be (naming the file), or empty text.
  // The same file twice is attached once.
  std::string Add(const std::string& path);
  void Remove(std::size_t index);
  void Clear() { files_.clear(); }

  const std::vector<AttachedFile>& Files() const { return files_; }
  bool Empty() const { return files_.empty(); }
  std::uint64_t TotalSize() const;

 private:
  std::vector<AttachedFile> files_;
};

}  // namespace pelorin
