#include "os/registry.h"

#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "os/registry_hive.h"

namespace os {

using KeyPath = std::vector<std::string>;  // the names below the hive's root

struct RegistryKey {
  Hive hive = Hive::CurrentUser;
  KeyPath path;
  bool writeAccess = true;
  std::shared_ptr<VirtualKey> handler;
};

namespace {

RegistryKey g_currentUserRoot{Hive::CurrentUser, {}, true, nullptr};
RegistryKey g_localMachineRoot{Hive::LocalMachine, {}, true, nullptr};

// Serialises every read-modify-write of a hive file within the process.
std::mutex g_mutex;
std::unordered_map<RegistryKey*, std::unique_ptr<RegistryKey>> g_openKeys;

struct VirtualKeyEntry {
  Hive hive;
  KeyPath path;
  std::shared_ptr<VirtualKey> handler;
};
std::vector<VirtualKeyEntry> g_virtualKeys;

constexpr REGSAM kDelete = 0x00010000;
constexpr REGSAM kWriteDac = 0x00040000;
constexpr REGSAM kWriteOwner = 0x00080000;

bool WantsWrite(REGSAM desired) {
  return (desired & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | kDelete | kWriteDac |
                     kWriteOwner)) != 0;
}

KeyPath SplitPath(std::string_view text) {
  KeyPath path;
  while (!text.empty()) {
    const std::size_t end = text.find('\\');
    if (end != 0) path.emplace_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return path;
}

bool SamePath(const KeyPath& a, const KeyPath& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!RegNamesEqual(a[i], b[i])) return false;
  }
  return true;
}

bool BeginsWith(const KeyPath& path, const KeyPath& prefix) {
  return path.size() >= prefix.size() &&
         SamePath(KeyPath(path.begin(), path.begin() + static_cast<long>(prefix.size())), prefix);
}

KeyPath Resolve(const RegistryKey& base, const char* subKey) {
  const std::string_view text = subKey == nullptr ? "" : subKey;
  KeyPath path = text.starts_with('\\') ? KeyPath{} : base.path;
  for (std::string& name : SplitPath(text)) path.push_back(std::move(name));
  return path;
}

// A section's key below the root, or nothing when the section belongs to another root.
std::optional<KeyPath> SectionKey(const RegSection& section, Hive hive) {
  KeyPath path = SplitPath(section.path);
  if (path.empty() || !RegNamesEqual(path.front(), HiveRootName(hive))) return std::nullopt;
  path.erase(path.begin());
  return path;
}

// A key exists when a section names it or a key below it: the keys above a key always exist.
bool KeyExists(const RegDocument& document, Hive hive, const KeyPath& key) {
  if (key.empty()) return true;
  for (const RegSection& section : document.sections) {
    const auto path = SectionKey(section, hive);
    if (path && BeginsWith(*path, key)) return true;
  }
  return false;
}

RegSection* FindSection(RegDocument& document, Hive hive, const KeyPath& key) {
  for (RegSection& section : document.sections) {
    const auto path = SectionKey(section, hive);
    if (path && SamePath(*path, key)) return &section;
  }
  return nullptr;
}

// The key's path as the hive already spells it, as far as it exists there.
std::string SpelledSectionPath(const RegDocument& document, Hive hive, KeyPath key) {
  for (const RegSection& section : document.sections) {
    const auto path = SectionKey(section, hive);
    if (!path) continue;
    for (std::size_t i = 0; i < key.size() && i < path->size(); ++i) {
      if (!RegNamesEqual((*path)[i], key[i])) break;
      key[i] = (*path)[i];
    }
  }
  std::string text = HiveRootName(hive);
  for (const std::string& name : key) text += "\\" + name;
  return text;
}

RegSection& SectionForWrite(RegDocument& document, Hive hive, const KeyPath& key) {
  if (RegSection* section = FindSection(document, hive, key)) return *section;
  document.sections.push_back({SpelledSectionPath(document, hive, key), {}});
  return document.sections.back();
}

const RegValue* FindValue(const RegSection& section, std::string_view name) {
  for (const RegValue& value : section.values) {
    if (RegNamesEqual(value.name, name)) return &value;
  }
  return nullptr;
}

void SetStringValue(RegSection& section, const std::string& name, const std::string& text) {
  for (RegValue& value : section.values) {
    if (RegNamesEqual(value.name, name)) {
      value.isString = true;
      value.data = text;
      return;
    }
  }
  section.values.push_back({name, true, text});
}

std::optional<RegistryKey> LookUp(HKEY key) {
  if (key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE) return *key;
  std::lock_guard lock(g_mutex);
  if (g_openKeys.find(key) == g_openKeys.end()) return std::nullopt;
  return *key;
}

HKEY NewHandle(RegistryKey key) {
  auto owned = std::make_unique<RegistryKey>(std::move(key));
  HKEY handle = owned.get();
  std::lock_guard lock(g_mutex);
  g_openKeys.emplace(handle, std::move(owned));
  return handle;
}

std::shared_ptr<VirtualKey> FindVirtualKey(Hive hive, const KeyPath& path) {
  std::lock_guard lock(g_mutex);
  for (const VirtualKeyEntry& entry : g_virtualKeys) {
    if (entry.hive == hive && SamePath(entry.path, path)) return entry.handler;
  }
  return nullptr;
}

LSTATUS OpenVirtualKey(const std::shared_ptr<VirtualKey>& handler, RegistryKey key, REGSAM desired,
                       HKEY* result, std::uint32_t* disposition) {
  const LSTATUS status = handler->Open(desired);
  if (status != ERROR_SUCCESS) return status;
  key.handler = handler;
  *result = NewHandle(std::move(key));
  if (disposition != nullptr) *disposition = REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

// Opens (and with `create`, creates) a key of the hive files.
LSTATUS OpenHiveKey(RegistryKey key, REGSAM desired, bool create, HKEY* result,
                    std::uint32_t* disposition) {
  std::unique_lock lock(g_mutex);
  const std::string file = HiveFilePath(key.hive);
  std::optional<RegDocument> document = LoadHiveFile(file);
  const bool exists = document && KeyExists(*document, key.hive, key.path);
  if (!exists && !create) return ERROR_FILE_NOT_FOUND;
  if ((WantsWrite(desired) || !exists) && !(document && HiveFileWritable(file))) {
    return ERROR_ACCESS_DENIED;
  }
  if (!exists) {
    SectionForWrite(*document, key.hive, key.path);
    if (!SaveHiveFile(file, *document)) return ERROR_WRITE_FAULT;
  }
  lock.unlock();
  *result = NewHandle(std::move(key));
  if (disposition != nullptr) *disposition = exists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  return ERROR_SUCCESS;
}

LSTATUS OpenKey(HKEY base, const char* subKey, REGSAM desired, bool create, HKEY* result,
                std::uint32_t* disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  const std::optional<RegistryKey> parent = LookUp(base);
  if (!parent) return ERROR_INVALID_HANDLE;
  RegistryKey key{parent->hive, Resolve(*parent, subKey), WantsWrite(desired), nullptr};
  if (auto handler = FindVirtualKey(key.hive, key.path)) {
    return OpenVirtualKey(handler, std::move(key), desired, result, disposition);
  }
  return OpenHiveKey(std::move(key), desired, create, result, disposition);
}

// The value's kind and bytes as RegQueryValueExA hands them out.
struct ValueBytes {
  std::uint32_t type = REG_SZ;
  std::vector<std::uint8_t> bytes;
};

ValueBytes StringBytes(const std::string& text) {
  ValueBytes value{REG_SZ, std::vector<std::uint8_t>(text.begin(), text.end())};
  value.bytes.push_back(0);
  return value;
}

std::optional<ValueBytes> ReadHiveValue(const RegistryKey& key, const std::string& name) {
  std::lock_guard lock(g_mutex);
  std::optional<RegDocument> document = LoadHiveFile(HiveFilePath(key.hive));
  if (!document) return std::nullopt;
  const RegSection* section = FindSection(*document, key.hive, key.path);
  const RegValue* value = section == nullptr ? nullptr : FindValue(*section, name);
  if (value == nullptr) return std::nullopt;
  if (value->isString) return StringBytes(value->data);
  RawData raw = DecodeRawData(value->data);
  return ValueBytes{raw.type, std::move(raw.bytes)};
}

std::optional<ValueBytes> ReadValue(const RegistryKey& key, const std::string& name) {
  if (!key.handler) return ReadHiveValue(key, name);
  const std::optional<std::string> text = key.handler->QueryString(name);
  if (!text) return std::nullopt;
  return StringBytes(*text);
}

LSTATUS WriteHiveValue(const RegistryKey& key, const std::string& name, const std::string& text) {
  std::lock_guard lock(g_mutex);
  const std::string file = HiveFilePath(key.hive);
  std::optional<RegDocument> document = LoadHiveFile(file);
  if (!document || !HiveFileWritable(file)) return ERROR_ACCESS_DENIED;
  if (!KeyExists(*document, key.hive, key.path)) return ERROR_KEY_DELETED;
  SetStringValue(SectionForWrite(*document, key.hive, key.path), name, text);
  return SaveHiveFile(file, *document) ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

std::string ValueName(const char* valueName) {
  return valueName == nullptr ? "" : valueName;
}

}  // namespace

const HKEY HKEY_CURRENT_USER = &g_currentUserRoot;
const HKEY HKEY_LOCAL_MACHINE = &g_localMachineRoot;

LSTATUS RegOpenKeyExA(HKEY key, const char* subKey, std::uint32_t /*options*/, REGSAM desired,
                      HKEY* result) {
  return OpenKey(key, subKey, desired, false, result, nullptr);
}

LSTATUS RegCreateKeyExA(HKEY key, const char* subKey, std::uint32_t /*reserved*/,
                        char* /*keyClass*/, std::uint32_t /*options*/, REGSAM desired,
                        const void* /*securityAttributes*/, HKEY* result,
                        std::uint32_t* disposition) {
  return OpenKey(key, subKey, desired, true, result, disposition);
}

LSTATUS RegCloseKey(HKEY key) {
  if (key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  std::unique_ptr<RegistryKey> closed;
  std::lock_guard lock(g_mutex);
  const auto found = g_openKeys.find(key);
  if (found == g_openKeys.end()) return ERROR_INVALID_HANDLE;
  closed = std::move(found->second);
  g_openKeys.erase(found);
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExA(HKEY key, const char* valueName, std::uint32_t* /*reserved*/,
                         std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataSize) {
  if (data != nullptr && dataSize == nullptr) return ERROR_INVALID_PARAMETER;
  const std::optional<RegistryKey> opened = LookUp(key);
  if (!opened) return ERROR_INVALID_HANDLE;
  const std::optional<ValueBytes> value = ReadValue(*opened, ValueName(valueName));
  if (!value) return ERROR_FILE_NOT_FOUND;
  if (type != nullptr) *type = value->type;
  const auto needed = static_cast<std::uint32_t>(value->bytes.size());
  const bool fits = dataSize == nullptr || *dataSize >= needed;
  if (dataSize != nullptr) *dataSize = needed;
  if (data == nullptr) return ERROR_SUCCESS;
  if (!fits) return ERROR_MORE_DATA;
  std::memcpy(data, value->bytes.data(), needed);
  return ERROR_SUCCESS;
}

LSTATUS RegSetValueExA(HKEY key, const char* valueName, std::uint32_t /*reserved*/,
                       std::uint32_t type, const std::uint8_t* data, std::uint32_t dataSize) {
  if (type != REG_SZ || (data == nullptr && dataSize != 0)) return ERROR_INVALID_PARAMETER;
  const auto* chars = reinterpret_cast<const char*>(data);
  const std::string text = data == nullptr ? "" : std::string(chars, ::strnlen(chars, dataSize));
  if (text.find_first_of("\r\n") != std::string::npos) return ERROR_INVALID_PARAMETER;
  const std::optional<RegistryKey> opened = LookUp(key);
  if (!opened) return ERROR_INVALID_HANDLE;
  if (!opened->writeAccess) return ERROR_ACCESS_DENIED;
  if (opened->handler) return opened->handler->SetString(ValueName(valueName), text);
  return WriteHiveValue(*opened, ValueName(valueName), text);
}

void RegisterVirtualKey(HKEY root, const std::string& path, std::shared_ptr<VirtualKey> handler) {
  const Hive hive = root == HKEY_LOCAL_MACHINE ? Hive::LocalMachine : Hive::CurrentUser;
  const KeyPath key = SplitPath(path);
  std::lock_guard lock(g_mutex);
  std::erase_if(g_virtualKeys, [&](const VirtualKeyEntry& entry) {
    return entry.hive == hive && SamePath(entry.path, key);
  });
  if (handler) g_virtualKeys.push_back({hive, key, std::move(handler)});
}

}  // namespace os
