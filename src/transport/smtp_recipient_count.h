// How the server answered the RCPT TOs of one message, in the order they were sent. The
// message goes to the recipients it accepted; only when it accepted none is the message
// refused, with the last refusal, and for good only when every refusal was (as a message of
// one recipient always was). A recipient refused for good is only named; one refused for now
// is still owed the message. Internal to the SMTP session.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace pelorin {

class SmtpRecipientCount {
 public:
  SmtpRecipientCount() = default;
  explicit SmtpRecipientCount(std::vector<std::string> recipients)
      : recipients_(std::move(recipients)) {}

  // The recipient whose RCPT TO is answered next (lock-step: the one to send next).
  const std::string& Next() const {
    return recipients_[std::min(answered_, recipients_.size() - 1)];
  }
  bool AllAnswered() const { return answered_ >= recipients_.size(); }
  bool AnyAccepted() const { return accepted_ > 0; }
  const std::string& LastRefusal() const { return lastRefusal_; }
  bool RefusedForGood() const { return refusedForGood_; }

  // The reply to the next recipient's RCPT TO.
  void Count(int code, const std::string& reply) {
    if (code == 250 || code == 251) {
      ++accepted_;
    } else {
      lastRefusal_ = reply;
      const bool forGood = code >= 500 && code <= 599;
      refusedForGood_ = refusedForGood_ && forGood;
      const std::string named = Next() + ": " + reply.substr(0, reply.find_first_of("\r\n"));
      if (forGood) {
        refusals_.push_back(named);
      } else {
        deferred_.push_back(Next());
        deferrals_.push_back(named);
      }
    }
    ++answered_;
  }

  // The recipients refused for good, and those refused for now, each named
  // "<address>: <first line of the reply>", for the outcome.
  std::vector<std::string> TakeRefusals() { return std::exchange(refusals_, {}); }
  std::vector<std::string> TakeDeferrals() { return std::exchange(deferrals_, {}); }
  // The addresses refused for now: the message is still owed to them.
  const std::vector<std::string>& Deferred() const { return deferred_; }

 private:
  std::vector<std::string> recipients_;
  std::size_t answered_ = 0;
  std::size_t accepted_ = 0;
  bool refusedForGood_ = true;  // every refusal so far was a 5xx
  std::string lastRefusal_;
  std::vector<std::string> refusals_;
  std::vector<std::string> deferred_;
  std::vector<std::string> deferrals_;
};

}  // namespace pelorin
