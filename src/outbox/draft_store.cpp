#include "outbox/draft_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "os/file_write.h"
#include "outbox/length_fields.h"
#include "outbox/own_files.h"

namespace pelorin {
namespace {

struct Field {
  std::string_view name;
  std::string DraftFields::*text;
};

// In the order they are written; every one must be present when read.
constexpr std::array<Field, 4> kFields = {{
    {"name", &DraftFields::name},
    {"email", &DraftFields::email},
    {"subject", &DraftFields::subject},
    {"memo", &DraftFields::memo},
}};

// The first draft keeps the name it had when there was only one.
std::string FileName(int number) {
  return number == 1 ? std::string("draft") : "draft-" + std::to_string(number);
}

// The number of the draft file called `name`, or 0 when it is none.
int DraftNumber(std::string_view name) {
  if (name == "draft") return 1;
  constexpr std::string_view kPrefix = "draft-";
  if (!name.starts_with(kPrefix)) return 0;
  int number = 0;
  const char* const end = name.data() + name.size();
  const auto [stop, error] = std::from_chars(name.data() + kPrefix.size(), end, number);
  if (error != std::errc{} || stop != end || number < 2 || FileName(number) != name) return 0;
  return number;
}

// The numbers of the drafts in `directory`, the oldest written first.
std::vector<int> NumbersOldestFirst(const std::string& directory) {
  std::vector<std::pair<std::pair<time_t, long>, int>> found;
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return {};
  while (const dirent* entry = ::readdir(dir)) {
    const int number = DraftNumber(entry->d_name);
    struct stat status {};
    if (number == 0 || ::lstat((directory + "/" + entry->d_name).c_str(), &status) != 0) continue;
    found.push_back({{status.st_mtim.tv_sec, status.st_mtim.tv_nsec}, number});
  }
  ::closedir(dir);
  std::sort(found.begin(), found.end());
  std::vector<int> numbers;
  for (const auto& [written, number] : found) numbers.push_back(number);
  return numbers;
}

std::string ErrorText(int error) {
  return std::strerror(error);
}

bool UsableFolder(const std::string& directory, std::string& why) {
  return MakePrivateDirectories(directory, why) && IsOwnFolder(directory, why);
}

bool HoldsText(const DraftStore::Left& left) {
  return left.draft && *left.draft != DraftFields{};
}

// Why the open file `fd` is no draft of the user's own, or empty text.
std::string Untrusted(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return ErrorText(errno);
  if (!S_ISREG(status.st_mode)) return "it is not a plain file";
  if (status.st_uid != ::geteuid()) return "it belongs to another user, not to you";
  if (static_cast<std::uintmax_t>(status.st_size) > kDraftFileSizeLimit) {
    return "it is larger than any text the window holds";
  }
  return {};
}

}  // namespace

std::string DraftFileBytes(const DraftFields& draft) {
  std::string bytes(kDraftFileHeader);
  for (const Field& field : kFields) AppendLengthField(bytes, field.name, draft.*field.text);
  return bytes;
}

std::optional<DraftFields> ParseDraftFile(std::string_view bytes, std::string& why) {
  if (bytes.substr(0, kDraftFileHeader.size()) != kDraftFileHeader) {
    why = "it is not a draft of this program";
    return std::nullopt;
  }
  std::string_view rest = bytes.substr(kDraftFileHeader.size());
  DraftFields draft;
  for (const Field& field : kFields) {
    if (!TakeLengthField(rest, field.name, draft.*field.text, why)) return std::nullopt;
  }
  if (!rest.empty()) {
    why = "it holds more than one draft";
    return std::nullopt;
  }
  return draft;
}

DraftStore::DraftStore(std::string stateDirectory) : stateDirectory_(std::move(stateDirectory)) {}

DraftStore::~DraftStore() {
  Release();
}

std::string DraftStore::Path() const {
  return stateDirectory_ + "/" + FileName(number_);
}

DraftStore::Claim DraftStore::TakeLeft(Left& left, std::string& why) {
  if (Owned()) return Claim::NoneLeft;  // one draft per copy
  if (!UsableFolder(stateDirectory_, why)) return Claim::Failed;
  for (const int number : NumbersOldestFirst(stateDirectory_)) {
    switch (TakeNumber(number, why)) {
      case Lock::HeldElsewhere:
        continue;
      case Lock::Failed:
        return Claim::Failed;
      case Lock::Taken:
        break;
    }
    Left found = Read();
    if (HoldsText(found)) {
      left = std::move(found);
      return Claim::Taken;
    }
    if (left.problem.empty()) left.problem = found.problem;
    Release();
  }
  return Claim::NoneLeft;
}

// Ends: every number passed over is owned by a running copy or names a file there.
bool DraftStore::TakeFree(std::string& why) {
  if (Owned()) return true;
  if (!UsableFolder(stateDirectory_, why)) return false;
  for (int number = 1;; ++number) {
    switch (TakeNumber(number, why)) {
      case Lock::HeldElsewhere:
        continue;
      case Lock::Failed:
        return false;
      case Lock::Taken:
        break;
    }
    if (!HoldsText(Read())) return true;
    Release();
  }
}

DraftStore::Lock DraftStore::TakeNumber(int number, std::string& why) {
  const std::string path = stateDirectory_ + "/." + FileName(number) + ".lock";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    why = "cannot open " + path + ": " + ErrorText(errno);
    return Lock::Failed;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) return Lock::HeldElsewhere;
    why = "cannot lock " + path + ": " + ErrorText(error);
    return Lock::Failed;
  }
  lockFd_ = fd;
  number_ = number;
  return Lock::Taken;
}

void DraftStore::Release() {
  if (lockFd_ >= 0) ::close(lockFd_);  // the lock goes with the descriptor
  lockFd_ = -1;
}

DraftStore::Left DraftStore::Read() const {
  Left left;
  if (std::string why; !IsOwnFolder(stateDirectory_, why)) {
    left.problem = why;
    return left;
  }
  // Not blocking: a FIFO under the draft's name would otherwise hold the start for ever.
  const int fd = ::open(Path().c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ELOOP)
      left.problem = Path() + ": it is a symbolic link, not a file of your own";
    else if (errno != ENOENT)
      left.problem = Path() + ": " + ErrorText(errno);
    return left;
  }
  std::string why = Untrusted(fd);
  std::string bytes;
  if (why.empty() && !ReadAtMost(fd, kDraftFileSizeLimit, bytes)) why = ErrorText(errno);
  ::close(fd);
  if (why.empty()) left.draft = ParseDraftFile(bytes, why);
  if (!why.empty()) left.problem = Path() + ": " + why;
  return left;
}

std::string DraftStore::Keep(const DraftFields& draft) {
  if (!Owned()) return "this window owns no draft file";
  if (const int error =
          os::ReplaceFile(stateDirectory_, FileName(number_), DraftFileBytes(draft))) {
    return "cannot write " + Path() + ": " + ErrorText(error);
  }
  return {};
}

std::string DraftStore::Remove() {
  if (!Owned()) return "this window owns no draft file";
  if (::unlink(Path().c_str()) != 0 && errno != ENOENT) {
    return "cannot remove " + Path() + ": " + ErrorText(errno);
  }
  os::SyncDirectory(stateDirectory_);
  return {};
}

}  // namespace pelorin
