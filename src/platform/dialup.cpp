#include "platform/dialup.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "os/kernel.h"
#include "os/registry.h"

namespace pelorin {

os::HMODULE RasLibrary = nullptr;
RasEntryPoints RasFunctions;
std::atomic<bool> RasAvailable{false};
os::HRASCONN RasConnection = 0;
std::atomic<bool> RasDialledByUs{false};
os::RASDIALPARAMSA RasDialParams{};

namespace {

constexpr std::uint32_t kRoomForRecords = 100;
constexpr std::uint32_t kEntryBufferSize = kRoomForRecords * sizeof(os::RASENTRYNAMEA);
constexpr std::uint32_t kConnectionBufferSize = kRoomForRecords * sizeof(os::RASCONNA);
static_assert(kEntryBufferSize == 26400 && kConnectionBufferSize == 41200);
constexpr std::uint32_t kErrorTextSize = 100;
constexpr auto kPauseAfterHangUp = std::chrono::milliseconds(1000);

constexpr const char* kEntryNameTooLong = "The dial-up entry name is longer than 256 characters.";
constexpr const char* kPhoneNumberTooLong = "The phone number is longer than 128 characters.";

// Keeps a load on the send worker from overlapping one on the user-interface thread.
std::mutex g_loadMutex;

bool RasKeyOpensForFullAccess() {
  os::HKEY key = nullptr;
  if (os::RegOpenKeyExA(os::HKEY_LOCAL_MACHINE, "\\Software\\Microsoft\\RAS", 0, os::KEY_ALL_ACCESS,
                        &key) != os::ERROR_SUCCESS) {
    return false;
  }
  os::RegCloseKey(key);
  return true;
}

template <typename Function>
bool Resolve(Function& entryPoint, const char* name) {
  if (entryPoint == nullptr) {
    entryPoint = reinterpret_cast<Function>(os::GetProcAddress(RasLibrary, name));
  }
  return entryPoint != nullptr;
}

// Tries all seven, in this order, even after one is missing.
bool ResolveEntryPoints() {
  RasEntryPoints& f = RasFunctions;
  bool all = Resolve(f.RasDialA, "RasDialA");
  all = Resolve(f.RasEnumConnectionsA, "RasEnumConnectionsA") && all;
  all = Resolve(f.RasEnumEntriesA, "RasEnumEntriesA") && all;
  all = Resolve(f.RasGetConnectStatusA, "RasGetConnectStatusA") && all;
  all = Resolve(f.RasGetErrorStringA, "RasGetErrorStringA") && all;
  all = Resolve(f.RasHangUpA, "RasHangUpA") && all;
  all = Resolve(f.RasGetEntryDialParamsA, "RasGetEntryDialParamsA") && all;
  return all;
}

std::string EntryName(const os::RASENTRYNAMEA& record) {
  return std::string(record.szEntryName, ::strnlen(record.szEntryName, sizeof record.szEntryName));
}

// The number of active connections, or nothing when RAS could not tell.
std::optional<std::uint32_t> ActiveConnectionCount() {
  std::vector<os::RASCONNA> connections(kRoomForRecords);
  connections[0].dwSize = sizeof(os::RASCONNA);
  std::uint32_t size = kConnectionBufferSize;
  std::uint32_t count = 0;
  if (RasFunctions.RasEnumConnectionsA(connections.data(), &size, &count) != 0) {
    return std::nullopt;
  }
  return count;
}

std::string RasErrorString(std::uint32_t code) {
  char text[kErrorTextSize] = {};
  RasFunctions.RasGetErrorStringA(code, text, kErrorTextSize);
  return std::string(text, ::strnlen(text, kErrorTextSize));
}

void PrepareDialParams(const std::string& entryName) {
  std::memset(&RasDialParams, 0, sizeof RasDialParams);
  RasDialParams.dwSize = sizeof RasDialParams;
  std::memcpy(RasDialParams.szEntryName, entryName.data(), entryName.size());
}

// Empty, or the failure to read the entry's saved parameters.
std::string ReadSavedDialParams() {
  std::int32_t passwordSaved = 0;
  const std::uint32_t code =
      RasFunctions.RasGetEntryDialParamsA(nullptr, &RasDialParams, &passwordSaved);
  if (code == 0) return {};
  return "TRasGetEntryDialParams failed: " + RasErrorString(code);
}

// False, leaving the number as it was, when the result would not fit the record.
bool AppendPhoneNumber(const std::string& phoneNumber) {
  char* field = RasDialParams.szPhoneNumber;
  const std::size_t present = ::strnlen(field, sizeof RasDialParams.szPhoneNumber);
  if (present + phoneNumber.size() > os::RAS_MaxPhoneNumber) return false;
  std::memcpy(field + present, phoneNumber.data(), phoneNumber.size());
  field[present + phoneNumber.size()] = '\0';
  return true;
}

void Dial() {
  const std::uint32_t code =
      RasFunctions.RasDialA(nullptr, nullptr, &RasDialParams, 0, nullptr, &RasConnection);
  if (code == 0) {
    RasDialledByUs = true;
  } else if (RasConnection != 0) {
    RasFunctions.RasHangUpA(RasConnection);
  }
}

}  // namespace

bool IsWindowsNT() {
  os::OsVersionInfo version;
  version.dwOSVersionInfoSize = 148;
  return os::GetVersionEx(&version) && version.dwPlatformId == os::VER_PLATFORM_WIN32_NT;
}

void LoadRasLibrary() {
  std::lock_guard lock(g_loadMutex);
  if (RasLibrary != nullptr) return;
  if (IsWindowsNT() && !RasKeyOpensForFullAccess()) return;
  RasLibrary = os::LoadLibraryA("RASAPI32.DLL");
  if (RasLibrary == nullptr) return;
  // Raised only once all entry points are resolved: callers check it without the lock.
  RasAvailable = ResolveEntryPoints();
}

void FillRasEntries(DropDownList& list, const std::optional<std::string>& wanted) {
  LoadRasLibrary();
  if (!RasAvailable) return;
  list.Clear();
  std::vector<os::RASENTRYNAMEA> entries(kRoomForRecords);
  entries[0].dwSize = sizeof(os::RASENTRYNAMEA);
  std::uint32_t size = kEntryBufferSize;
  std::uint32_t count = 0;
  if (RasFunctions.RasEnumEntriesA(nullptr, nullptr, entries.data(), &size, &count) != 0) return;
  // A count beyond the buffer cannot be true; the records are not read then.
  if (count == 0 || count > kRoomForRecords) return;
  std::optional<int> selected;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::string name = EntryName(entries[i]);
    list.Add(name);
    if (wanted && name == *wanted) selected = static_cast<int>(i);
  }
  list.Select(selected);
}

std::string DialRasEntry(const std::string& entryName, const std::string& phoneNumber) {
  if (!RasAvailable) return {};
  const std::optional<std::uint32_t> active = ActiveConnectionCount();
  if (!active || *active > 0) return {};
  if (entryName.size() > os::RAS_MaxEntryName) return kEntryNameTooLong;
  PrepareDialParams(entryName);
  const std::string result = ReadSavedDialParams();
  RasConnection = 0;
  if (!AppendPhoneNumber(phoneNumber)) return kPhoneNumberTooLong;
  Dial();
  return result;
}

std::string HangUpRas() {
  if (!RasAvailable) return {};
  // Cleared before hanging up: a failed hang-up still counts the connection as gone.
  if (!RasDialledByUs.exchange(false)) return {};
  if (RasFunctions.RasHangUpA(RasConnection) != 0) return "RasHangUp failed.";
  std::this_thread::sleep_for(kPauseAfterHangUp);
  return " ";
}

void ResetDialupForTesting() {
  std::lock_guard lock(g_loadMutex);
  RasLibrary = nullptr;
  RasFunctions = {};
  RasAvailable = false;
  RasConnection = 0;
  RasDialledByUs = false;
  std::memset(&RasDialParams, 0, sizeof RasDialParams);
}

}  // namespace pelorin
