#include "transport/outbox.h"

#include <algorithm>
#include <string_view>
#include <utility>

namespace pelorin {
namespace {

std::string_view FileName(std::string_view path) {
  return path.substr(path.rfind('/') + 1);
}

}  // namespace

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
    // Stored names begin with the time the message was queued: an older message that another
    // copy left goes ahead of the ones queued here since.
    const auto later = std::find_if(messages_.begin(), messages_.end(), [&](const auto& queued) {
      return !queued.storedAs.empty() && FileName(queued.storedAs) > FileName(message.storedAs);
    });
    messages_.insert(later, std::move(message));
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
  if (store_ == nullptr) return;
  std::string problem = store_->Forget(message);
  if (!problem.empty()) storeProblems_.push_back(std::move(problem));
}

std::optional<OutboxMessage> Outbox::Withdraw(std::uint64_t id) {
  const auto found = std::find_if(messages_.begin(), messages_.end(),
                                  [id](const OutboxMessage& message) { return message.id == id; });
  if (found == messages_.end()) return std::nullopt;
  OutboxMessage message = std::move(*found);
  messages_.erase(found);
  Forget(message);
  return message;
}

void Outbox::PutBack(OutboxMessage message) {
  messages_.push_front(std::move(message));
}

void Outbox::SetAsideHead(const std::vector<std::string>& owed) {
  OutboxMessage head = TakeHeadStillStored();
  head.recipient.clear();
  for (const std::string& address : owed) {
    head.recipient += (head.recipient.empty() ? "" : ", ") + address;
  }
  // Put back into the window later, the draft must not name those who have their copy.
  head.draft.email = head.recipient;
  if (store_ != nullptr) {
    std::string problem = store_->Rewrite(head);
    if (!problem.empty()) storeProblems_.push_back(std::move(problem));
  }
  setAside_.push_back(std::move(head));
}

void Outbox::ReturnSetAside() {
  for (auto message = setAside_.rbegin(); message != setAside_.rend(); ++message) {
    messages_.push_front(std::move(*message));
  }
  setAside_.clear();
}

}  // namespace pelorin
