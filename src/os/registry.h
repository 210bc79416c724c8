// The registry: the calls of advapi32 that the program uses, with their names, arguments and
// results, over two hives kept as REGEDIT4 text files (see registry_hive.h for where they are).
//
// - Key and value names compare without regard to letter case; a key keeps the spelling it
//   was created with.
// - A key path is taken from the given key, or from its hive's root when it begins with "\".
// - A key opens asking for any kind of write access (KEY_ALL_ACCESS, KEY_WRITE, ...) only
//   where its hive file can be written; otherwise the open gives ERROR_ACCESS_DENIED.
// - Every call reads the hive file afresh, and every change rewrites it atomically.
// - All calls may be made from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace os {

struct RegistryKey;
using HKEY = RegistryKey*;
using LSTATUS = std::int32_t;
using REGSAM = std::uint32_t;

// The predefined root keys; closing them does nothing.
extern const HKEY HKEY_CURRENT_USER;
extern const HKEY HKEY_LOCAL_MACHINE;

constexpr LSTATUS ERROR_SUCCESS = 0;
constexpr LSTATUS ERROR_FILE_NOT_FOUND = 2;
constexpr LSTATUS ERROR_ACCESS_DENIED = 5;
constexpr LSTATUS ERROR_INVALID_HANDLE = 6;
constexpr LSTATUS ERROR_WRITE_FAULT = 29;
constexpr LSTATUS ERROR_INVALID_PARAMETER = 87;
constexpr LSTATUS ERROR_MORE_DATA = 234;
constexpr LSTATUS ERROR_KEY_DELETED = 1018;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_READ = 0x00020019;
constexpr REGSAM KEY_WRITE = 0x00020006;
constexpr REGSAM KEY_ALL_ACCESS = 0x000F003F;

constexpr std::uint32_t REG_NONE = 0;
constexpr std::uint32_t REG_SZ = 1;
constexpr std::uint32_t REG_EXPAND_SZ = 2;
constexpr std::uint32_t REG_BINARY = 3;
constexpr std::uint32_t REG_DWORD = 4;

constexpr std::uint32_t REG_OPTION_NON_VOLATILE = 0;
constexpr std::uint32_t REG_CREATED_NEW_KEY = 1;
constexpr std::uint32_t REG_OPENED_EXISTING_KEY = 2;

// Opens an existing key; never creates one. ERROR_FILE_NOT_FOUND when it does not exist.
LSTATUS RegOpenKeyExA(HKEY key, const char* subKey, std::uint32_t options, REGSAM desired,
                      HKEY* result);

// Opens the key, creating it (and the keys above it) when it does not exist. `keyClass` and
// `securityAttributes` are ignored; `disposition`, when given, receives REG_CREATED_NEW_KEY or
// REG_OPENED_EXISTING_KEY.
LSTATUS RegCreateKeyExA(HKEY key, const char* subKey, std::uint32_t reserved, char* keyClass,
                        std::uint32_t options, REGSAM desired, const void* securityAttributes,
                        HKEY* result, std::uint32_t* disposition);

LSTATUS RegCloseKey(HKEY key);

// Reads value `valueName` (null or empty: the default value). `type` receives its kind;
// `data`, when given, receives its bytes (a string with its terminating zero) if `*dataSize`
// is large enough, else ERROR_MORE_DATA. `*dataSize` receives the size needed. A value that
// does not exist gives ERROR_FILE_NOT_FOUND.
LSTATUS RegQueryValueExA(HKEY key, const char* valueName, std::uint32_t* reserved,
                         std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataSize);

// Writes a string value (REG_SZ; the text ends at its first zero byte or after dataSize
// bytes); an empty or null name writes the default value. Other kinds, and texts holding a
// line break (which the hive file cannot keep), give ERROR_INVALID_PARAMETER. A key opened
// without write access gives ERROR_ACCESS_DENIED, a hive file that cannot be rewritten
// ERROR_WRITE_FAULT.
LSTATUS RegSetValueExA(HKEY key, const char* valueName, std::uint32_t reserved, std::uint32_t type,
                       const std::uint8_t* data, std::uint32_t dataSize);

// ---- Hook for keys that live outside the hive files -------------------------------------
//
// A key registered here is served by its handler instead of the hive: opening it (and
// creating it, which then only opens it) asks Open, reading and writing its values go to
// QueryString and SetString. The key HKEY_LOCAL_MACHINE
// "\SOFTWARE\Classes\MailTo\Shell\Open\command" is meant to be registered this way, backed by
// the desktop's mailto: association. Handlers are called without the registry's lock held.
class VirtualKey {
 public:
  virtual ~VirtualKey() = default;
  // ERROR_SUCCESS, or why the key does not open for `desired` (ERROR_FILE_NOT_FOUND,
  // ERROR_ACCESS_DENIED).
  virtual LSTATUS Open(REGSAM desired) = 0;
  // The string value `name` (empty: the default value), or nothing when it does not exist.
  virtual std::optional<std::string> QueryString(const std::string& name) = 0;
  virtual LSTATUS SetString(const std::string& name, const std::string& value) = 0;
};

// Registers `handler` for the key `path` (taken from the root; a leading "\" is optional) of
// the root key `root`; a null handler removes the registration. Keys opened before keep the
// handler they were opened with.
void RegisterVirtualKey(HKEY root, const std::string& path, std::shared_ptr<VirtualKey> handler);

}  // namespace os
