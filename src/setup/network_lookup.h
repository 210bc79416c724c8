// The network questions a look-up from an address asks: DNS service and mail exchanger
// records, and a document fetched over HTTPS whose server certificate is verified. Behind this
// interface so that the program loads Qt's network module only when a look-up starts, and so
// that tests can answer in its place.
//
// Used on one thread with a running event loop. Each question is answered exactly once, later,
// on that thread; an empty answer stands for none, whatever the reason. Answers not given yet
// when the object is destroyed are dropped.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pelorin::setup {

struct ServiceRecord {
  std::string target;
  int port = 0;
  int priority = 0;
  int weight = 0;
};

class NetworkLookup {
 public:
  using Services = std::function<void(std::vector<ServiceRecord>)>;
  using Exchangers = std::function<void(std::vector<std::string>)>;  // most preferred first
  using Document = std::function<void(std::optional<std::string>)>;

  virtual ~NetworkLookup() = default;
  virtual void FindServices(const std::string& name, Services answer) = 0;
  virtual void FindMailExchangers(const std::string& domain, Exchangers answer) = 0;
  // Only an https address is fetched; the body only with status 200, and not beyond 64 KiB.
  virtual void FetchVerified(const std::string& url, Document answer) = 0;
};

// Makes the look-up that asks the real network, loading the module that holds it (beside the
// program) on first use; none, with the reason in `failure`, when the module cannot be loaded.
// Tests put their own maker in place with UseNetworkLookupMaker.
using NetworkLookupMaker = std::function<std::unique_ptr<NetworkLookup>(std::string* failure)>;
std::unique_ptr<NetworkLookup> MakeNetworkLookup(std::string* failure);
// An empty maker puts the module's back.
void UseNetworkLookupMaker(NetworkLookupMaker maker);

// The module's file name and the entry it exports: a function without arguments that returns
// a new NetworkLookup, owned by the caller.
inline constexpr const char* kLookupModuleFile = "libpelorin32-lookup.so";
inline constexpr const char* kLookupModuleEntry = "pelorin32_new_network_lookup";

}  // namespace pelorin::setup
