// Files of "[Group]" headers and "key=value" lines: the INI files of Mozilla programs and
// the key files of GLib programs. Pure functions over text, so that tests feed them text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pelorin {

struct KeyFileEntry {
  std::string key;
  std::string value;
};

struct KeyFileGroup {
  std::string name;
  std::vector<KeyFileEntry> entries;
};

// GLib's key files escape a value's characters (\s \n \t \r \\); INI files do not.
enum class ValueEscapes { None, GLib };

class KeyFile {
 public:
  // Lines starting with "#" or ";" are comments; blanks around keys and values are dropped;
  // lines before the first group and lines without "=" are skipped. A group that appears
  // twice is read as one.
  static KeyFile Parse(std::string_view text, ValueEscapes escapes);

  // The last value of `key` in `group`, or empty when there is none.
  std::string Value(std::string_view group, std::string_view key) const;
  bool HasGroup(std::string_view group) const;
  const std::vector<KeyFileGroup>& Groups() const { return groups_; }

 private:
  KeyFileGroup& GroupNamed(std::string_view name);

  std::vector<KeyFileGroup> groups_;
};

}  // namespace pelorin
