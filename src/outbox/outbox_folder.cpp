#include "outbox/outbox_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <set>
#include <utility>

#include "os/file_write.h"
#include "outbox/outbox_file.h"
#include "outbox/own_files.h"

namespace pelorin {
namespace {

constexpr const char* kSuffix = ".msg";
constexpr const char* kRefusedSuffix = ".eml";
constexpr std::size_t kTimeDigits = 20;  // the nanoseconds a name begins with

std::string ErrorText(int error) {
  return std::strerror(error);
}

// Writes `bytes` to `path` whole or not at all: a temporary file beside it, flushed to the
// disk, then renamed over. The temporary file is locked while it is written, so that a copy
// that cleans up what a killed writer left knows it from one at work.
bool WriteFileAtomically(const std::string& directory, const std::string& name,
                         const std::string& bytes, std::string& why) {
  const std::string temporary = directory + "/." + name + ".tmp";
  const std::string path = directory + "/" + name;
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    why = ErrorText(errno);
    return false;
  }
  ::flock(fd, LOCK_EX);
  if (os::WriteAll(fd, bytes) != 0 || ::fsync(fd) != 0 ||
      ::rename(temporary.c_str(), path.c_str()) != 0) {
    why = ErrorText(errno);
    ::unlink(temporary.c_str());
    ::close(fd);
    return false;
  }
  ::close(fd);
  os::SyncDirectory(directory);
  return true;
}

std::vector<std::string> EntryNames(const std::string& directory) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) names.emplace_back(entry->d_name);
  ::closedir(dir);
  std::sort(names.begin(), names.end());  // queued names begin with the time they were queued
  return names;
}

bool IsQueuedFileName(const std::string& name) {
  return name.size() > 4 && name[0] != '.' && name.ends_with(kSuffix);
}

std::string FileName(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

// The byte of the lock file that stands for the message file `name`: far apart for different
// names, and below the largest offset a lock can take.
off_t LockOffset(const std::string& name) {
  std::uint64_t hash = 14695981039346656037u;  // FNV-1a
  for (const char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
  return static_cast<off_t>(hash & ((std::uint64_t{1} << 62) - 1));
}

bool LockByte(int fd, const std::string& name, short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = LockOffset(name);
  lock.l_len = 1;
  return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

}  // namespace

OutboxFolder::OutboxFolder(std::string stateDirectory)
    : stateDirectory_(std::move(stateDirectory)) {}

// A program that lets go of queued messages touches the lock file as it does, so that a copy
// watching the folder (the tray copy) takes them over at once.
OutboxFolder::~OutboxFolder() {
  if (lockFd_ < 0) return;
  ::close(lockFd_);  // lets go of every claim at once
  if (!held_.empty()) ::utimensat(AT_FDCWD, (OutboxDirectory() + "/.lock").c_str(), nullptr, 0);
}

std::string OutboxFolder::MakeOutboxDirectory() {
  std::string why;
  const std::string directory = OutboxDirectory();
  if (!MakePrivateDirectories(directory, why) || !IsOwnFolder(stateDirectory_, why) ||
      !IsOwnFolder(directory, why)) {
    return why;
  }
  return {};
}

bool OutboxFolder::HoldsMessagesOfOthers() const {
  for (const std::string& name : EntryNames(OutboxDirectory())) {
    if (IsQueuedFileName(name) && held_.count(name) == 0) return true;
  }
  return false;
}

std::string OutboxFolder::DefaultStateDirectory() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/pelorin32";
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.local/state/pelorin32";
}

// Names that sort in the order the messages were queued, unique across copies of the program.
std::string OutboxFolder::NewFileName() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const long long nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
  char name[96];
  std::snprintf(name, sizeof name, "%0*lld-%d-%u%s", static_cast<int>(kTimeDigits), nanoseconds,
                static_cast<int>(::getpid()), ++counter_, kSuffix);
  return name;
}

// --- Claims ---

bool OutboxFolder::OpenLockFile(std::string& why) {
  if (lockFd_ >= 0) return true;
  const std::string path = OutboxDirectory() + "/.lock";
  lockFd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (lockFd_ < 0) why = "cannot open " + path + ": " + ErrorText(errno);
  return lockFd_ >= 0;
}

// False when another running copy holds the file.
bool OutboxFolder::Claim(const std::string& name) {
  if (held_.count(name) != 0) return true;
  if (!LockByte(lockFd_, name, F_WRLCK)) return false;
  held_.insert(name);
  return true;
}

void OutboxFolder::Release(const std::string& name) {
  if (held_.erase(name) != 0) LockByte(lockFd_, name, F_UNLCK);
}

// --- Keeping and forgetting ---

std::string OutboxFolder::Keep(OutboxMessage& message) {
  std::string why;
  const std::string directory = OutboxDirectory();
  if (!MakePrivateDirectories(directory, why) || !IsOwnFolder(stateDirectory_, why) ||
      !IsOwnFolder(directory, why) || !OpenLockFile(why)) {
    return why;
  }
  const std::string name = NewFileName();
  // Claimed before its temporary file exists: no other copy takes it, or cleans it away.
  if (!Claim(name)) return "cannot lock " + directory + "/.lock: " + ErrorText(errno);
  if (!WriteFileAtomically(directory, name, OutboxFileBytes(message), why)) {
    Release(name);
    return "cannot write " + directory + "/" + name + ": " + why;
  }
  message.storedAs = directory + "/" + name;
  return {};
}

std::string OutboxFolder::Rewrite(const OutboxMessage& message) {
  if (message.storedAs.empty()) return {};
  std::string why;
  if (!WriteFileAtomically(OutboxDirectory(), FileName(message.storedAs), OutboxFileBytes(message),
                           why)) {
    return "The queued message " + message.storedAs +
           " could not be rewritten for the recipients still owed it (" + why +
           "); if the program ends before it is sent, those who have it get it again.";
  }
  return {};
}

// A file that cannot be removed must not be sent again at every start: the claim stays for
// this run, and a note keeps later runs and other copies off it.
std::string OutboxFolder::Forget(const OutboxMessage& message) {
  if (message.storedAs.empty()) return {};
  const std::string name = FileName(message.storedAs);
  if (::unlink(message.storedAs.c_str()) != 0 && errno != ENOENT) {
    const std::string problem =
        "The file of a message that has left the outbox cannot be "
        "removed (" +
        message.storedAs + ": " + ErrorText(errno) + ")";
    const std::string why = NoteSent(name);
    if (why.empty()) {
      return problem + ". A note in " + SentNotesDirectory() +
             " keeps it from being sent again; remove the file when you can.";
    }
    return problem + ", and no note of it could be kept (" + why +
           "), so it is sent again at the next start unless you remove it.";
  }
  os::SyncDirectory(OutboxDirectory());
  Release(name);
  return {};
}

// Empty text when the note is kept.
std::string OutboxFolder::NoteSent(const std::string& name) {
  std::string why;
  const std::string directory = SentNotesDirectory();
  if (!MakePrivateDirectories(directory, why) || !IsOwnFolder(directory, why)) return why;
  const std::string path = directory + "/" + name;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return "cannot write " + path + ": " + ErrorText(errno);
  ::close(fd);
  os::SyncDirectory(directory);
  return {};
}

// The names noted as sent whose files are still there; a note whose file is gone, or can be
// removed now, goes.
std::set<std::string> OutboxFolder::SentNotes() {
  std::set<std::string> noted;
  const std::string directory = SentNotesDirectory();
  for (const std::string& name : EntryNames(directory)) {
    if (!IsQueuedFileName(name)) continue;
    const std::string path = OutboxDirectory() + "/" + name;
    if (::unlink(path.c_str()) == 0 || errno == ENOENT) {
      ::unlink((directory + "/" + name).c_str());
      Release(name);
      continue;
    }
    noted.insert(name);
  }
  return noted;
}

// A temporary file goes when no writer claims its message and none holds it locked: the copy
// that wrote it was killed.
void OutboxFolder::RemoveLeftTemporaryFiles() {
  const std::string directory = OutboxDirectory();
  for (const std::string& entry : EntryNames(directory)) {
    if (entry.size() < 6 || entry[0] != '.' || !entry.ends_with(".tmp")) continue;
    const std::string name = entry.substr(1, entry.size() - 5);
    if (held_.count(name) != 0 || !Claim(name)) continue;
    const std::string path = directory + "/" + entry;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) ::unlink(path.c_str());
    if (fd >= 0) ::close(fd);
    Release(name);
  }
}

// --- Loading ---

OutboxFolder::Loaded OutboxFolder::Load() {
  Loaded loaded;
  const std::string directory = OutboxDirectory();
  struct stat status {};
  if (::lstat(directory.c_str(), &status) != 0) return loaded;  // nothing was ever queued
  std::string why;
  if (!IsOwnFolder(stateDirectory_, why) || !IsOwnFolder(directory, why) || !OpenLockFile(why)) {
    if (!std::exchange(problemReported_, true)) {
      loaded.problem = "Queued mail is not read, and none is sent: " + why + ".";
    }
    return loaded;
  }
  RemoveLeftTemporaryFiles();
  const std::set<std::string> noted = SentNotes();
  for (const std::string& name : EntryNames(directory)) {
    if (!IsQueuedFileName(name) || held_.count(name) != 0 || noted.count(name) != 0 ||
        damagedReported_.count(name) != 0) {
      continue;
    }
    BeforeClaiming(name);
    if (!Claim(name)) continue;  // another running copy of the program holds it
    const std::string path = directory + "/" + name;
    OutboxMessage message;
    const Reading reading = ReadQueued(path, message, why);
    if (reading != Reading::Read) Release(name);
    if (reading == Reading::Damaged) {
      damagedReported_.insert(name);
      loaded.damaged.push_back(path + ": " + why);
    }
    if (reading != Reading::Read) continue;
    message.storedAs = path;
    loaded.messages.push_back(std::move(message));
  }
  return loaded;
}

// A file that another copy sent and removed since the folder was listed is gone, not damaged.
OutboxFolder::Reading OutboxFolder::ReadQueued(const std::string& path, OutboxMessage& message,
                                               std::string& why) const {
  // Not blocking: a FIFO under a message's name would otherwise hold the start for ever.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat status {};
  if (fd < 0) {
    const int error = errno;
    why = ErrorText(error);
    return error == ENOENT && ::lstat(path.c_str(), &status) != 0 ? Reading::Gone
                                                                  : Reading::Damaged;
  }
  std::string bytes;
  Reading reading = Reading::Damaged;
  if (::fstat(fd, &status) == 0 && status.st_nlink == 0) {
    reading = Reading::Gone;
  } else if (S_ISREG(status.st_mode) &&
             static_cast<std::uintmax_t>(status.st_size) > kOutboxFileSizeLimit) {
    why = std::string("it is larger than ") + kOutboxFileSizeLimitText +
          ", more than any message this program queues";
  } else if (!ReadAtMost(fd, kOutboxFileSizeLimit, bytes)) {
    why = ErrorText(errno);
  } else if (bytes.size() > kOutboxFileSizeLimit) {
    why = std::string("it is larger than ") + kOutboxFileSizeLimitText;
  } else if (std::optional<OutboxMessage> parsed = ParseOutboxFile(bytes, why)) {
    message = std::move(*parsed);
    reading = Reading::Read;
  }
  ::close(fd);
  return reading;
}

std::string OutboxFolder::KeepRefused(const OutboxMessage& message, std::string& why) {
  const std::string directory = RefusedDirectory();
  if (!MakePrivateDirectories(directory, why) || !IsOwnFolder(directory, why)) return {};
  std::string name = NewFileName();
  name.replace(name.size() - std::strlen(kSuffix), std::string::npos, kRefusedSuffix);
  if (!WriteFileAtomically(directory, name, message.text, why)) return {};
  return directory + "/" + name;
}

}  // namespace pelorin

namespace pelorin {

std::vector<std::string> OutboxFolder::RefusedFiles() const {
  std::vector<std::string> paths;
  const std::string directory = RefusedDirectory();
  for (const std::string& name : EntryNames(directory)) {
    if (name[0] != '.' && name.ends_with(kRefusedSuffix)) paths.push_back(directory + "/" + name);
  }
  return paths;
}

std::optional<std::chrono::system_clock::time_point> OutboxFolder::QueuedAt(
    const std::string& storedAs) {
  const std::string name = FileName(storedAs);
  if (name.size() <= kTimeDigits || name[kTimeDigits] != '-') return std::nullopt;
  long long nanoseconds = 0;
  for (std::size_t i = 0; i < kTimeDigits; ++i) {
    if (name[i] < '0' || name[i] > '9') return std::nullopt;
    if (nanoseconds > (std::numeric_limits<long long>::max() - 9) / 10) return std::nullopt;
    nanoseconds = nanoseconds * 10 + (name[i] - '0');
  }
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::nanoseconds(nanoseconds)));
}

}  // namespace pelorin
