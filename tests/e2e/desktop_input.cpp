#include "e2e/desktop_input.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "e2e/child_process.h"

// Last: its macros (None, Status) would break the headers above.
#include <X11/Xlib.h>

namespace e2e {
namespace {

constexpr int kClipboardTimeoutMs = 5000;
constexpr int kMoveTimeoutMs = 5000;

std::string ButtonNumber(MouseButton button) {
  return std::to_string(static_cast<int>(button));
}

}  // namespace

bool Xdotool(const std::vector<std::string>& arguments) {
  std::vector<std::string> command = {"xdotool"};
  command.insert(command.end(), arguments.begin(), arguments.end());
  const ToolResult result = RunTool(command);
  if (!result.Ok()) ADD_FAILURE() << result.Describe();
  return result.Ok();
}

// xdotool's own waiting for the move (--sync) never ends when the pointer is there already.
bool MoveMouse(int x, int y) {
  if (!Xdotool({"mousemove", std::to_string(x), std::to_string(y)})) return false;
  const std::string arrived = "X=" + std::to_string(x) + "\nY=" + std::to_string(y) + "\n";
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kMoveTimeoutMs);
  for (;;) {
    const ToolResult where = RunTool({"xdotool", "getmouselocation", "--shell"});
    if (!where.Ok()) {
      ADD_FAILURE() << where.Describe();
      return false;
    }
    if (where.output.starts_with(arrived)) return true;
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "the pointer did not arrive at " << x << ", " << y << "; it is at "
                    << where.output;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool ClickAt(int x, int y, MouseButton button) {
  return MoveMouse(x, y) && Xdotool({"click", ButtonNumber(button)});
}

bool Click(WindowId window, int x, int y, MouseButton button) {
  const std::optional<WindowGeometry> geometry = GeometryOf(window);
  if (!geometry) {
    ADD_FAILURE() << "no window " << window << " to click on";
    return false;
  }
  return ClickAt(geometry->x + x, geometry->y + y, button);
}

bool PressKeys(const std::vector<std::string>& keys) {
  std::vector<std::string> arguments = {"key", "--delay", "50"};
  arguments.insert(arguments.end(), keys.begin(), keys.end());
  return Xdotool(arguments);
}

bool TypeText(const std::string& text) {
  return Xdotool({"type", "--delay", "30", "--", text});
}

std::optional<std::string> ReadClipboard() {
  const ToolResult result =
      RunTool({"xclip", "-o", "-selection", "clipboard"}, kClipboardTimeoutMs);
  if (!result.failure.empty()) {
    ADD_FAILURE() << result.Describe();
    return std::nullopt;
  }
  // xclip fails when no program offers text on the clipboard.
  return result.Ok() ? result.output : std::string();
}

// What a window manager sends for Alt+F4 or its close box: a WM_DELETE_WINDOW client message.
bool AskToClose(WindowId window) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    ADD_FAILURE() << "cannot open the display to ask a window to close";
    return false;
  }
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  const bool sent = XSendEvent(display, window, False, NoEventMask, &event) != 0;
  XCloseDisplay(display);  // flushes the request
  if (!sent) ADD_FAILURE() << "the close request could not be sent";
  return sent;
}

}  // namespace e2e
