// The files under a directory, and the processes' arguments, that hold a text: where a secret
// must never be written.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/read_file.h"

namespace testing_support {

inline std::vector<std::string> FilesHolding(const std::string& directory,
                                             const std::string& text) {
  namespace fs = std::filesystem;
  std::vector<std::string> holding;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(
           directory, fs::directory_options::skip_permission_denied, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (!it->is_regular_file(error)) continue;
    if (ReadFile(it->path()).find(text) != std::string::npos) {
      holding.push_back(it->path().string());
    }
  }
  return holding;
}

// The processes whose arguments hold `text` (one that ends while it is read holds nothing).
inline std::vector<std::string> ArgumentsHolding(const std::string& text) {
  std::vector<std::string> holding;
  for (const auto& process : std::filesystem::directory_iterator("/proc")) {
    std::optional<std::string> arguments;
    try {
      arguments = ReadFileIfThere(process.path() / "cmdline");
    } catch (const std::exception&) {
    }
    if (arguments && arguments->find(text) != std::string::npos) {
      holding.push_back(process.path().string());
    }
  }
  return holding;
}

}  // namespace testing_support
