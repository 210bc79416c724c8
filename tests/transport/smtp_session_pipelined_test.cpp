// The pipelined conversation against a model server that answers whatever the client sent, in
// order: for every fault at every place in a conversation of several messages, the outbox and
// the outcome come out as in the lock-step conversation, wherever the replies are cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "transport/smtp_session_fixture.h"

namespace testing_support {
namespace {

enum class Step { MailFrom, RcptTo, Data, Body };

struct Fault {
  int message;  // 1 for the first MAIL FROM of the conversation
  Step step;
  int code;
  int recipient = 0;  // which RCPT TO of the message, for Step::RcptTo
};

// A server that answers the client's commands as they arrive, with the given faults.
class ModelServer {
 public:
  ModelServer(std::vector<Fault> faults, bool pipelining)
      : faults_(std::move(faults)), pipelining_(pipelining) {}

  // The replies to `sent`, which may end in the middle of a line.
  std::string Take(const std::string& sent) {
    pending_ += sent;
    std::string replies;
    for (std::size_t end; (end = pending_.find("\r\n")) != std::string::npos;) {
      const std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 2);
      replies += Answer(line);
    }
    return replies;
  }

 private:
  int Code(Step step, int fallback) const {
    for (const Fault& fault : faults_) {
      if (fault.message == message_ && fault.step == step &&
          (step != Step::RcptTo || fault.recipient == recipient_)) {
        return fault.code;
      }
    }
    return fallback;
  }

  static std::string Reply(int code) { return std::to_string(code) + " x\r\n"; }

  std::string Answer(const std::string& line) {
    if (inData_) {
      if (line != ".") return {};
      inData_ = false;
      return Reply(Code(Step::Body, 250));
    }
    const std::string verb = line.substr(0, 4);
    if (verb == "EHLO") {
      return pipelining_ ? "250-model\r\n250-PIPELINING\r\n250 8BITMIME\r\n" : "250 model\r\n";
    }
    if (verb == "HELO") return Reply(250);
    if (verb == "MAIL") {
      ++message_;
      recipient_ = 0;
      rcptOk_ = 0;
      mailOk_ = Code(Step::MailFrom, 250) == 250;
      return Reply(Code(Step::MailFrom, 250));
    }
    if (verb == "RCPT") {
      ++recipient_;
      if (!mailOk_) return Reply(503);
      const int code = Code(Step::RcptTo, 250);
      if (code == 250) ++rcptOk_;
      return Reply(code);
    }
    if (verb == "DATA") {
      if (!mailOk_ || rcptOk_ == 0) return Reply(554);
      const int code = Code(Step::Data, 354);
      inData_ = code == 354;
      return Reply(code);
    }
    if (verb == "QUIT") return Reply(221);
    return Reply(500);
  }

  std::vector<Fault> faults_;
  bool pipelining_;
  std::string pending_;
  bool inData_ = false;
  bool mailOk_ = false;
  int message_ = 0;
  int recipient_ = 0;
  int rcptOk_ = 0;
};

enum class Cut { Whole, EveryByte };

struct Result {
  Ids accepted;
  Ids dropped;
  Ids queued;
  bool failed;
  int halts;
  Texts refusedRecipients;
  bool operator==(const Result&) const = default;
};

void PrintTo(const Result& result, std::ostream* out) {
  auto ids = [out](const Ids& list) {
    for (auto id : list) *out << id << ' ';
  };
  *out << "accepted ";
  ids(result.accepted);
  *out << "dropped ";
  ids(result.dropped);
  *out << "queued ";
  ids(result.queued);
  *out << "failed " << result.failed << " halts " << result.halts;
}

class PipelinedSession : public SmtpSessionTest {
 public:
  // Three messages, the second to two recipients; a conversation to its end.
  Result Converse(const std::vector<Fault>& faults, bool extended, Cut cut) {
    Reset();
    const Ids ids = {Queue("a@x", "A\r\n"), Queue("b1@x, b2@x", "B\r\n"), Queue("c@x", "C\r\n")};
    ModelServer server(faults, true);
    pelorin::SmtpOptions options;
    options.extended = extended;
    session->Prepare(socket, "mail.example", "25", options);
    std::size_t seen = 0;
    int halts = 0;
    SmtpTurn turn = Deliver(Cut::Whole, "220 model\r\n");
    for (int rounds = 0; rounds < 100 && turn.kind != SmtpTurn::Kind::Over; ++rounds) {
      if (turn.kind == SmtpTurn::Kind::Halted) {
        ++halts;
        turn = GoOn();
        continue;
      }
      const Texts sent = socket.Sent();
      std::string text;
      for (; seen < sent.size(); ++seen) text += sent[seen];
      const std::string replies = server.Take(text);
      if (replies.empty()) break;
      turn = Deliver(cut, replies);
    }
    EXPECT_EQ(turn.kind, SmtpTurn::Kind::Over) << "the conversation did not end";
    Ids queued;
    for (std::uint64_t id : ids) {
      if (outbox.Holds(id)) queued.push_back(id);
    }
    return {Accepted(), Dropped(), queued, Outcome().failed, halts, Outcome().refusedRecipients};
  }

  // Hands `replies` to the session whole or byte by byte; the first turn that is not Going.
  SmtpTurn Deliver(Cut cut, const std::string& replies) {
    if (cut == Cut::Whole) return Feed(replies);
    for (std::size_t i = 0; i < replies.size(); ++i) {
      const SmtpTurn turn = Feed(std::string_view(replies).substr(i, 1));
      if (turn.kind != SmtpTurn::Kind::Going) return turn;
    }
    return {};
  }
};

TEST_F(PipelinedSession, GoesInGroupsAndAboutOneRoundTripAMessage) {
  Reset();
  Queue("a@x", "A\r\n");
  Queue("b@x", "B\r\n");
  pelorin::SmtpOptions options;
  options.extended = true;
  session->Prepare(socket, "mail.example", "25", options);
  Feed("220 model\r\n");
  Feed("250-model\r\n250-PIPELINING\r\n250 8BITMIME\r\n");
  EXPECT_TRUE(session->Pipelined());
  EXPECT_EQ(socket.Sent().back(), kMail + Rcpt("a@x") + kData) << "one group, one send";
  Feed("250 ok\r\n250 ok\r\n354 go\r\n");
  EXPECT_EQ(socket.Sent().back(), "A\r\n" + kEnd + kMail + Rcpt("b@x") + kData)
      << "the data goes with the next message's group";
  Feed("250 queued\r\n250 ok\r\n250 ok\r\n354 go\r\n");
  EXPECT_EQ(socket.Sent().back(), "B\r\n" + kEnd);
  Feed("250 queued\r\n");
  EXPECT_EQ(socket.Sent().back(), kQuit);
  EXPECT_EQ(outbox.Size(), 0u);
}

// A large message's leading lines go from where they lie; its last lines, the end mark and
// the next message's group still go together.
TEST_F(PipelinedSession, ALargeMessageGoesInPiecesWithTheNextGroupAfterItsEndMark) {
  Reset();
  std::string large;
  for (int line = 0; large.size() < (3 << 20); ++line)
    large += "line " + std::to_string(line) + "\r\n";
  Queue("a@x", large);
  Queue("b@x", "B\r\n");
  pelorin::SmtpOptions options;
  options.extended = true;
  session->Prepare(socket, "mail.example", "25", options);
  Feed("220 model\r\n");
  Feed("250-model\r\n250 PIPELINING\r\n");
  const std::size_t before = socket.Sent().size();
  Feed("250 ok\r\n250 ok\r\n354 go\r\n");
  const Texts sent = socket.Sent();
  ASSERT_GT(sent.size(), before + 1) << "sent in pieces";
  std::string data;
  for (std::size_t i = before; i < sent.size(); ++i) data += sent[i];
  EXPECT_TRUE(data == large + kEnd + kMail + Rcpt("b@x") + kData);
  EXPECT_TRUE(sent.back().ends_with(kEnd + kMail + Rcpt("b@x") + kData));
}

TEST_F(PipelinedSession, EveryFaultAtEveryPlaceEndsAsInLockStep) {
  std::vector<std::vector<Fault>> scripts = {{}};
  for (int message = 1; message <= 3; ++message) {
    for (int code : {451, 550}) {
      scripts.push_back({{message, Step::MailFrom, code}});
      scripts.push_back({{message, Step::RcptTo, code, 1}});
      scripts.push_back({{message, Step::Data, code}});
      scripts.push_back({{message, Step::Body, code}});
    }
  }
  // The message to two recipients: one refused, or both.
  scripts.push_back({{2, Step::RcptTo, 550, 2}});
  scripts.push_back({{2, Step::RcptTo, 550, 1}, {2, Step::RcptTo, 550, 2}});
  scripts.push_back({{2, Step::RcptTo, 450, 1}, {2, Step::RcptTo, 550, 2}});
  // The model and the driver work: a clean run delivers all three, a refused first body
  // drops only that message and keeps the other two for the next send.
  const Result clean = Converse({}, false, Cut::Whole);
  EXPECT_EQ(clean.accepted.size(), 3u);
  EXPECT_EQ(clean.halts, 0);
  const Result refused = Converse({{1, Step::Body, 554}}, false, Cut::Whole);
  EXPECT_EQ(refused.dropped.size(), 1u);
  EXPECT_EQ(refused.queued.size(), 2u);
  EXPECT_EQ(refused.halts, 1);
  for (std::size_t i = 0; i < scripts.size(); ++i) {
    SCOPED_TRACE("script " + std::to_string(i));
    const Result lockStep = Converse(scripts[i], false, Cut::Whole);
    EXPECT_FALSE(session->Pipelined());
    for (const Cut cut : {Cut::Whole, Cut::EveryByte}) {
      SCOPED_TRACE(cut == Cut::Whole ? "replies whole" : "every byte alone");
      const Result pipelined = Converse(scripts[i], true, cut);
      EXPECT_TRUE(session->Pipelined());
      EXPECT_EQ(pipelined, lockStep);
    }
  }
}

TEST_F(PipelinedSession, ARecipientRefusedAmongOthersIsNamedAndTheMessageGoesToTheRest) {
  for (const bool extended : {false, true}) {
    SCOPED_TRACE(extended ? "pipelined" : "lock-step");
    const Result result = Converse({{2, Step::RcptTo, 550, 1}}, extended, Cut::Whole);
    EXPECT_EQ(result.accepted.size(), 3u);
    EXPECT_FALSE(result.failed);
    EXPECT_EQ(result.refusedRecipients, Texts{"b1@x: 550 x"});
  }
}

TEST_F(PipelinedSession, DataTakenForNoRecipientIsEndedEmptyAndTheMessageRefused) {
  Reset();
  const std::uint64_t id = Queue("a@x", "A\r\n");
  pelorin::SmtpOptions options;
  options.extended = true;
  session->Prepare(socket, "mail.example", "25", options);
  Feed("220 model\r\n");
  Feed("250-model\r\n250 PIPELINING\r\n");
  const SmtpTurn turn = Feed("250 ok\r\n550 no such user\r\n354 go\r\n");
  EXPECT_EQ(turn.kind, SmtpTurn::Kind::Going);
  EXPECT_EQ(socket.Sent().back(), ".\r\n") << "nothing of the message goes";
  ExpectHalt(Feed("554 no valid recipients\r\n"), SmtpHalt::Kind::Refusal, "550 no such user\r\n",
             SmtpState::MessageData, true);
  GoOn();
  EXPECT_EQ(Dropped(), Ids{id});
}

TEST_F(PipelinedSession, ARefusedDataWithTheNextGroupInFlightClosesInsteadOfQuit) {
  Reset();
  Queue("a@x", "A\r\n");
  const std::uint64_t second = Queue("b@x", "B\r\n");
  pelorin::SmtpOptions options;
  options.extended = true;
  session->Prepare(socket, "mail.example", "25", options);
  Feed("220 model\r\n");
  Feed("250-model\r\n250 PIPELINING\r\n");
  Feed("250 ok\r\n250 ok\r\n354 go\r\n");
  ExpectHalt(Feed("552 too big\r\n250 ok\r\n"), SmtpHalt::Kind::Refusal, "552 too big\r\n",
             SmtpState::MessageData, true);
  socket.Clear();
  // The server has taken the next DATA and would read a QUIT as message text.
  ExpectOver(GoOn());
  EXPECT_EQ(socket.Sent(), Texts{});
  ExpectQueued({second});
}

// The sender is checked wherever a message begins: a next message whose MAIL FROM would carry
// a line break does not go with the data, and stops the conversation at its own turn.
TEST_F(PipelinedSession, ASenderBrokenBetweenMessagesStopsBeforeTheNextOne) {
  Reset();
  const std::uint64_t first = Queue("a@x", "A\r\n");
  const std::uint64_t second = Queue("b@x", "B\r\n");
  pelorin::SmtpOptions options;
  options.extended = true;
  session->Prepare(socket, "mail.example", "25", options);
  Feed("220 model\r\n");
  Feed("250-model\r\n250 PIPELINING\r\n");
  pelorin::SenderAddress = "me@example.org\r\nRCPT TO: <else@x>";
  Feed("250 ok\r\n250 ok\r\n354 go\r\n");
  EXPECT_EQ(socket.Sent().back(), "A\r\n" + kEnd);
  const SmtpTurn turn = Feed("250 queued\r\n");
  ASSERT_EQ(turn.kind, SmtpTurn::Kind::Halted);
  EXPECT_NE(turn.halt.shown.find("sender address"), std::string::npos) << turn.halt.shown;
  GoOn();
  EXPECT_EQ(socket.Sent().back(), kQuit);
  EXPECT_EQ(Accepted(), Ids{first});
  ExpectQueued({second});
}

}  // namespace
}  // namespace testing_support
