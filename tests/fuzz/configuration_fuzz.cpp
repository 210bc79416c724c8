// Arbitrary file contents: whatever is read holds together (equal list lengths, no line
// ends or Ctrl-Z left inside a value), and writing it back reads back the same values, except
// that a lone LF (ordinary text to the reader) is written as a blank; a server holding a ":"
// comes back split at its first ":".
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/configuration.h"
#include "mail/mailto_link.h"

namespace {

using pelorin::Configuration;

bool HoldsLineEnd(const std::string& text) {
  return text.find_first_of(std::string("\r\x1a", 2)) != std::string::npos;
}

void CheckWellFormed(const Configuration& c) {
  if (c.names.size() != c.addresses.size()) std::abort();
  if (c.smtpServer.find(':') != std::string::npos) std::abort();
  for (const std::string* text : {&c.smtpServer, &c.smtpPort, &c.senderAddress, &c.dialEntry}) {
    if (HoldsLineEnd(*text)) std::abort();
  }
  for (const auto* list : {&c.names, &c.addresses}) {
    for (const std::string& text : *list) {
      if (HoldsLineEnd(text)) std::abort();
    }
  }
}

Configuration ReadBack(const Configuration& c) {
  return pelorin::ParseConfiguration(pelorin::FormatConfiguration(c));
}

// The values as the file keeps them: no line break inside a value.
Configuration AsWritten(Configuration c) {
  for (std::string* text : {&c.smtpServer, &c.smtpPort, &c.senderAddress, &c.dialEntry}) {
    *text = pelorin::ToSingleLine(*text);
  }
  for (auto* list : {&c.names, &c.addresses}) {
    for (std::string& text : *list) text = pelorin::ToSingleLine(text);
  }
  return c;
}

void CheckColonSplit(const Configuration& read) {
  Configuration withColon = read;
  withColon.smtpServer = read.smtpServer + ":" + read.senderAddress;
  Configuration expected = read;
  expected.smtpPort = read.senderAddress + ":" + read.smtpPort;
  if (ReadBack(withColon) != AsWritten(expected)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const Configuration read = pelorin::ParseConfiguration(bytes);
  CheckWellFormed(read);
  if (ReadBack(read) != AsWritten(read)) std::abort();
  CheckColonSplit(read);
  return 0;
}
