// The entry of the module that the program loads when a look-up from an address first asks
// the network.
#include "setup/qt_network_lookup.h"

extern "C" __attribute__((visibility("default"))) pelorin::setup::NetworkLookup*
pelorin32_new_network_lookup() {
  return pelorin::setup::NewQtNetworkLookup().release();
}
