// Whole conversations: several messages in one connection, replies cut anywhere, multi-line
// replies, the message data, and how a conversation begins.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/smtp_data.h"
#include "transport/smtp_session_fixture.h"

namespace testing_support {
namespace {

using pelorin::OutboxBodies;
using pelorin::OutboxRecipients;
using pelorin::ReplyBuffer;
using pelorin::SmtpState;
using Texts = std::vector<std::string>;

const std::string kHelo = "HELO client.example\r\n";
const std::string kMail = "MAIL FROM: <me@example.org>\r\n";
const std::string kData = "DATA\r\n";
const std::string kEnd = "\r\n.\r\n";

std::string Rcpt(const std::string& to) {
  return "RCPT TO: <" + to + ">\r\n";
}

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
            "QUIT\r\n"};
  }
  void ExpectDeliveredCleanly(int messages) {
    EXPECT_EQ(SmtpState, 0);
    EXPECT_TRUE(OutboxBodies.empty());
    EXPECT_TRUE(OutboxRecipients.empty());
    EXPECT_TRUE(boxes.Texts().empty());
    EXPECT_EQ(socket.Count("Disconnect"), 0);
    EXPECT_EQ(pelorin::SmtpLastOutcome(), (pelorin::SmtpOutcome{messages, 0, false}));
  }
};

TEST_F(SmtpConversation, TwoQueuedMessagesGoThroughOneConnection) {
  QueueTwo();
  Start();
  for (const std::string& reply : kTwoMessageReplies) Feed(reply);
  EXPECT_EQ(socket.Sent(), TwoMessageCommands());
  EXPECT_EQ(socket.Count("SConnect"), 1);
  ExpectDeliveredCleanly(2);
}

TEST_F(SmtpConversation, GivesTheSameCommandsWhereverTheRepliesAreCut) {
  std::string stream;
  for (const std::string& reply : kTwoMessageReplies) stream += reply;
  for (std::size_t cut = 1; cut < stream.size(); ++cut) {
    Reset();
    QueueTwo();
    Start();
    // Each reply is its own block, except that the one holding the cut comes in two.
    std::size_t offset = 0;
    for (const std::string& reply : kTwoMessageReplies) {
      if (cut > offset && cut < offset + reply.size()) {
        Feed(reply.substr(0, cut - offset));
        Feed(reply.substr(cut - offset));
      } else {
        Feed(reply);
      }
      offset += reply.size();
    }
    ASSERT_EQ(socket.Sent(), TwoMessageCommands()) << "cut at " << cut;
    ExpectDeliveredCleanly(2);
  }
}

TEST_F(SmtpConversation, GivesTheSameCommandsWhenEveryByteComesAlone) {
  QueueTwo();
  Start();
  for (const std::string& reply : kTwoMessageReplies) {
    for (char byte : reply) Feed(std::string(1, byte));
  }
  EXPECT_EQ(socket.Sent(), TwoMessageCommands());
  ExpectDeliveredCleanly(2);
}

TEST_F(SmtpConversation, ThreeQueuedMessagesGoOutInOrder) {
  const struct {
    std::string recipient;
    std::string line;
  } messages[] = {
      {"a@example.net", "A\r\n"}, {"b@example.net", "B\r\n"}, {"c@example.net", "C\r\n"}};
  for (const auto& message : messages) Queue(message.recipient, message.line);
  Start();
  Feed("220 ready\r\n");
  Feed("250 hello\r\n");
  for (int message = 0; message < 3; ++message) {
    Feed("250 sender ok\r\n");
    Feed("250 recipient ok\r\n");
    Feed("354 go ahead\r\n");
    Feed("250 queued\r\n");
  }
  Feed("221 bye\r\n");

  Texts expected = {kHelo};
  for (const auto& message : messages) {
    Append(expected, {kMail, Rcpt(message.recipient), kData, message.line + kEnd});
  }
  expected.push_back("QUIT\r\n");
  EXPECT_EQ(socket.Sent(), expected);
  ExpectDeliveredCleanly(3);
}

TEST_F(SmtpConversation, ProtectsEveryLineThatBeginsWithADot) {
  Queue("a@example.net", ".\r\n..\r\n.x\r\nx.y\r\n\r\nend.\r\n");
  DriveTo(5);
  Feed("354 go ahead\r\n");
  EXPECT_EQ(socket.Sent(), Texts{"..\r\n...\r\n..x\r\nx.y\r\n\r\nend.\r\n" + kEnd});
  EXPECT_EQ(SmtpState, 6);
}

TEST_F(SmtpConversation, SendsALargeMessageInBlocksOfWholeLines) {
  std::string body;
  for (int line = 0; body.size() < 3 * pelorin::kSmtpDataBlockSize; ++line) {
    body += (line % 7 == 0 ? ".line " : "line ") + std::to_string(line) + "\r\n";
  }
  Queue("a@example.net", body);
  DriveTo(5);
  Feed("354 go ahead\r\n");

  const Texts sent = socket.Sent();
  ASSERT_GE(sent.size(), 3u) << "three blocks or more, the end mark with the last";
  std::string data;
  for (const std::string& block : sent) {
    EXPECT_EQ(block.substr(block.size() - 2), "\r\n");
    data += block;
  }
  std::string expected;
  for (const std::string& line : pelorin::SmtpDataLines(body)) expected += line;
  EXPECT_EQ(data, expected + kEnd);
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
      {"final line still missing", {"250-first\r\n", "250-second\r\n"}, 0},
      {"final line without its end", {"250-first\r\n", "250 last"}, 0},
  };
  for (const MultiLineCase& c : cases) {
    Reset();
    Queue("a@example.net", "A\r\n");
    DriveTo(2);
    for (const std::string& block : c.blocks) {
      EXPECT_EQ(socket.Sent().size(), 0u) << c.what << ": answered before the last block";
      Feed(block);
    }
    EXPECT_EQ(socket.Sent().size(), c.commandsAfterLastBlock) << c.what;
    if (c.commandsAfterLastBlock == 1) {
      EXPECT_EQ(socket.Sent()[0], kMail) << c.what;
    }
  }
}

TEST_F(SmtpConversation, ABlockOfSeveralLinesIsOneReplyWithTheFirstLinesCode) {
  Queue("a@example.net", "A\r\n");
  DriveTo(3);
  Feed("250 sender ok\r\n550 ignored\r\n250-trailing");
  EXPECT_EQ(socket.Sent(), Texts{Rcpt("a@example.net")});
  EXPECT_EQ(ReplyBuffer, "");
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(SmtpConversation, TextWithoutAConversationIsDroppedOnceItHasALineEnd) {
  Feed("220 ready");
  EXPECT_EQ(ReplyBuffer, "220 ready");
  Feed("\r\n");
  EXPECT_EQ(ReplyBuffer, "");
  EXPECT_TRUE(socket.calls.empty());
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(SmtpConversation, StartSetsServerAndPortThenConnects) {
  const struct {
    std::string given;
    std::string used;
  } ports[] = {{"", "25"}, {"25", "25"}, {"587", "587"}, {"smtp", "smtp"}, {" 2x5", " 2x5"}};
  for (const auto& port : ports) {
    Reset();
    int stateAtConnect = -1;
    std::string bufferAtConnect = "unset";
    socket.onSConnect = [&] {
      stateAtConnect = SmtpState;
      bufferAtConnect = ReplyBuffer;
    };
    Feed("left over");
    Start(port.given);
    EXPECT_EQ(socket.calls, (Texts{"IPAddr mail.example", "Port " + port.used, "SConnect"}));
    EXPECT_EQ(stateAtConnect, 1);
    EXPECT_EQ(bufferAtConnect, "");
  }
}

TEST_F(SmtpConversation, StartingDuringAConversationStartsOver) {
  Queue("a@example.net", "A\r\n");
  DriveTo(4);
  Feed("250 rec");
  Start();
  EXPECT_EQ(SmtpState, 1);
  EXPECT_EQ(ReplyBuffer, "");
  EXPECT_EQ(socket.calls, (Texts{"IPAddr mail.example", "Port 25", "SConnect"}));
  socket.Clear();
  Feed("220 ready\r\n");
  EXPECT_EQ(socket.Sent(), Texts{kHelo});
  EXPECT_EQ(OutboxBodies.size(), 1u);
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
  EXPECT_EQ(socket.Sent(), (Texts{kHelo, "QUIT\r\n"}));
  EXPECT_EQ(SmtpState, 7);
  Feed("221 bye\r\n");
  EXPECT_EQ(SmtpState, 0);
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(SmtpConversation, TheOutcomeStartsAfreshWithEachConversation) {
  Queue("a@example.net", "A\r\n");
  Queue("b@example.net", "B\r\n");
  DriveTo(6);
  Feed("250 queued\r\n");
  EXPECT_EQ(pelorin::SmtpLastOutcome().accepted, 1);
  Error("TimeOut");
  EXPECT_EQ(pelorin::SmtpLastOutcome(), (pelorin::SmtpOutcome{1, 0, true}));
  Start();
  EXPECT_EQ(pelorin::SmtpLastOutcome(), pelorin::SmtpOutcome{});
}

}  // namespace
}  // namespace testing_support
