// What the settings dialog and the about box reach outside the process, moved into a scratch
// directory for one test: both registry hives, a home with its XDG directories, a runtime
// directory (where a tray-mode start looks for a copy already in the tray), and an empty
// directory where the dial-up library is looked for. The environment is restored afterwards.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/app_test_support.h"

namespace app_test {

class IsolatedEnvironment {
 public:
  IsolatedEnvironment() {
    Set("PELORIN_HKCU", scratch_.File("hkcu.reg"));
    Set("PELORIN_HKLM", scratch_.File("hklm.reg"));
    std::filesystem::create_directories(scratch_.File("home"));
    Set("HOME", scratch_.File("home"));
    Unset("XDG_DATA_HOME");
    Unset("XDG_CONFIG_HOME");
    std::filesystem::create_directories(scratch_.File("runtime"));
    Set("XDG_RUNTIME_DIR", scratch_.File("runtime"));
    std::filesystem::create_directories(scratch_.File("no-ras"));
    Set("PELORIN_RAS_LIBRARY_DIR", scratch_.File("no-ras"));
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
  void Save(const std::string& name) {
    const char* value = ::getenv(name.c_str());
    saved_.emplace_back(name, value == nullptr ? std::nullopt : std::optional<std::string>(value));
  }

  ScratchDirectory scratch_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace app_test
