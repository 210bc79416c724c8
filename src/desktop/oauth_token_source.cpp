// Loads the module that signs in. Qt's network module, the loopback listener and the TLS
// backend would otherwise stay resident in a program that waits in the tray for hours; they
// are needed only when a send or the settings first ask for a token.
#include "desktop/oauth_token_source.h"

#include <dlfcn.h>

#include <filesystem>
#include <mutex>

#include "os/kernel.h"

namespace pelorin::oauth {
namespace {

using NewSource = TokenSource* (*)();

// Once loaded the module stays; a failure is tried again next time (it may be installed
// meanwhile).
NewSource LoadEntry(std::string* failure) {
  static std::mutex mutex;
  static NewSource loaded = nullptr;
  const std::lock_guard<std::mutex> lock(mutex);
  if (loaded != nullptr) return loaded;
  const std::filesystem::path program(os::GetModuleFileName());
  const std::string path = (program.parent_path() / kOAuthModuleFile).string();
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* why = dlerror();
    *failure = "The OAuth2 sign-in cannot be used: " +
               (why != nullptr ? std::string(why) : path + " cannot be loaded");
    return nullptr;
  }
  loaded = reinterpret_cast<NewSource>(dlsym(module, kOAuthModuleEntry));
  if (loaded == nullptr) {
    *failure = "The OAuth2 sign-in cannot be used: " + path +
               " is not the sign-in module of "
               "this program.";
  }
  return loaded;
}

std::unique_ptr<TokenSource> FromModule(std::string* failure) {
  const NewSource entry = LoadEntry(failure);
  if (entry == nullptr) return nullptr;
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
