// A stand-in until the module that asks the provider is built: a maker put in place with
// UseTokenSourceMaker answers, and without one there is no source, with the reason.
#include "desktop/oauth_token_source.h"

#include <utility>

namespace pelorin::oauth {
namespace {

TokenSourceMaker& InstalledMaker() {
  static TokenSourceMaker maker;
  return maker;
}

}  // namespace

std::unique_ptr<TokenSource> MakeTokenSource(std::string* failure) {
  if (InstalledMaker()) return InstalledMaker()(failure);
  if (failure != nullptr) *failure = "OAuth2 sign-in is not available in this build of the program";
  return nullptr;
}

void UseTokenSourceMaker(TokenSourceMaker maker) {
  InstalledMaker() = std::move(maker);
}

}  // namespace pelorin::oauth
