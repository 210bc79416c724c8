// The send workflow's OAuth2 steps: a token before the conversation, a renewed one when the
// server refuses it, and at most one sign-in in the browser per Send.
#include <QString>

#include "app/send_workflow.h"
#include "app/startup.h"
#include "transport/sockets.h"

namespace pelorin {
namespace {

const QString kGettingToken = QStringLiteral("Getting a sign-in token...");
const QString kSigningIn = QStringLiteral("Sign in to your mail provider in your browser...");
constexpr const char* kSignInAgain =
    "the mail provider wants you to sign in again: use \"Sign in...\" in the advanced settings";

}  // namespace

oauth::TokenSource* SendWorkflow::Tokens(std::string& failure) {
  if (!tokens_) tokens_ = oauth::MakeTokenSource(&failure);
  return tokens_.get();
}

// The user is waited for while signing in, not the server: no time-out runs meanwhile.
void SendWorkflow::AskForToken(unsigned generation, bool renew) {
  phase_ = SendPhase::GettingToken;
  SetProgress(kGettingToken);
  std::string failure;
  oauth::TokenSource* source = Tokens(failure);
  if (source == nullptr) return EndWithoutConversation(failure);
  source->Token(*settings_.oauth, renew, [this, generation](const oauth::TokenAnswer& answer) {
    TokenAnswered(generation, answer);
  });
}

void SendWorkflow::SignInForToken(unsigned generation) {
  tokenTries_.signedIn = true;
  phase_ = SendPhase::GettingToken;
  SetProgress(kSigningIn);
  std::string failure;
  oauth::TokenSource* source = Tokens(failure);
  if (source == nullptr) return EndWithoutConversation(failure);
  source->SignIn(*settings_.oauth, [this, generation](const oauth::TokenAnswer& answer) {
    TokenAnswered(generation, answer);
  });
}

void SendWorkflow::TokenAnswered(unsigned generation, const oauth::TokenAnswer& answer) {
  AssertInWindowThread();
  if (generation != sendGeneration_ || phase_ != SendPhase::GettingToken) return;
  switch (answer.result) {
    case oauth::TokenResult::Granted:
      settings_.smtp.accessToken = answer.accessToken;
      return BeginConversation(generation);
    case oauth::TokenResult::SignInNeeded:
      if (!tokenTries_.signedIn) return SignInForToken(generation);
      return EndWithoutConversation(answer.failure.empty() ? kSignInAgain : answer.failure);
    case oauth::TokenResult::Failed:
      break;
  }
  // The provider out of reach, say: a later try may well get a token.
  report_.failedForNow = true;
  EndWithoutConversation(answer.failure);
}

bool SendWorkflow::TokenRetryLeft() const {
  return settings_.oauth && session_.Outcome().tokenRefused &&
         !(tokenTries_.renewed && tokenTries_.signedIn);
}

// The server refused the token: a renewed one, then one from signing in anew, each gets one
// more conversation. Nothing of the refused one has moved the outbox.
bool SendWorkflow::RetryRefusedToken() {
  if (!TokenRetryLeft()) return false;
  if (!tokenTries_.renewed) {
    tokenTries_.renewed = true;
    AskForToken(sendGeneration_, true);
  } else {
    SignInForToken(sendGeneration_);
  }
  return true;
}

// The send ends before a conversation began; the mail stays queued.
void SendWorkflow::EndWithoutConversation(const std::string& failure) {
  phase_ = SendPhase::Idle;
  if (report_.failure.empty()) {
    report_.failure = failure.empty() ? "no sign-in token could be had" : failure;
  }
  HangUpIfDialled();
  TrimWorkingSet();
  EndSend();
}

}  // namespace pelorin
