// Finds the settings for sending mail from an e-mail address, asking in this order until one
// answers: the built-in table of the biggest providers; the domain's DNS service records for
// submission (_submissions._tcp, then _submission._tcp); the domain's autoconfig file
// (https://autoconfig.DOMAIN/mail/config-v1.1.xml, then
// https://DOMAIN/.well-known/autoconfig/mail/config-v1.1.xml); the domain's mail exchanger
// when it names Google or Microsoft. Each network step is bounded, and so is the whole.
//
// Used on one thread with a running event loop, which it never blocks; the outcome comes once,
// from that loop, unless the look-up is destroyed or started again first.
#pragma once

#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "setup/found_server.h"
#include "setup/network_lookup.h"

namespace pelorin::setup {

enum class LookupStep {
  ProviderTable,
  SubmissionsService,
  SubmissionService,
  AutoconfigHost,
  AutoconfigWellKnown,
  MailExchanger,
  Over
};
std::string_view LookupStepName(LookupStep step);

struct LookupOutcome {
  std::string domain;
  std::optional<FoundServer> found;
  // Why the network was not asked, or that it did not answer in time; empty otherwise.
  std::string failure;
  // A sentence on an answer not trusted and passed over; empty when there was none.
  std::string passedOver;
};

struct LookupBounds {
  std::chrono::milliseconds step{2000};
  std::chrono::milliseconds whole{6000};
};

// The domain of an address (after its last "@"), in lower case and ASCII form; empty when it
// is no plain host name.
std::string AddressDomain(std::string_view address);

class AddressLookup {
 public:
  using Done = std::function<void(const LookupOutcome&)>;

  // `network` is made when a step first asks the network; when it makes none, the look-up
  // ends there, with the reason it gives as the failure.
  explicit AddressLookup(NetworkLookupMaker network = MakeNetworkLookup, LookupBounds bounds = {});
  AddressLookup(const AddressLookup&) = delete;
  AddressLookup& operator=(const AddressLookup&) = delete;

  // Drops a look-up under way. An address without a plain domain ends at once, found nothing.
  void Start(std::string_view address, Done done);
  bool Running() const { return step_ != LookupStep::Over; }

 private:
  void Ask(LookupStep step);
  bool HasNetwork();
  void AskServices(const char* prefix);
  void AskAutoconfig(const std::string& url);
  void AskExchangers();
  void Answered(unsigned asked, std::optional<FoundServer> found);
  void Finish(std::optional<FoundServer> found, std::string failure);
  void StepTimedOut();
  // Wraps an answer so that it counts only for the question asked now.
  template <typename Answer>
  auto ForThisQuestion(Answer answer);

  NetworkLookupMaker makeNetwork_;
  std::unique_ptr<NetworkLookup> network_;
  std::string networkFailure_;
  LookupBounds bounds_;
  std::string domain_;
  std::string passedOver_;
  Done done_;
  LookupStep step_ = LookupStep::Over;
  unsigned question_ = 0;  // counts the questions, so that a late answer is known as such
  std::chrono::steady_clock::time_point deadline_;
  bool stepEndsWhole_ = false;  // the step's time runs out with the whole look-up's
  QTimer stepTimer_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace pelorin::setup
