// The halt: the session stops while its owner shows why, and GoOn lets it finish. What GoOn
// does after each kind of halt, what arrives meanwhile (text, errors, the peer's close), and
// which messages the outcome counts as accepted or dropped.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "transport/smtp_session_fixture.h"

namespace testing_support {
namespace {

using enum SmtpState;

// A way into a halt, from a conversation with messages 1 and 2 queued and message 1 current.
struct HaltCase {
  const char* name;
  SmtpState state;
  std::function<SmtpTurn(SmtpSessionTest&)> cause;
  SmtpHalt::Kind kind;
  bool drops;
  std::string failure;
};

class SmtpHaltTest : public SmtpSessionTest {
 protected:
  // Queues two messages, drives to the case's state and halts; the calls are cleared.
  void HaltBy(const HaltCase& c) {
    Queue("a@example.net", "A\r\n");
    Queue("b@example.net", "B\r\n");
    DriveTo(c.state);
    const SmtpTurn turn = c.cause(*this);
    ASSERT_EQ(turn.kind, SmtpTurn::Kind::Halted);
    ASSERT_EQ(turn.halt.kind, c.kind);
    ASSERT_EQ(turn.halt.dropsMessage, c.drops);
    ASSERT_TRUE(session->IsHalted());
    socket.Clear();
  }
  // Still halted as before, with nothing sent and the first reason kept.
  void ExpectStillHalted(const HaltCase& c) {
    EXPECT_TRUE(session->IsHalted());
    EXPECT_EQ(State(), c.state);
    EXPECT_TRUE(socket.calls.empty());
    ExpectQueued({1, 2});
    EXPECT_EQ(Outcome().failure, c.failure);
  }
};

const HaltCase kHalts[] = {
    {"refusal that keeps", RcptTo,
     [](SmtpSessionTest& t) { return t.Feed("450 mailbox busy\r\n"); }, SmtpHalt::Kind::Refusal,
     false, "the server refused it"},
    {"refusal that drops", RcptTo,
     [](SmtpSessionTest& t) { return t.Feed("550 no such user\r\n"); }, SmtpHalt::Kind::Refusal,
     true, "the server refused it"},
    {"refused greeting", Greeting, [](SmtpSessionTest& t) { return t.Feed("554 no service\r\n"); },
     SmtpHalt::Kind::Refusal, false, "the server refused it"},
    {"time-out", MailFrom, [](SmtpSessionTest& t) { return t.Error("TimeOut"); },
     SmtpHalt::Kind::UnexpectedEnd, false, "the server stopped answering after MAIL FROM"},
    {"socket error", MessageData,
     [](SmtpSessionTest& t) { return t.Error("Connection reset by peer"); },
     SmtpHalt::Kind::UnexpectedEnd, false, "Connection reset by peer"},
    {"answer that is not SMTP", Helo, [](SmtpSessionTest& t) { return t.Feed("hello there\r\n"); },
     SmtpHalt::Kind::UnexpectedEnd, false, "the server's answer is not SMTP"},
};

TEST_F(SmtpHaltTest, GoOnFinishesEachKindOfHalt) {
  for (const HaltCase& c : kHalts) {
    SCOPED_TRACE(c.name);
    Reset();
    HaltBy(c);
    const SmtpTurn turn = GoOn();
    EXPECT_FALSE(session->IsHalted());
    EXPECT_EQ(Dropped(), c.drops ? Ids{1} : Ids{});
    ExpectQueued(c.drops ? Ids{2} : Ids{1, 2});
    EXPECT_EQ(Outcome().failure, c.failure);
    if (c.kind == SmtpHalt::Kind::Refusal) {
      // QUIT, and the server's 221 ends it.
      EXPECT_EQ(turn.kind, SmtpTurn::Kind::Going);
      EXPECT_EQ(socket.calls, Texts{"SetText " + kQuit});
      EXPECT_EQ(State(), Quit);
      ExpectOver(Feed("221 bye\r\n"));
    } else {
      // QUIT for good form, then this side closes.
      ExpectOver(turn);
      EXPECT_EQ(socket.calls, (Texts{"SetText " + kQuit, "Disconnect"}));
    }
    EXPECT_TRUE(Accepted().empty());
  }
}

TEST_F(SmtpHaltTest, TextArrivingWhileHaltedIsDropped) {
  const std::string texts[] = {"250 ok\r\n",      "221 bye\r\n",           "354 go\n",
                               "hello there\r\n", std::string(70000, 'x'), "250-more\r\n"};
  for (const HaltCase& c : kHalts) {
    SCOPED_TRACE(c.name);
    Reset();
    HaltBy(c);
    for (const std::string& text : texts) {
      EXPECT_EQ(Feed(text).kind, SmtpTurn::Kind::Going) << text.substr(0, 20);
      ExpectStillHalted(c);
    }
    const SmtpTurn turn = GoOn();
    if (c.kind == SmtpHalt::Kind::Refusal) {
      // What came while halted did not answer the QUIT, nor join its answer.
      EXPECT_EQ(turn.kind, SmtpTurn::Kind::Going);
      EXPECT_EQ(State(), Quit);
      ExpectOver(Feed("221 bye\r\n"));
    } else {
      ExpectOver(turn);
    }
    EXPECT_EQ(Outcome().failure, c.failure);
  }
}

TEST_F(SmtpHaltTest, APartLineArrivingWhileHaltedDoesNotJoinTheAnswerToQuit) {
  for (const std::string part : {"250 o", "221 by", "hel", "250-more\r\n250 mo"}) {
    SCOPED_TRACE(part);
    Reset();
    HaltBy(kHalts[0]);
    EXPECT_EQ(Feed(part).kind, SmtpTurn::Kind::Going);
    ExpectStillHalted(kHalts[0]);
    GoOn();
    ExpectOver(Feed("221 bye\r\n"));
    EXPECT_EQ(socket.calls, (Texts{"SetText " + kQuit, "Disconnect"}));
  }
}

TEST_F(SmtpHaltTest, AConnectionLostWhileHaltedIsOnlyClosedByGoOn) {
  const struct {
    const char* what;
    std::function<SmtpTurn(SmtpHaltTest&)> loss;
  } losses[] = {
      {"time-out", [](SmtpHaltTest& t) { return t.Error("TimeOut"); }},
      {"socket error", [](SmtpHaltTest& t) { return t.Error("Connection reset by peer"); }},
      {"peer's close", [](SmtpHaltTest& t) { return t.Closed(); }},
  };
  for (const HaltCase& c : kHalts) {
    for (const auto& loss : losses) {
      SCOPED_TRACE(std::string(c.name) + ", then " + loss.what);
      Reset();
      HaltBy(c);
      EXPECT_EQ(loss.loss(*this).kind, SmtpTurn::Kind::Going) << "no second box";
      ExpectStillHalted(c);

      ExpectOver(GoOn());
      EXPECT_EQ(socket.calls, Texts{"Disconnect"}) << "no QUIT on a lost connection";
      EXPECT_EQ(Dropped(), c.drops ? Ids{1} : Ids{});
      ExpectQueued(c.drops ? Ids{2} : Ids{1, 2});
      EXPECT_EQ(Outcome().failure, c.failure);
    }
  }
}

TEST_F(SmtpHaltTest, SeveralLossesWhileHaltedCloseOnce) {
  HaltBy(kHalts[1]);
  Error("TimeOut");
  Closed();
  Feed("221 bye\r\n");
  Error("Connection reset by peer");
  ExpectOver(GoOn());
  EXPECT_EQ(socket.calls, Texts{"Disconnect"});
  EXPECT_EQ(Dropped(), Ids{1});
}

TEST_F(SmtpHaltTest, ARefusedGreetingAndTheServersCloseEndWithoutQuit) {
  Queue("a@example.net", "A\r\n");
  DriveTo(Greeting);
  ExpectHalt(Feed("421 too busy\r\n"), SmtpHalt::Kind::Refusal, "421 too busy\r\n", Greeting,
             false);
  EXPECT_EQ(Closed().kind, SmtpTurn::Kind::Going);
  ExpectOver(GoOn());
  EXPECT_EQ(socket.calls, Texts{"Disconnect"});
  ExpectQueued({1});
  EXPECT_EQ(Outcome().failure, "the server refused it");
}

TEST_F(SmtpHaltTest, TheServersCloseAfterTheRefusalsQuitEndsQuietly) {
  HaltBy(kHalts[0]);
  GoOn();
  socket.Clear();
  ExpectOver(Closed());
  EXPECT_EQ(socket.calls, Texts{"Disconnect"});
  EXPECT_EQ(Outcome().failure, "the server refused it");
}

TEST_F(SmtpHaltTest, GoOnWithoutAHaltDoesNothing) {
  Queue("a@example.net", "A\r\n");
  Queue("b@example.net", "B\r\n");
  EXPECT_EQ(GoOn().kind, SmtpTurn::Kind::Going) << "before any conversation";
  DriveTo(MailFrom);
  EXPECT_EQ(GoOn().kind, SmtpTurn::Kind::Going) << "during a conversation";
  EXPECT_TRUE(socket.calls.empty());
  EXPECT_EQ(State(), MailFrom);
  ExpectQueued({1, 2});
  // The conversation goes on as if nothing happened.
  Feed("250 sender ok\r\n");
  EXPECT_EQ(socket.Sent(), Texts{Rcpt("a@example.net")});
}

TEST_F(SmtpHaltTest, ASecondGoOnDropsNoSecondMessage) {
  HaltBy(kHalts[1]);
  GoOn();
  socket.Clear();
  EXPECT_EQ(GoOn().kind, SmtpTurn::Kind::Going);
  EXPECT_TRUE(socket.calls.empty());
  ExpectQueued({2});
  EXPECT_EQ(Dropped(), Ids{1});
  ExpectOver(Feed("221 bye\r\n"));
  EXPECT_EQ(GoOn().kind, SmtpTurn::Kind::Going) << "after the end";
  ExpectQueued({2});
}

TEST_F(SmtpHaltTest, ANewConversationBegunWhileHaltedForgetsTheHalt) {
  HaltBy(kHalts[1]);
  Start();
  EXPECT_FALSE(session->IsHalted());
  EXPECT_EQ(State(), Greeting);
  EXPECT_FALSE(Outcome().failed);
  socket.Clear();
  EXPECT_EQ(GoOn().kind, SmtpTurn::Kind::Going);
  EXPECT_TRUE(socket.calls.empty()) << "the old halt sends nothing into the new connection";
  ExpectQueued({1, 2});
  EXPECT_TRUE(Dropped().empty());
  Feed("220 ready\r\n");
  EXPECT_EQ(socket.Sent(), Texts{kHelo});
}

TEST_F(SmtpHaltTest, TheOutcomeCountsEachMessageOnceAcrossConversations) {
  for (const char* to : {"a@example.net", "b@example.net", "c@example.net", "d@example.net"}) {
    Queue(to, "X\r\n");
  }
  // First conversation: 1 accepted, 2 refused for good.
  DriveTo(MessageData);
  Feed("250 queued\r\n");
  Feed("250 sender ok\r\n");
  Feed("550 no such user\r\n");
  GoOn();
  ExpectOver(Feed("221 bye\r\n"));
  EXPECT_EQ(Accepted(), Ids{1});
  EXPECT_EQ(Dropped(), Ids{2});
  ExpectQueued({3, 4});

  // Second: 3 accepted, 4 refused for now and kept.
  DriveTo(MessageData);
  Feed("250 queued\r\n");
  Feed("250 sender ok\r\n");
  Feed("452 too many recipients\r\n");
  GoOn();
  ExpectOver(Feed("221 bye\r\n"));
  EXPECT_EQ(Accepted(), Ids{3});
  EXPECT_TRUE(Dropped().empty());
  ExpectQueued({4});

  // Third: 4 goes.
  DriveTo(MessageData);
  Feed("250 queued\r\n");
  ExpectOver(Feed("221 bye\r\n"));
  EXPECT_EQ(Accepted(), Ids{4});
  EXPECT_FALSE(Outcome().failed);
  ExpectQueued({});
}

TEST_F(SmtpHaltTest, AnOddAnswerToTheRefusalsQuitKeepsTheFirstReason) {
  HaltBy(kHalts[0]);
  GoOn();
  socket.Clear();
  ExpectHalt(Feed("250 what\r\n"), SmtpHalt::Kind::UnexpectedEnd, "250 what\r\n", Quit, false);
  EXPECT_EQ(Outcome().failure, "the server refused it");
  ExpectOver(GoOn());
  EXPECT_EQ(socket.calls, (Texts{"SetText " + kQuit, "Disconnect"}));
}

TEST_F(SmtpHaltTest, AConversationAbandonedBeforeItsConnectIsForgotten) {
  Queue("a@example.net", "A\r\n");
  session->Prepare(socket, "mail.example", "25");
  session->Abandon("the server's address cannot be found");
  EXPECT_EQ(State(), Idle);
  EXPECT_FALSE(session->IsHalted());
  EXPECT_TRUE(Outcome().failed);
  EXPECT_EQ(Outcome().failure, "the server's address cannot be found");
  socket.Clear();
  EXPECT_EQ(Feed("220 ready\r\n").kind, SmtpTurn::Kind::Going);
  EXPECT_EQ(Error("Connection refused").kind, SmtpTurn::Kind::Notice);
  EXPECT_TRUE(socket.calls.empty());
  ExpectQueued({1});
}

}  // namespace
}  // namespace testing_support
