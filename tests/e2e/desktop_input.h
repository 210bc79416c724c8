// What a user does on the test's desktop: mouse moves and clicks, keys and typed text (xdotool,
// through the X server's test extension, so they reach the window under the pointer or with
// the focus, as a user's would), and the clipboard read back (xclip). Uses the display of the
// process's DISPLAY (see DesktopSession). A missing or failing tool is a test failure that
// names it; the functions then return false or empty.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "e2e/desktop_windows.h"

namespace e2e {

enum class MouseButton { Left = 1, Middle = 2, Right = 3 };

// Screen coordinates.
bool MoveMouse(int x, int y);
bool ClickAt(int x, int y, MouseButton button = MouseButton::Left);

// Coordinates relative to the window's top left corner (a window's client area: there are no
// frames on this desktop).
bool Click(WindowId window, int x, int y, MouseButton button = MouseButton::Left);

// Key names as xdotool knows them ("ctrl+a", "End", "Return"), pressed one after the other.
bool PressKeys(const std::vector<std::string>& keys);

// Types the text into the window with the keyboard focus.
bool TypeText(const std::string& text);

// Any other xdotool command, such as {"click", "--repeat", "2", "1"}.
bool Xdotool(const std::vector<std::string>& arguments);

// Asks the window to close as a window manager does for Alt+F4 or its close box (there is no
// window manager on this desktop).
bool AskToClose(WindowId window);

// The clipboard's text (the CLIPBOARD selection); empty when no program holds text there.
std::optional<std::string> ReadClipboard();

}  // namespace e2e
