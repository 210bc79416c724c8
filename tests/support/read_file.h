// The whole of a file, as bytes, for every test that looks at what was written.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>

namespace testing_support {

// Nothing when the file cannot be opened: for files that may rightly not be there yet (a log,
// a record of calls that were never made).
inline std::optional<std::string> ReadFileIfThere(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Throws when the file cannot be read, so that a missing file is never taken for an empty one.
inline std::string ReadFile(const std::filesystem::path& path) {
  std::optional<std::string> bytes = ReadFileIfThere(path);
  if (!bytes) throw std::runtime_error("cannot read " + path.string());
  return std::move(*bytes);
}

}  // namespace testing_support
