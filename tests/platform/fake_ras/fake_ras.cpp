// A fake RAS provider library. One source, built once per variant (FAKE_RAS_<VARIANT>
// defined), each as its own librasapi32.so. Every call is recorded as one line of text that
// the tests read back through FakeRasCalls().
//
// Phone book of the fake: "Provider A", "Home ISP", "home isp", 256 x 'L', "Home ISP" and a
// last record whose 257 name characters ('M') have no terminating zero.
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "os/ras.h"

using os::HRASCONN;
using os::RASCONNA;
using os::RASCONNSTATUSA;
using os::RASDIALEXTENSIONS;
using os::RASDIALPARAMSA;
using os::RASENTRYNAMEA;

namespace {

constexpr HRASCONN kDialledHandle = 0x5151;
constexpr HRASCONN kStaleHandle = 0x0BAD;
constexpr HRASCONN kUserConnectionHandle = 0x0077;
constexpr std::uint32_t kInvalidParameter = 87;

std::mutex g_mutex;
std::string g_calls;
bool g_dialReleased = false;  // the dial_blocks variant's dial returns once this is set
std::condition_variable g_dialRelease;

void Record(const std::string& line) {
  std::lock_guard lock(g_mutex);
  g_calls += line + "\n";
}

std::string Given(const void* pointer) {
  return pointer == nullptr ? "null" : "set";
}

std::string PhoneBookEntry(int index) {
  switch (index) {
    case 0:
      return "Provider A";
    case 1:
    case 4:
      return "Home ISP";
    case 2:
      return "home isp";
    case 3:
      return std::string(256, 'L');
    default:
      return std::string(257, 'M');
  }
}

constexpr int kPhoneBookSize = 6;

bool InPhoneBook(const char* name) {
  for (int i = 0; i < kPhoneBookSize; ++i) {
    if (PhoneBookEntry(i) == name) return true;
  }
  return false;
}

[[maybe_unused]] void FillEntry(RASENTRYNAMEA& record, const std::string& name) {
  // Filled past the name, padding included, so that a reader that runs over the field shows.
  std::memset(&record, 'M', sizeof record);
  record.dwSize = sizeof record;
  std::memcpy(record.szEntryName, name.data(), name.size());
  if (name.size() < sizeof record.szEntryName) record.szEntryName[name.size()] = '\0';
}

std::uint32_t EnumEntriesResult(RASENTRYNAMEA* entries, std::uint32_t* bufferSize,
                                std::uint32_t* count) {
#if defined(FAKE_RAS_ENUM_FAILS)
  (void)entries, (void)bufferSize, (void)count;
  return os::ERROR_CANNOT_OPEN_PHONEBOOK;
#elif defined(FAKE_RAS_MANY_ENTRIES)
  (void)entries;
  *count = 101;
  *bufferSize = 101 * sizeof(RASENTRYNAMEA);
  return os::ERROR_BUFFER_TOO_SMALL;
#elif defined(FAKE_RAS_OVERSTATED_COUNT)
  FillEntry(entries[0], PhoneBookEntry(0));
  (void)bufferSize;
  *count = 101;
  return 0;
#else
  if (*bufferSize < kPhoneBookSize * sizeof(RASENTRYNAMEA)) return os::ERROR_BUFFER_TOO_SMALL;
  for (int i = 0; i < kPhoneBookSize; ++i) FillEntry(entries[i], PhoneBookEntry(i));
  *count = kPhoneBookSize;
  return 0;
#endif
}

std::uint32_t EnumConnectionsResult(RASCONNA* connections, std::uint32_t* count) {
#if defined(FAKE_RAS_CONNECTIONS_FAIL)
  (void)connections, (void)count;
  return os::ERROR_BUFFER_TOO_SMALL;
#elif defined(FAKE_RAS_CONNECTION_UP)
  connections[0].hrasconn = kUserConnectionHandle;
  std::strcpy(connections[0].szEntryName, "Provider A");
  *count = 1;
  return 0;
#else
  (void)connections;
  *count = 0;
  return 0;
#endif
}

std::uint32_t DialParamsResult(RASDIALPARAMSA* params, std::int32_t* passwordSaved) {
#if defined(FAKE_RAS_DIAL_PARAMS_FAIL)
  (void)passwordSaved;
  std::strcpy(params->szPhoneNumber, "999");
  return os::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
#else
  if (!InPhoneBook(params->szEntryName)) return os::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
  std::strcpy(params->szPhoneNumber, "5551234");
  std::strcpy(params->szUserName, "alice");
  std::strcpy(params->szPassword, "secret");
  std::strcpy(params->szDomain, "WORK");
  *passwordSaved = 1;
  return 0;
#endif
}

std::uint32_t DialResult(const RASDIALPARAMSA* params, HRASCONN* connection) {
#if defined(FAKE_RAS_DIAL_FAILS_WITH_HANDLE)
  (void)params;
  *connection = kStaleHandle;
  return os::ERROR_NO_ANSWER;
#elif defined(FAKE_RAS_DIAL_FAILS)
  (void)params, (void)connection;
  return os::ERROR_LINE_BUSY;
#else
#if defined(FAKE_RAS_DIAL_BLOCKS)
  std::unique_lock lock(g_mutex);
  g_dialRelease.wait(lock, [] { return g_dialReleased; });
  g_dialReleased = false;  // one release lets one dial return, so a repeated test blocks again
#endif
  if (!InPhoneBook(params->szEntryName)) return os::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
  *connection = kDialledHandle;
  return 0;
#endif
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) const char* FakeRasCalls() {
  static std::string copy;
  std::lock_guard lock(g_mutex);
  copy = g_calls;
  return copy.c_str();
}

__attribute__((visibility("default"))) void FakeRasClearCalls() {
  std::lock_guard lock(g_mutex);
  g_calls.clear();
}

// Lets the next dial of the dial_blocks variant return, as a line that comes up at last.
__attribute__((visibility("default"))) void FakeRasReleaseDial() {
  std::lock_guard lock(g_mutex);
  g_dialReleased = true;
  g_dialRelease.notify_all();
}

__attribute__((visibility("default"))) std::uint32_t RasDialA(
    RASDIALEXTENSIONS* extensions, const char* phoneBook, RASDIALPARAMSA* params,
    std::uint32_t notifierType, void* notifier, HRASCONN* connection) {
  Record("RasDialA ext=" + Given(extensions) + " book=" + Given(phoneBook) +
         " size=" + std::to_string(params->dwSize) + " entry=" + params->szEntryName +
         " phone=" + params->szPhoneNumber + " user=" + params->szUserName +
         " type=" + std::to_string(notifierType) + " notifier=" + Given(notifier) +
         " handle=" + std::to_string(*connection));
  if (params->dwSize != sizeof(RASDIALPARAMSA)) return os::ERROR_INVALID_SIZE;
  return DialResult(params, connection);
}

__attribute__((visibility("default"))) std::uint32_t RasEnumConnectionsA(RASCONNA* connections,
                                                                         std::uint32_t* bufferSize,
                                                                         std::uint32_t* count) {
  Record("RasEnumConnectionsA size=" + std::to_string(connections[0].dwSize) +
         " cb=" + std::to_string(*bufferSize));
  if (connections[0].dwSize != sizeof(RASCONNA)) return os::ERROR_INVALID_SIZE;
  return EnumConnectionsResult(connections, count);
}

__attribute__((visibility("default"))) std::uint32_t RasEnumEntriesA(const char* reserved,
                                                                     const char* phoneBook,
                                                                     RASENTRYNAMEA* entries,
                                                                     std::uint32_t* bufferSize,
                                                                     std::uint32_t* count) {
  Record("RasEnumEntriesA reserved=" + Given(reserved) + " book=" + Given(phoneBook) +
         " size=" + std::to_string(entries[0].dwSize) + " cb=" + std::to_string(*bufferSize));
  if (entries[0].dwSize != sizeof(RASENTRYNAMEA)) return os::ERROR_INVALID_SIZE;
  return EnumEntriesResult(entries, bufferSize, count);
}

#if !defined(FAKE_RAS_NO_CONNECT_STATUS)
__attribute__((visibility("default"))) std::uint32_t RasGetConnectStatusA(HRASCONN connection,
                                                                          RASCONNSTATUSA* status) {
  Record("RasGetConnectStatusA handle=" + std::to_string(connection));
  (void)status;
  return os::ERROR_NO_CONNECTION;
}
#endif

__attribute__((visibility("default"))) std::uint32_t RasGetErrorStringA(std::uint32_t code,
                                                                        char* text,
                                                                        std::uint32_t textSize) {
  Record("RasGetErrorStringA code=" + std::to_string(code) + " cb=" + std::to_string(textSize));
  const char* known = os::RasErrorText(code);
  if (known == nullptr) return kInvalidParameter;
  std::snprintf(text, textSize, "%s", known);
  return 0;
}

__attribute__((visibility("default"))) std::uint32_t RasHangUpA(HRASCONN connection) {
  Record("RasHangUpA handle=" + std::to_string(connection));
#if defined(FAKE_RAS_HANGUP_FAILS)
  return os::ERROR_NO_CONNECTION;
#else
  return 0;
#endif
}

__attribute__((visibility("default"))) std::uint32_t RasGetEntryDialParamsA(
    const char* phoneBook, RASDIALPARAMSA* params, std::int32_t* passwordSaved) {
  Record("RasGetEntryDialParamsA book=" + Given(phoneBook) +
         " size=" + std::to_string(params->dwSize) + " entry=" + params->szEntryName +
         " password=" + Given(passwordSaved));
  if (params->dwSize != sizeof(RASDIALPARAMSA)) return os::ERROR_INVALID_SIZE;
  return DialParamsResult(params, passwordSaved);
}

}  // extern "C"
