// The outbox kept on disk: one file per queued message in a directory of the user's own
// ($XDG_STATE_HOME/pelorin32/outbox, by default ~/.local/state/pelorin32/outbox), written
// whole before the message is queued and removed once it has left the outbox. A running copy
// of the program claims each message it holds with a lock on one byte of the folder's lock
// file, so that a second copy (a mailto: link started while the tray copy runs) never sends
// the same message, and however many messages wait, the outbox holds one descriptor. Messages
// refused for good can be kept as readable files in "refused" beside the outbox.
#pragma once

#include <chrono>
#include <optional>
#include <set>
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
  // Notes of messages that left the outbox although their files could not be removed.
  std::string SentNotesDirectory() const { return stateDirectory_ + "/sent"; }

  std::string Keep(OutboxMessage& message) override;
  std::string Forget(const OutboxMessage& message) override;
  std::string Rewrite(const OutboxMessage& message) override;

  struct Loaded {
    std::vector<OutboxMessage> messages;  // oldest first, each claimed by this program
    std::vector<std::string> damaged;     // "<path>: <why>" for each file that cannot be read
    std::string problem;                  // why the outbox cannot be used at all, or empty
  };
  // The messages an earlier run or another copy left, except those a running copy holds.
  // Damaged files are reported once and left where they are; temporary files that no writer
  // holds any more (a copy killed while writing) are removed.
  Loaded Load();

  // The outbox directory, created when missing (for watching it); empty text or why not.
  std::string MakeOutboxDirectory();
  // The folder holds a queued message that this program has not claimed: another copy's, or
  // one another copy let go of.
  bool HoldsMessagesOfOthers() const;

  // Writes the message's text as a file of its own in the refused directory; returns its
  // path, or empty text with `why` set.
  std::string KeepRefused(const OutboxMessage& message, std::string& why);
  // The paths of the messages kept in the refused directory, oldest first.
  std::vector<std::string> RefusedFiles() const;

  // When the message stored as `storedAs` was queued: its name begins with that time. None for
  // a name of another kind.
  static std::optional<std::chrono::system_clock::time_point> QueuedAt(const std::string& storedAs);

 protected:
  // Between listing the folder and claiming the file `name`: where another copy may take it.
  virtual void BeforeClaiming(const std::string& name) { (void)name; }

 private:
  enum class Reading { Read, Gone, Damaged };

  std::string NewFileName();
  bool OpenLockFile(std::string& why);
  bool Claim(const std::string& name);
  void Release(const std::string& name);
  Reading ReadQueued(const std::string& path, OutboxMessage& message, std::string& why) const;
  std::set<std::string> SentNotes();
  void RemoveLeftTemporaryFiles();
  std::string NoteSent(const std::string& name);

  std::string stateDirectory_;
  int lockFd_ = -1;             // the folder's lock file, once the folder exists
  std::set<std::string> held_;  // names of the files this program has claimed
  std::set<std::string> damagedReported_;
  bool problemReported_ = false;
  unsigned counter_ = 0;
};

}  // namespace pelorin
