#include "setup/key_file.h"

#include <algorithm>

namespace pelorin {
namespace {

std::string_view Trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string UnescapeGLib(std::string_view value) {
  std::string plain;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      plain += value[i];
      continue;
    }
    switch (value[++i]) {
      case 's':
        plain += ' ';
        break;
      case 'n':
        plain += '\n';
        break;
      case 't':
        plain += '\t';
        break;
      case 'r':
        plain += '\r';
        break;
      default:
        plain += value[i];
        break;  // "\\" and anything unknown: the character itself
    }
  }
  return plain;
}

}  // namespace

KeyFile KeyFile::Parse(std::string_view text, ValueEscapes escapes) {
  KeyFile file;
  KeyFileGroup* group = nullptr;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = Trim(text.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line.front() == '[') {
      const std::size_t close = line.find(']');
      group =
          close == std::string_view::npos ? nullptr : &file.GroupNamed(line.substr(1, close - 1));
      continue;
    }
    const std::size_t equals = line.find('=');
    if (group == nullptr || equals == std::string_view::npos) continue;
    const std::string_view value = Trim(line.substr(equals + 1));
    group->entries.push_back(
        {std::string(Trim(line.substr(0, equals))),
         escapes == ValueEscapes::GLib ? UnescapeGLib(value) : std::string(value)});
  }
  return file;
}

KeyFileGroup& KeyFile::GroupNamed(std::string_view name) {
  const auto it = std::find_if(groups_.begin(), groups_.end(),
                               [name](const KeyFileGroup& g) { return g.name == name; });
  if (it != groups_.end()) return *it;
  groups_.push_back({std::string(name), {}});
  return groups_.back();
}

std::string KeyFile::Value(std::string_view group, std::string_view key) const {
  std::string value;
  for (const KeyFileGroup& g : groups_) {
    if (g.name != group) continue;
    for (const KeyFileEntry& entry : g.entries) {
      if (entry.key == key) value = entry.value;
    }
  }
  return value;
}

bool KeyFile::HasGroup(std::string_view group) const {
  return std::any_of(groups_.begin(), groups_.end(),
                     [group](const KeyFileGroup& g) { return g.name == group; });
}

}  // namespace pelorin
