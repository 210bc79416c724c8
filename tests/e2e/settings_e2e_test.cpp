// The first start of the built program on a real desktop (Xvfb with trayer), with a home of
// its own: without a configuration file the settings dialog comes up; MailTo makes the program
// the desktop's mailto: handler, as xdg-mime reports it; OK writes the configuration file; and
// xdg-open on a mailto: link then starts the program in link mode with the address and the
// subject filled in.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "e2e/desktop_input.h"
#include "e2e/desktop_session.h"
#include "e2e/desktop_windows.h"
#include "e2e/program_copy.h"
#include "e2e/program_test.h"
#include "support/event_loop.h"

namespace {

using e2e::kCloseButton;
using e2e::kEmailField;
using e2e::kSubjectField;
using e2e::Point;
using e2e::WindowId;
using testing_support::RunEventsUntil;

constexpr int kFileTimeoutMs = 20000;
constexpr const char* kLink = "mailto:friend@example.org?Subject=Hello";

// Client coordinates (there are no frames on this desktop).
// Left of the settings dialog's buttons, on no control: a click there only activates it.
constexpr Point kSettingsBlank{20, 190};
constexpr Point kSettingsOk{174 + 37, 173 + 12};

bool FileExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(path, error);
}

pid_t PidOf(WindowId window) {
  return static_cast<pid_t>(std::atol(e2e::PropertyOf(window, "_NET_WM_PID").c_str()));
}

class SettingsEndToEnd : public e2e::ProgramTest {
 protected:
  // The environment of the program's desktop and home, for the desktop's own tools.
  e2e::Environment DesktopTools() const {
    e2e::Environment environment = e2e::TheDesktop()->ProgramEnvironment();
    environment.Merge(e2e::Environment()
                          .Set("HOME", program_->HomeDirectory())
                          .Unset("XDG_CONFIG_HOME")
                          .Unset("XDG_DATA_HOME")
                          .Unset("XDG_CURRENT_DESKTOP")
                          .Unset("DESKTOP_SESSION")
                          .Set("PELORIN_HKCU", program_->HomeDirectory() + "/hkcu.reg")
                          .Set("PELORIN_HKLM", program_->HomeDirectory() + "/hklm.reg"));
    return environment;
  }

  std::string InHome(const std::string& path) const {
    return program_->HomeDirectory() + "/" + path;
  }

  // The field's text, copied to the clipboard with the keyboard and read back from there.
  static std::optional<std::string> FieldText(WindowId window, Point field,
                                              const std::string& expected) {
    std::optional<std::string> copied;
    if (!e2e::Click(window, field.x, field.y) || !e2e::PressKeys({"ctrl+a", "ctrl+c"})) {
      return std::nullopt;
    }
    RunEventsUntil(
        [&] {
          copied = e2e::ReadClipboard();
          return copied == expected;
        },
        kFileTimeoutMs);
    return copied;
  }
};

TEST_F(SettingsEndToEnd, FirstStartSetsUpMailtoAndTheConfigurationAndLinksThenOpenTheProgram) {
  const std::string xdgOpen = e2e::FindExecutable("xdg-open");
  ASSERT_FALSE(xdgOpen.empty()) << e2e::MissingToolMessage("xdg-open");
  ASSERT_FALSE(e2e::FindExecutable("xdg-mime").empty()) << e2e::MissingToolMessage("xdg-mime");
  ASSERT_FALSE(program_->ReadFile(e2e::kConfigurationFileName).has_value());

  // A first start: the settings dialog comes up by itself.
  ASSERT_TRUE(program_->Start({}));
  const std::optional<WindowId> dialog =
      e2e::WaitForWindow(e2e::WindowQuery::OfProgram(program_->Pid()).Named("^Settings$"));
  ASSERT_TRUE(dialog) << program_->Log();
  e2e::Screenshot("settings_first_start.png", *dialog);

  // From the focused OK button: Cancel, the pages, MailTo.
  ASSERT_TRUE(e2e::Click(*dialog, kSettingsBlank.x, kSettingsBlank.y));
  ASSERT_TRUE(e2e::PressKeys({"Tab", "Tab", "Tab", "space"}));
  const std::string mimeApps = InHome(".config/mimeapps.list");
  const std::string desktopEntry = InHome(".local/share/applications/pelorin32.desktop");
  ASSERT_TRUE(RunEventsUntil([&] { return FileExists(mimeApps); }, kFileTimeoutMs))
      << "MailTo wrote no mimeapps.list";
  EXPECT_TRUE(FileExists(desktopEntry));
  const e2e::ToolResult query =
      e2e::RunTool({"xdg-mime", "query", "default", "x-scheme-handler/mailto"}, e2e::kToolTimeoutMs,
                   DesktopTools());
  ASSERT_TRUE(query.Ok()) << query.Describe();
  EXPECT_EQ(query.output, "pelorin32.desktop\n");

  // Then the address, the server and the port, and OK.
  ASSERT_TRUE(e2e::PressKeys({"Tab"}));
  ASSERT_TRUE(e2e::TypeText("me@example.org"));
  ASSERT_TRUE(e2e::PressKeys({"Tab", "ctrl+a"}));
  ASSERT_TRUE(e2e::TypeText("mail.example.org"));
  ASSERT_TRUE(e2e::PressKeys({"Tab", "ctrl+a"}));
  ASSERT_TRUE(e2e::TypeText("2525"));
  e2e::Screenshot("settings_filled_in.png", *dialog);
  ASSERT_TRUE(e2e::Click(*dialog, kSettingsOk.x, kSettingsOk.y));
  EXPECT_TRUE(e2e::WaitUntilHidden(*dialog));
  std::optional<std::string> configuration;
  ASSERT_TRUE(RunEventsUntil(
      [&] {
        configuration = program_->ReadFile(e2e::kConfigurationFileName);
        return configuration.has_value();
      },
      kFileTimeoutMs));
  EXPECT_EQ(*configuration, "mail.example.org:2525\r\nme@example.org\r\n\r\nFALSE\r\n");

  // A mailto: link opened through the desktop starts a second program, in link mode.
  e2e::ChildOptions options;
  options.environment = DesktopTools();
  options.logFile = e2e::ArtifactsDirectory() + "/settings_xdg_open.log";
  e2e::ChildProcess opener(xdgOpen, {kLink}, options);
  ASSERT_TRUE(opener.Started()) << opener.Error();
  const std::optional<WindowId> linkWindow =
      e2e::WaitForWindow(e2e::WindowQuery().Named(e2e::kMainWindowTitle), e2e::kWindowTimeoutMs,
                         [this](WindowId window) { return PidOf(window) != program_->Pid(); });
  ASSERT_TRUE(linkWindow) << "no program window came up for the link";
  e2e::Screenshot("settings_link_opened.png", *linkWindow);
  EXPECT_EQ(FieldText(*linkWindow, kEmailField, "friend@example.org"), "friend@example.org");
  EXPECT_EQ(FieldText(*linkWindow, kSubjectField, "Hello"), "Hello");

  // In link mode the window's "&Close" ends that program, and xdg-open with it.
  ASSERT_TRUE(e2e::Click(*linkWindow, kCloseButton.x, kCloseButton.y));
  const std::optional<e2e::ExitStatus> opened = opener.WaitForExit(e2e::kWindowTimeoutMs);
  ASSERT_TRUE(opened) << "the program started for the link did not end";
  EXPECT_EQ(opened->code, 0) << opened->Describe();
  EXPECT_TRUE(program_->Running()) << "the first program keeps running in the tray";
}

}  // namespace
