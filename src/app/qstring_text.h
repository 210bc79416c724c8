// The program keeps its texts as UTF-8 in std::string: the address book and settings of
// tessaly32.cfg, the composed messages, the outbox, the status texts. QString meets them only
// through these two. Qt's 8-bit "local" conversion is UTF-8 on Linux whatever the locale, so
// the file holds the bytes it always held; bytes that are not UTF-8 (an address book carried
// over from a code-page system) show as U+FFFD but stay as they are in the file, since only
// entries the user adds are written from the fields.
#pragma once

#include <QString>
#include <string>

namespace pelorin {

inline QString ToQString(const std::string& text) {
  return QString::fromStdString(text);
}

inline std::string FromQString(const QString& text) {
  return text.toStdString();
}

}  // namespace pelorin
