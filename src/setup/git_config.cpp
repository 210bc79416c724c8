#include "setup/git_config.h"

namespace pelorin {
namespace {

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = LowerAscii(c);
  return lower;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

class GitConfigReader {
 public:
  explicit GitConfigReader(std::string_view text) : text_(text) {}

  std::string UserEmail() {
    std::string email;
    while (SkipBlankLinesAndComments()) {
      if (text_[at_] == '[') {
        inUser_ = ReadSectionHeader() == "user";
        continue;  // a variable may follow on the same line
      }
      const std::string name = Lower(ReadName());
      const std::string value = ReadValueIfAny();
      if (inUser_ && name == "email") email = value;
    }
    return email;
  }

 private:
  bool AtEnd() const { return at_ >= text_.size(); }

  // Stands at the next thing to read; false at the end of the text.
  bool SkipBlankLinesAndComments() {
    while (!AtEnd()) {
      const char c = text_[at_];
      if (IsBlank(c) || c == '\n') {
        ++at_;
      } else if (c == '#' || c == ';') {
        SkipLine();
      } else {
        return true;
      }
    }
    return false;
  }

  void SkipLine() {
    const std::size_t end = text_.find('\n', at_);
    at_ = end == std::string_view::npos ? text_.size() : end + 1;
  }

  // "[name]", "[name "sub"]" or the old "[name.sub]": the section's name in lower case,
  // with what follows it when there is a sub-section, so that only a plain [user] is "user".
  std::string ReadSectionHeader() {
    const std::size_t close = text_.find(']', at_);
    if (close == std::string_view::npos) {
      at_ = text_.size();
      return {};
    }
    const std::string_view header = text_.substr(at_ + 1, close - at_ - 1);
    at_ = close + 1;
    return Lower(header);
  }

  std::string ReadName() {
    const std::size_t start = at_;
    while (!AtEnd() && text_[at_] != '=' && text_[at_] != '\n' && !IsBlank(text_[at_]) &&
           text_[at_] != '#' && text_[at_] != ';') {
      ++at_;
    }
    return std::string(text_.substr(start, at_ - start));
  }

  // After a name: "= value" up to the line's end, or nothing (a boolean true).
  std::string ReadValueIfAny() {
    while (!AtEnd() && IsBlank(text_[at_])) ++at_;
    if (AtEnd() || text_[at_] != '=') {
      SkipLine();
      return {};
    }
    ++at_;
    return ReadValue();
  }

  // Blanks outside quotes are kept inside the value but dropped at its ends.
  std::string ReadValue() {
    std::string value;
    std::size_t keptLength = 0;  // the value up to its last character that is no blank
    bool quoted = false;
    while (!AtEnd()) {
      const char c = text_[at_++];
      if (c == '\n') break;
      if (!quoted && (c == '#' || c == ';')) {
        SkipLine();
        break;
      }
      if (c == '"') {
        quoted = !quoted;
        keptLength = value.size();
        continue;
      }
      if (c == '\\' && !AtEnd()) {
        const char escaped = text_[at_++];
        if (escaped == '\r' && !AtEnd() && text_[at_] == '\n') ++at_;
        if (escaped == '\n' || escaped == '\r') continue;  // the value goes on in the next line
        value += escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped == 'b' ? '\b' : escaped;
        keptLength = value.size();
        continue;
      }
      if (!quoted && IsBlank(c) && value.empty()) continue;
      value += c;
      if (quoted || !IsBlank(c)) keptLength = value.size();
    }
    value.resize(keptLength);
    return value;
  }

  std::string_view text_;
  std::size_t at_ = 0;
  bool inUser_ = false;
};

}  // namespace

std::string ReadGitUserEmail(std::string_view text) {
  return GitConfigReader(text).UserEmail();
}

}  // namespace pelorin
