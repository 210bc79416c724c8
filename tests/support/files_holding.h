// The files under a directory that hold a text: where a secret must never be written.
#pragma once

#include <filesystem>
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

}  // namespace testing_support
