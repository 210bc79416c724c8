// The desktop's keyring (the Secret Service: GNOME Keyring, KWallet and the like) through
// QtKeychain, under the service "Pelorin 32". Every call answers later, on the thread that
// made it, through its event loop; nothing is ever kept anywhere else, not even when no
// keyring is there.
#pragma once

#include <functional>
#include <string>

namespace pelorin::keyring {

inline constexpr const char* kService = "Pelorin 32";

enum class Outcome {
  Done,      // read, written or removed
  NotFound,  // the keyring works but holds nothing under the key
  Failed,    // no keyring on the bus, access refused, or another failure: see `error`
};

struct Answer {
  Outcome outcome = Outcome::Failed;
  std::string secret;  // what was read, UTF-8
  std::string error;   // the keyring's own words when it failed
};

using Done = std::function<void(const Answer&)>;

// The key of a password: "<user>@<server>".
std::string KeyFor(const std::string& server, const std::string& userName);

void Read(const std::string& key, Done done);
void Write(const std::string& key, const std::string& secret, Done done);
// Removing what is not there is no failure: Done or NotFound, as the keyring has it.
void Remove(const std::string& key, Done done);

}  // namespace pelorin::keyring
