#include "platform/dialup_key.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <vector>

#include "os/registry.h"

namespace pelorin {
namespace {

constexpr const char* kDialGroup = "dip";
// pppd lives in a system directory that a normal user's PATH often lacks.
constexpr const char* kSystemCommandDirs[] = {"/usr/sbin", "/sbin"};

bool IsExecutableFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

std::vector<std::string> CommandSearchPath() {
  std::vector<std::string> dirs;
  const char* path = std::getenv("PATH");
  std::istringstream entries(path != nullptr ? path : "");
  for (std::string dir; std::getline(entries, dir, ':');) {
    if (!dir.empty()) dirs.push_back(dir);
  }
  for (const char* dir : kSystemCommandDirs) dirs.emplace_back(dir);
  return dirs;
}

bool CommandInstalled(const std::string& name) {
  for (const std::string& dir : CommandSearchPath()) {
    if (IsExecutableFile(dir + "/" + name)) return true;
  }
  return false;
}

bool IsDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool InGroup(gid_t group) {
  if (::getegid() == group) return true;
  const int count = ::getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  const int filled = ::getgroups(count, groups.data());
  for (int i = 0; i < filled; ++i) {
    if (groups[static_cast<std::size_t>(i)] == group) return true;
  }
  return false;
}

bool MayDial() {
  if (::geteuid() == 0) return true;
  const struct group* dial = ::getgrnam(kDialGroup);
  return dial != nullptr && InGroup(dial->gr_gid);
}

class DialupKey : public os::VirtualKey {
 public:
  os::LSTATUS Open(os::REGSAM) override {
    const std::string reason = DialupUnusableReason();
    if (reason.empty()) return os::ERROR_SUCCESS;
    return MayDial() ? os::ERROR_FILE_NOT_FOUND : os::ERROR_ACCESS_DENIED;
  }
  std::optional<std::string> QueryString(const std::string&) override { return std::nullopt; }
  os::LSTATUS SetString(const std::string&, const std::string&) override {
    return os::ERROR_ACCESS_DENIED;
  }
};

}  // namespace

std::string PppPeersDirectory() {
  const char* dir = std::getenv("PELORIN_PPP_PEERS_DIR");
  return dir != nullptr && *dir != '\0' ? dir : "/etc/ppp/peers";
}

std::string DialupUnusableReason() {
  for (const char* command : {"pppd", "pon", "poff"}) {
    if (!CommandInstalled(command)) return std::string(command) + " is not installed";
  }
  const std::string peers = PppPeersDirectory();
  if (!IsDirectory(peers)) return "the pppd peers directory " + peers + " does not exist";
  if (!MayDial()) return "the user is neither root nor in the group dip";
  return {};
}

void RegisterDialupKey() {
  os::RegisterVirtualKey(os::HKEY_LOCAL_MACHINE, kDialupKeyPath, std::make_shared<DialupKey>());
}

}  // namespace pelorin
