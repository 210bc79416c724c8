#include "setup/msmtprc.h"

#include <map>
#include <string>
#include <vector>

namespace pelorin {
namespace {

using Settings = std::map<std::string, std::string>;

struct Account {
  std::string name;
  Settings settings;
};

std::string_view Trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// An argument may be quoted, in whole or in parts; inside quotes \" and \\ stand for the
// character.
std::string Unquote(std::string_view argument) {
  std::string plain;
  bool quoted = false;
  for (std::size_t i = 0; i < argument.size(); ++i) {
    const char c = argument[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (quoted && c == '\\' && i + 1 < argument.size()) {
      plain += argument[++i];
    } else {
      plain += c;
    }
  }
  return plain;
}

std::vector<std::string> NamesAfterColon(std::string_view list) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(',', start);
    if (end == std::string_view::npos) end = list.size();
    const std::string_view name = Trim(list.substr(start, end - start));
    if (!name.empty()) names.emplace_back(name);
    start = end + 1;
  }
  return names;
}

class MsmtpConfig {
 public:
  explicit MsmtpConfig(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string_view::npos) end = text.size();
      ReadLine(Trim(text.substr(start, end - start)));
      start = end + 1;
    }
  }

  const Settings* DefaultAccount() const {
    for (const Account& account : accounts_) {
      if (account.name == "default") return &account.settings;
    }
    return accounts_.empty() ? nullptr : &accounts_.front().settings;
  }

 private:
  void ReadLine(std::string_view line) {
    if (line.empty() || line[0] == '#') return;
    const std::size_t blank = line.find_first_of(" \t");
    const std::string_view command = line.substr(0, blank);
    const std::string_view argument =
        blank == std::string_view::npos ? std::string_view() : Trim(line.substr(blank));
    if (command == "defaults") {
      current_ = &defaults_;
    } else if (command == "account") {
      StartAccount(argument);
    } else if (current_ != nullptr) {
      (*current_)[std::string(command)] = Unquote(argument);
    }
  }

  // "account name [: other, ...]": the defaults so far, then the other accounts' settings.
  void StartAccount(std::string_view argument) {
    const std::size_t colon = argument.find(':');
    Account account{std::string(Trim(argument.substr(0, colon))), defaults_};
    if (colon != std::string_view::npos) {
      for (const std::string& parent : NamesAfterColon(argument.substr(colon + 1))) {
        for (const Account& earlier : accounts_) {
          if (earlier.name != parent) continue;
          for (const auto& [key, value] : earlier.settings) account.settings[key] = value;
        }
      }
    }
    accounts_.push_back(std::move(account));
    current_ = &accounts_.back().settings;
  }

  Settings defaults_;
  std::vector<Account> accounts_;
  Settings* current_ = nullptr;  // where the next setting goes
};

std::string Value(const Settings& settings, const std::string& key) {
  const auto it = settings.find(key);
  return it == settings.end() ? std::string() : it->second;
}

// "tls" and "tls_starttls" with no argument mean "on"; STARTTLS is msmtp's default.
bool IsOn(const Settings& settings, const std::string& key, bool byDefault) {
  const auto it = settings.find(key);
  if (it == settings.end()) return byDefault;
  return it->second.empty() || it->second == "on";
}

}  // namespace

MailSetup ReadMsmtprc(std::string_view text) {
  const MsmtpConfig config(text);
  const Settings* account = config.DefaultAccount();
  if (account == nullptr) return {};
  MailSetup setup;
  setup.address = Value(*account, "from");
  setup.server = Value(*account, "host");
  if (setup.server.empty()) return setup;
  const bool tls = IsOn(*account, "tls", false);
  setup.security = !tls ? "none" : IsOn(*account, "tls_starttls", true) ? "starttls" : "tls";
  setup.port = Value(*account, "port");
  if (setup.port.empty() && setup.security == "tls") setup.port = "465";
  setup.user = Value(*account, "user");
  return setup;
}

}  // namespace pelorin
