#include "mail/mailto_attachments.h"

#include <algorithm>
#include <string_view>

#include "mail/percent_decoding.h"

namespace pelorin {
namespace {

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsIgnoringCase(std::string_view text, std::string_view start) {
  return text.size() >= start.size() &&
         std::equal(start.begin(), start.end(), text.begin(),
                    [](char a, char b) { return LowerAscii(a) == LowerAscii(b); });
}

bool IsAttachmentField(std::string_view name) {
  std::string decoded = PercentDecode(name);
  std::transform(decoded.begin(), decoded.end(), decoded.begin(), LowerAscii);
  return decoded == "attach" || decoded == "attachment";
}

// The path a decoded value names, or empty text with `why` set.
std::string PathOf(const std::string& value, std::string& why) {
  std::string_view path = value;
  if (StartsIgnoringCase(path, "file://")) {
    path.remove_prefix(7);
    if (StartsIgnoringCase(path, "localhost/")) path.remove_prefix(9);
    if (!path.empty() && path.front() != '/') {
      why = "the file is on another computer";
      return {};
    }
  }
  if (path.empty()) {
    why = "it names no file";
  } else if (path.find('\0') != std::string_view::npos) {
    why = "it holds a NUL character";
  } else if (path.front() != '/') {
    why = StartsIgnoringCase(path, "file:") || path.find("://") == std::string_view::npos
              ? "it is not an absolute path"
              : "only local files can be attached";
  } else {
    return std::string(path);
  }
  return {};
}

}  // namespace

LinkAttachments ParseMailtoAttachments(const std::string& link) {
  LinkAttachments attachments;
  const std::size_t question = link.find('?');
  if (question == std::string::npos) return attachments;
  const std::string_view fields = std::string_view(link).substr(question + 1);
  std::size_t start = 0;
  for (std::size_t end = 0; start <= fields.size(); start = end + 1) {
    end = std::min(fields.find('&', start), fields.size());
    const std::string_view field = fields.substr(start, end - start);
    const std::size_t equals = field.find('=');
    if (equals == std::string_view::npos || !IsAttachmentField(field.substr(0, equals))) continue;
    const std::string_view raw = field.substr(equals + 1);
    std::string why;
    const std::string path = PathOf(PercentDecode(raw), why);
    if (path.empty()) {
      attachments.refused.push_back("\"" + std::string(raw) + "\": " + why);
    } else {
      attachments.paths.push_back(path);
    }
  }
  return attachments;
}

}  // namespace pelorin
