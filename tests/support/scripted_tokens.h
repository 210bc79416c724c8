// A token source for tests that answers as a provider would, from a script, and records what
// it was asked; UseScriptedTokens makes the program use it.
#pragma once

#include <gtest/gtest.h>

#include <QTimer>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "desktop/oauth_token_source.h"

namespace testing_support {

inline pelorin::oauth::TokenAnswer Granted(const std::string& token) {
  return {pelorin::oauth::TokenResult::Granted, token, {}};
}
inline const pelorin::oauth::TokenAnswer kSignInNeeded{
    pelorin::oauth::TokenResult::SignInNeeded, {}, "sign in again"};

// Answers each question later, with the next answer of its list (the last one repeated), and
// records it: "token", "renew" or "sign-in".
struct TokenScript {
  std::vector<pelorin::oauth::TokenAnswer> tokens;
  std::vector<pelorin::oauth::TokenAnswer> signIns;
  std::vector<std::string> asked;
  std::vector<pelorin::oauth::Client> clients;  // of each question
  int made = 0;
};

class ScriptedTokens : public pelorin::oauth::TokenSource {
 public:
  explicit ScriptedTokens(TokenScript& script) : script_(script) {}
  void Token(const pelorin::oauth::Client& client, bool renew, Done done) override {
    script_.clients.push_back(client);
    script_.asked.push_back(renew ? "renew" : "token");
    Answer(script_.tokens, tokensUsed_++, std::move(done));
  }
  void SignIn(const pelorin::oauth::Client& client, Done done) override {
    script_.clients.push_back(client);
    script_.asked.push_back("sign-in");
    Answer(script_.signIns, signInsUsed_++, std::move(done));
  }
  void Forget(const pelorin::oauth::Client&, Done done) override { Answer({Granted("")}, 0, done); }

 private:
  static void Answer(const std::vector<pelorin::oauth::TokenAnswer>& answers, std::size_t asked,
                     Done done) {
    const pelorin::oauth::TokenAnswer answer = answers.at(std::min(asked, answers.size() - 1));
    QTimer::singleShot(0, [done = std::move(done), answer] { done(answer); });
  }
  TokenScript& script_;
  std::size_t tokensUsed_ = 0;
  std::size_t signInsUsed_ = 0;
};

// Every source the program makes from now on answers from `script` (until the maker is reset
// with pelorin::oauth::UseTokenSourceMaker({})).
inline void UseScriptedTokens(TokenScript& script) {
  pelorin::oauth::UseTokenSourceMaker([&script](std::string*) {
    ++script.made;
    return std::make_unique<ScriptedTokens>(script);
  });
}

}  // namespace testing_support
