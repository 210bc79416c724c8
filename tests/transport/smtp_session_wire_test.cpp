// What goes on the wire beyond the plain conversation: only the extensions the server
// announced, addresses in the form the server can take, the name given in HELO, replies that
// cannot be matched to the commands sent, and steps that never end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/helo_name.h"
#include "transport/smtp_session_fixture.h"

namespace testing_support {
namespace {

const std::string kEightBitText = "To:  <bø@example.org>\r\nSubject: x\r\n\r\nbody\r\n";
const std::string kHelloEhlo = "250-model\r\n";

class WireTest : public SmtpSessionTest {
 public:
  // Greets with EHLO when `extensions` is not empty ("" in a row: HELO), queues one message
  // and answers up to its MAIL FROM (lock-step) or its group (pipelined).
  SmtpTurn Begin(const std::string& recipient, const std::string& text,
                 const std::string& extensions, pelorin::SmtpOptions options = {}) {
    Queue(recipient, text);
    options.extended = !extensions.empty();
    session->Prepare(socket, "mail.example", "25", options);
    Feed("220 ready\r\n");
    if (extensions.empty()) return Feed("250 hello\r\n");
    return Feed(kHelloEhlo + extensions);
  }
};

TEST_F(WireTest, OnlyAnnouncedExtensionsAndAddressesTheServerTakes) {
  struct Row {
    const char* name;
    std::string recipient, text, extensions;
    Texts sentAfterGreeting;  // up to RCPT TO, the MAIL FROM reply being 250
  };
  const Row rows[] = {
      {"helo, 8-bit header",
       "ann@example.org",
       kEightBitText,
       "",
       {"MAIL FROM: <me@example.org>\r\n", Rcpt("ann@example.org")}},
      {"8bitmime announced",
       "ann@example.org",
       kEightBitText,
       "250 8BITMIME\r\n",
       {"MAIL FROM: <me@example.org> BODY=8BITMIME\r\n", Rcpt("ann@example.org")}},
      {"international domain",
       "ann@bücher.example",
       "x\r\n",
       "",
       {kMail, Rcpt("ann@xn--bcher-kva.example")}},
      {"local part with smtputf8",
       "bø@example.org",
       "x\r\n",
       "250-8BITMIME\r\n250 SMTPUTF8\r\n",
       {"MAIL FROM: <me@example.org> SMTPUTF8\r\n", Rcpt("bø@example.org")}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Reset();
    ASSERT_EQ(Begin(row.recipient, row.text, row.extensions).kind, SmtpTurn::Kind::Going);
    Feed("250 sender ok\r\n");
    const Texts sent = socket.Sent();
    EXPECT_EQ(Texts(sent.end() - 2, sent.end()), row.sentAfterGreeting);
  }
}

TEST_F(WireTest, ALocalPartBeyondAsciiIsRefusedForGoodWhereTheServerCannotTakeIt) {
  for (const std::string extensions : {"", "250 8BITMIME\r\n", "250 PIPELINING\r\n"}) {
    Reset();
    const SmtpTurn turn = Begin("bø@example.org", "x\r\n", extensions);
    ASSERT_EQ(turn.kind, SmtpTurn::Kind::Halted) << extensions;
    EXPECT_TRUE(turn.halt.dropsMessage);
    EXPECT_NE(turn.halt.shown.find("SMTPUTF8"), std::string::npos) << turn.halt.shown;
    EXPECT_EQ(socket.Sent().back().substr(0, 4), extensions.empty() ? "HELO" : "EHLO");
  }
}

TEST_F(WireTest, RepliesBeyondTheCommandsSentEndTheConversationAndKeepTheMail) {
  // The extra reply in the same block as the group's replies, or alone before them.
  for (const Texts& blocks : {Texts{"250 ok\r\n250 ok\r\n354 go\r\n250 extra\r\n"},
                              Texts{"250 extra\r\n", "250 ok\r\n250 ok\r\n354 go\r\n"}}) {
    Reset();
    Begin("ann@example.org", "x\r\n", "250 PIPELINING\r\n");
    SmtpTurn turn;
    for (const std::string& block : blocks) turn = Feed(block);
    ASSERT_EQ(turn.kind, SmtpTurn::Kind::Halted);
    EXPECT_EQ(turn.halt.kind, SmtpHalt::Kind::UnexpectedEnd);
    EXPECT_NE(turn.halt.shown.find("out of turn"), std::string::npos) << turn.halt.shown;
    EXPECT_EQ(Outcome().failure, "the server answered out of turn");
    GoOn();
    EXPECT_EQ(outbox.Size(), 1u);
  }
}

TEST_F(WireTest, RepliesWaitedPastDoNotMoveTheStepOn) {
  Queue("ann@example.org", "x\r\n");
  Start();
  const auto moves = [this](const std::string& reply) {
    const std::uint64_t before = session->Steps();
    Feed(reply);
    return session->Steps() != before;
  };
  EXPECT_FALSE(moves("100 wait\r\n"));
  EXPECT_TRUE(moves("220 ready\r\n"));
  EXPECT_FALSE(moves("100 wait\r\n"));
  EXPECT_TRUE(moves("250 hello\r\n"));
  EXPECT_FALSE(moves("100 wait\r\n"));
  EXPECT_TRUE(moves("250 sender ok\r\n"));
}

TEST_F(WireTest, ChallengesBeyondWhatTheSignInMethodAnswersEndIt) {
  for (const std::string method : {"PLAIN", "LOGIN"}) {
    Reset();
    pelorin::SmtpOptions options;
    options.security = pelorin::SmtpSecurity::Tls;
    options.userName = "ann";
    options.password = "pw";
    Begin("ann@example.org", "x\r\n", "250 AUTH " + method + "\r\n", options);
    SmtpTurn turn;
    for (int challenge = 0; challenge < 3 && turn.kind == SmtpTurn::Kind::Going; ++challenge) {
      turn = Feed("334 \r\n");
    }
    ASSERT_EQ(turn.kind, SmtpTurn::Kind::Halted) << method;
    EXPECT_EQ(turn.halt.kind, SmtpHalt::Kind::UnexpectedEnd);
    EXPECT_NE(turn.halt.shown.find("asked for more to sign in"), std::string::npos);
    EXPECT_EQ(socket.Sent().size(), method == "LOGIN" ? 4u : 2u) << "EHLO, AUTH and answers";
    ExpectOver(GoOn());
    EXPECT_EQ(outbox.Size(), 1u);
  }
}

TEST(HeloName, AFullyQualifiedHostNameElseTheAddressLiteral) {
  const unsigned char v4[] = {192, 0, 2, 10};
  const unsigned char v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_EQ(pelorin::AddressLiteral(v4), "[192.0.2.10]");
  EXPECT_EQ(pelorin::AddressLiteral(v6), "[IPv6:2001:db8::1]");
  EXPECT_EQ(pelorin::HeloName("vm", "[192.0.2.10]"), "[192.0.2.10]");
  EXPECT_EQ(pelorin::HeloName("vm.example.org", "[192.0.2.10]"), "vm.example.org");
  EXPECT_EQ(pelorin::HeloName("vm.", "[192.0.2.10]"), "[192.0.2.10]");
  EXPECT_EQ(pelorin::HeloName("vm", ""), "vm");
}

}  // namespace
}  // namespace testing_support
