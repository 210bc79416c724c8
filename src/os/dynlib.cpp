#include "os/dynlib.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>

#include "os/kernel.h"

namespace os {
namespace {

constexpr const char* kDirectoryVariable = "PELORIN_RAS_LIBRARY_DIR";

std::string LowerCase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

HMODULE OpenFile(const std::string& path) {
  return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

std::string ProgramDirectory() {
  return std::filesystem::path(GetModuleFileName()).parent_path().string();
}

}  // namespace

std::string SharedLibraryFileName(const std::string& name) {
  if (name.find_first_of("/\\") != std::string::npos) return {};
  std::string stem = LowerCase(name);
  if (stem.ends_with(".dll")) stem.resize(stem.size() - 4);
  if (stem.empty()) return {};
  return "lib" + stem + ".so";
}

HMODULE LoadLibraryA(const char* name) {
  if (name == nullptr) return nullptr;
  const std::string file = SharedLibraryFileName(name);
  if (file.empty()) return nullptr;
  const char* override = std::getenv(kDirectoryVariable);
  if (override != nullptr && *override != '\0') {
    // A relative directory would depend on the current one, which is never searched.
    if (*override != '/') return nullptr;
    return OpenFile(std::string(override) + "/" + file);
  }
  const std::string beside = ProgramDirectory();
  if (!beside.empty()) {
    if (HMODULE module = OpenFile(beside + "/" + file)) return module;
  }
  // A bare name: the loader searches only its configured directories, not the current one.
  return OpenFile(file);
}

FARPROC GetProcAddress(HMODULE module, const char* name) {
  if (module == nullptr || name == nullptr) return nullptr;
  return ::dlsym(module, name);
}

void* ProgramModuleEntry(const char* file, const char* entry, std::string* failure) {
  static std::mutex mutex;
  static std::map<std::string, void*> found;
  const std::lock_guard<std::mutex> lock(mutex);
  const std::string key = std::string(file) + '\n' + entry;
  if (const auto known = found.find(key); known != found.end()) return known->second;
  const std::filesystem::path program(GetModuleFileName());
  const std::string path = (program.parent_path() / file).string();
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* why = dlerror();
    *failure = why != nullptr ? why : path + " cannot be loaded";
    return nullptr;
  }
  void* function = dlsym(module, entry);
  if (function == nullptr) {
    *failure = path + " is not the module of this program it should be (no " + entry + ")";
    return nullptr;
  }
  return found[key] = function;
}

}  // namespace os
