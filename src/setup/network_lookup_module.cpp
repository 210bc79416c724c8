// Loads the module that asks the real network. Qt's network module, and Kerberos and the
// proxy library that come with it, would otherwise stay resident in a program that waits in
// the tray for hours; they are needed only while the settings dialog looks something up.
#include <dlfcn.h>

#include <filesystem>
#include <mutex>

#include "os/kernel.h"
#include "setup/network_lookup.h"

namespace pelorin::setup {
namespace {

using NewLookup = NetworkLookup* (*)();

// Once loaded the module stays; a failure is tried again next time (it may be installed
// meanwhile).
NewLookup LoadEntry(std::string* failure) {
  static std::mutex mutex;
  static NewLookup loaded = nullptr;
  const std::lock_guard<std::mutex> lock(mutex);
  if (loaded != nullptr) return loaded;
  const std::filesystem::path program(os::GetModuleFileName());
  const std::string path = (program.parent_path() / kLookupModuleFile).string();
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* why = dlerror();
    *failure = why != nullptr ? why : path + " cannot be loaded";
    return nullptr;
  }
  loaded = reinterpret_cast<NewLookup>(dlsym(module, kLookupModuleEntry));
  if (loaded == nullptr) *failure = path + " is not the look-up module of this program";
  return loaded;
}

std::unique_ptr<NetworkLookup> FromModule(std::string* failure) {
  const NewLookup entry = LoadEntry(failure);
  if (entry == nullptr) return nullptr;
  return std::unique_ptr<NetworkLookup>(entry());
}

NetworkLookupMaker& Maker() {
  static NetworkLookupMaker maker = FromModule;
  return maker;
}

}  // namespace

std::unique_ptr<NetworkLookup> MakeNetworkLookup(std::string* failure) {
  return Maker()(failure);
}

void UseNetworkLookupMaker(NetworkLookupMaker maker) {
  Maker() = maker ? std::move(maker) : NetworkLookupMaker(FromModule);
}

}  // namespace pelorin::setup
