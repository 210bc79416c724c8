// Finds and loads the module that holds the OpenSSL side of TlsChannel.
#include <dlfcn.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <mutex>
#include <system_error>

#include "os/kernel.h"
#include "transport/tls_channel.h"

namespace pelorin {
namespace {

using OpenChannel = TlsChannel* (*)(const std::string& serverName,
                                    const std::string& trustedFingerprint);

// A path that names no file is passed over; the failure names the first file that is there
// but cannot be used, else says that none was found.
OpenChannel LoadEntry(const std::vector<std::string>& modulePaths, std::string* failure) {
  std::string why;
  for (const std::string& path : modulePaths) {
    std::error_code error;
    if (path.find('/') != std::string::npos && !std::filesystem::exists(path, error)) {
      if (error && why.empty()) why = path + ": " + error.message();
      continue;
    }
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
      const char* text = dlerror();
      if (why.empty()) why = text != nullptr ? text : path + " cannot be loaded";
      continue;
    }
    if (void* entry = dlsym(module, kTlsModuleEntry)) return reinterpret_cast<OpenChannel>(entry);
    dlclose(module);
    if (why.empty()) why = path + " is not the TLS module of this program";
  }
  if (why.empty()) {
    why = std::string(kTlsModuleFile) +
          " was not found beside the program or in the system's library directories";
  }
  if (failure != nullptr) *failure = "the TLS module could not be loaded (" + why + ")";
  return nullptr;
}

// The directories the dynamic loader searches for the program's own libraries (its run path,
// LD_LIBRARY_PATH, the system's). A bare name given to dlopen would be searched there too, but
// from the run path of whoever calls dlopen, which under a sanitizer is the sanitizer's
// library, not the program.
std::vector<std::string> LoaderDirectories() {
  void* program = dlopen(nullptr, RTLD_NOW);
  Dl_serinfo size;
  if (program == nullptr || dlinfo(program, RTLD_DI_SERINFOSIZE, &size) != 0) return {};
  std::vector<char> buffer(size.dls_size);
  auto* info = reinterpret_cast<Dl_serinfo*>(buffer.data());
  *info = size;
  if (dlinfo(program, RTLD_DI_SERINFO, info) != 0) return {};
  std::vector<std::string> directories;
  for (unsigned i = 0; i < info->dls_cnt; ++i)
    directories.emplace_back(info->dls_serpath[i].dls_name);
  return directories;
}

std::vector<std::string> ModulePaths() {
  std::vector<std::string> paths;
  const std::filesystem::path program(os::GetModuleFileName());
  if (program.has_parent_path()) paths.push_back((program.parent_path() / kTlsModuleFile).string());
  for (const std::string& directory : LoaderDirectories()) {
    if (!directory.empty()) paths.push_back(directory + "/" + kTlsModuleFile);
  }
  return paths;
}

// Once loaded the module stays; a failure is tried again next time (it may be installed
// meanwhile). The search is kept to one thread at a time.
class ModuleLoader {
 public:
  OpenChannel Entry(std::string* failure) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (loaded_ == nullptr) loaded_ = LoadEntry(ModulePaths(), failure);
    return loaded_;
  }

  void StartLoading() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (loaded_ != nullptr || (preloading_.valid() && !IsReady(preloading_))) return;
    try {
      preloading_ = std::async(std::launch::async, [this] { Entry(nullptr); });
    } catch (const std::system_error&) {
      // No thread to spare: the module is loaded when the first channel is opened.
    }
  }

 private:
  static bool IsReady(const std::future<void>& future) {
    return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  }

  std::mutex mutex_;
  OpenChannel loaded_ = nullptr;
  std::future<void> preloading_;  // waited for when the process ends
};

ModuleLoader& Loader() {
  static ModuleLoader loader;
  return loader;
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

void PreloadTlsModule() {
  Loader().StartLoading();
}

std::unique_ptr<TlsChannel> OpenTlsChannel(const std::string& serverName,
                                           const std::string& trustedFingerprint,
                                           std::string* failure) {
  const OpenChannel open = Loader().Entry(failure);
  if (open == nullptr) return nullptr;
  return std::unique_ptr<TlsChannel>(open(serverName, trustedFingerprint));
}

}  // namespace pelorin
