// A program world of one test's own: everything the program reaches outside itself moved into
// scratch directories (both registry hives, a home with its XDG directories, the state
// directory with the outbox, a runtime directory where a tray-mode start looks for a copy
// already in the tray, an empty directory where the dial-up library is looked for), the
// program's globals at their start values with a program directory of its own, boxes
// recorded, the shell's tray recorded, the command line bare and the dial-up state forgotten.
// All of it is put back when the world ends, the environment last.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <filesystem>
#include <string>
#include <vector>

#include "app/app_test_support.h"
#include "app/globals.h"
#include "desktop/mailto_association.h"
#include "os/kernel.h"
#include "os/msgbox.h"
#include "os/registry.h"
#include "platform/dialup.h"
#include "platform/dialup_key.h"
#include "support/scoped_environment.h"
#include "support/shell_recorder.h"

namespace app_test {

// Everything the program reaches outside itself through the environment, in a scratch
// directory.
class IsolatedEnvironment : public testing_support::ScopedEnvironment {
 public:
  IsolatedEnvironment() {
    Set("PELORIN_HKCU", scratch_.File("hkcu.reg"));
    Set("PELORIN_HKLM", scratch_.File("hklm.reg"));
    Set("HOME", Directory("home"));
    Unset("XDG_DATA_HOME");
    Unset("XDG_CONFIG_HOME");
    Set("XDG_STATE_HOME", Directory("state"));
    Set("XDG_RUNTIME_DIR", Directory("runtime"));
    Set("PELORIN_RAS_LIBRARY_DIR", Directory("no-ras"));
  }

  const ScratchDirectory& Scratch() const { return scratch_; }
  std::string Home() const { return scratch_.File("home"); }
  std::string StateHome() const { return scratch_.File("state"); }
  std::string CurrentUserHive() const { return scratch_.File("hkcu.reg"); }
  std::string LocalMachineHive() const { return scratch_.File("hklm.reg"); }

 private:
  std::string Directory(const std::string& name) const {
    std::filesystem::create_directories(scratch_.File(name));
    return scratch_.File(name);
  }

  ScratchDirectory scratch_;
};

class ProgramWorld {
 public:
  ProgramWorld() {
    Reset();
    pelorin::ProgramDir = program.Dir();
    os::SetApplicationTitle("Pelorin32");
  }
  ~ProgramWorld() { Reset(); }
  ProgramWorld(const ProgramWorld&) = delete;
  ProgramWorld& operator=(const ProgramWorld&) = delete;

  // The tray icon's file beside the program, as an installed program has it.
  void PlaceTrayIcon() const {
    std::filesystem::copy_file(PELORIN_ICON_FILE, program.File("skelmar32.ico"));
  }

  IsolatedEnvironment environment;
  ScratchDirectory program;  // the program directory, empty but for what a test puts there
  os::BoxRecorder boxes;
  testing_support::ShellRecorder shell;

 private:
  static void Reset() {
    pelorin::ResetGlobals();
    pelorin::ResetDialupForTesting();
    os::RegisterVirtualKey(os::HKEY_LOCAL_MACHINE, os::kMailtoCommandKey, nullptr);
    os::RegisterVirtualKey(os::HKEY_LOCAL_MACHINE, pelorin::kDialupKeyPath, nullptr);
    os::SetCommandLine(std::vector<std::string>{"pelorin32"});
  }
};

// Deletes the windows that closed themselves, as the event loop would after their event.
inline void ReleaseDeferredDeletes() {
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// What a control shows: a caption, a field's text, a list's current entry.
inline QString TextOf(QWidget* control) {
  if (auto* label = qobject_cast<QLabel*>(control)) return label->text();
  if (auto* button = qobject_cast<QAbstractButton*>(control)) return button->text();
  if (auto* edit = qobject_cast<QLineEdit*>(control)) return edit->text();
  if (auto* memo = qobject_cast<QPlainTextEdit*>(control)) return memo->toPlainText();
  if (auto* combo = qobject_cast<QComboBox*>(control)) return combo->currentText();
  return QStringLiteral("?");
}

// The usual base of a test that runs the program's windows or files.
class ProgramWorldTest : public ::testing::Test {
 protected:
  ProgramWorld world_;
  IsolatedEnvironment& environment_ = world_.environment;
  os::BoxRecorder& boxes_ = world_.boxes;
};

}  // namespace app_test
