// The windows on the test's desktop as the X server shows them: found by title, class or
// owning process (xdotool search), their place, size and mapping (xwininfo), their place in
// the window tree and their properties (xprop), and pictures of them (ImageMagick's import)
// kept as test artifacts. Uses the display of the process's DISPLAY (see DesktopSession).
//
// A tool that is missing, fails or hangs is a test failure that names it; a window that is
// not there (or has gone meanwhile) is an ordinary answer: empty results.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

using WindowId = unsigned long;

constexpr int kWindowTimeoutMs = 20000;

// Which windows to find, for example WindowQuery::OfProgram(pid).Named("^Title$").
struct WindowQuery {
  std::string name;       // regular expression for the title; empty: any
  std::string className;  // regular expression for the class name (WM_CLASS); empty: any
  pid_t pid = 0;          // the owning program (its _NET_WM_PID); 0: any
  bool onlyVisible = true;

  static WindowQuery OfProgram(pid_t program) {
    WindowQuery query;
    query.pid = program;
    return query;
  }
  WindowQuery Named(const std::string& titlePattern) const {
    WindowQuery query = *this;
    query.name = titlePattern;
    return query;
  }
  WindowQuery OfClass(const std::string& classPattern) const {
    WindowQuery query = *this;
    query.className = classPattern;
    return query;
  }
  WindowQuery IncludingHidden() const {
    WindowQuery query = *this;
    query.onlyVisible = false;
    return query;
  }
};

// All conditions of the query hold for each window found.
std::vector<WindowId> FindWindows(const WindowQuery& query);

// The first window found that matches the query and, when given, the extra test; empty when
// there is none now.
std::optional<WindowId> FindWindow(const WindowQuery& query,
                                   const std::function<bool(WindowId)>& accept = {});

// Polls until a window matches the query and, when given, the extra test; empty after
// timeoutMs.
std::optional<WindowId> WaitForWindow(const WindowQuery& query, int timeoutMs = kWindowTimeoutMs,
                                      const std::function<bool(WindowId)>& accept = {});

struct WindowGeometry {
  int x = 0;  // on the screen
  int y = 0;
  int width = 0;
  int height = 0;
  bool viewable = false;  // mapped, and so are all its ancestors
  int CenterX() const { return x + width / 2; }
  int CenterY() const { return y + height / 2; }
};

// Empty when the window does not exist (any more).
std::optional<WindowGeometry> GeometryOf(WindowId window);

// Polls until the window is not viewable or has gone; false after timeoutMs.
bool WaitUntilHidden(WindowId window, int timeoutMs = kWindowTimeoutMs);

// The window's parent; empty for the root window or a window that has gone.
std::optional<WindowId> ParentOf(WindowId window);

// Whether ancestor is the window itself or one of its ancestors.
bool IsWithin(WindowId window, WindowId ancestor);

// The value of one property as xprop prints it (after " = "); empty when it is not set.
std::string PropertyOf(WindowId window, const std::string& property);

// The directory of the test artifacts (created on demand).
std::string ArtifactsDirectory();

// Saves a picture of the whole screen (window 0) or of one window as fileName (PNG) in the
// artifacts directory; returns its path, or empty on failure.
std::string Screenshot(const std::string& fileName, WindowId window = 0);

}  // namespace e2e
