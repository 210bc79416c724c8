#include "ppp_dial.h"

#include <signal.h>

#include <chrono>
#include <optional>
#include <thread>

#include "connection_handles.h"
#include "ppp_commands.h"
#include "ppp_environment.h"
#include "ppp_links.h"
#include "ppp_peers.h"
#include "ras_errors.h"

namespace pelorin {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kPollInterval{100};
constexpr std::chrono::milliseconds kPoffLimit{10000};
constexpr std::chrono::milliseconds kLinkDownLimit{5000};

enum class DialProgress { Waiting, Up, Failed };

// Where one dial stands, from what pon and pppd show at one look.
class DialWatch {
 public:
  DialWatch(std::string entry, RunningCommand pon) : entry_(std::move(entry)), pon_(pon) {}

  DialProgress Look() {
    // pon first: once it has ended, the pppd it started is either running or gone for good.
    const std::optional<int> ponExit = pon_.Ended();
    const std::optional<PppLink> link = PppLinkOf(entry_);
    if (link) {
      seenPppd_ = true;
      return link->up ? DialProgress::Up : DialProgress::Waiting;
    }
    if (seenPppd_) return Fail(os::ERROR_NO_CONNECTION);
    if (!ponExit) return DialProgress::Waiting;
    // pon succeeds only once pppd runs in the background: a pppd not found now has already
    // ended, however briefly it ran.
    return Fail(*ponExit == 0 ? os::ERROR_NO_CONNECTION : os::ERROR_PORT_NOT_AVAILABLE);
  }

  std::uint32_t Failure() const { return failure_; }

  // The dial gave up: a pon still busy (pon becomes pppd) would otherwise bring the link up
  // later, when nobody is left to hang it up. A pppd already in the background is the hang-up's.
  void StopPon() { pon_.Stop(kPoffLimit); }

 private:
  DialProgress Fail(std::uint32_t code) {
    failure_ = code;
    return DialProgress::Failed;
  }

  std::string entry_;
  RunningCommand pon_;
  bool seenPppd_ = false;
  std::uint32_t failure_ = 0;
};

void WaitForLinkDown(const std::string& entry) {
  const auto deadline = Clock::now() + kLinkDownLimit;
  while (PppLinkOf(entry) && Clock::now() < deadline) std::this_thread::sleep_for(kPollInterval);
}

std::uint32_t StopPeer(const std::string& entry) {
  std::optional<RunningCommand> poff = RunningCommand::Start("poff", entry);
  if (!poff) return kRasCommandMissing;
  const std::optional<int> exitCode = poff->WaitForEnd(kPoffLimit);
  // poff fails when no pppd runs for the peer: the link is down all the same.
  if (exitCode != 0 && PppLinkOf(entry)) return kRasHangUpFailed;
  WaitForLinkDown(entry);
  return 0;
}

std::uint32_t StopProcess(pid_t pid) {
  if (!ProcessRuns(pid)) return 0;
  if (::kill(pid, SIGTERM) != 0) return kRasHangUpFailed;
  return 0;
}

}  // namespace

std::uint32_t DialPeer(const std::string& entry, os::HRASCONN* handle) {
  if (!PeerExists(entry)) return os::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
  const std::optional<PppLink> running = PppLinkOf(entry);
  if (running && running->up) {
    *handle = HandleForEntry(entry);
    return 0;
  }
  std::optional<RunningCommand> pon = RunningCommand::Start("pon", entry);
  if (!pon) return kRasCommandMissing;
  DialWatch watch(entry, *pon);
  const auto deadline = Clock::now() + DialTimeout();
  while (Clock::now() < deadline) {
    switch (watch.Look()) {
      case DialProgress::Up:
        *handle = HandleForEntry(entry);
        return 0;
      case DialProgress::Failed:
        return watch.Failure();
      case DialProgress::Waiting:
        std::this_thread::sleep_for(kPollInterval);
        break;
    }
  }
  watch.StopPon();
  *handle = HandleForEntry(entry);
  return os::ERROR_REQUEST_TIMEOUT;
}

std::uint32_t HangUpLink(os::HRASCONN handle) {
  const std::optional<HandleTarget> target = TargetOf(handle);
  if (!target) return kRasInvalidHandle;
  if (target->entry.empty()) return StopProcess(target->pid);
  return StopPeer(target->entry);
}

}  // namespace pelorin
