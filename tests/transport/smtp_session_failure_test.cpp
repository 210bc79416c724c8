// How conversations end badly: refusals and what stays queued, the error entry, the
// unexpected end, the bound on received text, and addresses that would break a command.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/smtp_session_fixture.h"

namespace testing_support {
namespace {

using namespace std::string_literals;
using pelorin::OutboxBodies;
using pelorin::OutboxRecipients;
using pelorin::ReplyBuffer;
using pelorin::SmtpLastOutcome;
using pelorin::SmtpOutcome;
using pelorin::SmtpState;
using Texts = std::vector<std::string>;

const std::string kMail = "MAIL FROM: <me@example.org>\r\n";

class SmtpFailure : public SmtpSessionTest {
 protected:
  void QueueThree() {
    Queue("a@example.net", "A\r\n");
    Queue("b@example.net", "B\r\n");
    Queue("c@example.net", "C\r\n");
  }
  // Delivers the first of the queued messages and stops where the second is at `state`.
  void DeliverFirstThenDriveSecondTo(int state) {
    static const char* const kReplies[] = {"250 sender ok\r\n", "250 recipient ok\r\n",
                                           "354 go ahead\r\n"};
    DriveTo(6);
    Feed("250 queued\r\n");
    for (int reached = 3; reached < state; ++reached) Feed(kReplies[reached - 3]);
    ASSERT_EQ(SmtpState, state);
    socket.Clear();
  }
  void ExpectEndedFromThisSide() {
    EXPECT_EQ(SmtpState, 0);
    EXPECT_EQ(socket.Sent(), Texts{kQuit});
    EXPECT_EQ(socket.Count("Disconnect"), 1);
    EXPECT_EQ(socket.calls.back(), "Disconnect");
  }
};

struct RefusalCase {
  int state;  // where the second of three messages is refused
  std::string reply;
  Texts staying;  // recipients left in the outbox
};

TEST_F(SmtpFailure, ARefusalKeepsOrDropsTheMessageAndLeavesTheRestQueued) {
  const RefusalCase cases[] = {
      {3, "421 closing\r\n", {"b@example.net", "c@example.net"}},
      {3, "553 bad sender\r\n", {"b@example.net", "c@example.net"}},
      {4, "550 no such user\r\n", {"c@example.net"}},
      {4, "450 mailbox busy\r\n", {"b@example.net", "c@example.net"}},
      {5, "554 no data\r\n", {"c@example.net"}},
      {5, "451 later\r\n", {"b@example.net", "c@example.net"}},
      {6, "552 too big\r\n", {"c@example.net"}},
      {6, "452 storage\r\n", {"b@example.net", "c@example.net"}},
  };
  for (const RefusalCase& c : cases) {
    Reset();
    QueueThree();
    DeliverFirstThenDriveSecondTo(c.state);
    Feed(c.reply);
    EXPECT_EQ(boxes.Texts(), Texts{c.reply});
    EXPECT_EQ(socket.Sent(), Texts{kQuit}) << c.reply;
    EXPECT_EQ(SmtpState, 7);
    EXPECT_EQ(OutboxRecipients, c.staying) << c.reply;
    EXPECT_EQ(OutboxBodies.size(), c.staying.size());
    const int dropped = c.staying.size() == 1 ? 1 : 0;
    EXPECT_EQ(SmtpLastOutcome(), (SmtpOutcome{1, dropped, true})) << c.reply;

    Feed("221 bye\r\n");
    EXPECT_EQ(SmtpState, 0);
    EXPECT_EQ(socket.Count("Disconnect"), 0) << "the server closes after a refusal";
    EXPECT_EQ(boxes.Texts().size(), 1u);
  }
}

TEST_F(SmtpFailure, TheErrorEntryEndsAConversationInEveryState) {
  for (int state = 1; state <= 7; ++state) {
    Reset();
    Queue("a@example.net", "A\r\n");
    DriveTo(state);
    Error("TimeOut");
    EXPECT_EQ(boxes.Texts(), Texts{"500 TimeOut\r\n"}) << "state " << state;
    ExpectEndedFromThisSide();
    EXPECT_EQ(OutboxBodies.size(), state == 7 ? 0u : 1u) << "state " << state;
    EXPECT_TRUE(SmtpLastOutcome().failed);
  }
}

TEST_F(SmtpFailure, TheErrorEntryWithoutAConversationOnlyShowsTheMessage) {
  Queue("a@example.net", "A\r\n");
  Error("TimeOut");
  EXPECT_EQ(boxes.Texts(), Texts{"TimeOut"});
  EXPECT_TRUE(socket.calls.empty());
  EXPECT_EQ(SmtpState, 0);
  EXPECT_EQ(OutboxBodies.size(), 1u);
  EXPECT_FALSE(SmtpLastOutcome().failed);
}

TEST_F(SmtpFailure, TheErrorFollowsWhateverTextWaited) {
  const struct {
    std::string waiting;
    std::string shown;
  } cases[] = {
      {"220 mail.exa", "220 mail.exa500 Connection reset by peer\r\n"},
      {"250-first\r\n", "250-first\r\n500 Connection reset by peer\r\n"},
      {"221 by", "221 by500 Connection reset by peer\r\n"},
  };
  for (const auto& c : cases) {
    Reset();
    Queue("a@example.net", "A\r\n");
    DriveTo(c.waiting.starts_with("221") ? 7 : 2);
    Feed(c.waiting);
    Error("Connection reset by peer");
    EXPECT_EQ(boxes.Texts(), Texts{c.shown});
    ExpectEndedFromThisSide();
    EXPECT_EQ(ReplyBuffer, "");
  }
}

TEST_F(SmtpFailure, AReplyOtherThan221ToQuitEndsFromThisSide) {
  Queue("a@example.net", "A\r\n");
  DriveTo(7);
  Feed("554 what now\r\n");
  EXPECT_EQ(boxes.Texts(), Texts{"554 what now\r\n"});
  ExpectEndedFromThisSide();
  EXPECT_EQ(SmtpLastOutcome(), (SmtpOutcome{1, 0, true}));
}

const std::string kOverflowBox =
    "500 The server sent more than 65536 bytes without ending its reply\r\n";

TEST_F(SmtpFailure, AReplyThatNeverEndsIsCutOffAtTheBound) {
  Queue("a@example.net", "A\r\n");
  DriveTo(2);
  const std::string block(4096, 'x');
  for (int i = 0; i < 16; ++i) Feed(block);
  EXPECT_EQ(ReplyBuffer.size(), 65536u);
  EXPECT_TRUE(boxes.Texts().empty());
  Feed("y");
  EXPECT_EQ(boxes.Texts(), Texts{kOverflowBox});
  ExpectEndedFromThisSide();
  EXPECT_EQ(ReplyBuffer, "");
  EXPECT_EQ(OutboxBodies.size(), 1u);
}

TEST_F(SmtpFailure, EndlessContinuationLinesAreCutOffToo) {
  Queue("a@example.net", "A\r\n");
  DriveTo(2);
  const std::string line = "250-" + std::string(1000, 'x') + "\r\n";
  for (int i = 0; i < 66 && boxes.Texts().empty(); ++i) Feed(line);
  EXPECT_EQ(boxes.Texts(), Texts{kOverflowBox});
  ExpectEndedFromThisSide();
}

TEST_F(SmtpFailure, ALongReplyThatEndsInItsBlockIsStillAReply) {
  Queue("a@example.net", "A\r\n");
  DriveTo(2);
  Feed("250 " + std::string(70000, 'x') + "\r\n");
  EXPECT_EQ(socket.Sent(), Texts{kMail});
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(SmtpFailure, TheBoundWithoutAConversationOnlyTellsTheUser) {
  Feed(std::string(70000, 'x'));
  EXPECT_EQ(boxes.Texts(), Texts{"The server sent more than 65536 bytes without ending its reply"});
  EXPECT_TRUE(socket.calls.empty());
  EXPECT_EQ(ReplyBuffer, "");
}

TEST_F(SmtpFailure, ASenderThatWouldBreakTheCommandFailsBeforeMailFrom) {
  const struct {
    std::string sender;
    std::string shownAs;
  } cases[] = {{"me@example.org\r\nRCPT TO: <x@y>", "me@example.org<CR><LF>RCPT TO: <x@y>"},
               {"me\n@example.org", "me<LF>@example.org"},
               {"me\r@example.org", "me<CR>@example.org"},
               {"me\0@example.org"s, "me<NUL>@example.org"}};
  for (const auto& c : cases) {
    Reset();
    Queue("a@example.net", "A\r\n");
    pelorin::SenderAddress = c.sender;
    DriveTo(2);
    Feed("250 hello\r\n");
    ASSERT_EQ(boxes.Texts().size(), 1u);
    EXPECT_NE(boxes.Texts()[0].find("sender address \"" + c.shownAs + "\""), std::string::npos)
        << boxes.Texts()[0];
    EXPECT_NE(boxes.Texts()[0].find("line break or NUL"), std::string::npos);
    EXPECT_EQ(socket.Sent(), Texts{kQuit});
    EXPECT_EQ(SmtpState, 7);
    EXPECT_EQ(OutboxBodies.size(), 1u);
    EXPECT_EQ(SmtpLastOutcome(), (SmtpOutcome{0, 0, true}));
    Feed("221 bye\r\n");
    EXPECT_EQ(SmtpState, 0);
  }
}

TEST_F(SmtpFailure, ASenderBrokenBetweenMessagesStopsBeforeTheNextOne) {
  Queue("a@example.net", "A\r\n");
  Queue("b@example.net", "B\r\n");
  DriveTo(6);
  pelorin::SenderAddress = "me@example.org\n";
  Feed("250 queued\r\n");
  EXPECT_EQ(socket.Sent(), Texts{kQuit});
  EXPECT_EQ(OutboxRecipients, Texts{"b@example.net"});
  EXPECT_EQ(SmtpLastOutcome(), (SmtpOutcome{1, 0, true}));
}

TEST_F(SmtpFailure, ARecipientThatWouldBreakTheCommandIsRefusedAndDropped) {
  Queue("a@example.net", "A\r\n");
  Queue("b@example.net\r\nDATA", "B\r\n");
  Queue("c@example.net", "C\r\n");
  DeliverFirstThenDriveSecondTo(3);
  Feed("250 sender ok\r\n");
  ASSERT_EQ(boxes.Texts().size(), 1u);
  EXPECT_NE(boxes.Texts()[0].find("recipient address \"b@example.net<CR><LF>DATA\""),
            std::string::npos)
      << boxes.Texts()[0];
  EXPECT_EQ(socket.Sent(), Texts{kQuit});
  EXPECT_EQ(SmtpState, 7);
  EXPECT_EQ(OutboxRecipients, Texts{"c@example.net"});
  EXPECT_EQ(OutboxBodies, Texts{"C\r\n"});
  EXPECT_EQ(SmtpLastOutcome(), (SmtpOutcome{1, 1, true}));
}

TEST_F(SmtpFailure, NoCommandCarriesALineBreakBeforeItsEnd) {
  Queue("a\0@example.net"s, "A\r\n");
  Queue("b@example.net", "B\r\n");
  socket.hostName = "host\r\nMAIL FROM: <evil>";
  Start();
  for (const char* reply : {"220 ready\r\n", "250 hello\r\n", "250 sender ok\r\n", "221 bye\r\n"}) {
    Feed(reply);
  }
  for (const std::string& sent : socket.Sent()) {
    EXPECT_EQ(sent.find_first_of("\r\n\0"s), sent.size() - 2) << sent;
  }
  EXPECT_EQ(OutboxRecipients, Texts{"b@example.net"});
}

}  // namespace
}  // namespace testing_support
