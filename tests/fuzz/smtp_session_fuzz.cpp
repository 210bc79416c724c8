// Feeds arbitrary reply streams to the SMTP session and checks what it may never do: leave
// its states, let the two outbox lists part, lose count of the messages it took out, let the
// reply buffer grow past its bound, send a command with a line break inside, send an
// unprotected "." line, or send anything after it disconnected.
//
// Input: the first byte chooses the set-up (bits 0-1: messages queued, bit 2: a sender with a
// line break, bit 3: a recipient with one, bit 4: an error raised from inside the first box,
// bit 5: a reply fed from inside it). The rest is blocks separated by 0xFF; a block that
// begins with 0xFE is an error with the rest as its message, one that begins with 0xFD starts
// the conversation over, any other is received text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "os/msgbox.h"
#include "transport/recording_socket.h"
#include "transport/shared_data.h"
#include "transport/smtp_data.h"
#include "transport/smtp_reply.h"
#include "transport/smtp_session.h"

namespace {

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
  bool errorInBox;
  bool replyInBox;
};

Setup ReadSetup(std::uint8_t flags) {
  return {flags & 3, (flags & 4) != 0, (flags & 8) != 0, (flags & 16) != 0, (flags & 32) != 0};
}

void QueueMessages(const Setup& setup) {
  pelorin::OutboxBodies.clear();
  pelorin::OutboxRecipients.clear();
  const char* const bodies[] = {"Subject: a\r\n\r\n.\r\nx\n.\r\n", "Subject: b\r\n\r\n..\r\n",
                                "Subject: c\r\n\r\n\r\n"};
  for (int i = 0; i < setup.messages; ++i) {
    const bool broken = setup.brokenRecipient && i == 1;
    pelorin::OutboxRecipients.push_back(broken ? "b@example.net\r\nDATA" : "r@example.net");
    pelorin::OutboxBodies.push_back(bodies[i]);
  }
  pelorin::SenderAddress = setup.brokenSender ? "me@example.org\n" : "me@example.org";
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

// Every text sent is whole lines (one command, or a block of data), the last block followed by
// the end-of-data mark: each line ends in CR LF, holds no other line break and no NUL, and is
// not a lone "." that would end the data early. Nothing is sent between a Disconnect and the
// next SConnect.
class SentChecker {
 public:
  void CheckNewCalls(const RecordingSocket& socket) {
    for (; checked_ < socket.calls.size(); ++checked_) Check(socket.calls[checked_]);
  }

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
    while (!text.empty()) {
      const std::size_t end = text.find_first_of(std::string_view("\r\n\0", 3));
      Require(end != std::string_view::npos, "a text sent without its line end");
      Require(text.substr(end, 2) == "\r\n", "a line break or NUL inside a text sent");
      Require(text.substr(0, end) != ".", "an unprotected dot line");
      text.remove_prefix(end + 2);
    }
  }

  std::size_t checked_ = 0;
  bool disconnected_ = false;
};

class Run {
 public:
  explicit Run(const Setup& setup) : setup_(setup), initial_(setup.messages) {
    pelorin::SmtpResetSession();
    QueueMessages(setup);
    boxes_.OnBox([this](const os::BoxRequest&) { InsideBox(); });
  }

  void Block(std::string_view block) {
    if (!block.empty() && block[0] == '\xfe') {
      pelorin::SmtpError(socket_, std::string(block.substr(1)));
    } else if (!block.empty() && block[0] == '\xfd') {
      Restart();
    } else {
      pelorin::SmtpHandleReply(socket_, std::string(block));
    }
    CheckInvariants();
  }

  void Restart() {
    const pelorin::SmtpOutcome outcome = pelorin::SmtpLastOutcome();
    removedBefore_ += outcome.accepted + outcome.dropped;
    pelorin::SmtpStartSession(socket_, "mail.example", "");
  }

  void CheckInvariants() {
    Require(pelorin::SmtpState >= 0 && pelorin::SmtpState <= 7, "state out of range");
    Require(pelorin::OutboxBodies.size() == pelorin::OutboxRecipients.size(), "outbox lists part");
    const pelorin::SmtpOutcome outcome = pelorin::SmtpLastOutcome();
    const int removed = initial_ - static_cast<int>(pelorin::OutboxBodies.size());
    Require(removed == removedBefore_ + outcome.accepted + outcome.dropped,
            "messages left the outbox uncounted");
    Require(pelorin::ReplyBuffer.size() <= pelorin::kSmtpReplyLimit, "reply buffer unbounded");
    sent_.CheckNewCalls(socket_);
  }

 private:
  void InsideBox() {
    if (boxesOpened_++ != 0) return;
    if (setup_.errorInBox) pelorin::SmtpError(socket_, "TimeOut");
    if (setup_.replyInBox) pelorin::SmtpHandleReply(socket_, "250 ok\r\n");
  }

  Setup setup_;
  int initial_;
  int removedBefore_ = 0;
  int boxesOpened_ = 0;
  RecordingSocket socket_;
  SentChecker sent_;
  os::BoxRecorder boxes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const auto run = std::make_unique<Run>(ReadSetup(data[0]));
  run->Restart();
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  for (std::string_view block : SplitBlocks(rest)) run->Block(block);
  pelorin::SmtpResetSession();
  return 0;
}
