#include "setup/provider_table.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

namespace pelorin::setup {
namespace {

using enum SignInMethod;
constexpr SmtpSecurity kTls = SmtpSecurity::Tls;
constexpr SmtpSecurity kStartTls = SmtpSecurity::StartTls;

// Outlook.com and Microsoft 365 accept no password from mail programs any more, Gmail only an
// app password: OAuth2 is what their users need. The others take the account's password or an
// app password made for the program.
constexpr std::array<ProviderRow, 13> kProviders = {{
    {"Gmail and Google Workspace", "gmail.com googlemail.com", "google.com googlemail.com",
     "smtp.gmail.com", 465, kTls, OAuth2},
    {"Outlook.com",
     "outlook.com hotmail.com live.com msn.com hotmail.co.uk hotmail.de hotmail.fr "
     "hotmail.it live.co.uk live.de live.fr outlook.de outlook.fr",
     "", "smtp-mail.outlook.com", 587, kStartTls, OAuth2},
    {"Microsoft 365", "onmicrosoft.com", "mail.protection.outlook.com", "smtp.office365.com", 587,
     kStartTls, OAuth2},
    {"Yahoo", "yahoo.com yahoo.co.uk yahoo.de yahoo.fr ymail.com rocketmail.com", "",
     "smtp.mail.yahoo.com", 465, kTls, Password},
    {"iCloud", "icloud.com me.com mac.com", "", "smtp.mail.me.com", 587, kStartTls, Password},
    {"GMX", "gmx.net gmx.de gmx.at gmx.ch", "", "mail.gmx.net", 587, kStartTls, Password},
    {"GMX (international)", "gmx.com gmx.us gmx.co.uk gmx.fr", "", "mail.gmx.com", 587, kStartTls,
     Password},
    {"WEB.DE", "web.de", "", "smtp.web.de", 587, kStartTls, Password},
    {"Fastmail", "fastmail.com fastmail.fm", "", "smtp.fastmail.com", 465, kTls, Password},
    {"Zoho", "zoho.com zohomail.com", "", "smtp.zoho.com", 465, kTls, Password},
    {"AOL", "aol.com aim.com", "", "smtp.aol.com", 465, kTls, Password},
    {"Yandex", "yandex.ru yandex.com ya.ru yandex.by yandex.kz yandex.ua", "", "smtp.yandex.ru",
     465, kTls, Password},
    {"Mail.ru", "mail.ru inbox.ru list.ru bk.ru internet.ru", "", "smtp.mail.ru", 465, kTls,
     Password},
}};

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

// `name` is `suffix` or ends with "." and `suffix`.
bool EndsAtLabel(std::string_view name, std::string_view suffix) {
  if (!name.ends_with(suffix)) return false;
  return name.size() == suffix.size() || name[name.size() - suffix.size() - 1] == '.';
}

template <typename Matches>
const ProviderRow* FirstRow(std::string_view ProviderRow::*list, Matches matches) {
  for (const ProviderRow& row : kProviders) {
    bool found = false;
    ForEachWord(row.*list, [&](std::string_view word) { found = found || matches(word); });
    if (found) return &row;
  }
  return nullptr;
}

}  // namespace

std::span<const ProviderRow> ProviderTable() {
  return kProviders;
}

const ProviderRow* ProviderForDomain(std::string_view domain) {
  const std::string name = Lower(domain);
  return FirstRow(&ProviderRow::domains,
                  [&](std::string_view word) { return EndsAtLabel(name, word); });
}

const ProviderRow* ProviderForExchanger(std::string_view exchanger) {
  std::string name = Lower(exchanger);
  if (name.ends_with('.')) name.pop_back();
  return FirstRow(&ProviderRow::exchangers,
                  [&](std::string_view word) { return EndsAtLabel(name, word); });
}

const ProviderRow* ProviderForHost(std::string_view host) {
  std::string name = Lower(host);
  if (name.ends_with('.')) name.pop_back();
  for (const ProviderRow& row : kProviders) {
    if (row.host == name) return &row;
  }
  return nullptr;
}

FoundServer FoundIn(const ProviderRow& row, FoundBy source) {
  return {std::string(row.host), row.port, row.security, row.signIn, source};
}

}  // namespace pelorin::setup
