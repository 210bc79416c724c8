// Whole conversations: several messages in one connection, replies cut anywhere or ended by a
// bare LF, multi-line replies, the message data, and how a conversation begins.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/smtp_data.h"
#include "transport/smtp_session_fixture.h"

namespace testing_support {
namespace {

void Append(Texts& to, const Texts& more) {
  to.insert(to.end(), more.begin(), more.end());
}

// The server's side of a conversation that delivers two messages, with multi-line replies.
const Texts kTwoMessageReplies = {
    "220-mail.example ESMTP\r\n220 ready\r\n",
    "250-mail.example\r\n250 hello\r\n",
    "250 sender ok\r\n",
    "250 recipient ok\r\n",
    "354 go ahead\r\n",
    "250 queued as 1\r\n",
    "250 sender ok\r\n",
    "251 will forward\r\n",
    "354 go ahead\r\n",
    "250 queued as 2\r\n",
    "221 bye\r\n",
};

// The same conversation from a server that ends its lines with a bare LF, or mixes both.
Texts WithBareLf(const Texts& replies, bool everyOther) {
  Texts changed;
  for (std::size_t i = 0; i < replies.size(); ++i) {
    std::string reply = replies[i];
    if (!everyOther || i % 2 == 0) {
      for (std::size_t at; (at = reply.find("\r\n")) != std::string::npos;) reply.erase(at, 1);
    }
    changed.push_back(reply);
  }
  return changed;
}

struct Stream {
  const char* name;
  Texts replies;
};

const Stream kStreams[] = {
    {"CR LF", kTwoMessageReplies},
    {"bare LF", WithBareLf(kTwoMessageReplies, false)},
    {"mixed", WithBareLf(kTwoMessageReplies, true)},
};

class SmtpConversation : public SmtpSessionTest {
 protected:
  void QueueTwo() {
    Queue("a@example.net", "Subject: one\r\n\r\nfirst\r\n");
    Queue("b@example.net", "Subject: two\r\n\r\n.\r\n");
  }
  static Texts TwoMessageCommands() {
    return {kHelo,
            kMail,
            Rcpt("a@example.net"),
            kData,
            "Subject: one\r\n\r\nfirst\r\n" + kEnd,
            kMail,
            Rcpt("b@example.net"),
            kData,
            "Subject: two\r\n\r\n..\r\n" + kEnd,
            kQuit};
  }
  // Feeds `blocks`; every turn but the last must be Going; returns the last.
  SmtpTurn FeedAll(const Texts& blocks, const std::string& what) {
    SmtpTurn turn;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      if (i > 0) {
        EXPECT_EQ(turn.kind, SmtpTurn::Kind::Going) << what << ", block " << i - 1;
      }
      turn = Feed(blocks[i]);
    }
    return turn;
  }
  void ExpectDeliveredCleanly(const SmtpTurn& last, const Ids& ids) {
    ExpectOver(last);
    ExpectQueued({});
    EXPECT_EQ(Accepted(), ids);
    EXPECT_TRUE(Dropped().empty());
    EXPECT_FALSE(Outcome().failed);
    EXPECT_EQ(Outcome().failure, "");
  }
};

TEST_F(SmtpConversation, TwoQueuedMessagesGoThroughOneConnection) {
  for (const Stream& stream : kStreams) {
    Reset();
    QueueTwo();
    Start();
    const SmtpTurn last = FeedAll(stream.replies, stream.name);
    EXPECT_EQ(socket.Sent(), TwoMessageCommands()) << stream.name;
    EXPECT_EQ(socket.Count("SConnect"), 1);
    ExpectDeliveredCleanly(last, {1, 2});
  }
}

TEST_F(SmtpConversation, GivesTheSameCommandsWhereverTheRepliesAreCut) {
  for (const Stream& stream : kStreams) {
    std::string whole;
    for (const std::string& reply : stream.replies) whole += reply;
    for (std::size_t cut = 1; cut < whole.size(); ++cut) {
      Reset();
      QueueTwo();
      Start();
      // Each reply is its own block, except that the one holding the cut comes in two.
      Texts blocks;
      std::size_t offset = 0;
      for (const std::string& reply : stream.replies) {
        if (cut > offset && cut < offset + reply.size()) {
          blocks.push_back(reply.substr(0, cut - offset));
          blocks.push_back(reply.substr(cut - offset));
        } else {
          blocks.push_back(reply);
        }
        offset += reply.size();
      }
      const std::string what = std::string(stream.name) + " cut at " + std::to_string(cut);
      const SmtpTurn last = FeedAll(blocks, what);
      ASSERT_EQ(socket.Sent(), TwoMessageCommands()) << what;
      ExpectDeliveredCleanly(last, {1, 2});
    }
  }
}

TEST_F(SmtpConversation, GivesTheSameCommandsWhenEveryByteComesAlone) {
  for (const Stream& stream : kStreams) {
    Reset();
    QueueTwo();
    Start();
    Texts bytes;
    for (const std::string& reply : stream.replies) {
      for (char byte : reply) bytes.emplace_back(1, byte);
    }
    const SmtpTurn last = FeedAll(bytes, stream.name);
    EXPECT_EQ(socket.Sent(), TwoMessageCommands()) << stream.name;
    ExpectDeliveredCleanly(last, {1, 2});
  }
}

TEST_F(SmtpConversation, ThreeQueuedMessagesGoOutInOrder) {
  const struct {
    std::string recipient;
    std::string line;
  } messages[] = {
      {"a@example.net", "A\r\n"}, {"b@example.net", "B\r\n"}, {"c@example.net", "C\r\n"}};
  for (const auto& message : messages) Queue(message.recipient, message.line);
  Start();
  Texts replies = {"220 ready\r\n", "250 hello\r\n"};
  for (int message = 0; message < 3; ++message) {
    Append(replies,
           {"250 sender ok\r\n", "250 recipient ok\r\n", "354 go ahead\r\n", "250 queued\r\n"});
  }
  replies.push_back("221 bye\r\n");
  const SmtpTurn last = FeedAll(replies, "three messages");

  Texts expected = {kHelo};
  for (const auto& message : messages) {
    Append(expected, {kMail, Rcpt(message.recipient), kData, message.line + kEnd});
  }
  expected.push_back(kQuit);
  EXPECT_EQ(socket.Sent(), expected);
  ExpectDeliveredCleanly(last, {1, 2, 3});
}

TEST_F(SmtpConversation, EachMessageLeavesTheOutboxOnlyWhenItsDataIsAccepted) {
  Queue("a@example.net", "A\r\n");
  Queue("b@example.net", "B\r\n");
  DriveTo(SmtpState::MessageData);
  ExpectQueued({1, 2});
  Feed("250 queued\r\n");
  ExpectQueued({2});
  EXPECT_EQ(Accepted(), Ids{1});
  for (const char* reply : {"250 sender ok\r\n", "250 recipient ok\r\n", "354 go ahead\r\n"}) {
    Feed(reply);
    ExpectQueued({2});
  }
  Feed("250 queued\r\n");
  ExpectQueued({});
  EXPECT_EQ(Accepted(), (Ids{1, 2}));
}

TEST_F(SmtpConversation, ProtectsEveryLineThatBeginsWithADot) {
  Queue("a@example.net", ".\r\n..\r\n.x\r\nx.y\r\n\r\nend.\r\n");
  DriveTo(SmtpState::Data);
  Feed("354 go ahead\r\n");
  EXPECT_EQ(socket.Sent(), Texts{"..\r\n...\r\n..x\r\nx.y\r\n\r\nend.\r\n" + kEnd});
  EXPECT_EQ(State(), SmtpState::MessageData);
}

TEST_F(SmtpConversation, SendsALargeMessageAsOneTextWithTheEndMark) {
  std::string body;
  for (int line = 0; body.size() < (1 << 20); ++line) {
    body += (line % 7 == 0 ? ".line " : "line ") + std::to_string(line) + "\r\n";
  }
  Queue("a@example.net", body);
  DriveTo(SmtpState::Data);
  Feed("354 go ahead\r\n");

  std::string expected;
  for (const std::string& line : pelorin::SmtpDataLines(body)) expected += line;
  const Texts sent = socket.Sent();
  ASSERT_EQ(sent.size(), 1u) << "one send, the end mark with the data";
  EXPECT_TRUE(sent[0] == expected + kEnd);
  EXPECT_EQ(State(), SmtpState::MessageData);
}

// The lines of a large message that go as they stand are sent from where they lie; the rest
// is the data text, its last lines with the end mark.
TEST_F(SmtpConversation, SendsTheLeadingLinesOfALargeMessageAsTheyStand) {
  std::string body;
  for (int line = 0; body.size() < (3 << 20); ++line)
    body += "line " + std::to_string(line) + "\r\n";
  body += ".a dot to double\r\nlast\r\n";
  Queue("a@example.net", body);
  DriveTo(SmtpState::Data);
  Feed("354 go ahead\r\n");

  const Texts sent = socket.Sent();
  ASSERT_GE(sent.size(), 2u);
  std::string whole;
  for (const std::string& text : sent) whole += text;
  EXPECT_TRUE(whole == pelorin::SmtpDataText(body));
  EXPECT_TRUE(body.starts_with(whole.substr(0, whole.size() - sent.back().size())))
      << "all but the last text as it stands";
  EXPECT_GE(sent.back().size(), (64u << 10) + kEnd.size()) << "the end mark goes with data";
  EXPECT_EQ(State(), SmtpState::MessageData);
}

// Once the connection takes no more, the rest is one text, copied once, to wait in the socket.
TEST_F(SmtpConversation, ALargeMessageStopsGoingFromWhereItLiesOnceTheConnectionIsFull) {
  std::string body;
  for (int line = 0; body.size() < (5 << 20); ++line)
    body += "line " + std::to_string(line) + "\r\n";
  Queue("a@example.net", body);
  DriveTo(SmtpState::Data);
  socket.onSetText = [this](const std::string&) { socket.waiting = socket.Sent().size() >= 2; };
  Feed("354 go ahead\r\n");

  const Texts sent = socket.Sent();
  ASSERT_EQ(sent.size(), 3u) << "two pieces as they lie, then the rest";
  EXPECT_TRUE(sent[0] + sent[1] + sent[2] == pelorin::SmtpDataText(body));
  EXPECT_TRUE(sent[2].ends_with(kEnd));
}

struct MultiLineCase {
  const char* what;
  Texts blocks;
  std::size_t commandsAfterLastBlock;  // 0 while the reply is still incomplete
};

TEST_F(SmtpConversation, AMultiLineReplyIsOneReplyHoweverItArrives) {
  const MultiLineCase cases[] = {
      {"one block", {"250-first\r\n250 last\r\n"}, 1},
      {"lines in blocks", {"250-first\r\n", "250-second\r\n", "250 last\r\n"}, 1},
      {"cut inside a line", {"250-fir", "st\r\n250", " last\r\n"}, 1},
      {"cut inside the line end", {"250-first\r", "\n250 last\r", "\n"}, 1},
      {"bare LF ends", {"250-first\n", "250 last\n"}, 1},
      {"bare LF and CR LF mixed", {"250-first\n250-second\r\n", "250 last\n"}, 1},
      {"final line still missing", {"250-first\r\n", "250-second\r\n"}, 0},
      {"final line without its end", {"250-first\r\n", "250 last"}, 0},
      {"a CR alone ends no line", {"250-first\r\n", "250 last\r"}, 0},
  };
  for (const MultiLineCase& c : cases) {
    Reset();
    Queue("a@example.net", "A\r\n");
    DriveTo(SmtpState::Helo);
    for (const std::string& block : c.blocks) {
      EXPECT_EQ(socket.Sent().size(), 0u) << c.what << ": answered before the last block";
      EXPECT_EQ(Feed(block).kind, SmtpTurn::Kind::Going) << c.what;
    }
    EXPECT_EQ(socket.Sent().size(), c.commandsAfterLastBlock) << c.what;
    if (c.commandsAfterLastBlock == 1) {
      EXPECT_EQ(socket.Sent()[0], kMail) << c.what;
    }
  }
}

TEST_F(SmtpConversation, ABlockOfSeveralLinesIsOneReplyWithTheFirstLinesCode) {
  Queue("a@example.net", "A\r\n");
  DriveTo(SmtpState::MailFrom);
  EXPECT_EQ(Feed("250 sender ok\r\n550 ignored\r\n250-trailing").kind, SmtpTurn::Kind::Going);
  EXPECT_EQ(socket.Sent(), Texts{Rcpt("a@example.net")});
  // The trailing text went with the reply: the next reply stands on its own.
  socket.Clear();
  Feed("250 recipient ok\r\n");
  EXPECT_EQ(socket.Sent(), Texts{kData});
}

TEST_F(SmtpConversation, StartSetsServerAndPortThenConnects) {
  const struct {
    std::string given;
    std::string used;
  } ports[] = {{"", "25"}, {"25", "25"}, {"587", "587"}, {"smtp", "smtp"}, {" 2x5", " 2x5"}};
  for (const auto& port : ports) {
    Reset();
    SmtpState stateAtConnect = SmtpState::Idle;
    socket.onSConnect = [&] { stateAtConnect = State(); };
    Start(port.given);
    EXPECT_EQ(socket.calls, (Texts{"IPAddr mail.example", "Port " + port.used, "SConnect"}));
    EXPECT_EQ(stateAtConnect, SmtpState::Greeting) << "events of the connection find it set";
  }
}

TEST_F(SmtpConversation, PrepareSetsEverythingButDoesNotConnect) {
  session->Prepare(socket, "mail.example", "");
  EXPECT_EQ(socket.calls, (Texts{"IPAddr mail.example", "Port 25"}));
  EXPECT_EQ(State(), SmtpState::Greeting);
}

TEST_F(SmtpConversation, StartingDuringAConversationStartsOver) {
  Queue("a@example.net", "A\r\n");
  DriveTo(SmtpState::RcptTo);
  Feed("250 rec");
  Start();
  EXPECT_EQ(State(), SmtpState::Greeting);
  EXPECT_EQ(socket.calls, (Texts{"IPAddr mail.example", "Port 25", "SConnect"}));
  socket.Clear();
  // The left-over "250 rec" is gone: joined to the greeting it would not be SMTP.
  EXPECT_EQ(Feed("220 ready\r\n").kind, SmtpTurn::Kind::Going);
  EXPECT_EQ(socket.Sent(), Texts{kHelo});
  ExpectQueued({1});
}

TEST_F(SmtpConversation, TheHostNameAfterHeloLosesLineBreaksAndNul) {
  socket.hostName = std::string("cli\r\nent\0.lan\n", 15);
  Start();
  Feed("220 ready\r\n");
  EXPECT_EQ(socket.Sent(), Texts{"HELO client.lan\r\n"});
}

TEST_F(SmtpConversation, AnEmptyOutboxEndsTheConversationAfterHelo) {
  Start();
  Feed("220 ready\r\n");
  Feed("250 hello\r\n");
  EXPECT_EQ(socket.Sent(), (Texts{kHelo, kQuit}));
  EXPECT_EQ(State(), SmtpState::Quit);
  ExpectOver(Feed("221 bye\r\n"));
  EXPECT_FALSE(Outcome().failed);
}

TEST_F(SmtpConversation, TheOutcomeStartsAfreshWithEachConversation) {
  Queue("a@example.net", "A\r\n");
  Queue("b@example.net", "B\r\n");
  DriveTo(SmtpState::MessageData);
  Feed("250 queued\r\n");
  EXPECT_EQ(Accepted(), Ids{1});
  Error("TimeOut");
  EXPECT_TRUE(Outcome().failed);
  Start();
  EXPECT_TRUE(Accepted().empty());
  EXPECT_TRUE(Dropped().empty());
  EXPECT_FALSE(Outcome().failed);
  EXPECT_EQ(Outcome().failure, "");
  EXPECT_FALSE(session->IsHalted());
}

}  // namespace
}  // namespace testing_support
