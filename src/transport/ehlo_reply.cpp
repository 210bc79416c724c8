#include "transport/ehlo_reply.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <initializer_list>
#include <utility>

namespace pelorin {
namespace {

std::string Upper(std::string_view text) {
  std::string upper(text);
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return upper;
}

std::vector<std::string> Words(std::string_view text) {
  std::vector<std::string> words;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t start = text.find_first_not_of(" \t", at);
    if (start == std::string_view::npos) break;
    const std::size_t end = std::min(text.find_first_of(" \t", start), text.size());
    words.emplace_back(text.substr(start, end - start));
    at = end;
  }
  return words;
}

void AddAuthMethods(EhloExtensions& extensions, const std::vector<std::string>& methods) {
  for (const std::string& method : methods) {
    if (method.empty()) continue;  // "AUTH=" with nothing after it
    const std::string upper = Upper(method);
    if (std::find(extensions.authMethods.begin(), extensions.authMethods.end(), upper) ==
        extensions.authMethods.end()) {
      extensions.authMethods.push_back(upper);
    }
  }
}

// A limit that is no number announces none; one beyond what fits is as good as none.
std::uint64_t SizeLimit(const std::string& digits) {
  std::uint64_t limit = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), limit);
  return error == std::errc() && end == digits.data() + digits.size() ? limit : 0;
}

// One line's text after its code and separator, e.g. "AUTH PLAIN LOGIN".
void TakeLine(EhloExtensions& extensions, std::string_view text) {
  std::vector<std::string> words = Words(text);
  if (words.empty()) return;
  std::string keyword = Upper(words.front());
  words.erase(words.begin());
  const std::size_t equals = keyword.find('=');
  if (equals != std::string::npos) {
    // The old form "AUTH=LOGIN PLAIN".
    words.insert(words.begin(), keyword.substr(equals + 1));
    keyword.resize(equals);
  }
  if (keyword.empty()) return;
  extensions.keywords.insert(keyword);
  if (keyword == "AUTH") AddAuthMethods(extensions, words);
  if (keyword == "SIZE" && !words.empty()) extensions.sizeLimit = SizeLimit(words.front());
}

}  // namespace

EhloExtensions ParseEhloReply(std::string_view reply) {
  EhloExtensions extensions;
  bool first = true;
  std::size_t start = 0;
  for (std::size_t end = reply.find('\n'); end != std::string_view::npos;
       start = end + 1, end = reply.find('\n', start)) {
    std::string_view line = reply.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (std::exchange(first, false)) continue;
    if (line.size() < 4) continue;
    TakeLine(extensions, line.substr(4));
  }
  return extensions;
}

namespace {

std::string FirstOffered(const EhloExtensions& extensions,
                         std::initializer_list<const char*> methods) {
  for (const char* method : methods) {
    if (std::find(extensions.authMethods.begin(), extensions.authMethods.end(), method) !=
        extensions.authMethods.end()) {
      return method;
    }
  }
  return {};
}

}  // namespace

std::string ChooseAuthMethod(const EhloExtensions& extensions) {
  return FirstOffered(extensions, {"PLAIN", "LOGIN"});
}

std::string ChooseTokenAuthMethod(const EhloExtensions& extensions) {
  return FirstOffered(extensions, {"OAUTHBEARER", "XOAUTH2"});
}

}  // namespace pelorin
