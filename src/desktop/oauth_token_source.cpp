// Loads the module that signs in. Qt's network module, the loopback listener and the TLS
// backend would otherwise stay resident in a program that waits in the tray for hours; they
// are needed only when a send or the settings first ask for a token.
#include "desktop/oauth_token_source.h"

#include "os/dynlib.h"

namespace pelorin::oauth {
namespace {

using NewSource = TokenSource* (*)();

std::unique_ptr<TokenSource> FromModule(std::string* failure) {
  std::string why;
  const auto entry = reinterpret_cast<NewSource>(
      os::ProgramModuleEntry(kOAuthModuleFile, kOAuthModuleEntry, &why));
  if (entry == nullptr) {
    *failure = "The OAuth2 sign-in cannot be used: " + why;
    return nullptr;
  }
  return std::unique_ptr<TokenSource>(entry());
}

TokenSourceMaker& Maker() {
  static TokenSourceMaker maker = FromModule;
  return maker;
}

}  // namespace

std::unique_ptr<TokenSource> MakeTokenSource(std::string* failure) {
  return Maker()(failure);
}

void UseTokenSourceMaker(TokenSourceMaker maker) {
  Maker() = maker ? std::move(maker) : TokenSourceMaker(FromModule);
}

}  // namespace pelorin::oauth
