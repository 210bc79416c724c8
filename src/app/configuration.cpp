#include "app/configuration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "mail/mailto_link.h"
#include "os/file_access.h"
#include "os/file_write.h"
#include "os/msgbox.h"

namespace pelorin {

const std::string ConfigurationFileName = "tessaly32.cfg";

namespace {

constexpr char kCarriageReturn = '\r';
constexpr char kLineFeed = '\n';
constexpr char kEndOfData = 26;  // Ctrl-Z
constexpr std::string_view kLineTerminator = "\r\n";
constexpr std::string_view kTrue = "TRUE";
constexpr std::string_view kFalse = "FALSE";

// Reads text lines the way the file has always been read: CR ends a line, one LF after it
// belongs to the line end, a Ctrl-Z ends everything.
class LineReader {
 public:
  explicit LineReader(std::string_view bytes) : data_(bytes.substr(0, bytes.find(kEndOfData))) {}

  bool AtEnd() const { return position_ >= data_.size(); }

  // An empty text once the data has ended.
  std::string ReadLine() {
    const std::size_t end = std::min(data_.find(kCarriageReturn, position_), data_.size());
    std::string line(data_.substr(position_, end - position_));
    position_ = end;
    if (position_ < data_.size()) ++position_;
    if (position_ < data_.size() && data_[position_] == kLineFeed) ++position_;
    return line;
  }

 private:
  std::string_view data_;
  std::size_t position_ = 0;
};

// Without a colon the whole line is the server and the port keeps its value.
void ReadServerLine(const std::string& line, Configuration& configuration) {
  const std::size_t colon = line.find(':');
  configuration.smtpServer = line.substr(0, colon);
  if (colon != std::string::npos) configuration.smtpPort = line.substr(colon + 1);
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

// A name that no other writer uses: this process's id and a counter.
int CreateTemporaryFile(const std::string& path, std::string& temporaryPath, int& fd) {
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporaryPath = path + "." + std::to_string(::getpid()) + "." + std::to_string(++counter);
    fd = ::open(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return 0;
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

// The replacement keeps the old file's permissions; if that fails, the mode that the umask
// gave the new file is an acceptable fallback, so the result is not checked.
void KeepPermissions(const std::string& path, int fd) {
  struct stat old {};
  if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
    static_cast<void>(::fchmod(fd, old.st_mode & 07777));
  }
}

// Makes the rename itself durable. The new file is already in place and reads back
// correctly, so a directory that cannot be synced is no failure of the save.
void SyncDirectoryOf(const std::string& path) {
  os::SyncDirectory(DirectoryOf(path));
}

// The new file is renamed over the old one, which asks only the directory, and root passes
// every access check: a file or directory that nobody may write is refused here, as writing
// in place would be. What does not exist is left to the steps that follow to report.
int WriteRefusal(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && !os::MayWrite(path)) {
    return EACCES;
  }
  const std::string directory = DirectoryOf(path);
  if (::stat(directory.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
      !os::MayWrite(directory)) {
    return EACCES;
  }
  return 0;
}

int WriteSyncAndClose(int fd, std::string_view bytes) {
  int error = os::WriteAll(fd, bytes);
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  return error;
}

}  // namespace

Configuration ParseConfiguration(std::string_view bytes) {
  LineReader reader(bytes);
  Configuration configuration;
  ReadServerLine(reader.ReadLine(), configuration);
  configuration.senderAddress = reader.ReadLine();
  configuration.dialEntry = reader.ReadLine();
  configuration.useDialup = reader.ReadLine() == kTrue;
  while (!reader.AtEnd()) {
    configuration.names.push_back(reader.ReadLine());
    configuration.addresses.push_back(reader.ReadLine());
  }
  return configuration;
}

std::string FormatConfiguration(const Configuration& configuration) {
  std::string bytes;
  // A line break inside a value would split it over two lines and shift every later one.
  const auto writeLine = [&bytes](std::string_view text) {
    bytes += ToSingleLine(std::string(text));
    bytes += kLineTerminator;
  };
  writeLine(configuration.smtpServer + ":" + configuration.smtpPort);
  writeLine(configuration.senderAddress);
  writeLine(configuration.dialEntry);
  writeLine(configuration.useDialup ? kTrue : kFalse);
  for (std::size_t i = 0; i < configuration.names.size(); ++i) {
    writeLine(configuration.names[i]);
    writeLine(i < configuration.addresses.size() ? configuration.addresses[i] : std::string());
  }
  return bytes;
}

Configuration CurrentConfiguration() {
  return {SmtpServer, SmtpPort, SenderAddress, DialEntry, UseDialup, NameList, AddressList};
}

void ApplyConfiguration(const Configuration& configuration) {
  SmtpServer = configuration.smtpServer;
  SmtpPort = configuration.smtpPort;
  SenderAddress = configuration.senderAddress;
  DialEntry = configuration.dialEntry;
  UseDialup = configuration.useDialup;
  NameList = configuration.names;
  AddressList = configuration.addresses;
}

std::string IoErrorText(int errorNumber) {
  switch (errorNumber) {
    case ENOENT:
      return "File not found";
    case ENOTDIR:
    case ENAMETOOLONG:
    case EINVAL:
      return "Invalid filename";
    case EMFILE:
    case ENFILE:
      return "Too many open files";
    case EACCES:
    case EPERM:
    case EROFS:
      return "File access denied";
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return "Disk full";
    default:
      return "I/O error " + std::to_string(errorNumber);
  }
}

int ReadConfigurationBytes(const std::string& path, std::string& bytes) {
  bytes.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = 0;
  char buffer[4096];
  for (;;) {
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) error = errno;
    if (count <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(count));
    if (std::memchr(buffer, kEndOfData, static_cast<std::size_t>(count)) != nullptr) break;
  }
  ::close(fd);
  return error;
}

int ReplaceFileContents(const std::string& path, std::string_view bytes) {
  if (const int error = WriteRefusal(path)) return error;
  std::string temporaryPath;
  int fd = -1;
  if (const int error = CreateTemporaryFile(path, temporaryPath, fd)) return error;
  KeepPermissions(path, fd);
  int error = WriteSyncAndClose(fd, bytes);
  if (error == 0 && ::rename(temporaryPath.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temporaryPath.c_str());
    return error;
  }
  SyncDirectoryOf(path);
  return 0;
}

std::string ConfigurationPath() {
  return FileBesideProgram(ConfigurationFileName);
}

bool ConfigurationFileExists() {
  struct stat status {};
  return ::stat(ConfigurationPath().c_str(), &status) == 0 && !S_ISDIR(status.st_mode);
}

std::optional<std::string> LoadConfiguration() {
  std::string bytes;
  if (const int error = ReadConfigurationBytes(ConfigurationPath(), bytes)) {
    return IoErrorText(error);
  }
  ApplyConfiguration(ParseConfiguration(bytes));
  return std::nullopt;
}

bool SaveConfiguration() {
  const int error =
      ReplaceFileContents(ConfigurationPath(), FormatConfiguration(CurrentConfiguration()));
  if (error == 0) return true;
  os::ShowErrorBox(IoErrorText(error));
  return false;
}

}  // namespace pelorin
