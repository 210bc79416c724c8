// Reading a server's extensions from its reply to EHLO, as real servers write it.
#include "transport/ehlo_reply.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace {

using pelorin::ChooseAuthMethod;
using pelorin::ParseEhloReply;

TEST(EhloReply, ReadsKeywordsAndSignInMethodsAsServersWriteThem) {
  struct Case {
    const char* what;
    std::string reply;
    std::vector<std::string> keywords;
    std::vector<std::string> methods;
  };
  const Case cases[] = {
      {"Postfix",
       "250-mail.example.org\r\n250-PIPELINING\r\n250-SIZE 10240000\r\n250-STARTTLS\r\n"
       "250-AUTH PLAIN LOGIN\r\n250-8BITMIME\r\n250 SMTPUTF8\r\n",
       {"8BITMIME", "AUTH", "PIPELINING", "SIZE", "SMTPUTF8", "STARTTLS"},
       {"PLAIN", "LOGIN"}},
      {"lower case and bare LF",
       "250-x\n250-starttls\n250 auth login cram-md5\n",
       {"AUTH", "STARTTLS"},
       {"LOGIN", "CRAM-MD5"}},
      {"the old AUTH= form beside the new one",
       "250-x\r\n250-AUTH=LOGIN PLAIN\r\n250 AUTH LOGIN\r\n",
       {"AUTH"},
       {"LOGIN", "PLAIN"}},
      {"the greeting line names no extension", "250 STARTTLS\r\n", {}, {}},
      {"a line too short to hold anything",
       "250-x\r\n250\r\n250-\r\n250 8BITMIME\r\n",
       {"8BITMIME"},
       {}},
      {"no line end at all", "250-x", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const pelorin::EhloExtensions extensions = ParseEhloReply(c.reply);
    EXPECT_EQ(std::vector<std::string>(extensions.keywords.begin(), extensions.keywords.end()),
              c.keywords);
    EXPECT_EQ(extensions.authMethods, c.methods);
  }
}

TEST(EhloReply, SignsInWithPlainElseLoginAndNothingElse) {
  EXPECT_EQ(ChooseAuthMethod(ParseEhloReply("250-x\r\n250 AUTH LOGIN PLAIN\r\n")), "PLAIN");
  EXPECT_EQ(ChooseAuthMethod(ParseEhloReply("250-x\r\n250 AUTH CRAM-MD5 LOGIN\r\n")), "LOGIN");
  EXPECT_EQ(ChooseAuthMethod(ParseEhloReply("250-x\r\n250 AUTH CRAM-MD5 XOAUTH2\r\n")), "");
  EXPECT_EQ(ChooseAuthMethod(ParseEhloReply("250-x\r\n250 STARTTLS\r\n")), "");
}

// RFC 1870: "SIZE n" is the largest message the server takes; without a number, with one
// that is no number, or with 0, it names no limit.
TEST(EhloReply, ReadsTheLargestMessageTheServerTakes) {
  const std::vector<std::pair<std::string, std::uint64_t>> cases = {
      {"250-x\r\n250-SIZE 10240000\r\n250 8BITMIME\r\n", 10240000},
      {"250-x\r\n250 size 35882577\r\n", 35882577},
      {"250-x\r\n250 SIZE\r\n", 0},
      {"250-x\r\n250 SIZE 0\r\n", 0},
      {"250-x\r\n250 SIZE 12x\r\n", 0},
      {"250-x\r\n250 SIZE 99999999999999999999999\r\n", 0},
      {"250-x\r\n250 STARTTLS\r\n", 0},
  };
  for (const auto& [reply, limit] : cases)
    EXPECT_EQ(ParseEhloReply(reply).sizeLimit, limit) << reply;
}

}  // namespace
