#include "e2e/desktop_windows.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "e2e/child_process.h"

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollIntervalMs = 100;
constexpr int kScreenshotTimeoutMs = 30000;

// Runs a tool whose non-zero exit is an answer (nothing found, no such window); a tool that
// is missing or hangs fails the test.
std::optional<ToolResult> Ask(const std::vector<std::string>& commandLine,
                              int timeoutMs = kToolTimeoutMs) {
  ToolResult result = RunTool(commandLine, timeoutMs);
  if (!result.failure.empty()) {
    ADD_FAILURE() << result.Describe();
    return std::nullopt;
  }
  return result;
}

std::string Hex(WindowId window) {
  std::ostringstream text;
  text << "0x" << std::hex << window;
  return text.str();
}

// The number after "label" in xwininfo's report, or empty.
std::optional<long> NumberAfter(const std::string& report, const std::string& label) {
  const std::size_t at = report.find(label);
  if (at == std::string::npos) return std::nullopt;
  try {
    return std::stol(report.substr(at + label.size()), nullptr, 0);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::vector<WindowId> IdsIn(const std::string& output) {
  std::vector<WindowId> ids;
  std::istringstream lines(output);
  WindowId id = 0;
  while (lines >> id) ids.push_back(id);
  return ids;
}

// Empty when the search itself failed (already reported).
std::optional<std::vector<WindowId>> Search(const WindowQuery& query) {
  std::vector<std::string> command = {"xdotool", "search", "--all"};
  if (query.onlyVisible) command.push_back("--onlyvisible");
  if (query.pid != 0) command.insert(command.end(), {"--pid", std::to_string(query.pid)});
  if (!query.name.empty()) command.insert(command.end(), {"--name", query.name});
  if (!query.className.empty()) command.insert(command.end(), {"--classname", query.className});
  // xdotool needs one condition at least; every window has a class name.
  if (query.pid == 0 && query.name.empty() && query.className.empty()) {
    command.insert(command.end(), {"--classname", "."});
  }
  const std::optional<ToolResult> found = Ask(command);
  if (!found) return std::nullopt;
  return IdsIn(found->output);
}

}  // namespace

std::vector<WindowId> FindWindows(const WindowQuery& query) {
  return Search(query).value_or(std::vector<WindowId>{});
}

std::optional<WindowId> FindWindow(const WindowQuery& query,
                                   const std::function<bool(WindowId)>& accept) {
  for (const WindowId window : FindWindows(query)) {
    if (!accept || accept(window)) return window;
  }
  return std::nullopt;
}

std::optional<WindowId> WaitForWindow(const WindowQuery& query, int timeoutMs,
                                      const std::function<bool(WindowId)>& accept) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const std::optional<std::vector<WindowId>> found = Search(query);
    if (!found) return std::nullopt;
    for (const WindowId window : *found) {
      if (!accept || accept(window)) return window;
    }
    if (Clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollIntervalMs));
  }
}

std::optional<WindowGeometry> GeometryOf(WindowId window) {
  const std::optional<ToolResult> report = Ask({"xwininfo", "-id", Hex(window)});
  if (!report || !report->Ok()) return std::nullopt;
  const std::string& text = report->output;
  const auto x = NumberAfter(text, "Absolute upper-left X:");
  const auto y = NumberAfter(text, "Absolute upper-left Y:");
  const auto width = NumberAfter(text, "Width:");
  const auto height = NumberAfter(text, "Height:");
  if (!x || !y || !width || !height) {
    ADD_FAILURE() << "xwininfo's report is not understood:\n" << text;
    return std::nullopt;
  }
  return WindowGeometry{static_cast<int>(*x), static_cast<int>(*y), static_cast<int>(*width),
                        static_cast<int>(*height),
                        text.find("Map State: IsViewable") != std::string::npos};
}

bool WaitUntilHidden(WindowId window, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const std::optional<ToolResult> report = Ask({"xwininfo", "-id", Hex(window)});
    if (!report) return false;
    if (!report->Ok()) return true;  // gone
    if (report->output.find("Map State: IsViewable") == std::string::npos) return true;
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollIntervalMs));
  }
}

std::optional<WindowId> ParentOf(WindowId window) {
  const std::optional<ToolResult> report = Ask({"xwininfo", "-children", "-id", Hex(window)});
  if (!report || !report->Ok()) return std::nullopt;
  const auto parent = NumberAfter(report->output, "Parent window id:");
  if (!parent || *parent == 0) return std::nullopt;
  return static_cast<WindowId>(*parent);
}

bool IsWithin(WindowId window, WindowId ancestor) {
  std::optional<WindowId> current = window;
  while (current) {
    if (*current == ancestor) return true;
    current = ParentOf(*current);
  }
  return false;
}

std::string PropertyOf(WindowId window, const std::string& property) {
  const std::optional<ToolResult> report = Ask({"xprop", "-id", Hex(window), property});
  if (!report || !report->Ok()) return "";
  const std::size_t equals = report->output.find(" = ");
  if (equals == std::string::npos) return "";
  std::string value = report->output.substr(equals + 3);
  while (!value.empty() && value.back() == '\n') value.pop_back();
  return value;
}

std::string ArtifactsDirectory() {
  const std::string directory = PELORIN_E2E_ARTIFACTS_DIR;
  std::error_code ignored;
  std::filesystem::create_directories(directory, ignored);
  return directory;
}

// A window is cut out of a picture of the screen: import's own capture of a window waits for
// an exposure of it that a window already on top never gets.
std::string Screenshot(const std::string& fileName, WindowId window) {
  const std::string path = ArtifactsDirectory() + "/" + fileName;
  std::vector<std::string> command = {"import", "-window", "root"};
  if (window != 0) {
    const std::optional<WindowGeometry> geometry = GeometryOf(window);
    if (!geometry) {
      ADD_FAILURE() << "no screenshot " << fileName << ": the window has gone";
      return "";
    }
    command.insert(command.end(),
                   {"-crop",
                    std::to_string(geometry->width) + "x" + std::to_string(geometry->height) + "+" +
                        std::to_string(geometry->x) + "+" + std::to_string(geometry->y),
                    "+repage"});
  }
  command.push_back(path);
  const ToolResult taken = RunTool(command, kScreenshotTimeoutMs);
  if (!taken.Ok()) {
    ADD_FAILURE() << "no screenshot " << fileName << ": " << taken.Describe();
    return "";
  }
  return path;
}

}  // namespace e2e
