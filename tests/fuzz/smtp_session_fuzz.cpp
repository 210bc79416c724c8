// Feeds arbitrary reply streams, errors, closes and GoOn calls to the SMTP session and checks
// what it may never do: leave its states, take a message out of the outbox other than at its
// head, count a message as accepted or dropped twice (or lose count of one), send a command
// with a line break inside, send an unprotected "." line, send anything after it closed the
// connection, or end a conversation (Over) without coming to rest.
//
// Input: the first byte chooses the set-up (bits 0-1: messages queued, bit 2: a sender with a
// line break, bit 3: a recipient with one, bit 4: at the first halt an error arrives before
// GoOn, bit 5: at the first halt a reply arrives before GoOn, bit 6: no GoOn after a halt
// except where a block asks for it, bit 7: EHLO, and pipelining where the replies announce it). The
// rest is blocks separated by 0xFF; a block that begins with 0xFE is an error with the rest as its
// message ("TimeOut" when empty), 0xFD starts the conversation over, 0xFC is the peer's close, 0xFB
// is a GoOn; any other block is received text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "transport/outbox.h"
#include "transport/recording_socket.h"
#include "transport/shared_data.h"
#include "transport/smtp_data.h"
#include "transport/smtp_session.h"

namespace {

using pelorin::SmtpState;
using pelorin::SmtpTurn;
using testing_support::RecordingSocket;

void Require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "smtp session fuzz: %s\n", what);
  std::abort();
}

struct Setup {
  int messages;
  bool brokenSender;
  bool brokenRecipient;
  bool errorWhileHalted;
  bool replyWhileHalted;
  bool goOnOnlyWhenAsked;
  bool extended;
};

Setup ReadSetup(std::uint8_t flags) {
  return {flags & 3,         (flags & 4) != 0,  (flags & 8) != 0,  (flags & 16) != 0,
          (flags & 32) != 0, (flags & 64) != 0, (flags & 128) != 0};
}

std::vector<std::string_view> SplitBlocks(std::string_view rest) {
  std::vector<std::string_view> blocks;
  std::size_t start = 0;
  for (std::size_t end; (end = rest.find('\xff', start)) != std::string_view::npos;
       start = end + 1) {
    blocks.push_back(rest.substr(start, end - start));
  }
  blocks.push_back(rest.substr(start));
  return blocks;
}

// Every text sent is whole lines (one command, or a message's data followed by the end-of-data
// mark): each line ends in CR LF, holds no other line break and no NUL, and is
// not a lone "." that would end the data early. Nothing is sent between a Disconnect and the
// next SConnect.
class SentChecker {
 public:
  void CheckNewCalls(const RecordingSocket& socket) {
    for (; checked_ < socket.calls.size(); ++checked_) Check(socket.calls[checked_]);
  }
  bool Disconnected() const { return disconnected_; }

 private:
  void Check(const std::string& call) {
    if (call == "Disconnect") disconnected_ = true;
    if (call == "SConnect") disconnected_ = false;
    if (call.rfind("SetText ", 0) != 0) return;
    Require(!disconnected_, "sent after Disconnect");
    std::string_view text = std::string_view(call).substr(8);
    const std::string_view end = pelorin::kSmtpEndOfData;
    if (text.size() >= end.size() && text.substr(text.size() - end.size()) == end) {
      // Without the final "." line; the empty line before it is checked like any other.
      text.remove_suffix(end.size() - 2);
      if (text == "\r\n") return;  // no data lines at all
    }
    Require(!text.empty(), "an empty text sent");
    // Pipelined, an end mark goes in the middle of a text, before the next message's commands,
    // and data taken for no recipient is ended by a "." alone: a lone "." is an end mark only
    // after an empty line (a data line never is a lone "." nor ends up as one) or on its own.
    bool afterEmptyLine = false;
    const bool alone = text == ".\r\n";
    while (!text.empty()) {
      const std::size_t end = text.find_first_of(std::string_view("\r\n\0", 3));
      Require(end != std::string_view::npos, "a text sent without its line end");
      Require(text.substr(end, 2) == "\r\n", "a line break or NUL inside a text sent");
      Require(text.substr(0, end) != "." || afterEmptyLine || alone, "an unprotected dot line");
      afterEmptyLine = end == 0;
      text.remove_prefix(end + 2);
    }
  }

  std::size_t checked_ = 0;
  bool disconnected_ = false;
};

class Run {
 public:
  explicit Run(const Setup& setup) : setup_(setup) {
    const char* const texts[] = {"Subject: a\r\n\r\n.\r\nx\n.\r\n", "Subject: b\r\n\r\n..\r\n",
                                 "Subject: c\r\n\r\n\r\n"};
    for (int i = 0; i < setup.messages; ++i) {
      const bool broken = setup.brokenRecipient && i == 1;
      std::uint64_t id = 0;
      outbox_.Append(broken ? "b@example.net\r\nDATA" : "r@example.net", texts[i], {}, &id);
      queued_.push_back(id);
    }
    pelorin::SenderAddress = setup.brokenSender ? "me@example.org\n" : "me@example.org";
  }

  void Block(std::string_view block) {
    const bool atRest = session_.State() == SmtpState::Idle;
    const char kind = block.empty() ? '\0' : block[0];
    if (kind == '\xfe') {
      // Every error the owner hands on has a text; an empty one stands for the time-out.
      const std::string message(block.size() > 1 ? block.substr(1) : "TimeOut");
      Take(session_.SmtpError(socket_, message));
    } else if (kind == '\xfd') {
      Restart();
    } else if (kind == '\xfc') {
      Take(session_.ConnectionClosed(socket_));
    } else if (kind == '\xfb') {
      Take(session_.GoOn(socket_));
    } else {
      Take(session_.SmtpHandleReply(socket_, block));
    }
    if (kind != '\xfd') Require(!atRest || session_.State() == SmtpState::Idle, "woke from rest");
  }

  void Restart() {
    Count();
    if (setup_.extended) {
      pelorin::SmtpOptions options;
      options.extended = true;
      session_.Prepare(socket_, "mail.example", "", options);
      socket_.SConnect();
    } else {
      session_.SmtpStartSession(socket_, "mail.example", "");
    }
    Require(session_.State() == SmtpState::Greeting && !session_.IsHalted(), "start not afresh");
    Require(session_.Outcome().accepted.empty() && session_.Outcome().dropped.empty() &&
                !session_.Outcome().failed,
            "outcome not afresh");
    CheckInvariants();
  }

 private:
  // What the owner does with a turn, and what must hold after it.
  void Take(const SmtpTurn& turn) {
    const SmtpState state = session_.State();
    CheckInvariants();
    switch (turn.kind) {
      case SmtpTurn::Kind::Going:
        break;
      case SmtpTurn::Kind::Notice:
        Require(state == SmtpState::Idle, "a notice during a conversation");
        break;
      case SmtpTurn::Kind::Over:
        Require(state == SmtpState::Idle && !session_.IsHalted(), "over but not at rest");
        Require(sent_.Disconnected(), "over without closing the connection");
        break;
      case SmtpTurn::Kind::Halted:
        Require(session_.IsHalted(), "a halt that is not held");
        Require(turn.halt.at == state && state != SmtpState::Idle, "a halt at the wrong step");
        Require(!turn.halt.shown.empty(), "a halt with nothing to show");
        Require(session_.Outcome().failed, "a halt that is no failure");
        AfterHalt();
        break;
    }
  }

  void AfterHalt() {
    if (haltsSeen_++ == 0) {
      if (setup_.errorWhileHalted) Take(session_.SmtpError(socket_, "TimeOut"));
      if (setup_.replyWhileHalted) Take(session_.SmtpHandleReply(socket_, "250 ok\r\n"));
      Require(session_.IsHalted(), "a halt forgotten before GoOn");
    }
    if (!setup_.goOnOnlyWhenAsked) Take(session_.GoOn(socket_));
  }

  // The ids that left the outbox are exactly those counted, each once, in queue order.
  void CheckInvariants() {
    const int state = static_cast<int>(session_.State());
    Require(state >= 0 && state < static_cast<int>(pelorin::kSmtpStepNames.size()),
            "state out of range");
    Require(session_.Outcome().failed == !session_.Outcome().failure.empty(),
            "a failure without a reason, or a reason without a failure");
    const std::size_t left = queued_.size() - outbox_.Size();
    Require(outbox_.Size() <= queued_.size(), "the outbox grew");
    if (!outbox_.Empty()) {
      Require(outbox_.Head().id == queued_[left], "the outbox lost other than its head");
      Require(outbox_.Holds(queued_.back()), "the outbox lost its tail");
    }
    std::multiset<std::uint64_t> counted = countedBefore_;
    for (std::uint64_t id : session_.Outcome().accepted) counted.insert(id);
    for (const pelorin::OutboxMessage& message : session_.Outcome().dropped) {
      counted.insert(message.id);
    }
    Require(counted.size() == left, "messages left the outbox uncounted, or counted twice");
    for (std::size_t i = 0; i < left; ++i) {
      Require(counted.count(queued_[i]) == 1, "a message counted other than once");
    }
    sent_.CheckNewCalls(socket_);
  }

  // Keeps the ending conversation's counts: the next start forgets them.
  void Count() {
    for (std::uint64_t id : session_.Outcome().accepted) countedBefore_.insert(id);
    for (const pelorin::OutboxMessage& message : session_.Outcome().dropped) {
      countedBefore_.insert(message.id);
    }
  }

  Setup setup_;
  pelorin::Outbox outbox_;
  pelorin::SmtpSession session_{outbox_};
  RecordingSocket socket_;
  SentChecker sent_;
  std::vector<std::uint64_t> queued_;
  std::multiset<std::uint64_t> countedBefore_;
  int haltsSeen_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const auto run = std::make_unique<Run>(ReadSetup(data[0]));
  run->Restart();
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  for (std::string_view block : SplitBlocks(rest)) run->Block(block);
  return 0;
}
