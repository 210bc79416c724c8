#include "os/registry_class.h"

#include <vector>

namespace os {

Registry::Registry(REGSAM access) : access_(access) {}

Registry::~Registry() {
  CloseKey();
}

void Registry::SetRootKey(HKEY root) {
  CloseKey();
  root_ = root;
}

bool Registry::OpenKey(const std::string& key, bool canCreate) {
  const bool relative = !key.starts_with('\\');
  const HKEY base = relative && current_ != nullptr ? current_ : root_;
  HKEY opened = nullptr;
  const LSTATUS status =
      canCreate ? RegCreateKeyExA(base, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access_,
                                  nullptr, &opened, nullptr)
                : RegOpenKeyExA(base, key.c_str(), 0, access_, &opened);
  if (status != ERROR_SUCCESS) return false;
  CloseKey();
  current_ = opened;
  return true;
}

void Registry::CloseKey() {
  if (current_ == nullptr) return;
  RegCloseKey(current_);
  current_ = nullptr;
}

std::string Registry::ReadString(const std::string& name) {
  if (current_ == nullptr) return {};
  std::uint32_t type = REG_NONE;
  std::uint32_t size = 0;
  if (RegQueryValueExA(current_, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
    return {};
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ) {
    throw RegistryError("Invalid data type for '" + name + "'");
  }
  std::vector<std::uint8_t> data(size + 1, 0);
  size = static_cast<std::uint32_t>(data.size());
  if (RegQueryValueExA(current_, name.c_str(), nullptr, &type, data.data(), &size) !=
      ERROR_SUCCESS) {
    return {};
  }
  return std::string(reinterpret_cast<const char*>(data.data()));
}

void Registry::WriteString(const std::string& name, const std::string& value) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(value.c_str());
  const auto size = static_cast<std::uint32_t>(value.size() + 1);
  if (current_ == nullptr ||
      RegSetValueExA(current_, name.c_str(), 0, REG_SZ, data, size) != ERROR_SUCCESS) {
    throw RegistryError("Failed to set data for '" + name + "'");
  }
}

bool Registry::ValueExists(const std::string& name) {
  return current_ != nullptr && RegQueryValueExA(current_, name.c_str(), nullptr, nullptr, nullptr,
                                                 nullptr) == ERROR_SUCCESS;
}

}  // namespace os
