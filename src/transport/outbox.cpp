#include "transport/outbox.h"

#include <algorithm>
#include <utility>

namespace pelorin {

std::string Outbox::Append(std::string recipient, std::string text, DraftFields draft,
                           std::uint64_t* id) {
  OutboxMessage message{nextId_, std::move(recipient), std::move(text), std::move(draft), {}};
  if (store_ != nullptr) {
    std::string failure = store_->Keep(message);
    if (!failure.empty()) return failure;
  }
  ++nextId_;
  if (id != nullptr) *id = message.id;
  messages_.push_back(std::move(message));
  return {};
}

void Outbox::Restore(std::vector<OutboxMessage> messages) {
  for (OutboxMessage& message : messages) {
    message.id = nextId_++;
    messages_.push_back(std::move(message));
  }
}

bool Outbox::Holds(std::uint64_t id) const {
  return std::any_of(messages_.begin(), messages_.end(),
                     [id](const OutboxMessage& message) { return message.id == id; });
}

OutboxMessage Outbox::TakeHead() {
  OutboxMessage head = TakeHeadStillStored();
  Forget(head);
  return head;
}

OutboxMessage Outbox::TakeHeadStillStored() {
  OutboxMessage head = std::move(messages_.front());
  messages_.pop_front();
  return head;
}

void Outbox::Forget(const OutboxMessage& message) {
  if (store_ != nullptr) store_->Forget(message);
}

}  // namespace pelorin
