// The outbox kept on disk: one file per queued message in a directory of the user's own
// ($XDG_STATE_HOME/pelorin32/outbox, by default ~/.local/state/pelorin32/outbox), written
// whole before the message is queued and removed once it has left the outbox. Each file is
// locked while this program holds it, so that a second copy of the program (a mailto: link
// started while the tray copy runs) never sends the same message. Messages refused for good
// can be kept as readable files in "refused" beside the outbox.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "transport/outbox.h"

namespace pelorin {

class OutboxFolder : public OutboxStore {
 public:
  // `stateDirectory`: the program's own state directory; "outbox" and "refused" live in it.
  explicit OutboxFolder(std::string stateDirectory);
  ~OutboxFolder() override;
  OutboxFolder(const OutboxFolder&) = delete;
  OutboxFolder& operator=(const OutboxFolder&) = delete;

  // $XDG_STATE_HOME/pelorin32, or ~/.local/state/pelorin32.
  static std::string DefaultStateDirectory();

  std::string OutboxDirectory() const { return stateDirectory_ + "/outbox"; }
  std::string RefusedDirectory() const { return stateDirectory_ + "/refused"; }

  std::string Keep(OutboxMessage& message) override;
  void Forget(const OutboxMessage& message) override;

  struct Loaded {
    std::vector<OutboxMessage> messages;  // oldest first, each locked by this program
    std::vector<std::string> damaged;     // "<path>: <why>" for each file that cannot be read
  };
  // The messages an earlier run left, except those another running copy holds. Damaged files
  // are reported and left where they are.
  Loaded Load();

  // Writes the message's text as a file of its own in the refused directory; returns its
  // path, or empty text with `why` set.
  std::string KeepRefused(const OutboxMessage& message, std::string& why);

 private:
  std::string NewFileName();

  std::string stateDirectory_;
  std::map<std::string, int> locks_;  // stored path -> the open, locked descriptor
  unsigned counter_ = 0;
};

}  // namespace pelorin
