// Whether queued mail is tried again by itself, kept under the program's registry key
// "\Software\Pelorin 32" like the other advanced settings: "Retry Queued Mail" ("1", the
// default, or "0") and "Retry Dials Up" ("1", or "0", the default: a try made by itself leaves
// the dial-up line alone).
#pragma once

namespace pelorin {

struct RetrySettings {
  bool retry = true;
  bool dial = false;
  bool operator==(const RetrySettings&) const = default;
};

// Missing or unreadable values read as their defaults.
RetrySettings ReadRetrySettings();
// False when the program's key does not open for writing; raises os::RegistryError when a
// value cannot be written.
bool WriteRetrySettings(const RetrySettings& settings);

}  // namespace pelorin
