// The files a mailto: link asks to attach, as xdg-email ("attach=") and the desktop portals
// ("attachment=") write them: an absolute path or a file:// URI, percent-encoded, one field per
// file. Read apart from the other fields, so that the address, subject and body stay as the
// link gives them.
#pragma once

#include <string>
#include <vector>

namespace pelorin {

struct LinkAttachments {
  std::vector<std::string> paths;    // absolute paths, in the link's order
  std::vector<std::string> refused;  // for each field that names no local file: its text and why
  bool operator==(const LinkAttachments&) const = default;
};

// The field names are read in any letter case. A value is percent-decoded (UTF-8 bytes stay
// the bytes of the path); "file://" with no host or "localhost" before the path is taken off.
// Refused: a relative path, another scheme, another host, an empty value, a NUL byte.
LinkAttachments ParseMailtoAttachments(const std::string& link);

}  // namespace pelorin
