// How conversations end badly: refusals and what stays queued, the error entry, the peer's
// close, answers that are not SMTP, the bound on received text, and addresses that would
// break a command.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/smtp_session_fixture.h"

namespace testing_support {
namespace {

using namespace std::string_literals;
using enum SmtpState;

const std::string kOverflowShown =
    "500 The server sent more than 65536 bytes without ending its reply\r\n";

std::string NotSmtpShown(const std::string& lineShown) {
  return "The server's answer is not SMTP, so the conversation ends here: \"" + lineShown + "\"";
}

class SmtpFailure : public SmtpSessionTest {
 protected:
  void QueueThree() {
    Queue("a@example.net", "A\r\n");
    Queue("b@example.net", "B\r\n");
    Queue("c@example.net", "C\r\n");
  }
  // Delivers the first of the queued messages and stops where the second is at `state`.
  void DeliverFirstThenDriveSecondTo(SmtpState state) {
    static const char* const kReplies[] = {"250 sender ok\r\n", "250 recipient ok\r\n",
                                           "354 go ahead\r\n"};
    DriveTo(MessageData);
    Feed("250 queued\r\n");
    for (int reached = 3; reached < static_cast<int>(state); ++reached) {
      Feed(kReplies[reached - 3]);
    }
    ASSERT_EQ(State(), state);
    socket.Clear();
  }
  // After an unexpected end has been shown: QUIT once more, then this side closes.
  void ExpectQuitAndClose(const SmtpTurn& turn) {
    ExpectOver(turn);
    EXPECT_EQ(socket.calls, (Texts{"SetText " + kQuit, "Disconnect"}));
  }
};

struct RefusalCase {
  SmtpState state;  // where the second of three messages is refused
  std::string reply;
  Ids staying;  // left in the outbox
};

TEST_F(SmtpFailure, ARefusalKeepsOrDropsTheMessageAndLeavesTheRestQueued) {
  const RefusalCase cases[] = {
      {MailFrom, "421 closing\r\n", {2, 3}},
      {MailFrom, "553 bad sender\r\n", {2, 3}},
      {MailFrom, "550 not allowed\r\n", {2, 3}},
      {MailFrom, "530 log in first\r\n", {2, 3}},
      {RcptTo, "550 no such user\r\n", {3}},
      {RcptTo, "450 mailbox busy\r\n", {2, 3}},
      {Data, "554 no data\r\n", {3}},
      {Data, "451 later\r\n", {2, 3}},
      {MessageData, "552 too big\r\n", {3}},
      {MessageData, "452 storage\r\n", {2, 3}},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.reply);
    Reset();
    QueueThree();
    DeliverFirstThenDriveSecondTo(c.state);
    const bool drops = c.staying.size() == 1;
    ExpectHalt(Feed(c.reply), SmtpHalt::Kind::Refusal, c.reply, c.state, drops);
    ExpectQueued({2, 3});  // nothing leaves before the halt has been shown

    EXPECT_EQ(GoOn().kind, SmtpTurn::Kind::Going);
    EXPECT_EQ(socket.Sent(), Texts{kQuit});
    EXPECT_EQ(State(), Quit);
    ExpectQueued(c.staying);
    EXPECT_EQ(Accepted(), Ids{1});
    EXPECT_EQ(Dropped(), drops ? Ids{2} : Ids{});
    EXPECT_TRUE(Outcome().failed);

    ExpectOver(Feed("221 bye\r\n"));
    ExpectQueued(c.staying);
  }
}

TEST_F(SmtpFailure, ADroppedMessageComesBackWhole) {
  Queue("a@example.net", "Subject: one\r\n\r\nA\r\n");
  DriveTo(RcptTo);
  Feed("550 no such user\r\n");
  GoOn();
  ASSERT_EQ(Outcome().dropped.size(), 1u);
  const pelorin::OutboxMessage& dropped = Outcome().dropped[0];
  EXPECT_EQ(dropped.id, 1u);
  EXPECT_EQ(dropped.recipient, "a@example.net");
  EXPECT_EQ(dropped.text, "Subject: one\r\n\r\nA\r\n");
  EXPECT_EQ(dropped.draft, (pelorin::DraftFields{"Name", "a@example.net", "Subject",
                                                 "Subject: one\r\n\r\nA\r\n"}));
}

struct StepCase {
  SmtpState state;
  std::string step;
};

const StepCase kSteps[] = {
    {Greeting, "connecting"}, {Helo, "HELO"}, {MailFrom, "MAIL FROM"},
    {RcptTo, "RCPT TO"},      {Data, "DATA"}, {MessageData, "the message data"},
    {Quit, "QUIT"},
};

TEST_F(SmtpFailure, ATimeOutEndsAConversationInEveryStateAndNamesTheStep) {
  for (const StepCase& c : kSteps) {
    SCOPED_TRACE(c.step);
    Reset();
    Queue("a@example.net", "A\r\n");
    DriveTo(c.state);
    ExpectHalt(Error("TimeOut"), SmtpHalt::Kind::UnexpectedEnd, "500 TimeOut\r\n", c.state, false);
    EXPECT_TRUE(socket.calls.empty());
    EXPECT_EQ(Outcome().failure, "the server stopped answering after " + c.step);
    ExpectQuitAndClose(GoOn());
    ExpectQueued(c.state == Quit ? Ids{} : Ids{1});
    EXPECT_TRUE(Outcome().failed);
  }
}

TEST_F(SmtpFailure, ASocketErrorIsTheFailureItself) {
  Queue("a@example.net", "A\r\n");
  DriveTo(RcptTo);
  ExpectHalt(Error("Connection reset by peer"), SmtpHalt::Kind::UnexpectedEnd,
             "500 Connection reset by peer\r\n", RcptTo, false);
  EXPECT_EQ(Outcome().failure, "Connection reset by peer");
  ExpectQuitAndClose(GoOn());
}

TEST_F(SmtpFailure, TheErrorEntryWithoutAConversationIsANotice) {
  Queue("a@example.net", "A\r\n");
  const SmtpTurn turn = Error("TimeOut");
  EXPECT_EQ(turn.kind, SmtpTurn::Kind::Notice);
  EXPECT_EQ(turn.halt.shown, "TimeOut");
  EXPECT_TRUE(socket.calls.empty());
  EXPECT_EQ(State(), Idle);
  ExpectQueued({1});
  EXPECT_FALSE(Outcome().failed);
}

TEST_F(SmtpFailure, TheErrorFollowsWhateverTextWaited) {
  const struct {
    SmtpState state;
    std::string waiting;
    std::string shown;
  } cases[] = {
      {Helo, "220 mail.exa", "220 mail.exa500 Connection reset by peer\r\n"},
      {Helo, "250-first\r\n", "250-first\r\n500 Connection reset by peer\r\n"},
      {Quit, "221 by", "221 by500 Connection reset by peer\r\n"},
  };
  for (const auto& c : cases) {
    Reset();
    Queue("a@example.net", "A\r\n");
    DriveTo(c.state);
    Feed(c.waiting);
    ExpectHalt(Error("Connection reset by peer"), SmtpHalt::Kind::UnexpectedEnd, c.shown, c.state,
               false);
    ExpectQuitAndClose(GoOn());
  }
}

TEST_F(SmtpFailure, AnErrorAfterARefusalWasShownClosesQuietly) {
  for (const std::string error : {"TimeOut", "Connection reset by peer"}) {
    Reset();
    Queue("a@example.net", "A\r\n");
    DriveTo(RcptTo);
    Feed("450 busy\r\n");
    GoOn();
    socket.Clear();
    ExpectOver(Error(error));
    EXPECT_EQ(socket.calls, Texts{"Disconnect"});
    EXPECT_EQ(Outcome().failure, "the server refused it") << "the refusal stays the reason";
    ExpectQueued({1});
  }
}

TEST_F(SmtpFailure, AReplyOtherThan221ToQuitEndsFromThisSide) {
  Queue("a@example.net", "A\r\n");
  DriveTo(Quit);
  ExpectHalt(Feed("554 what now\r\n"), SmtpHalt::Kind::UnexpectedEnd, "554 what now\r\n", Quit,
             false);
  ExpectQuitAndClose(GoOn());
  EXPECT_EQ(Accepted(), Ids{1});
  EXPECT_TRUE(Outcome().failed);
}

TEST_F(SmtpFailure, ThePeersCloseEndsTheConversationAndNamesTheStep) {
  for (const StepCase& c : kSteps) {
    SCOPED_TRACE(c.step);
    Reset();
    Queue("a@example.net", "A\r\n");
    DriveTo(c.state);
    const SmtpTurn turn = Closed();
    ExpectOver(turn);
    EXPECT_TRUE(socket.Sent().empty());
    if (c.state == Quit) {
      // After QUIT the close is the end the server was asked for.
      EXPECT_FALSE(Outcome().failed);
      ExpectQueued({});
    } else {
      EXPECT_TRUE(Outcome().failed);
      EXPECT_EQ(Outcome().failure, "the server closed the connection after " + c.step);
      // Even after the data the message stays: a duplicate beats a loss.
      ExpectQueued({1});
    }
  }
}

TEST_F(SmtpFailure, ThePeersCloseWithoutAConversationDoesNothing) {
  EXPECT_EQ(Closed().kind, SmtpTurn::Kind::Going);
  EXPECT_TRUE(socket.calls.empty());
  EXPECT_FALSE(Outcome().failed);
}

struct NotSmtpCase {
  std::string reply;
  std::string lineShown;
};

TEST_F(SmtpFailure, AnAnswerThatIsNotSmtpEndsTheConversationAtOnce) {
  const NotSmtpCase cases[] = {
      {"hello there\r\n", "hello there"},
      {"hello there\n", "hello there"},
      {"\r\n", ""},
      {"250-mail.example\r\nhello there\r\n", "hello there"},
      {"250 ok\r\n\r\n", ""},
      {"2500 ok\r\n", "2500 ok"},
      {"25 ok\r\n", "25 ok"},
      {"250x\r\n", "250x"},
      {"\t250 ok\r\n", "\t250 ok"},
      {"he\0llo\r\n"s, "he<NUL>llo"},
      {"hel\rlo\r\n", "hel<CR>lo"},
  };
  for (const NotSmtpCase& c : cases) {
    for (const SmtpState state : {Greeting, Helo, RcptTo, MessageData, Quit}) {
      SCOPED_TRACE(c.lineShown + " in state " + std::to_string(static_cast<int>(state)));
      Reset();
      Queue("a@example.net", "A\r\n");
      DriveTo(state);
      ExpectHalt(Feed(c.reply), SmtpHalt::Kind::UnexpectedEnd, NotSmtpShown(c.lineShown), state,
                 false);
      EXPECT_TRUE(socket.calls.empty());
      EXPECT_EQ(Outcome().failure, "the server's answer is not SMTP");
      ExpectQuitAndClose(GoOn());
      ExpectQueued(state == Quit ? Ids{} : Ids{1});
    }
  }
}

TEST_F(SmtpFailure, RepliesThatLookOddButAreSmtpGoOn) {
  for (const std::string reply : {"   250 ok\r\n", "250\r\n", "250-\r\n250 ok\r\n", "250 \r\n"}) {
    Reset();
    Queue("a@example.net", "A\r\n");
    DriveTo(Helo);
    EXPECT_EQ(Feed(reply).kind, SmtpTurn::Kind::Going) << reply;
    EXPECT_EQ(socket.Sent(), Texts{kMail}) << reply;
  }
}

TEST_F(SmtpFailure, AReplyWithANulByteIsAnsweredWhole) {
  const std::string reply = "550 no\0such user\r\n"s;
  ASSERT_EQ(reply.size(), 18u);
  const struct {
    SmtpState state;
    bool drops;
  } cases[] = {{MailFrom, false}, {RcptTo, true}};
  for (const auto& c : cases) {
    for (const bool byteByByte : {false, true}) {
      Reset();
      Queue("a@example.net", "A\r\n");
      DriveTo(c.state);
      SmtpTurn turn;
      if (byteByByte) {
        for (char byte : reply) turn = Feed(std::string(1, byte));
      } else {
        turn = Feed(reply);
      }
      ExpectHalt(turn, SmtpHalt::Kind::Refusal, reply, c.state, c.drops);
      EXPECT_EQ(turn.halt.shown.size(), 18u);
    }
  }
}

TEST_F(SmtpFailure, AReplyThatNeverEndsIsCutOffAtTheBound) {
  Queue("a@example.net", "A\r\n");
  DriveTo(Helo);
  const std::string block(4096, 'x');
  for (int i = 0; i < 16; ++i) ASSERT_EQ(Feed(block).kind, SmtpTurn::Kind::Going);
  ExpectHalt(Feed("y"), SmtpHalt::Kind::UnexpectedEnd, kOverflowShown, Helo, false);
  EXPECT_TRUE(socket.calls.empty());
  ExpectQuitAndClose(GoOn());
  ExpectQueued({1});
}

TEST_F(SmtpFailure, EndlessContinuationLinesAreCutOffToo) {
  Queue("a@example.net", "A\r\n");
  DriveTo(Helo);
  const std::string line = "250-" + std::string(1000, 'x') + "\r\n";
  SmtpTurn turn;
  for (int i = 0; i < 66 && turn.kind == SmtpTurn::Kind::Going; ++i) turn = Feed(line);
  ExpectHalt(turn, SmtpHalt::Kind::UnexpectedEnd, kOverflowShown, Helo, false);
  ExpectQuitAndClose(GoOn());
}

TEST_F(SmtpFailure, ALongReplyThatEndsInItsBlockIsStillAReply) {
  Queue("a@example.net", "A\r\n");
  DriveTo(Helo);
  EXPECT_EQ(Feed("250 " + std::string(70000, 'x') + "\r\n").kind, SmtpTurn::Kind::Going);
  EXPECT_EQ(socket.Sent(), Texts{kMail});
}

TEST_F(SmtpFailure, TheBoundWithoutAConversationDropsTheTextSilently) {
  EXPECT_EQ(Feed(std::string(70000, 'x')).kind, SmtpTurn::Kind::Going);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(Feed(std::string(4096, 'x')).kind, SmtpTurn::Kind::Going);
  EXPECT_TRUE(socket.calls.empty());
  EXPECT_EQ(State(), Idle);
  EXPECT_FALSE(Outcome().failed);
}

TEST_F(SmtpFailure, ASenderThatWouldBreakTheCommandStopsBeforeMailFrom) {
  const struct {
    std::string sender;
    std::string shownAs;
  } cases[] = {{"me@example.org\r\nRCPT TO: <x@y>", "me@example.org<CR><LF>RCPT TO: <x@y>"},
               {"me\n@example.org", "me<LF>@example.org"},
               {"me\r@example.org", "me<CR>@example.org"},
               {"me\0@example.org"s, "me<NUL>@example.org"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shownAs);
    Reset();
    Queue("a@example.net", "A\r\n");
    pelorin::SenderAddress = c.sender;
    DriveTo(Helo);
    const SmtpTurn turn = Feed("250 hello\r\n");
    ASSERT_EQ(turn.kind, SmtpTurn::Kind::Halted);
    EXPECT_EQ(turn.halt.kind, SmtpHalt::Kind::Refusal);
    EXPECT_FALSE(turn.halt.dropsMessage);
    EXPECT_NE(turn.halt.shown.find("sender address \"" + c.shownAs + "\""), std::string::npos)
        << turn.halt.shown;
    EXPECT_NE(turn.halt.shown.find("line break or NUL"), std::string::npos);
    EXPECT_TRUE(socket.calls.empty());
    GoOn();
    EXPECT_EQ(socket.Sent(), Texts{kQuit});
    ExpectQueued({1});
    EXPECT_TRUE(Outcome().failed);
    ExpectOver(Feed("221 bye\r\n"));
  }
}

TEST_F(SmtpFailure, ASenderBrokenBetweenMessagesStopsBeforeTheNextOne) {
  Queue("a@example.net", "A\r\n");
  Queue("b@example.net", "B\r\n");
  DriveTo(MessageData);
  pelorin::SenderAddress = "me@example.org\n";
  EXPECT_EQ(Feed("250 queued\r\n").kind, SmtpTurn::Kind::Halted);
  GoOn();
  EXPECT_EQ(socket.Sent(), Texts{kQuit});
  ExpectQueued({2});
  EXPECT_EQ(Accepted(), Ids{1});
  EXPECT_TRUE(Dropped().empty());
}

TEST_F(SmtpFailure, ARecipientThatWouldBreakTheCommandIsRefusedAndDropped) {
  Queue("a@example.net", "A\r\n");
  Queue("b@example.net\r\nDATA", "B\r\n");
  Queue("c@example.net", "C\r\n");
  DeliverFirstThenDriveSecondTo(MailFrom);
  const SmtpTurn turn = Feed("250 sender ok\r\n");
  ASSERT_EQ(turn.kind, SmtpTurn::Kind::Halted);
  EXPECT_TRUE(turn.halt.dropsMessage);
  EXPECT_NE(turn.halt.shown.find("recipient address \"b@example.net<CR><LF>DATA\""),
            std::string::npos)
      << turn.halt.shown;
  EXPECT_TRUE(socket.calls.empty());
  GoOn();
  EXPECT_EQ(socket.Sent(), Texts{kQuit});
  ExpectQueued({3});
  EXPECT_EQ(Accepted(), Ids{1});
  EXPECT_EQ(Dropped(), Ids{2});
}

TEST_F(SmtpFailure, NoCommandCarriesALineBreakBeforeItsEnd) {
  Queue("a\0@example.net"s, "A\r\n");
  Queue("b@example.net", "B\r\n");
  socket.hostName = "host\r\nMAIL FROM: <evil>";
  Start();
  for (const char* reply : {"220 ready\r\n", "250 hello\r\n", "250 sender ok\r\n"}) Feed(reply);
  GoOn();
  ExpectOver(Feed("221 bye\r\n"));
  ASSERT_FALSE(socket.Sent().empty());
  for (const std::string& sent : socket.Sent()) {
    EXPECT_EQ(sent.find_first_of("\r\n\0"s), sent.size() - 2) << sent;
  }
  ExpectQueued({2});
}

}  // namespace
}  // namespace testing_support
