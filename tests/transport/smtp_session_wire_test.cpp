// What goes on the wire beyond the plain conversation: only the extensions the server
// announced, addresses in a form the server takes, the name given in HELO, replies beyond the
// commands sent, and steps that never end.
#include <gtest/gtest.h>

#include <string>

#include "transport/helo_name.h"
#include "transport/smtp_session_fixture.h"

namespace testing_support {
namespace {

class WireTest : public SmtpSessionTest {
 public:
  // One message queued and the server greeted: HELO when `extensions` is empty, else EHLO
  // answered with them.
  SmtpTurn Begin(const std::string& recipient, const std::string& extensions,
                 pelorin::SmtpOptions options = {}, const std::string& text = "x\r\n") {
    Reset();
    Queue(recipient, text);
    options.extended = !extensions.empty();
    session->Prepare(socket, "mail.example", "25", options);
    Feed("220 ready\r\n");
    return Feed(extensions.empty() ? "250 hello\r\n" : "250-model\r\n" + extensions);
  }
};

TEST_F(WireTest, OnlyAnnouncedExtensionsAndAddressesTheServerTakes) {
  const std::string eightBit = "To:  <bø@example.org>\r\n\r\nbody\r\n";
  struct Row {
    std::string recipient, extensions, text, mail, rcpt;
  };
  for (const Row& row : {
           Row{"a@example.org", "", eightBit, kMail, Rcpt("a@example.org")},
           Row{"a@example.org", "250 8BITMIME\r\n", eightBit,
               "MAIL FROM: <me@example.org> BODY=8BITMIME\r\n", Rcpt("a@example.org")},
           Row{"a@bücher.example", "", "x\r\n", kMail, Rcpt("a@xn--bcher-kva.example")},
           Row{"bø@example.org", "250-8BITMIME\r\n250 SMTPUTF8\r\n", "x\r\n",
               "MAIL FROM: <me@example.org> SMTPUTF8\r\n", Rcpt("bø@example.org")},
       }) {
    SCOPED_TRACE(row.recipient + " " + row.extensions);
    Begin(row.recipient, row.extensions, {}, row.text);
    Feed("250 sender ok\r\n");
    const Texts sent = socket.Sent();
    EXPECT_EQ(Texts(sent.end() - 2, sent.end()), (Texts{row.mail, row.rcpt}));
  }
}

TEST_F(WireTest, ALocalPartBeyondAsciiIsRefusedForGoodWhereTheServerCannotTakeIt) {
  for (const std::string extensions : {"", "250 8BITMIME\r\n", "250 PIPELINING\r\n"}) {
    const SmtpTurn turn = Begin("bø@example.org", extensions);
    ASSERT_EQ(turn.kind, SmtpTurn::Kind::Halted) << extensions;
    EXPECT_TRUE(turn.halt.dropsMessage);
    EXPECT_NE(turn.halt.shown.find("SMTPUTF8"), std::string::npos) << turn.halt.shown;
  }
}

// The extra reply in the block of the group's replies, or alone before them.
TEST_F(WireTest, RepliesBeyondTheCommandsSentEndTheConversationAndKeepTheMail) {
  for (const Texts& blocks : {Texts{"250 ok\r\n250 ok\r\n354 go\r\n250 extra\r\n"},
                              Texts{"250 extra\r\n", "250 ok\r\n250 ok\r\n354 go\r\n"}}) {
    Begin("a@example.org", "250 PIPELINING\r\n");
    SmtpTurn turn;
    for (const std::string& block : blocks) turn = Feed(block);
    ASSERT_EQ(turn.kind, SmtpTurn::Kind::Halted);
    EXPECT_EQ(turn.halt.kind, SmtpHalt::Kind::UnexpectedEnd);
    EXPECT_EQ(Outcome().failure, "the server answered out of turn");
    GoOn();
    EXPECT_EQ(outbox.Size(), 1u);
  }
}

TEST_F(WireTest, RepliesWaitedPastDoNotMoveTheStepOn) {
  Queue("a@example.org", "x\r\n");
  Start();
  for (const std::string reply : {"220 ready\r\n", "250 hello\r\n", "250 sender ok\r\n"}) {
    const std::uint64_t before = session->Steps();
    Feed("100 wait\r\n");
    EXPECT_EQ(session->Steps(), before);
    Feed(reply);
    EXPECT_NE(session->Steps(), before) << reply;
  }
}

TEST_F(WireTest, ChallengesBeyondWhatTheSignInMethodAnswersEndIt) {
  for (const std::string method : {"PLAIN", "LOGIN"}) {
    pelorin::SmtpOptions options;
    options.security = pelorin::SmtpSecurity::Tls;
    options.userName = "ann";
    Begin("a@example.org", "250 AUTH " + method + "\r\n", options);
    SmtpTurn turn;
    for (int i = 0; i < 3 && turn.kind == SmtpTurn::Kind::Going; ++i) turn = Feed("334 \r\n");
    ASSERT_EQ(turn.kind, SmtpTurn::Kind::Halted) << method;
    EXPECT_EQ(socket.Sent().size(), method == "LOGIN" ? 4u : 2u) << "EHLO, AUTH, the answers";
    ExpectOver(GoOn());
    EXPECT_EQ(outbox.Size(), 1u);
  }
}

TEST(HeloName, AFullyQualifiedHostNameElseTheAddressLiteral) {
  const unsigned char v4[] = {192, 0, 2, 10};
  const unsigned char v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_EQ(pelorin::HeloName("vm", pelorin::AddressLiteral(v4)), "[192.0.2.10]");
  EXPECT_EQ(pelorin::HeloName("vm.", pelorin::AddressLiteral(v6)), "[IPv6:2001:db8::1]");
  EXPECT_EQ(pelorin::HeloName("vm.example.org", "[192.0.2.10]"), "vm.example.org");
}

}  // namespace
}  // namespace testing_support
