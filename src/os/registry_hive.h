// The files that hold the two registry hives: where they are, reading them, whether they may
// be written, and rewriting them atomically.
//
// Locations: HKEY_CURRENT_USER is $PELORIN_HKCU, or else
// ($XDG_CONFIG_HOME or ~/.config)/pelorin32/hkcu.reg; HKEY_LOCAL_MACHINE is $PELORIN_HKLM, or
// else /etc/pelorin32/hklm.reg. The variables are read at every access, so a change of the
// environment takes effect at once.
#pragma once

#include <optional>
#include <string>

#include "os/regedit4.h"

namespace os {

enum class Hive { CurrentUser, LocalMachine };

// "HKEY_CURRENT_USER" or "HKEY_LOCAL_MACHINE", the first part of every section path.
std::string HiveRootName(Hive hive);
std::string HiveFilePath(Hive hive);

// The hive's keys and values. A file that does not exist is an empty hive; a file that cannot
// be read or is no REGEDIT4 file gives nothing.
std::optional<RegDocument> LoadHiveFile(const std::string& path);

// Whether the hive may be written: the file and its directory, or, while the file does not
// exist, the nearest existing directory on its path. "Writable" as os::MayWrite decides it:
// a file or directory nobody may write counts as read-only for root as well.
bool HiveFileWritable(const std::string& path);

// Replaces the file with the document: a new file beside it, flushed to disk, renamed over the
// old one, so that a reader sees either the old hive or the new one. Missing directories are
// created; an existing file keeps its mode. False when any step fails.
bool SaveHiveFile(const std::string& path, const RegDocument& document);

}  // namespace os
