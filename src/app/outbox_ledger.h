// Follows what became of each message that the window put into the outbox. The SMTP session
// only ever takes the head of the outbox away, either because the server accepted it or
// because it refused it for good; comparing the outbox's size and the conversation's counts
// after every step of the session tells which message met which fate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>

namespace pelorin {

class OutboxLedger {
 public:
  using Ticket = std::uint64_t;
  enum class Fate { Queued, Accepted, Refused, Unknown };

  // `alreadyQueued`: messages in the outbox that did not come through this ledger.
  explicit OutboxLedger(std::size_t alreadyQueued = 0);

  // A message has just been appended to the outbox.
  Ticket Queue();
  // A new conversation starts: its accepted and refused counts begin again at zero.
  void BeginConversation();
  // After a step of the session: the outbox's size and the conversation's counts so far.
  void Observe(std::size_t outboxSize, int accepted, int refused);

  Fate FateOf(Ticket ticket) const;
  // Messages refused for good since the ledger was made.
  int RefusedCount() const { return refusedTotal_; }

 private:
  Fate TakeHead(int accepted, int refused);

  Ticket next_ = 0;
  std::deque<Ticket> queued_;  // mirrors the outbox, head first
  std::map<Ticket, Fate> settled_;
  int seenAccepted_ = 0;
  int seenRefused_ = 0;
  int refusedTotal_ = 0;
};

}  // namespace pelorin
