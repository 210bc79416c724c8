// The outbox: every message waiting to be sent, oldest first, each with its one recipient and
// the fields it was composed from. One object owns it; the SMTP session takes messages off its
// head, the send workflow appends. A store, when one is given, keeps each message on disk from
// the moment it is queued until it leaves the outbox, so that nothing queued is lost with the
// program. Used on the user-interface thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pelorin {

// The window's fields as they were when the message was composed: enough to put the text back
// in front of the user.
struct DraftFields {
  std::string name;
  std::string email;
  std::string subject;
  std::string memo;
  bool operator==(const DraftFields&) const = default;
};

struct OutboxMessage {
  std::uint64_t id = 0;   // unique within the run, in queue order
  std::string recipient;  // the bare address for RCPT TO
  std::string text;       // the complete message as composed, every line ended by CR LF
  DraftFields draft;
  std::string storedAs;  // the store's name for it; empty when not stored
};

// Where queued messages are kept between runs.
class OutboxStore {
 public:
  virtual ~OutboxStore() = default;
  // Keeps `message` and sets its storedAs; returns why it could not, or empty text.
  virtual std::string Keep(OutboxMessage& message) = 0;
  // The message has left the outbox; returns what went wrong, for the user, or empty text.
  virtual std::string Forget(const OutboxMessage& message) = 0;
  // Replaces what is kept of `message` (its recipients changed), whole or not at all;
  // returns what went wrong, for the user, or empty text.
  virtual std::string Rewrite(const OutboxMessage& message) = 0;
};

class Outbox {
 public:
  explicit Outbox(OutboxStore* store = nullptr) : store_(store) {}

  // Appends a message; with a store it is kept there first, and on failure it is not queued
  // and the reason is returned. Empty text on success; `id` receives the message's id.
  std::string Append(std::string recipient, std::string text, DraftFields draft,
                     std::uint64_t* id = nullptr);
  // Messages a store kept (an earlier run, another copy), already stored, oldest first; each
  // goes in among the stored ones by the order the store's names give.
  void Restore(std::vector<OutboxMessage> messages);

  bool Empty() const { return messages_.empty(); }
  std::size_t Size() const { return messages_.size(); }
  const OutboxMessage& Head() const { return messages_.front(); }
  const OutboxMessage& At(std::size_t index) const { return messages_.at(index); }
  bool Holds(std::uint64_t id) const;
  // Takes the head out of the outbox (and out of the store).
  OutboxMessage TakeHead();
  // Takes the head out of the outbox but leaves it in the store until Forget: a message
  // refused for good stays on disk until its text has been put where the user finds it.
  OutboxMessage TakeHeadStillStored();
  // Takes a message that TakeHeadStillStored returned out of the store.
  void Forget(const OutboxMessage& message);
  // Takes the message `id` out of the outbox and out of the store, wherever it stands (the
  // user took it back); nothing when it is not queued. Never while a conversation reads the
  // outbox.
  std::optional<OutboxMessage> Withdraw(std::uint64_t id);
  // A message that TakeHeadStillStored returned goes back to the head: its text could not be
  // kept anywhere else.
  void PutBack(OutboxMessage message);
  // The server took the head message for some recipients and refused the others for now: it
  // stays queued addressed to `owed` alone, and is set aside until ReturnSetAside, so that the
  // conversation under way does not offer it again.
  void SetAsideHead(const std::vector<std::string>& owed);
  // Puts the messages set aside back at the head, in the order they had.
  void ReturnSetAside();
  // What the store could not do since the last call, one text for the user each.
  std::vector<std::string> TakeStoreProblems() { return std::exchange(storeProblems_, {}); }

 private:
  OutboxStore* store_;
  std::deque<OutboxMessage> messages_;
  std::vector<OutboxMessage> setAside_;
  std::vector<std::string> storeProblems_;
  std::uint64_t nextId_ = 1;
};

}  // namespace pelorin
