#include "app/retry_settings.h"

#include <string>

#include "app/security_settings.h"
#include "os/registry_class.h"

namespace pelorin {
namespace {

constexpr const char* kRetry = "Retry Queued Mail";
constexpr const char* kRetryDials = "Retry Dials Up";

bool ReadFlag(os::Registry& registry, const char* name, bool fallback) {
  try {
    const std::string stored = registry.ReadString(name);
    if (stored == "1") return true;
    if (stored == "0") return false;
  } catch (const os::RegistryError&) {
  }
  return fallback;
}

}  // namespace

RetrySettings ReadRetrySettings() {
  RetrySettings settings;
  os::Registry registry(os::KEY_READ);
  if (!registry.OpenKey(kProgramKey, false)) return settings;
  settings.retry = ReadFlag(registry, kRetry, settings.retry);
  settings.dial = ReadFlag(registry, kRetryDials, settings.dial);
  return settings;
}

bool WriteRetrySettings(const RetrySettings& settings) {
  os::Registry registry;
  if (!registry.OpenKey(kProgramKey, true)) return false;
  registry.WriteString(kRetry, settings.retry ? "1" : "0");
  registry.WriteString(kRetryDials, settings.dial ? "1" : "0");
  return true;
}

}  // namespace pelorin
