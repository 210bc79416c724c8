#include "ppp_links.h"

#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "ppp_environment.h"

namespace pelorin {
namespace {

namespace fs = std::filesystem;

constexpr unsigned long kInterfaceUp = 0x1;  // IFF_UP

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::optional<pid_t> ProcessId(const std::string& name) {
  if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) return {};
  return static_cast<pid_t>(std::strtol(name.c_str(), nullptr, 10));
}

std::vector<std::string> Arguments(pid_t pid) {
  const std::string cmdline = ReadFile(fs::path("/proc") / std::to_string(pid) / "cmdline");
  std::vector<std::string> arguments;
  std::size_t start = 0;
  while (start < cmdline.size()) {
    const std::size_t end = cmdline.find('\0', start);
    arguments.push_back(cmdline.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return arguments;
}

std::string CalledPeer(const std::vector<std::string>& arguments) {
  for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
    if (arguments[i] == "call") return arguments[i + 1];
  }
  return {};
}

// A process that has ended but not yet been reaped keeps its name, not its link.
bool HasEnded(pid_t pid) {
  const std::string stat = ReadFile(fs::path("/proc") / std::to_string(pid) / "stat");
  const std::size_t nameEnd = stat.rfind(") ");
  if (nameEnd == std::string::npos || nameEnd + 2 >= stat.size()) return true;
  const char state = stat[nameEnd + 2];
  return state == 'Z' || state == 'X';
}

bool IsPppd(pid_t pid) {
  std::string name = ReadFile(fs::path("/proc") / std::to_string(pid) / "comm");
  if (!name.empty() && name.back() == '\n') name.pop_back();
  return name == PppdProcessName() && !HasEnded(pid);
}

// pppd writes its pid into "pppN.pid" once it has the interface pppN, and into "ppp-NAME.pid"
// for a link name, followed there by the interface on a second line.
std::string InterfaceOf(pid_t pid) {
  std::error_code error;
  for (const fs::directory_entry& file : fs::directory_iterator(PppRunDirectory(), error)) {
    const std::string name = file.path().filename().string();
    if (name.rfind("ppp", 0) != 0 || file.path().extension() != ".pid") continue;
    std::ifstream content(file.path());
    std::string firstLine, secondLine;
    std::getline(content, firstLine);
    std::getline(content, secondLine);
    if (ProcessId(firstLine) != pid) continue;
    if (!secondLine.empty()) return secondLine;
    const std::string stem = file.path().stem().string();
    if (stem.find('-') == std::string::npos) return stem;
  }
  return {};
}

bool InterfaceUp(const std::string& interfaceName) {
  if (interfaceName.empty()) return false;
  const std::string flags =
      ReadFile(fs::path(NetworkInterfaceDirectory()) / interfaceName / "flags");
  if (flags.empty()) return false;
  return (std::strtoul(flags.c_str(), nullptr, 0) & kInterfaceUp) != 0;
}

PppLink LinkOf(pid_t pid) {
  PppLink link;
  link.pid = pid;
  link.entry = CalledPeer(Arguments(pid));
  link.interfaceName = InterfaceOf(pid);
  link.up = InterfaceUp(link.interfaceName);
  return link;
}

}  // namespace

std::vector<PppLink> RunningPppLinks() {
  std::vector<PppLink> links;
  std::error_code error;
  for (const fs::directory_entry& process : fs::directory_iterator("/proc", error)) {
    const std::optional<pid_t> pid = ProcessId(process.path().filename().string());
    if (pid && IsPppd(*pid)) links.push_back(LinkOf(*pid));
  }
  return links;
}

std::optional<PppLink> PppLinkOf(const std::string& entry) {
  for (const PppLink& link : RunningPppLinks()) {
    if (link.entry == entry) return link;
  }
  return std::nullopt;
}

bool ProcessRuns(pid_t pid) {
  return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

}  // namespace pelorin
