// Environment variables changed for a while: each keeps its value from before the first change,
// put back when the object ends.
#pragma once

#include <stdlib.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

class ScopedEnvironment {
 public:
  ScopedEnvironment() = default;
  ~ScopedEnvironment() { Restore(); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  void Set(const std::string& name, const std::string& value) {
    Save(name);
    ::setenv(name.c_str(), value.c_str(), 1);
  }
  void Unset(const std::string& name) {
    Save(name);
    ::unsetenv(name.c_str());
  }
  // Puts every variable back now, as it was before its first change here.
  void Restore() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second) {
        ::setenv(it->first.c_str(), it->second->c_str(), 1);
      } else {
        ::unsetenv(it->first.c_str());
      }
    }
    saved_.clear();
  }

 private:
  void Save(const std::string& name) {
    const char* value = ::getenv(name.c_str());
    saved_.emplace_back(name, value == nullptr ? std::nullopt : std::optional<std::string>(value));
  }

  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace testing_support
