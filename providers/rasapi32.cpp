// The seven RAS functions that the dial-up unit resolves, over pppd. The phone book is the
// directory of pppd peers (the phone-book argument is ignored: there is only that one), a dial
// runs "pon ENTRY" and waits for the link, a hang-up runs "poff ENTRY", and every running pppd
// is an active connection.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "connection_handles.h"
#include "os/ras.h"
#include "ppp_dial.h"
#include "ppp_links.h"
#include "ppp_peers.h"
#include "ras_errors.h"

#define PELORIN_RAS_EXPORT extern "C" __attribute__((visibility("default")))

using os::HRASCONN;
using os::RASCONNA;
using os::RASCONNSTATUSA;
using os::RASDIALEXTENSIONS;
using os::RASDIALPARAMSA;
using os::RASENTRYNAMEA;

namespace {

constexpr std::uint32_t kConnected = 0x2000;     // RASCS_Connected
constexpr std::uint32_t kConnecting = 2;         // RASCS_ConnectDevice
constexpr std::uint32_t kDisconnected = 0x2001;  // RASCS_Disconnected
constexpr const char* kDeviceType = "PPP";

template <std::size_t Size>
void CopyText(char (&field)[Size], const std::string& text) {
  std::snprintf(field, Size, "%s", text.c_str());
}

std::string EntryNameOf(const RASDIALPARAMSA& params) {
  return std::string(params.szEntryName, ::strnlen(params.szEntryName, sizeof params.szEntryName));
}

void FillConnection(RASCONNA& record, const pelorin::PppLink& link) {
  std::memset(&record, 0, sizeof record);
  record.dwSize = sizeof record;
  record.hrasconn = link.entry.empty() ? pelorin::HandleForProcess(link.pid)
                                       : pelorin::HandleForEntry(link.entry);
  CopyText(record.szEntryName, link.entry);
  CopyText(record.szDeviceType, kDeviceType);
  CopyText(record.szDeviceName, link.interfaceName);
}

std::optional<pelorin::PppLink> LinkOfHandle(HRASCONN handle) {
  const auto target = pelorin::TargetOf(handle);
  if (!target) return std::nullopt;
  for (const pelorin::PppLink& link : pelorin::RunningPppLinks()) {
    if (target->entry.empty() ? link.pid == target->pid : link.entry == target->entry) {
      return link;
    }
  }
  return std::nullopt;
}

}  // namespace

// Synchronous only: no notifier. The handle is stored on success, and on a time-out so that the
// caller can hang the attempt up.
PELORIN_RAS_EXPORT std::uint32_t RasDialA(RASDIALEXTENSIONS*, const char*, RASDIALPARAMSA* params,
                                          std::uint32_t, void* notifier, HRASCONN* connection) {
  if (params == nullptr || connection == nullptr || notifier != nullptr) {
    return pelorin::kRasInvalidParameter;
  }
  if (params->dwSize != sizeof(RASDIALPARAMSA)) return os::ERROR_INVALID_SIZE;
  return pelorin::DialPeer(EntryNameOf(*params), connection);
}

PELORIN_RAS_EXPORT std::uint32_t RasEnumConnectionsA(RASCONNA* connections,
                                                     std::uint32_t* bufferSize,
                                                     std::uint32_t* count) {
  if (connections == nullptr || bufferSize == nullptr || count == nullptr) {
    return pelorin::kRasInvalidParameter;
  }
  if (connections[0].dwSize != sizeof(RASCONNA)) return os::ERROR_INVALID_SIZE;
  const std::vector<pelorin::PppLink> links = pelorin::RunningPppLinks();
  const std::size_t needed = links.size() * sizeof(RASCONNA);
  *count = static_cast<std::uint32_t>(links.size());
  if (needed > *bufferSize) {
    *bufferSize = static_cast<std::uint32_t>(needed);
    return os::ERROR_BUFFER_TOO_SMALL;
  }
  for (std::size_t i = 0; i < links.size(); ++i) FillConnection(connections[i], links[i]);
  return 0;
}

PELORIN_RAS_EXPORT std::uint32_t RasEnumEntriesA(const char*, const char*, RASENTRYNAMEA* entries,
                                                 std::uint32_t* bufferSize, std::uint32_t* count) {
  if (entries == nullptr || bufferSize == nullptr || count == nullptr) {
    return pelorin::kRasInvalidParameter;
  }
  if (entries[0].dwSize != sizeof(RASENTRYNAMEA)) return os::ERROR_INVALID_SIZE;
  const auto names = pelorin::PeerEntries();
  if (!names) return os::ERROR_CANNOT_OPEN_PHONEBOOK;
  const std::size_t needed = names->size() * sizeof(RASENTRYNAMEA);
  *count = static_cast<std::uint32_t>(names->size());
  if (needed > *bufferSize) {
    *bufferSize = static_cast<std::uint32_t>(needed);
    return os::ERROR_BUFFER_TOO_SMALL;
  }
  for (std::size_t i = 0; i < names->size(); ++i) {
    std::memset(&entries[i], 0, sizeof entries[i]);
    entries[i].dwSize = sizeof entries[i];
    CopyText(entries[i].szEntryName, (*names)[i]);
  }
  return 0;
}

PELORIN_RAS_EXPORT std::uint32_t RasGetConnectStatusA(HRASCONN connection, RASCONNSTATUSA* status) {
  if (status == nullptr) return pelorin::kRasInvalidParameter;
  if (status->dwSize != sizeof(RASCONNSTATUSA)) return os::ERROR_INVALID_SIZE;
  if (!pelorin::TargetOf(connection)) return pelorin::kRasInvalidHandle;
  const std::optional<pelorin::PppLink> link = LinkOfHandle(connection);
  std::memset(status, 0, sizeof *status);
  status->dwSize = sizeof *status;
  CopyText(status->szDeviceType, kDeviceType);
  if (!link) {
    status->rasconnstate = kDisconnected;
    status->dwError = os::ERROR_NO_CONNECTION;
    return 0;
  }
  status->rasconnstate = link->up ? kConnected : kConnecting;
  CopyText(status->szDeviceName, link->interfaceName);
  return 0;
}

PELORIN_RAS_EXPORT std::uint32_t RasGetErrorStringA(std::uint32_t code, char* text,
                                                    std::uint32_t textSize) {
  if (text == nullptr || textSize == 0) return pelorin::kRasInvalidParameter;
  const char* known = pelorin::RasErrorTextOf(code);
  if (known == nullptr) return pelorin::kRasInvalidParameter;
  if (std::strlen(known) >= textSize) return pelorin::kRasInsufficientBuffer;
  std::snprintf(text, textSize, "%s", known);
  return 0;
}

PELORIN_RAS_EXPORT std::uint32_t RasHangUpA(HRASCONN connection) {
  return pelorin::HangUpLink(connection);
}

// A peer keeps no password for the program (pppd reads its secrets itself); only the user name
// of its "user" option is given back.
PELORIN_RAS_EXPORT std::uint32_t RasGetEntryDialParamsA(const char*, RASDIALPARAMSA* params,
                                                        std::int32_t* passwordSaved) {
  if (params == nullptr) return pelorin::kRasInvalidParameter;
  if (params->dwSize != sizeof(RASDIALPARAMSA)) return os::ERROR_INVALID_SIZE;
  if (!pelorin::PeerEntries()) return os::ERROR_CANNOT_OPEN_PHONEBOOK;
  const std::string entry = EntryNameOf(*params);
  if (!pelorin::PeerExists(entry)) return os::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
  CopyText(params->szUserName, pelorin::PeerUserName(entry));
  if (passwordSaved != nullptr) *passwordSaved = 0;
  return 0;
}
