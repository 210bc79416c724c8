// Kernel services: the program file, the command line, the working set, thread priority,
// the system version and the end of the process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace os {

// Full path of the running program file (GetModuleFileNameA).
std::string GetModuleFileName();

// Keeps the process's arguments; argument 0 is replaced by the program file's full path.
void SetCommandLine(int argc, const char* const* argv);
void SetCommandLine(const std::vector<std::string>& arguments);
// Argument i, or empty text when there are fewer arguments (ParamStr).
std::string ParamStr(int index);
int ParamCount();

// Returns memory that the process no longer uses to the system (SetProcessWorkingSetSize
// with both sizes -1).
void TrimWorkingSet();

// Lowest scheduling priority for the calling thread.
void SetCurrentThreadPriorityLowest();

// GetVersionExA: a Linux system reports the NT platform (id 2).
struct OsVersionInfo {
  std::uint32_t dwOSVersionInfoSize = 148;
  std::uint32_t dwMajorVersion = 0;
  std::uint32_t dwMinorVersion = 0;
  std::uint32_t dwBuildNumber = 0;
  std::uint32_t dwPlatformId = 0;
};
constexpr std::uint32_t VER_PLATFORM_WIN32_NT = 2;
bool GetVersionEx(OsVersionInfo* info);

// Ends the process at once with `code`; static finalisation runs, no further events do.
[[noreturn]] void ExitProcess(int code);

}  // namespace os
