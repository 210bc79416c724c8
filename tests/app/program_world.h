// A program world of one test's own: everything the program reaches outside itself moved into
// scratch directories (both registry hives, a home with its XDG directories, the state
// directory with the outbox, a runtime directory where a tray-mode start looks for a copy
// already in the tray, an empty directory where the dial-up library is looked for), the
// program's globals at their start values with a program directory of its own, boxes
// recorded, the shell's tray recorded, the command line bare and the dial-up state forgotten.
// All of it is put back when the world ends, the environment last.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/app_test_support.h"
#include "app/globals.h"
#include "os/kernel.h"
#include "os/mailto_association.h"
#include "os/msgbox.h"
#include "os/registry.h"
#include "platform/dialup.h"
#include "platform/dialup_key.h"
#include "support/shell_recorder.h"

namespace app_test {

// Environment variables changed for a while; each keeps its value from before for the restore.
class IsolatedEnvironment {
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
  ~IsolatedEnvironment() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second) {
        ::setenv(it->first.c_str(), it->second->c_str(), 1);
      } else {
        ::unsetenv(it->first.c_str());
      }
    }
  }
  IsolatedEnvironment(const IsolatedEnvironment&) = delete;
  IsolatedEnvironment& operator=(const IsolatedEnvironment&) = delete;

  const ScratchDirectory& Scratch() const { return scratch_; }
  std::string Home() const { return scratch_.File("home"); }
  std::string StateHome() const { return scratch_.File("state"); }
  std::string CurrentUserHive() const { return scratch_.File("hkcu.reg"); }
  std::string LocalMachineHive() const { return scratch_.File("hklm.reg"); }

  // Keeps the variable's value for the restore, then changes it.
  void Set(const std::string& name, const std::string& value) {
    Save(name);
    ::setenv(name.c_str(), value.c_str(), 1);
  }
  void Unset(const std::string& name) {
    Save(name);
    ::unsetenv(name.c_str());
  }

 private:
  std::string Directory(const std::string& name) const {
    std::filesystem::create_directories(scratch_.File(name));
    return scratch_.File(name);
  }
  void Save(const std::string& name) {
    const char* value = ::getenv(name.c_str());
    saved_.emplace_back(name, value == nullptr ? std::nullopt : std::optional<std::string>(value));
  }

  ScratchDirectory scratch_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
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
  std::string OutboxDirectory() const { return environment.StateHome() + "/pelorin32/outbox"; }

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

// The usual base of a test that runs the program's windows or files.
class ProgramWorldTest : public ::testing::Test {
 protected:
  ProgramWorld world_;
  IsolatedEnvironment& environment_ = world_.environment;
  os::BoxRecorder& boxes_ = world_.boxes;
};

}  // namespace app_test
