#include "os/kernel.h"

#include <malloc.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace os {
namespace {

std::mutex g_commandLineMutex;
std::vector<std::string> g_arguments;

}  // namespace

std::string GetModuleFileName() {
  char path[PATH_MAX + 1];
  const ssize_t length = ::readlink("/proc/self/exe", path, PATH_MAX);
  if (length <= 0) return {};
  return std::string(path, static_cast<std::size_t>(length));
}

void SetCommandLine(int argc, const char* const* argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) arguments.emplace_back(argv[i]);
  SetCommandLine(arguments);
}

void SetCommandLine(const std::vector<std::string>& arguments) {
  std::lock_guard lock(g_commandLineMutex);
  g_arguments = arguments;
  if (g_arguments.empty()) g_arguments.emplace_back();
  g_arguments[0] = GetModuleFileName();
}

std::string ParamStr(int index) {
  std::lock_guard lock(g_commandLineMutex);
  if (index == 0 && g_arguments.empty()) return GetModuleFileName();
  if (index < 0 || static_cast<std::size_t>(index) >= g_arguments.size()) return {};
  return g_arguments[static_cast<std::size_t>(index)];
}

int ParamCount() {
  std::lock_guard lock(g_commandLineMutex);
  return g_arguments.empty() ? 0 : static_cast<int>(g_arguments.size()) - 1;
}

void TrimWorkingSet() {
  // Hand freed heap pages back to the system; what remains resident is what is in use.
  ::malloc_trim(0);
}

void SetCurrentThreadPriorityLowest() {
  // Linux threads take their own nice value: the highest one is the lowest priority.
  const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
  ::setpriority(PRIO_PROCESS, tid, 19);
}

bool GetVersionEx(OsVersionInfo* info) {
  if (info == nullptr || info->dwOSVersionInfoSize != 148) return false;
  utsname name{};
  if (::uname(&name) != 0) return false;
  unsigned major = 0, minor = 0, build = 0;
  std::sscanf(name.release, "%u.%u.%u", &major, &minor, &build);
  info->dwMajorVersion = major;
  info->dwMinorVersion = minor;
  info->dwBuildNumber = build;
  info->dwPlatformId = VER_PLATFORM_WIN32_NT;
  return true;
}

void ExitProcess(int code) {
  std::fflush(nullptr);
  std::exit(code);
}

}  // namespace os
