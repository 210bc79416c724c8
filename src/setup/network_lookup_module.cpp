// Loads the module that asks the real network. Qt's network module, and Kerberos and the
// proxy library that come with it, would otherwise stay resident in a program that waits in
// the tray for hours; they are needed only while the settings dialog looks something up.
#include "os/dynlib.h"
#include "setup/network_lookup.h"

namespace pelorin::setup {
namespace {

using NewLookup = NetworkLookup* (*)();

std::unique_ptr<NetworkLookup> FromModule(std::string* failure) {
  const auto entry = reinterpret_cast<NewLookup>(
      os::ProgramModuleEntry(kLookupModuleFile, kLookupModuleEntry, failure));
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
