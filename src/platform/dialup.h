// The dial-up unit: lists the phone-book entries of the Remote Access Service, dials one of
// them and hangs up what it dialled. The RAS library ("RASAPI32.DLL") is loaded at run time;
// where it is missing, or lacks one of its seven functions, every operation does nothing.
#pragma once

#include <atomic>
#include <optional>
#include <string>

#include "os/dynlib.h"
#include "os/ras.h"

namespace pelorin {

// The drop-down list that FillRasEntries fills; the settings dialog adapts its combo box.
class DropDownList {
 public:
  virtual ~DropDownList() = default;
  // Removes every item; nothing is selected afterwards.
  virtual void Clear() = 0;
  virtual void Add(const std::string& item) = 0;
  // Selects the item at 0-based `index`, or nothing.
  virtual void Select(std::optional<int> index) = 0;
};

struct RasEntryPoints {
  os::RasDialAFn RasDialA = nullptr;
  os::RasEnumConnectionsAFn RasEnumConnectionsA = nullptr;
  os::RasEnumEntriesAFn RasEnumEntriesA = nullptr;
  os::RasGetConnectStatusAFn RasGetConnectStatusA = nullptr;
  os::RasGetErrorStringAFn RasGetErrorStringA = nullptr;
  os::RasHangUpAFn RasHangUpA = nullptr;
  os::RasGetEntryDialParamsAFn RasGetEntryDialParamsA = nullptr;
};

// The unit's state. The library and its entry points, once loaded, stay for the whole run.
extern os::HMODULE RasLibrary;
extern RasEntryPoints RasFunctions;
// True once the library is loaded with all seven entry points; never changes after that.
extern std::atomic<bool> RasAvailable;
// The handle that the last dial returned.
extern os::HRASCONN RasConnection;
// From a successful dial by this unit until the unit hangs that connection up.
extern std::atomic<bool> RasDialledByUs;
// The parameters of the last dial.
extern os::RASDIALPARAMSA RasDialParams;

// Whether the system reports the Windows NT platform (always so on Linux).
bool IsWindowsNT();

// Loads the library and resolves its entry points, unless a load already succeeded. On NT the
// key HKEY_LOCAL_MACHINE "\Software\Microsoft\RAS" must open for full access first. A load that
// found no library (or no key) is tried again by the next call. Safe to call from several
// threads at once: a second caller waits for the first to finish.
void LoadRasLibrary();

// Loads the library, then replaces the list's items with the phone-book entry names in their
// order and selects the last one equal (case-sensitively) to `wanted`. Leaves the list alone
// when RAS is unavailable, and empty when the entries cannot be listed or are more than 100.
void FillRasEntries(DropDownList& list, const std::optional<std::string>& wanted);

// Dials `entryName` with its saved parameters and `phoneNumber` appended to the saved number,
// unless a connection is up already. Returns what the caller should report:
//   - "TRasGetEntryDialParams failed: " and the reason, when the saved parameters could not
//     be read (the dial is still made);
//   - a refusal, and nothing dialled, when the name is longer than 256 characters or the
//     number would be longer than 128;
//   - empty otherwise, also when the dial fails. Does not load the library.
std::string DialRasEntry(const std::string& entryName, const std::string& phoneNumber);

// Hangs up the connection this unit dialled: " " after a pause of one second, "RasHangUp
// failed." when RAS refused, empty when there was nothing to hang up.
std::string HangUpRas();

// Tests only: forgets the loaded library and clears every global, as at start.
void ResetDialupForTesting();

}  // namespace pelorin
