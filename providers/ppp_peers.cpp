#include "ppp_peers.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "os/ras.h"
#include "ppp_environment.h"

namespace pelorin {
namespace {

namespace fs = std::filesystem;

bool IsEntryName(const std::string& name) {
  return !name.empty() && name.front() != '.' && name.back() != '~' &&
         name.size() <= os::RAS_MaxEntryName;
}

// An option's value as pppd reads it: a word, or a text in double quotes.
std::string OptionValue(std::istringstream& words) {
  words >> std::ws;
  if (words.peek() != '"') {
    std::string word;
    words >> word;
    return word;
  }
  words.get();
  std::string quoted;
  std::getline(words, quoted, '"');
  return quoted;
}

}  // namespace

std::optional<std::vector<std::string>> PeerEntries() {
  std::error_code error;
  fs::directory_iterator files(PeersDirectory(), error);
  if (error) return std::nullopt;
  std::vector<std::string> entries;
  for (const fs::directory_entry& file : files) {
    const std::string name = file.path().filename().string();
    if (IsEntryName(name) && file.is_regular_file(error)) entries.push_back(name);
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

bool PeerExists(const std::string& entry) {
  const auto entries = PeerEntries();
  return entries && std::find(entries->begin(), entries->end(), entry) != entries->end();
}

std::string PeerUserName(const std::string& entry) {
  std::ifstream peer(fs::path(PeersDirectory()) / entry);
  for (std::string line; std::getline(peer, line);) {
    std::istringstream words(line);
    std::string option;
    if (words >> option && option == "user") return OptionValue(words);
  }
  return {};
}

}  // namespace pelorin
