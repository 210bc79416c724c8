#include "os/registry_hive.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "os/file_access.h"
#include "os/file_write.h"

namespace os {
namespace {

namespace fs = std::filesystem;

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::string HomeDirectory() {
  std::string home = Environment("HOME");
  if (!home.empty()) return home;
  const passwd* entry = ::getpwuid(::geteuid());
  return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "/";
}

std::string UserConfigDirectory() {
  const std::string configured = Environment("XDG_CONFIG_HOME");
  // XDG base directories ignore relative paths here.
  if (configured.starts_with('/')) return configured;
  return HomeDirectory() + "/.config";
}

bool IsWritable(const fs::path& path) {
  return MayWrite(path.string());
}

fs::path DirectoryOf(const fs::path& file) {
  const fs::path parent = file.parent_path();
  return parent.empty() ? fs::path(".") : parent;
}

fs::path NearestExistingDirectory(fs::path directory) {
  std::error_code error;
  while (!fs::exists(directory, error) && directory.has_relative_path()) {
    directory = directory.parent_path();
    if (directory.empty()) return ".";
  }
  return directory;
}

// The file that a rename must replace: a hive reached through a symbolic link stays a link.
fs::path ResolvedPath(const std::string& path) {
  std::error_code error;
  const fs::path resolved = fs::weakly_canonical(path, error);
  return error ? fs::path(path) : resolved;
}

std::string TemporaryNameFor(const fs::path& file) {
  static std::atomic<unsigned> counter{0};
  return file.string() + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

// Writes the text into a new file `temporary` with `mode` (or the default mode for new files
// when `mode` is empty) and flushes it to disk.
bool WriteNewFile(const std::string& temporary, const std::string& text,
                  std::optional<mode_t> mode) {
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool ok = (!mode || ::fchmod(fd, *mode) == 0) && WriteAll(fd, text) == 0 && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  return ok;
}

std::optional<mode_t> ExistingMode(const fs::path& file) {
  struct stat status {};
  if (::stat(file.c_str(), &status) != 0) return std::nullopt;
  return status.st_mode & 07777;
}

}  // namespace

std::string HiveRootName(Hive hive) {
  return hive == Hive::CurrentUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
}

std::string HiveFilePath(Hive hive) {
  const bool user = hive == Hive::CurrentUser;
  const std::string configured = Environment(user ? "PELORIN_HKCU" : "PELORIN_HKLM");
  if (!configured.empty()) return configured;
  return user ? UserConfigDirectory() + "/pelorin32/hkcu.reg" : "/etc/pelorin32/hklm.reg";
}

std::optional<RegDocument> LoadHiveFile(const std::string& path) {
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (status.type() == fs::file_type::not_found) return RegDocument{};
  if (status.type() != fs::file_type::regular) return std::nullopt;
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad()) return std::nullopt;
  return ParseRegedit4(text.str());
}

bool HiveFileWritable(const std::string& path) {
  const fs::path file = ResolvedPath(path);
  std::error_code error;
  const fs::file_status status = fs::status(file, error);
  if (status.type() == fs::file_type::not_found) {
    return IsWritable(NearestExistingDirectory(DirectoryOf(file)));
  }
  return status.type() == fs::file_type::regular && IsWritable(file) &&
         IsWritable(DirectoryOf(file));
}

bool SaveHiveFile(const std::string& path, const RegDocument& document) {
  const fs::path file = ResolvedPath(path);
  std::error_code error;
  fs::create_directories(DirectoryOf(file), error);
  if (error) return false;
  const std::string temporary = TemporaryNameFor(file);
  if (!WriteNewFile(temporary, FormatRegedit4(document), ExistingMode(file)) ||
      ::rename(temporary.c_str(), file.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  SyncDirectory(DirectoryOf(file).string());
  return true;
}

}  // namespace os
