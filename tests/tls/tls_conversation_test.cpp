// Conversations secured with TLS, against real servers on 127.0.0.1: aiosmtpd with STARTTLS
// and with TLS from the first byte, with and without signing in, and a scripted peer that
// misbehaves (no STARTTLS, a reply forged in plain text after STARTTLS, only CRAM-MD5), plus
// certificates that must not be accepted. The program trusts the test CA through
// SSL_CERT_FILE, as any OpenSSL program would.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/event_loop.h"
#include "support/read_file.h"
#include "tls/tls_test_server.h"
#include "transport/outbox.h"
#include "transport/shared_data.h"
#include "transport/smtp_session.h"
#include "transport/sockets.h"
#include "transport/tls_channel.h"

namespace {

using pelorin::SmtpOptions;
using pelorin::SmtpSecurity;
using pelorin::SmtpTurn;
using testing_support::MakeTestCertificates;
using testing_support::RunEventsUntil;
using testing_support::TestServer;

// The socket component and a session over one outbox, as the send workflow has them: every
// halt is "shown" (recorded) and answered at once, socket errors come in from the event queue.
class Conversation {
 public:
  Conversation() : session_(outbox_) {
    sockets_.OnDataAvailable = [this](pelorin::TSockets*, int) {
      char buffer[4097] = {};
      const int n = sockets_.SReceive(sockets_.SocketHandle(), buffer, 4096);
      if (n > 0) Follow(session_.SmtpHandleReply(sockets_, std::string_view(buffer, n)));
    };
    sockets_.OnSessionClosed = [this](pelorin::TSockets*, int) {
      Follow(session_.ConnectionClosed(sockets_));
    };
    sockets_.OnTlsEstablished = [this](pelorin::TSockets*, int) {
      Follow(session_.TlsEstablished(sockets_));
    };
    sockets_.OnErrorOccurred = [this](pelorin::TSockets*, int, int error, const std::string& msg) {
      QMetaObject::invokeMethod(
          &sockets_, [this, error, msg] { Error(error, msg); }, Qt::QueuedConnection);
    };
  }

  void Queue(const std::string& recipient, const std::string& text) {
    ASSERT_EQ(outbox_.Append(recipient, text, {"", recipient, "subject", ""}), "");
  }

  // Runs one conversation to its end; false when it did not end within 20 s.
  bool Run(const std::string& port, SmtpOptions options, const std::string& trusted = {}) {
    sockets_.SetTls("localhost", trusted, options.security == SmtpSecurity::Tls);
    session_.Prepare(sockets_, "localhost", port, std::move(options));
    sockets_.SConnect();
    return RunEventsUntil([this] { return over_; }, 20000);
  }

  const std::vector<std::string>& Shown() const { return shown_; }
  const pelorin::SmtpOutcome& Outcome() const { return session_.Outcome(); }
  std::size_t Queued() const { return outbox_.Size(); }
  const pelorin::TlsRejection* Rejection() const { return rejection_.get(); }
  // Where a conversation that did not end stopped, for the failure message.
  std::string Where() const {
    return std::string(pelorin::SmtpStepName(session_.State())) +
           (session_.IsHalted() ? ", halted" : "");
  }

 private:
  void Error(int error, const std::string& msg) {
    if (session_.State() == pelorin::SmtpState::Idle) return;
    if (error == pelorin::kTlsHandshakeFailed) {
      shown_.push_back(msg);
      if (const pelorin::TlsRejection* rejection = sockets_.TlsFailure()) {
        rejection_ = std::make_unique<pelorin::TlsRejection>(*rejection);
      }
      Follow(session_.Abort(sockets_, "the connection could not be secured"));
      return;
    }
    Follow(session_.SmtpError(sockets_, msg));
  }

  void Follow(const SmtpTurn& turn) {
    switch (turn.kind) {
      case SmtpTurn::Kind::Going:
        return;
      case SmtpTurn::Kind::Notice:
        shown_.push_back(turn.halt.shown);
        return;
      case SmtpTurn::Kind::Halted:
        shown_.push_back(turn.halt.shown);
        return Follow(session_.GoOn(sockets_));
      case SmtpTurn::Kind::Over:
        over_ = true;
        return;
    }
  }

  pelorin::Outbox outbox_;
  pelorin::SmtpSession session_;
  pelorin::TSockets sockets_;
  std::vector<std::string> shown_;
  std::unique_ptr<pelorin::TlsRejection> rejection_;
  bool over_ = false;
};

class TlsConversationTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testing_support::SuiteCertificates::Make(); }
  static void TearDownTestSuite() { testing_support::SuiteCertificates::Drop(); }
  void SetUp() override {
    ASSERT_TRUE(out_.isValid());
    pelorin::SenderAddress = "me@example.org";
  }

  static std::string Certificate(const std::string& name) {
    return testing_support::SuiteCertificates::Dir().path().toStdString() + "/" + name;
  }

  // A server of `kind` ("real" or "scripted") in `mode`, with the certificate `name`.
  std::unique_ptr<TestServer> Serve(const QString& kind, const QString& mode,
                                    const std::string& name = "good",
                                    const QStringList& signIn = {}) {
    auto server = std::make_unique<TestServer>(
        QStringList{kind, mode, QString::fromStdString(Certificate(name + ".pem")),
                    QString::fromStdString(Certificate(name + ".key")), out_.path()} +
            signIn,
        out_.path());
    EXPECT_FALSE(server->Port().empty()) << "the test server did not start";
    return server;
  }

  static SmtpOptions Options(SmtpSecurity security, const std::string& user = {},
                             const std::string& password = {}) {
    SmtpOptions options;
    options.security = security;
    options.userName = user;
    options.password = password;
    return options;
  }

  QTemporaryDir out_;
};

const std::string kMessage = "Subject: hello\r\nTo:  <ann@example.org>\r\n\r\n\r\nFirst line\r\n";

TEST_F(TlsConversationTest, DeliversWholeThroughStartTlsAndTlsWithAndWithoutSigningIn) {
  struct Case {
    const char* mode;
    SmtpSecurity security;
    bool signIn;
  };
  for (const Case& c :
       {Case{"starttls", SmtpSecurity::StartTls, false},
        Case{"starttls", SmtpSecurity::StartTls, true}, Case{"tls", SmtpSecurity::Tls, false},
        Case{"tls", SmtpSecurity::Tls, true}}) {
    SCOPED_TRACE(std::string(c.mode) + (c.signIn ? " with sign-in" : ""));
    QTemporaryDir out;
    out_.remove();
    ASSERT_TRUE(QDir().mkpath(out_.path()));
    const auto server =
        Serve("real", c.mode, "good", c.signIn ? QStringList{"ann", "s3cret pass"} : QStringList{});
    Conversation conversation;
    conversation.Queue("ann@example.org", kMessage);
    conversation.Queue("bob@example.org", kMessage);
    ASSERT_TRUE(conversation.Run(server->Port(), c.signIn
                                                     ? Options(c.security, "ann", "s3cret pass")
                                                     : Options(c.security)));
    EXPECT_EQ(conversation.Shown(), std::vector<std::string>{});
    EXPECT_FALSE(conversation.Outcome().failed) << conversation.Outcome().failure;
    EXPECT_EQ(conversation.Queued(), 0u);
    const std::vector<std::string> delivered = server->Delivered();
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_NE(delivered[0].find("First line\r\n"), std::string::npos) << delivered[0];
  }
}

TEST_F(TlsConversationTest, AWrongPasswordIsRefusedAndTheMessagesStayQueued) {
  const auto server = Serve("real", "starttls", "good", {"ann", "right"});
  Conversation conversation;
  conversation.Queue("ann@example.org", kMessage);
  ASSERT_TRUE(conversation.Run(server->Port(), Options(SmtpSecurity::StartTls, "ann", "wrong")))
      << conversation.Where();
  ASSERT_EQ(conversation.Shown().size(), 1u);
  EXPECT_NE(conversation.Shown()[0].find("535"), std::string::npos);
  EXPECT_NE(conversation.Shown()[0].find("refused the user name or the password"),
            std::string::npos);
  EXPECT_TRUE(conversation.Outcome().signInRefused);
  EXPECT_EQ(conversation.Queued(), 1u);
  EXPECT_TRUE(server->Delivered().empty());
}

TEST_F(TlsConversationTest, WithoutStartTlsNothingOfTheMailAndNoPasswordGoesInPlainText) {
  const auto server = Serve("scripted", "no-starttls");
  Conversation conversation;
  conversation.Queue("ann@example.org", kMessage);
  ASSERT_TRUE(conversation.Run(server->Port(), Options(SmtpSecurity::StartTls, "ann", "pw")));
  ASSERT_EQ(conversation.Shown().size(), 1u);
  EXPECT_NE(conversation.Shown()[0].find("does not offer STARTTLS"), std::string::npos);
  EXPECT_EQ(conversation.Queued(), 1u);
  const std::string wire = server->Wire();
  EXPECT_EQ(wire.find("MAIL FROM"), std::string::npos) << wire;
  EXPECT_EQ(wire.find("AUTH"), std::string::npos) << wire;
  EXPECT_NE(wire.find("plain: EHLO"), std::string::npos) << wire;
  EXPECT_NE(wire.find("plain: QUIT"), std::string::npos) << wire;
}

TEST_F(TlsConversationTest, AReplyForgedInPlainTextAfterStartTlsIsNeverRead) {
  const auto server = Serve("scripted", "inject");
  Conversation conversation;
  conversation.Queue("ann@example.org", kMessage);
  ASSERT_TRUE(conversation.Run(server->Port(), Options(SmtpSecurity::StartTls, "ann", "pw")));
  EXPECT_EQ(conversation.Shown(), std::vector<std::string>{});
  EXPECT_EQ(conversation.Queued(), 0u);
  const std::string wire = server->Wire();
  // Had the forged 250 been read as the answer to the first EHLO inside TLS, AUTH would have
  // gone before that EHLO.
  const std::size_t ehlo = wire.find("tls: EHLO");
  const std::size_t auth = wire.find("tls: AUTH PLAIN");
  ASSERT_NE(ehlo, std::string::npos) << wire;
  ASSERT_NE(auth, std::string::npos) << wire;
  EXPECT_LT(ehlo, auth) << wire;
  EXPECT_EQ(wire.find("plain: AUTH"), std::string::npos) << wire;
  EXPECT_EQ(wire.find("plain: MAIL"), std::string::npos) << wire;
}

// A quick TLS 1.2 server sends its greeting with its Finished: the greeting is the socket's
// last data until it is answered, so it must be announced from the plain text alone.
TEST_F(TlsConversationTest, AGreetingThatCameWithTheHandshakeIsAnswered) {
  const auto server = Serve("scripted", "tls12-greeting");
  Conversation conversation;
  conversation.Queue("ann@example.org", kMessage);
  ASSERT_TRUE(conversation.Run(server->Port(), Options(SmtpSecurity::Tls))) << conversation.Where();
  EXPECT_EQ(conversation.Shown(), std::vector<std::string>{});
  EXPECT_EQ(conversation.Queued(), 0u);
  EXPECT_NE(server->Wire().find("tls: QUIT"), std::string::npos) << server->Wire();
}

TEST_F(TlsConversationTest, OnlyAnUnknownSignInMethodIsNamed) {
  const auto server = Serve("scripted", "cram-only");
  Conversation conversation;
  conversation.Queue("ann@example.org", kMessage);
  ASSERT_TRUE(conversation.Run(server->Port(), Options(SmtpSecurity::Tls, "ann", "pw")));
  ASSERT_EQ(conversation.Shown().size(), 1u);
  EXPECT_NE(conversation.Shown()[0].find("it offers CRAM-MD5"), std::string::npos)
      << conversation.Shown()[0];
  EXPECT_EQ(conversation.Queued(), 1u);
  EXPECT_EQ(server->Wire().find("AUTH"), std::string::npos);
}

TEST_F(TlsConversationTest, ACertificateThatCannotBeVerifiedSaysWhyAndShowsItsFingerprint) {
  struct Case {
    const char* certificate;
    const char* reason;
  };
  for (const Case& c : {Case{"other", "made out for another name"}, Case{"expired", "has expired"},
                        Case{"stranger", "unknown issuer"}}) {
    SCOPED_TRACE(c.certificate);
    for (const char* mode : {"starttls", "tls"}) {
      SCOPED_TRACE(mode);
      const auto server = Serve("real", mode, c.certificate);
      Conversation conversation;
      conversation.Queue("ann@example.org", kMessage);
      ASSERT_TRUE(conversation.Run(
          server->Port(),
          Options(std::string(mode) == "tls" ? SmtpSecurity::Tls : SmtpSecurity::StartTls, "ann",
                  "never sent")));
      ASSERT_NE(conversation.Rejection(), nullptr);
      EXPECT_NE(conversation.Rejection()->reason.find(c.reason), std::string::npos)
          << conversation.Rejection()->reason;
      EXPECT_EQ(conversation.Rejection()->fingerprint.size(), 95u);  // 32 hex pairs and colons
      EXPECT_EQ(conversation.Queued(), 1u);
      EXPECT_TRUE(server->Delivered().empty());
    }
  }
}

TEST_F(TlsConversationTest, ATrustedFingerprintIsAcceptedUntilTheCertificateChanges) {
  const auto first = Serve("real", "tls", "stranger");
  Conversation refused;
  refused.Queue("ann@example.org", kMessage);
  ASSERT_TRUE(refused.Run(first->Port(), Options(SmtpSecurity::Tls)));
  ASSERT_NE(refused.Rejection(), nullptr);
  const std::string trusted = refused.Rejection()->fingerprint;

  Conversation accepted;
  accepted.Queue("ann@example.org", kMessage);
  ASSERT_TRUE(accepted.Run(first->Port(), Options(SmtpSecurity::Tls), trusted));
  EXPECT_EQ(accepted.Rejection(), nullptr);
  EXPECT_EQ(accepted.Queued(), 0u);

  const auto changed = Serve("real", "tls", "expired");
  Conversation again;
  again.Queue("ann@example.org", kMessage);
  ASSERT_TRUE(again.Run(changed->Port(), Options(SmtpSecurity::Tls), trusted));
  ASSERT_NE(again.Rejection(), nullptr);
  EXPECT_NE(again.Rejection()->fingerprint, trusted);
  EXPECT_EQ(again.Queued(), 1u);
}

}  // namespace
