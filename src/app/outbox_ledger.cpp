#include "app/outbox_ledger.h"

namespace pelorin {

OutboxLedger::OutboxLedger(std::size_t alreadyQueued) {
  for (std::size_t i = 0; i < alreadyQueued; ++i) queued_.push_back(next_++);
}

OutboxLedger::Ticket OutboxLedger::Queue() {
  queued_.push_back(next_);
  return next_++;
}

void OutboxLedger::BeginConversation() {
  seenAccepted_ = 0;
  seenRefused_ = 0;
}

void OutboxLedger::Observe(std::size_t outboxSize, int accepted, int refused) {
  while (queued_.size() > outboxSize) {
    const Ticket head = queued_.front();
    queued_.pop_front();
    settled_[head] = TakeHead(accepted, refused);
  }
}

// Both counts can have moved in one step only when a message box let further replies in;
// acceptances are taken first then, as the session answers them first.
OutboxLedger::Fate OutboxLedger::TakeHead(int accepted, int refused) {
  if (accepted > seenAccepted_) {
    ++seenAccepted_;
    return Fate::Accepted;
  }
  if (refused > seenRefused_) {
    ++seenRefused_;
    ++refusedTotal_;
    return Fate::Refused;
  }
  return Fate::Unknown;
}

OutboxLedger::Fate OutboxLedger::FateOf(Ticket ticket) const {
  const auto settled = settled_.find(ticket);
  if (settled != settled_.end()) return settled->second;
  return ticket < next_ ? Fate::Queued : Fate::Unknown;
}

}  // namespace pelorin
