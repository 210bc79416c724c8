#include "setup/thunderbird_prefs.h"

#include <optional>
#include <vector>

namespace pelorin {
namespace {

// --- Reading prefs.js: JavaScript-like statements ---

enum class TokenKind { Name, String, Number, Punctuation, End };

struct Token {
  TokenKind kind = TokenKind::End;
  std::string text;
};

void AppendUtf8(std::string& out, unsigned codePoint) {
  if (codePoint >= 0xD800 && codePoint <= 0xDFFF) codePoint = 0xFFFD;
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

class PrefsScanner {
 public:
  explicit PrefsScanner(std::string_view text) : text_(text) {}

  Token Next() {
    SkipBlanksAndComments();
    if (at_ >= text_.size()) return {};
    const char c = text_[at_];
    if (c == '"' || c == '\'') return {TokenKind::String, QuotedString(c)};
    if (IsNameCharacter(c) || c == '-') return Word(c == '-' || IsDigit(c));
    ++at_;
    return {TokenKind::Punctuation, std::string(1, c)};
  }

 private:
  static bool IsDigit(char c) { return c >= '0' && c <= '9'; }
  static bool IsNameCharacter(char c) {
    return IsDigit(c) || c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  }

  void SkipBlanksAndComments() {
    while (at_ < text_.size()) {
      const std::string_view rest = text_.substr(at_);
      if (rest[0] == ' ' || rest[0] == '\t' || rest[0] == '\r' || rest[0] == '\n') {
        ++at_;
      } else if (rest.substr(0, 2) == "//" || rest[0] == '#') {
        const std::size_t end = text_.find('\n', at_);
        at_ = end == std::string_view::npos ? text_.size() : end;
      } else if (rest.substr(0, 2) == "/*") {
        const std::size_t end = text_.find("*/", at_ + 2);
        at_ = end == std::string_view::npos ? text_.size() : end + 2;
      } else {
        return;
      }
    }
  }

  Token Word(bool number) {
    const std::size_t start = at_++;
    while (at_ < text_.size() && IsNameCharacter(text_[at_])) ++at_;
    return {number ? TokenKind::Number : TokenKind::Name,
            std::string(text_.substr(start, at_ - start))};
  }

  // The value of a quoted string with its escapes (\n, \r, \t, \xNN, \uNNNN, or the
  // character itself); an unclosed string runs to the end of the text.
  std::string QuotedString(char quote) {
    std::string value;
    for (++at_; at_ < text_.size() && text_[at_] != quote; ++at_) {
      if (text_[at_] != '\\' || at_ + 1 >= text_.size()) {
        value += text_[at_];
        continue;
      }
      const char escaped = text_[++at_];
      if (escaped == 'n') {
        value += '\n';
      } else if (escaped == 'r') {
        value += '\r';
      } else if (escaped == 't') {
        value += '\t';
      } else if (escaped == 'x' || escaped == 'u') {
        AppendUtf8(value, HexDigits(escaped == 'x' ? 2 : 4));
      } else {
        value += escaped;
      }
    }
    ++at_;
    return value;
  }

  unsigned HexDigits(std::size_t count) {
    unsigned value = 0;
    for (std::size_t i = 0; i < count && at_ + 1 < text_.size(); ++i) {
      const char c = text_[at_ + 1];
      const int digit = IsDigit(c)               ? c - '0'
                        : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                        : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                 : -1;
      if (digit < 0) break;
      value = value * 16 + static_cast<unsigned>(digit);
      ++at_;
    }
    return value;
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

bool IsPrefFunction(const Token& token) {
  return token.kind == TokenKind::Name &&
         (token.text == "user_pref" || token.text == "pref" || token.text == "sticky_pref");
}

bool IsPunctuation(const Token& token, char c) {
  return token.kind == TokenKind::Punctuation && token.text.size() == 1 && token.text[0] == c;
}

// One statement `name("key", value);` read from its first token on; nothing when it is not
// one. Either way the scanner stands after the statement's ";" (or at the end).
std::optional<std::pair<std::string, std::string>> ReadStatement(PrefsScanner& scanner,
                                                                 Token token) {
  std::vector<Token> tokens;
  while (token.kind != TokenKind::End && !IsPunctuation(token, ';')) {
    tokens.push_back(std::move(token));
    token = scanner.Next();
  }
  const bool wellFormed = tokens.size() == 6 && IsPrefFunction(tokens[0]) &&
                          IsPunctuation(tokens[1], '(') && tokens[2].kind == TokenKind::String &&
                          IsPunctuation(tokens[3], ',') &&
                          tokens[4].kind != TokenKind::Punctuation && IsPunctuation(tokens[5], ')');
  if (!wellFormed) return std::nullopt;
  return std::make_pair(tokens[2].text, tokens[4].text);
}

// --- The default identity and its server ---

std::vector<std::string> CommaList(const std::string& text) {
  std::vector<std::string> items;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(start, end - start);
    item.erase(0, item.find_first_not_of(' '));
    item.erase(item.find_last_not_of(' ') + 1);
    if (!item.empty()) items.push_back(item);
    start = end + 1;
  }
  return items;
}

class ThunderbirdPrefs {
 public:
  explicit ThunderbirdPrefs(std::string_view text) : prefs_(ParsePrefsJs(text)) {}

  MailSetup Setup() const {
    MailSetup setup;
    const std::string identity = DefaultIdentity();
    if (!identity.empty()) setup.address = Pref("mail.identity." + identity + ".useremail");
    AddServer(setup, ServerOf(identity));
    return setup;
  }

 private:
  std::string Pref(const std::string& name) const {
    const auto it = prefs_.find(name);
    return it == prefs_.end() ? std::string() : it->second;
  }

  std::string FirstIdentityOf(const std::string& account) const {
    const auto identities = CommaList(Pref("mail.account." + account + ".identities"));
    return identities.empty() ? std::string() : identities.front();
  }

  // The default account's first identity, else the first one of any account.
  std::string DefaultIdentity() const {
    std::string identity = FirstIdentityOf(Pref("mail.accountmanager.defaultaccount"));
    for (const std::string& account : CommaList(Pref("mail.accountmanager.accounts"))) {
      if (!identity.empty()) break;
      identity = FirstIdentityOf(account);
    }
    return identity;
  }

  std::string ServerOf(const std::string& identity) const {
    std::string server =
        identity.empty() ? std::string() : Pref("mail.identity." + identity + ".smtpServer");
    if (server.empty()) server = Pref("mail.smtp.defaultserver");
    if (server.empty()) {
      const auto servers = CommaList(Pref("mail.smtpservers"));
      if (!servers.empty()) server = servers.front();
    }
    return server;
  }

  // try_ssl: 0 none, 1 STARTTLS when offered (long gone, read as STARTTLS), 2 STARTTLS,
  // 3 TLS from the start. A port of 0 or none means the protocol's own: 465 for TLS.
  void AddServer(MailSetup& setup, const std::string& server) const {
    if (server.empty()) return;
    const std::string prefix = "mail.smtpserver." + server + ".";
    const std::string type = Pref(prefix + "type");
    if (!type.empty() && type != "smtp") return;  // an Exchange server speaks no SMTP
    setup.server = Pref(prefix + "hostname");
    if (setup.server.empty()) return;
    const std::string trySsl = Pref(prefix + "try_ssl");
    setup.security = trySsl == "3" ? "tls" : (trySsl == "1" || trySsl == "2") ? "starttls" : "none";
    setup.port = Pref(prefix + "port");
    if (setup.port == "0") setup.port.clear();
    if (setup.port.empty() && setup.security == "tls") setup.port = "465";
    setup.user = Pref(prefix + "username");
  }

  std::map<std::string, std::string> prefs_;
};

}  // namespace

std::map<std::string, std::string> ParsePrefsJs(std::string_view text) {
  std::map<std::string, std::string> prefs;
  PrefsScanner scanner(text);
  for (Token token = scanner.Next(); token.kind != TokenKind::End; token = scanner.Next()) {
    if (auto pref = ReadStatement(scanner, std::move(token))) prefs[pref->first] = pref->second;
  }
  return prefs;
}

MailSetup ReadThunderbirdPrefs(std::string_view prefsJs) {
  return ThunderbirdPrefs(prefsJs).Setup();
}

}  // namespace pelorin
