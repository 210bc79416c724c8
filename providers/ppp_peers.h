// The phone book: the pppd peers, one file per entry, named after the entry.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pelorin {

// The entry names in byte order; nothing when the peers directory cannot be read. Hidden files,
// editor backups ("~") and names longer than an entry name may be are left out.
std::optional<std::vector<std::string>> PeerEntries();

bool PeerExists(const std::string& entry);

// The value of the peer's "user" option, empty when it has none.
std::string PeerUserName(const std::string& entry);

}  // namespace pelorin
