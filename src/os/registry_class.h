// A registry object in the manner of the form framework's TRegistry: a root key, one current
// key at a time, string values read and written by name, failures raised as RegistryError.
#pragma once

#include <stdexcept>
#include <string>

#include "os/registry.h"

namespace os {

// "Invalid data type for '<name>'" or "Failed to set data for '<name>'"; the name is empty for
// a key's default value.
class RegistryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Registry {
 public:
  // Keys are opened asking for `access`; the root key starts as HKEY_CURRENT_USER.
  explicit Registry(REGSAM access = KEY_ALL_ACCESS);
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // Changing the root key closes the current key.
  void SetRootKey(HKEY root);
  HKEY RootKey() const { return root_; }
  // The open key, or null when none is open.
  HKEY CurrentKey() const { return current_; }

  // Opens `key` and makes it the current key, closing the one before. A path beginning with
  // "\" is taken from the root key, any other from the current key (or the root key when none
  // is open). With `canCreate` a missing key is created. False when the key does not open.
  bool OpenKey(const std::string& key, bool canCreate);
  void CloseKey();

  // The string value `name` (empty: the default value) of the current key; empty when there
  // is no such value or no open key. Raises "Invalid data type for '<name>'" when the value
  // is not a string.
  std::string ReadString(const std::string& name);
  // Raises "Failed to set data for '<name>'" when the value cannot be written.
  void WriteString(const std::string& name, const std::string& value);
  bool ValueExists(const std::string& name);

 private:
  HKEY root_ = HKEY_CURRENT_USER;
  HKEY current_ = nullptr;
  REGSAM access_;
};

}  // namespace os
