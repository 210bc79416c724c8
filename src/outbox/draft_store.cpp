#include "outbox/draft_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

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

constexpr const char* kFileName = "draft";

std::string ErrorText(int error) {
  return std::strerror(error);
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

DraftStore::Claim DraftStore::Take(std::string& why) {
  if (Owned()) return Claim::Taken;
  if (!MakePrivateDirectories(stateDirectory_, why) || !IsOwnFolder(stateDirectory_, why)) {
    return Claim::Failed;
  }
  const std::string path = stateDirectory_ + "/.draft.lock";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    why = "cannot open " + path + ": " + ErrorText(errno);
    return Claim::Failed;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) return Claim::HeldElsewhere;
    why = "cannot lock " + path + ": " + ErrorText(error);
    return Claim::Failed;
  }
  lockFd_ = fd;
  return Claim::Taken;
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
  if (!Owned()) return "another copy of the program keeps its own draft";
  if (const int error = os::ReplaceFile(stateDirectory_, kFileName, DraftFileBytes(draft))) {
    return "cannot write " + Path() + ": " + ErrorText(error);
  }
  return {};
}

std::string DraftStore::Remove() {
  if (!Owned()) return "another copy of the program keeps its own draft";
  if (::unlink(Path().c_str()) != 0 && errno != ENOENT) {
    return "cannot remove " + Path() + ": " + ErrorText(errno);
  }
  os::SyncDirectory(stateDirectory_);
  return {};
}

}  // namespace pelorin
