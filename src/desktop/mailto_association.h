// The desktop's mailto: association, seen as the registry key HKEY_LOCAL_MACHINE
// "\SOFTWARE\Classes\MailTo\Shell\Open\command", the place where Windows keeps the command
// that its shell runs for a mailto: link.
//
// - The key opens for reading always. It opens for writing (full access included) only where
//   the user's XDG data and config directories ($XDG_DATA_HOME or ~/.local/share,
//   $XDG_CONFIG_HOME or ~/.config) may be written, or created, by the rule the registry uses
//   for its hive files (registry_hive.h); otherwise ERROR_ACCESS_DENIED.
// - Writing the key's default value installs the desktop entry
//   <data dir>/applications/pelorin32.desktop, whose Exec line is made from the value (see
//   desktop_entry.h: "<program> /u %1 %2" becomes "<program> /u %u"), and makes it the default
//   application for x-scheme-handler/mailto in <config dir>/mimeapps.list, keeping every other
//   line of that file. Each file is replaced whole (a new file renamed over the old one).
// - Reading the default value gives the command last written, while that desktop entry is
//   the default handler for mailto: links; otherwise the value does not exist.
// - The key has no named values: reading one finds nothing, writing one is refused with
//   ERROR_INVALID_PARAMETER.
#pragma once

#include <optional>
#include <string>

#include "os/registry.h"

namespace os {

inline constexpr const char* kMailtoCommandKey =
    "\\SOFTWARE\\Classes\\MailTo\\Shell\\Open\\command";
inline constexpr const char* kMailtoDesktopFileName = "pelorin32.desktop";
inline constexpr const char* kMailtoSchemeType = "x-scheme-handler/mailto";

// $XDG_DATA_HOME, or ~/.local/share when it is unset or not an absolute path.
std::string XdgDataHome();
// $XDG_CONFIG_HOME, or ~/.config when it is unset or not an absolute path.
std::string XdgConfigHome();

std::string MailtoDesktopEntryPath();
std::string MimeAppsListPath();

class MailtoAssociationKey : public VirtualKey {
 public:
  LSTATUS Open(REGSAM desired) override;
  std::optional<std::string> QueryString(const std::string& name) override;
  LSTATUS SetString(const std::string& name, const std::string& value) override;
};

// Puts the association behind the registry key; done once at start-up.
void RegisterMailtoAssociation();

}  // namespace os
