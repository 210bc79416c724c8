#include "app/outbox_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/outbox_file.h"
#include "os/file_write.h"

namespace pelorin {
namespace {

constexpr const char* kSuffix = ".msg";

std::string ErrorText(int error) {
  return std::strerror(error);
}

// Creates `path` and its parents that are missing, each for the user alone.
bool MakePrivateDirectories(const std::string& path, std::string& why) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      why = "cannot create " + part + ": " + ErrorText(errno);
      return false;
    }
    if (slash == std::string::npos) return true;
  }
}

bool ReadAll(int fd, std::string& bytes) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
}

// Writes `bytes` to `path` whole or not at all: a temporary file beside it, flushed to the
// disk, then renamed over. The descriptor is returned still open and locked (or -1).
int WriteFileAtomically(const std::string& directory, const std::string& name,
                        const std::string& bytes, std::string& why) {
  const std::string temporary = directory + "/." + name + ".tmp";
  const std::string path = directory + "/" + name;
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    why = ErrorText(errno);
    return -1;
  }
  // Locked before it gets its name, so that no other copy of the program can take it.
  ::flock(fd, LOCK_EX);
  if (os::WriteAll(fd, bytes) != 0 || ::fsync(fd) != 0 ||
      ::rename(temporary.c_str(), path.c_str()) != 0) {
    why = ErrorText(errno);
    ::unlink(temporary.c_str());
    ::close(fd);
    return -1;
  }
  os::SyncDirectory(directory);
  return fd;
}

std::vector<std::string> QueuedFileNames(const std::string& directory) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() > 4 && name[0] != '.' && name.ends_with(kSuffix)) names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());  // the names begin with the time they were queued
  return names;
}

}  // namespace

OutboxFolder::OutboxFolder(std::string stateDirectory)
    : stateDirectory_(std::move(stateDirectory)) {}

OutboxFolder::~OutboxFolder() {
  for (const auto& [path, fd] : locks_) ::close(fd);
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
  std::snprintf(name, sizeof name, "%020lld-%d-%u%s", nanoseconds, static_cast<int>(::getpid()),
                ++counter_, kSuffix);
  return name;
}

std::string OutboxFolder::Keep(OutboxMessage& message) {
  std::string why;
  const std::string directory = OutboxDirectory();
  if (!MakePrivateDirectories(directory, why)) return why;
  const std::string name = NewFileName();
  const int fd = WriteFileAtomically(directory, name, OutboxFileBytes(message), why);
  if (fd < 0) return "cannot write " + directory + "/" + name + ": " + why;
  message.storedAs = directory + "/" + name;
  locks_[message.storedAs] = fd;
  return {};
}

void OutboxFolder::Forget(const OutboxMessage& message) {
  if (message.storedAs.empty()) return;
  ::unlink(message.storedAs.c_str());
  os::SyncDirectory(OutboxDirectory());
  const auto lock = locks_.find(message.storedAs);
  if (lock == locks_.end()) return;
  ::close(lock->second);
  locks_.erase(lock);
}

OutboxFolder::Loaded OutboxFolder::Load() {
  Loaded loaded;
  const std::string directory = OutboxDirectory();
  for (const std::string& name : QueuedFileNames(directory)) {
    const std::string path = directory + "/" + name;
    if (locks_.count(path) != 0) continue;
    // Not blocking: a FIFO under a message's name would otherwise hold the start for ever.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      loaded.damaged.push_back(path + ": " + ErrorText(errno));
      continue;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd);  // another running copy of the program sends it
      continue;
    }
    std::string bytes;
    std::string why;
    std::optional<OutboxMessage> message;
    if (!ReadAll(fd, bytes)) {
      why = ErrorText(errno);
    } else {
      message = ParseOutboxFile(bytes, why);
    }
    if (!message) {
      loaded.damaged.push_back(path + ": " + why);
      ::close(fd);
      continue;
    }
    message->storedAs = path;
    locks_[path] = fd;
    loaded.messages.push_back(std::move(*message));
  }
  return loaded;
}

std::string OutboxFolder::KeepRefused(const OutboxMessage& message, std::string& why) {
  const std::string directory = RefusedDirectory();
  if (!MakePrivateDirectories(directory, why)) return {};
  std::string name = NewFileName();
  name.replace(name.size() - std::strlen(kSuffix), std::string::npos, ".eml");
  const int fd = WriteFileAtomically(directory, name, message.text, why);
  if (fd < 0) return {};
  ::close(fd);
  return directory + "/" + name;
}

}  // namespace pelorin
