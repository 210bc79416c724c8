// The state table: each state meets success codes, refusals, codes it waits past, and what
// GoOn does after each refusal.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "transport/smtp_session_fixture.h"

namespace testing_support {
namespace {

const std::string kRcptYou = Rcpt("you@example.net");
const std::string kBody = "Subject: hi\r\n\r\n.\r\nbody\r\n";
const Texts kBodySent = {"Subject: hi\r\n\r\n..\r\nbody\r\n\r\n.\r\n"};

enum class Answer {
  Going,         // the conversation goes on (or keeps waiting)
  Refusal,       // halted; GoOn sends QUIT and the message stays queued
  RefusalDrops,  // halted; GoOn takes the message out of the outbox and sends QUIT
  OddEnd,        // halted; GoOn sends QUIT and closes from this side
  Over,          // the conversation ended; this side closed the connection
};

struct Row {
  const char* name;
  SmtpState state;
  std::string reply;
  Answer answer;
  Texts sent = {};                       // for Going: sent in answer to the reply
  SmtpState next = SmtpState::Greeting;  // for Going: the state after it
};

void PrintTo(const Row& row, std::ostream* out) {
  *out << row.name;
}

using enum SmtpState;

const Row kRows[] = {
    {"S1_220Helo", Greeting, "220 ready\r\n", Answer::Going, {kHelo}, Helo},
    {"S1_220BareLfHelo", Greeting, "220 ready\n", Answer::Going, {kHelo}, Helo},
    {"S1_421Refused", Greeting, "421 busy\r\n", Answer::Refusal},
    {"S1_554Refused", Greeting, "554 no service\r\n", Answer::Refusal},
    {"S1_450Refused", Greeting, "450 later\r\n", Answer::Refusal},
    {"S1_250WaitedPast", Greeting, "250 ok\r\n", Answer::Going, {}, Greeting},
    {"S1_600WaitedPast", Greeting, "600 odd\r\n", Answer::Going, {}, Greeting},
    {"S2_250MailFrom", Helo, "250 hello\r\n", Answer::Going, {kMail}, MailFrom},
    {"S2_421Refused", Helo, "421 closing\r\n", Answer::Refusal},
    {"S2_501Refused", Helo, "501 arguments\r\n", Answer::Refusal},
    {"S2_504Refused", Helo, "504 not implemented\r\n", Answer::Refusal},
    {"S2_550Refused", Helo, "550 no\r\n", Answer::Refusal},
    {"S2_220WaitedPast", Helo, "220 again\r\n", Answer::Going, {}, Helo},
    {"S2_399WaitedPast", Helo, "399 odd\r\n", Answer::Going, {}, Helo},
    {"S3_250RcptTo", MailFrom, "250 sender ok\r\n", Answer::Going, {kRcptYou}, RcptTo},
    {"S3_250BareLfRcptTo", MailFrom, "250 sender ok\n", Answer::Going, {kRcptYou}, RcptTo},
    {"S3_421Refused", MailFrom, "421 closing\r\n", Answer::Refusal},
    {"S3_451Refused", MailFrom, "451 local error\r\n", Answer::Refusal},
    {"S3_530Refused", MailFrom, "530 authentication required\r\n", Answer::Refusal},
    {"S3_550Refused", MailFrom, "550 not allowed\r\n", Answer::Refusal},
    {"S3_553Refused", MailFrom, "553 bad sender\r\n", Answer::Refusal},
    {"S3_599Refused", MailFrom, "599 odd\r\n", Answer::Refusal},
    {"S3_251WaitedPast", MailFrom, "251 forwarded\r\n", Answer::Going, {}, MailFrom},
    {"S3_354WaitedPast", MailFrom, "354 early\r\n", Answer::Going, {}, MailFrom},
    {"S4_250Data", RcptTo, "250 recipient ok\r\n", Answer::Going, {kData}, Data},
    {"S4_251Data", RcptTo, "251 will forward\r\n", Answer::Going, {kData}, Data},
    {"S4_550Drops", RcptTo, "550 no such user\r\n", Answer::RefusalDrops},
    {"S4_550BareLfDrops", RcptTo, "550 no such user\n", Answer::RefusalDrops},
    {"S4_500Drops", RcptTo, "500 syntax\r\n", Answer::RefusalDrops},
    {"S4_599Drops", RcptTo, "599 odd\r\n", Answer::RefusalDrops},
    {"S4_450Keeps", RcptTo, "450 try later\r\n", Answer::Refusal},
    {"S4_499Keeps", RcptTo, "499 odd\r\n", Answer::Refusal},
    {"S4_600Keeps", RcptTo, "600 odd\r\n", Answer::Refusal},
    {"S4_354Keeps", RcptTo, "354 early\r\n", Answer::Refusal},
    {"S5_354SendsData", Data, "354 go ahead\r\n", Answer::Going, kBodySent, MessageData},
    {"S5_250Keeps", Data, "250 odd\r\n", Answer::Refusal},
    {"S5_451Keeps", Data, "451 later\r\n", Answer::Refusal},
    {"S5_554Drops", Data, "554 no data\r\n", Answer::RefusalDrops},
    {"S6_250Accepted", MessageData, "250 queued\r\n", Answer::Going, {kQuit}, Quit},
    {"S6_250BareLfAccepted", MessageData, "250 queued\n", Answer::Going, {kQuit}, Quit},
    {"S6_552Drops", MessageData, "552 too big\r\n", Answer::RefusalDrops},
    {"S6_452Keeps", MessageData, "452 storage\r\n", Answer::Refusal},
    {"S6_354Keeps", MessageData, "354 again\r\n", Answer::Refusal},
    {"S7_221Over", Quit, "221 bye\r\n", Answer::Over},
    {"S7_221BareLfOver", Quit, "221 bye\n", Answer::Over},
    {"S7_250EndsOddly", Quit, "250 what\r\n", Answer::OddEnd},
    {"S7_421EndsOddly", Quit, "421 closing\r\n", Answer::OddEnd},
};

class SmtpStateTable : public SmtpSessionTest, public ::testing::WithParamInterface<Row> {
 protected:
  void ExpectRefusal(const Row& row, const SmtpTurn& turn, bool drops, std::uint64_t id) {
    ExpectHalt(turn, SmtpHalt::Kind::Refusal, row.reply, row.state, drops);
    EXPECT_TRUE(socket.calls.empty()) << "nothing goes out before the halt has been shown";
    EXPECT_TRUE(session->IsHalted());
    EXPECT_EQ(State(), row.state);
    ExpectQueued({id});
    EXPECT_TRUE(Outcome().failed);
    EXPECT_EQ(Outcome().failure, "the server refused it");

    EXPECT_EQ(GoOn().kind, SmtpTurn::Kind::Going);
    EXPECT_EQ(socket.Sent(), Texts{kQuit});
    EXPECT_EQ(socket.Count("Disconnect"), 0) << "the server ends the conversation after QUIT";
    EXPECT_EQ(State(), Quit);
    EXPECT_FALSE(session->IsHalted());
    ExpectQueued(drops ? Ids{} : Ids{id});
    EXPECT_EQ(Dropped(), drops ? Ids{id} : Ids{});
    EXPECT_TRUE(Accepted().empty());
  }
};

TEST_P(SmtpStateTable, AnswersTheReplyForItsState) {
  const Row& row = GetParam();
  const std::uint64_t id = Queue("you@example.net", kBody);
  DriveTo(row.state);

  const SmtpTurn turn = Feed(row.reply);

  switch (row.answer) {
    case Answer::Going:
      EXPECT_EQ(turn.kind, SmtpTurn::Kind::Going);
      EXPECT_EQ(socket.Sent(), row.sent);
      EXPECT_EQ(socket.Count("Disconnect"), 0);
      EXPECT_EQ(State(), row.next);
      EXPECT_FALSE(Outcome().failed);
      // Only the server's acceptance of the data takes a message out.
      ExpectQueued(row.state == MessageData ? Ids{} : Ids{id});
      EXPECT_EQ(Accepted(), row.state == MessageData ? Ids{id} : Ids{});
      break;
    case Answer::Refusal:
    case Answer::RefusalDrops:
      ExpectRefusal(row, turn, row.answer == Answer::RefusalDrops, id);
      break;
    case Answer::OddEnd:
      ExpectHalt(turn, SmtpHalt::Kind::UnexpectedEnd, row.reply, Quit, false);
      EXPECT_TRUE(socket.calls.empty());
      EXPECT_EQ(Outcome().failure, "the server did not answer QUIT as expected");
      ExpectOver(GoOn());
      EXPECT_EQ(socket.calls, (Texts{"SetText " + kQuit, "Disconnect"}));
      EXPECT_EQ(Accepted(), Ids{id});
      break;
    case Answer::Over:
      // The server need not close the connection itself after 221: this side does.
      ExpectOver(turn);
      EXPECT_EQ(socket.calls, Texts{"Disconnect"});
      EXPECT_FALSE(Outcome().failed);
      EXPECT_EQ(Accepted(), Ids{id});
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, SmtpStateTable, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return info.param.name; });

TEST_F(SmtpSessionTest, TextWithoutAConversationIsDropped) {
  Queue("you@example.net", kBody);
  for (const std::string text : {"220 ready", "\r\n", "220 ready\r\n", "hello there\r\n"}) {
    EXPECT_EQ(Feed(text).kind, SmtpTurn::Kind::Going) << text;
  }
  EXPECT_TRUE(socket.calls.empty());
  EXPECT_EQ(State(), Idle);
  ExpectQueued({1});
  EXPECT_FALSE(Outcome().failed);
}

}  // namespace
}  // namespace testing_support
