// The network look-up over Qt's network module: QDnsLookup for the DNS records (the system's
// resolver configuration) and QNetworkAccessManager for HTTPS, whose certificates are always
// verified against the system's trust store. Built into the module the program loads, and
// into the tests that ask real servers on this machine.
#pragma once

#include <memory>
#include <string>

#include "setup/network_lookup.h"

namespace pelorin::setup {

struct QtNetworkLookupOptions {
  // A further certificate authority to trust beside the system's (a PEM file), for tests that
  // serve HTTPS with a certificate of their own; empty for none.
  std::string extraAuthorityFile;
};

std::unique_ptr<NetworkLookup> NewQtNetworkLookup(const QtNetworkLookupOptions& options = {});

}  // namespace pelorin::setup
