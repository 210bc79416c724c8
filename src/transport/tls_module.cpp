// Finds and loads the module that holds the OpenSSL side of TlsChannel.
#include <dlfcn.h>

#include <filesystem>
#include <mutex>

#include "os/kernel.h"
#include "transport/tls_channel.h"

namespace pelorin {
namespace {

using OpenChannel = TlsChannel* (*)(const std::string& serverName,
                                    const std::string& trustedFingerprint);

OpenChannel LoadEntry(const std::vector<std::string>& modulePaths, std::string* failure) {
  std::string why = "no module to look for";
  for (const std::string& path : modulePaths) {
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
      const char* error = dlerror();
      why = error != nullptr ? error : path + " cannot be loaded";
      continue;
    }
    if (void* entry = dlsym(module, kTlsModuleEntry)) return reinterpret_cast<OpenChannel>(entry);
    why = path + " is not the TLS module of this program";
  }
  if (failure != nullptr) *failure = "the TLS module could not be loaded (" + why + ")";
  return nullptr;
}

std::vector<std::string> ModulePaths() {
  std::vector<std::string> paths;
  const std::filesystem::path program(os::GetModuleFileName());
  if (program.has_parent_path()) paths.push_back((program.parent_path() / kTlsModuleFile).string());
  paths.emplace_back(kTlsModuleFile);
  return paths;
}

}  // namespace

std::unique_ptr<TlsChannel> OpenTlsChannelFrom(const std::vector<std::string>& modulePaths,
                                               const std::string& serverName,
                                               const std::string& trustedFingerprint,
                                               std::string* failure) {
  const OpenChannel open = LoadEntry(modulePaths, failure);
  if (open == nullptr) return nullptr;
  return std::unique_ptr<TlsChannel>(open(serverName, trustedFingerprint));
}

std::unique_ptr<TlsChannel> OpenTlsChannel(const std::string& serverName,
                                           const std::string& trustedFingerprint,
                                           std::string* failure) {
  // Once loaded the module stays; a failure is tried again next time (it may be installed
  // meanwhile). dlerror's text is per thread, but the search is kept to one thread at a time.
  static std::mutex loading;
  static OpenChannel loaded = nullptr;
  const std::lock_guard<std::mutex> lock(loading);
  if (loaded == nullptr) loaded = LoadEntry(ModulePaths(), failure);
  if (loaded == nullptr) return nullptr;
  return std::unique_ptr<TlsChannel>(loaded(serverName, trustedFingerprint));
}

}  // namespace pelorin
