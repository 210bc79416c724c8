// The program's start-up: global state, the configuration file, the start mode, the
// windows in their fixed order and the message loop.
#pragma once

#include <string>
#include <string_view>

namespace pelorin {

// Caption of the framework's error boxes and of the taskbar button in link mode.
inline constexpr std::string_view kApplicationTitle = "Pelorin32";

inline constexpr int kExitCodeStartupFailed = 1;

// Link mode shows the window for a mailto: link and ends after the send; tray mode keeps
// the window hidden behind a notification-area icon.
enum class StartMode { Tray, Link };

// Only exactly "/u" selects link mode; "/U", anything else or nothing means tray mode.
StartMode StartModeOf(std::string_view firstArgument);
// The mode of this run, from the command line kept by os::SetCommandLine.
StartMode CurrentStartMode();

// Everything up to and including the last "/" of the path; empty when it has none.
std::string ProgramDirOf(std::string_view programPath);

// Returns memory the process no longer uses to the system; safe from any thread.
void TrimWorkingSet();

// Start-up up to the windows: every global at its start value, ProgramDir from the
// program's path, then the configuration file read, or NeedsSetup set when there is none.
// When the file exists but cannot be read, shows the "Application Error" box and returns
// false.
bool PrepareGlobals(const std::string& programPath);

// Runs the program whose file is programPath, in the mode the command line gives, until
// the main window is closed. Needs a QApplication. Returns the process's exit code: 0, or
// kExitCodeStartupFailed when the configuration file exists but cannot be read. Boxes go
// through the seams installed before (main installs the windowed ones).
int RunApplication(const std::string& programPath);

}  // namespace pelorin
