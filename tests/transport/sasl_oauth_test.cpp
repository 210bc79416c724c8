// The OAuth2 SASL messages against the documents' own examples, the error a server sends in
// its challenge, and the advice that follows a provider's refusal of passwords.
#include "transport/sasl_oauth.h"

#include <gtest/gtest.h>

#include <string>

#include "transport/sign_in_advice.h"

namespace {

using namespace pelorin::sasl;

TEST(SaslOAuth, InitialResponsesAreTheDocumentsExamples) {
  // RFC 7628, 4.1.
  EXPECT_EQ(OAuthBearerInitialResponse("user@example.com", "server.example.com", "143",
                                       "vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg=="),
            "bixhPXVzZXJAZXhhbXBsZS5jb20sAWhvc3Q9c2VydmVyLmV4YW1wbGUuY29tAXBvcnQ9MTQzAWF1dGg9"
            "QmVhcmVyIHZGOWRmdDRxbVRjMk52YjNSbGNrQmhiSFJoZG1semRHRXVZMjl0Q2c9PQEB");
  // Google's XOAUTH2 protocol document.
  EXPECT_EQ(XOAuth2InitialResponse("someuser@example.com",
                                   "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg"),
            "dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRjMk52YjNS"
            "bGNrQmhkSFJoZG1semRHRXVZMjl0Q2cBAQ==");
}

TEST(SaslOAuth, ACommaOrEqualsSignInTheUserCannotEndTheHeaderField) {
  // "n,a=a=3Db=2Cc,^Ahost=h^Aport=1^Aauth=Bearer t^A^A"
  EXPECT_EQ(OAuthBearerInitialResponse("a=b,c", "h", "1", "t"),
            "bixhPWE9M0RiPTJDYywBaG9zdD1oAXBvcnQ9MQFhdXRoPUJlYXJlciB0AQE=");
}

TEST(SaslOAuth, ErrorChallengesReadAsWords) {
  struct Row {
    const char* challenge;
    const char* words;
  };
  for (const Row& row : {
           // RFC 7628, 4.3.
           Row{"eyJzdGF0dXMiOiJpbnZhbGlkX3Rva2VuIiwic2NvcGUiOiJleGFtcGxlX3Njb3BlIiwib3BlbmlkLW"
               "NvbmZpZ3VyYXRpb24iOiJodHRwczovL2V4YW1wbGUuY29tLy53ZWxsLWtub3duL29wZW5pZC1jb25m"
               "aWd1cmF0aW9uIn0=",
               "the token has expired or was revoked (it asks for \"example_scope\")"},
           // Google's document, with its line end.
           Row{"eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIG1hYyIsInNjb3BlIjoiaHR0cHM6Ly9t"
               "YWlsLmdvb2dsZS5jb20vIn0K",
               "the token has expired or was revoked (it asks for \"https://mail.google.com/\")"},
           Row{"eyJzdGF0dXMiOiJpbnN1ZmZpY2llbnRfc2NvcGUifQ==",  // {"status":"insufficient_scope"}
               "the token does not allow sending mail"},
           Row{"eyJzdGF0dXMiOjQyOX0=", "the server answered \"429\""},  // {"status":429}
           Row{"bm90IGpzb24=", ""},                                     // "not json"
           Row{"", ""},
       }) {
    EXPECT_EQ(TokenErrorWords(ParseTokenError(row.challenge)), row.words) << row.challenge;
  }
  EXPECT_EQ(ParseTokenError("eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIG1hYyIsInNjb3BlIjoi"
                            "aHR0cHM6Ly9tYWlsLmdvb2dsZS5jb20vIn0K")
                .schemes,
            "bearer mac");
  EXPECT_EQ(ErrorChallengeAnswer("OAUTHBEARER"), "AQ==");
  EXPECT_EQ(ErrorChallengeAnswer("XOAUTH2"), "");
}

TEST(SignInAdvice, AProvidersPolicyRefusalSaysWhatToDo) {
  struct Row {
    const char* reply;
    const char* advised;  // a word the advice must hold, or empty for none
  };
  for (const Row& row : {
           Row{"550 5.7.30 Basic authentication is not supported for Client Submission.\r\n",
               "OAuth2 under \"Sign-in\""},
           Row{"535 5.7.139 Authentication unsuccessful, SmtpClientAuthentication is disabled "
               "for the Tenant.\r\n",
               "OAuth2 under \"Sign-in\""},
           Row{"534-5.7.9 Application-specific password required. Learn more at\r\n"
               "534 5.7.9  https://support.google.com/mail/?p=InvalidSecondFactor\r\n",
               "apppasswords"},
           Row{"535 5.7.8 Username and Password not accepted.\r\n", ""},
           Row{"535 5.7.90 other\r\n", ""},
       }) {
    const std::string advice = pelorin::PasswordRefusalAdvice(row.reply);
    if (*row.advised == '\0') {
      EXPECT_EQ(advice, "") << row.reply;
    } else {
      EXPECT_NE(advice.find(row.advised), std::string::npos) << row.reply << advice;
    }
  }
}

}  // namespace
