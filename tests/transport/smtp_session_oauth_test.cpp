// Signing in with an OAuth2 token: the error challenge answered as RFC 7628 says, a refused
// token told apart from other refusals, and no token where it cannot be used or kept safe.
#include <gtest/gtest.h>

#include <string>

#include "transport/smtp_session_fixture.h"

namespace testing_support {
namespace {

using pelorin::SmtpSecurity;

const std::string kToken = "tok-1";
// {"status":"invalid_token"}
const std::string kErrorChallenge = "334 eyJzdGF0dXMiOiJpbnZhbGlkX3Rva2VuIn0=\r\n";

class OAuthSignInTest : public SmtpSessionTest {
 public:
  // One message queued, greeted over TLS, EHLO answered with `auth`; the calls so far cleared.
  SmtpTurn Begin(const std::string& auth, SmtpSecurity security = SmtpSecurity::Tls) {
    Reset();
    Queue("a@example.org", "x\r\n");
    pelorin::SmtpOptions options;
    options.security = security;
    options.extended = true;
    options.userName = "ann@example.org";
    options.accessToken = kToken;
    session->Prepare(socket, "mail.example", "465", options);
    Feed("220 ready\r\n");
    socket.Clear();
    return Feed("250-model\r\n250 " + auth + "\r\n");
  }
};

TEST_F(OAuthSignInTest, RefusalsOfTheTokenAndOfTheServerTellThemApart) {
  struct Row {
    const char* name;
    std::string auth;
    Texts replies;  // after the AUTH command
    Texts sent;     // after it, up to the halt
    bool tokenRefused;
    SmtpState at;
    std::string shownHas;
  };
  const Texts none;
  for (const Row& row : {
           Row{"error challenge, OAUTHBEARER",
               "AUTH OAUTHBEARER",
               {kErrorChallenge, "535 no\r\n"},
               {"AQ==\r\n"},
               true,
               SmtpState::AuthTokenError,
               "token (the token has expired"},
           Row{"error challenge, XOAUTH2",
               "AUTH XOAUTH2",
               {kErrorChallenge, "535 no\r\n"},
               {"\r\n"},
               true,
               SmtpState::AuthTokenError,
               "refused the OAuth2 sign-in token"},
           Row{"535 at once",
               "AUTH OAUTHBEARER",
               {"535 5.7.3 no\r\n"},
               none,
               true,
               SmtpState::Auth,
               "refused the OAuth2 sign-in token."},
           Row{"a passing trouble",
               "AUTH OAUTHBEARER",
               {"454 try later\r\n"},
               none,
               false,
               SmtpState::Auth,
               "454 try later"},
       }) {
    SCOPED_TRACE(row.name);
    Begin(row.auth);
    socket.Clear();
    SmtpTurn turn;
    for (const std::string& reply : row.replies) turn = Feed(reply);
    ExpectHalt(turn, SmtpHalt::Kind::Refusal, turn.halt.shown, row.at, false);
    EXPECT_NE(turn.halt.shown.find(row.shownHas), std::string::npos) << turn.halt.shown;
    EXPECT_EQ(socket.Sent(), row.sent);
    EXPECT_EQ(Outcome().tokenRefused, row.tokenRefused);
    EXPECT_FALSE(Outcome().signInRefused);
    GoOn();
    EXPECT_EQ(socket.Sent().back(), kQuit);
    EXPECT_EQ(outbox.Size(), 1u);
  }
}

TEST_F(OAuthSignInTest, NoTokenGoesWhereItCannotBeUsedOrKeptSafe) {
  struct Row {
    std::string auth;
    SmtpSecurity security;
    std::string shownHas;
  };
  for (const Row& row : {Row{"AUTH PLAIN LOGIN", SmtpSecurity::Tls,
                             "neither OAUTHBEARER nor XOAUTH2; it offers PLAIN, LOGIN"},
                         Row{"8BITMIME", SmtpSecurity::Tls, "it offers no sign-in at all"},
                         Row{"AUTH XOAUTH2", SmtpSecurity::None, "never sent in plain text"}}) {
    const SmtpTurn turn = Begin(row.auth, row.security);
    ASSERT_EQ(turn.kind, SmtpTurn::Kind::Halted) << row.auth;
    EXPECT_NE(turn.halt.shown.find(row.shownHas), std::string::npos) << turn.halt.shown;
    EXPECT_TRUE(socket.Sent().empty()) << socket.Sent()[0];
    EXPECT_FALSE(Outcome().tokenRefused);
  }
}

TEST_F(OAuthSignInTest, AChallengeBeyondTheErrorEndsIt) {
  Begin("AUTH OAUTHBEARER");
  Feed(kErrorChallenge);
  const SmtpTurn turn = Feed(kErrorChallenge);
  ASSERT_EQ(turn.kind, SmtpTurn::Kind::Halted);
  EXPECT_EQ(turn.halt.kind, SmtpHalt::Kind::UnexpectedEnd);
  ExpectOver(GoOn());
  EXPECT_EQ(outbox.Size(), 1u);
}

}  // namespace
}  // namespace testing_support
