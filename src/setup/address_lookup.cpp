#include "setup/address_lookup.h"

#include <QString>
#include <QUrl>
#include <algorithm>
#include <array>

#include "setup/autoconfig_xml.h"
#include "setup/provider_table.h"

namespace pelorin::setup {
namespace {

using std::chrono::milliseconds;

// In the order of LookupStep.
constexpr std::array<std::string_view, 7> kStepNames = {"provider table",
                                                        "_submissions._tcp",
                                                        "_submission._tcp",
                                                        "autoconfig host",
                                                        "autoconfig well-known",
                                                        "mail exchanger",
                                                        "over"};

LookupStep After(LookupStep step) {
  return static_cast<LookupStep>(static_cast<int>(step) + 1);
}

std::string WithoutTrailingDot(std::string host) {
  if (host.ends_with('.')) host.pop_back();
  return host;
}

bool InDomain(const std::string& host, const std::string& domain) {
  const QString name = QString::fromStdString(host).toLower();
  const QString within = QString::fromStdString(domain);
  return name == within || name.endsWith(QLatin1Char('.') + within);
}

// RFC 2782: the lowest priority, among those the greatest weight; a target "." says the
// service is not offered. RFC 6186: a target outside the address's domain may come from a
// forged answer and would receive the password, so it is not used; `passedOver` names it.
std::optional<FoundServer> ChooseService(std::vector<ServiceRecord> records, SmtpSecurity security,
                                         const std::string& domain, std::string& passedOver) {
  std::erase_if(records, [&](const ServiceRecord& record) {
    const std::string host = WithoutTrailingDot(record.target);
    if (record.port < 1 || record.port > 65535 || !IsPlainHostName(host)) return true;
    if (InDomain(host, domain)) return false;
    if (passedOver.empty()) {
      passedOver = "The DNS service record named " + host + ", outside " + domain +
                   ": it was not used, as a forged answer could send your password there.";
    }
    return true;
  });
  if (records.empty()) return std::nullopt;
  const auto best = std::min_element(records.begin(), records.end(), [](auto& a, auto& b) {
    return a.priority != b.priority ? a.priority < b.priority : a.weight > b.weight;
  });
  const std::string host = WithoutTrailingDot(best->target);
  const ProviderRow* known = ProviderForHost(host);
  return FoundServer{host, best->port, security,
                     known != nullptr ? known->signIn : SignInMethod::Password,
                     FoundBy::ServiceRecord};
}

std::optional<FoundServer> ChooseExchanger(const std::vector<std::string>& exchangers) {
  for (const std::string& exchanger : exchangers) {
    if (const ProviderRow* row = ProviderForExchanger(exchanger)) {
      return FoundIn(*row, FoundBy::MailExchanger);
    }
  }
  return std::nullopt;
}

}  // namespace

std::string_view LookupStepName(LookupStep step) {
  return kStepNames.at(static_cast<std::size_t>(step));
}

std::string AddressDomain(std::string_view address) {
  const std::size_t at = address.rfind('@');
  if (at == std::string_view::npos) return {};
  const QString domain = QString::fromUtf8(address.substr(at + 1)).trimmed();
  std::string ascii = QUrl::toAce(domain).toLower().toStdString();
  ascii = WithoutTrailingDot(ascii);
  if (ascii.find('.') == std::string::npos || !IsPlainHostName(ascii)) return {};
  return ascii;
}

AddressLookup::AddressLookup(NetworkLookupMaker network, LookupBounds bounds)
    : makeNetwork_(std::move(network)), bounds_(bounds) {
  stepTimer_.setSingleShot(true);
  QObject::connect(&stepTimer_, &QTimer::timeout, [this] { StepTimedOut(); });
}

void AddressLookup::Start(std::string_view address, Done done) {
  done_ = std::move(done);
  domain_ = AddressDomain(address);
  passedOver_.clear();
  deadline_ = std::chrono::steady_clock::now() + bounds_.whole;
  if (domain_.empty()) {
    Finish(std::nullopt, {});
    return;
  }
  Ask(LookupStep::ProviderTable);
}

template <typename Answer>
auto AddressLookup::ForThisQuestion(Answer answer) {
  return [alive = std::weak_ptr<bool>(alive_), asked = question_, this,
          answer = std::move(answer)](auto given) {
    if (alive.expired() || asked != question_) return;
    answer(std::move(given));
  };
}

void AddressLookup::Ask(LookupStep step) {
  step_ = step;
  ++question_;
  if (step == LookupStep::ProviderTable) {
    const ProviderRow* row = ProviderForDomain(domain_);
    Answered(question_, row ? std::optional(FoundIn(*row, FoundBy::ProviderTable)) : std::nullopt);
    return;
  }
  if (step == LookupStep::Over) return Finish(std::nullopt, {});
  if (!HasNetwork()) return Finish(std::nullopt, networkFailure_);
  const auto left =
      std::chrono::duration_cast<milliseconds>(deadline_ - std::chrono::steady_clock::now());
  stepEndsWhole_ = left <= bounds_.step;
  if (left <= milliseconds(0)) return StepTimedOut();
  stepTimer_.start(std::min(bounds_.step, left));
  switch (step) {
    case LookupStep::SubmissionsService:
      return AskServices("_submissions._tcp.");
    case LookupStep::SubmissionService:
      return AskServices("_submission._tcp.");
    case LookupStep::AutoconfigHost:
      return AskAutoconfig("https://autoconfig." + domain_ + "/mail/config-v1.1.xml");
    case LookupStep::AutoconfigWellKnown:
      return AskAutoconfig("https://" + domain_ + "/.well-known/autoconfig/mail/config-v1.1.xml");
    default:
      return AskExchangers();
  }
}

// Made once; a maker that failed is not asked again by this look-up.
bool AddressLookup::HasNetwork() {
  if (network_ == nullptr && networkFailure_.empty()) {
    network_ = makeNetwork_(&networkFailure_);
    if (network_ == nullptr && networkFailure_.empty()) networkFailure_ = "no network look-up";
  }
  return network_ != nullptr;
}

void AddressLookup::AskServices(const char* prefix) {
  const SmtpSecurity security =
      step_ == LookupStep::SubmissionsService ? SmtpSecurity::Tls : SmtpSecurity::StartTls;
  network_->FindServices(
      prefix + domain_, ForThisQuestion([this, security](std::vector<ServiceRecord> records) {
        Answered(question_, ChooseService(std::move(records), security, domain_, passedOver_));
      }));
}

void AddressLookup::AskAutoconfig(const std::string& url) {
  network_->FetchVerified(url, ForThisQuestion([this](std::optional<std::string> body) {
                            Answered(question_,
                                     body ? ParseAutoconfig(*body, domain_) : std::nullopt);
                          }));
}

void AddressLookup::AskExchangers() {
  network_->FindMailExchangers(domain_,
                               ForThisQuestion([this](std::vector<std::string> exchangers) {
                                 Answered(question_, ChooseExchanger(exchangers));
                               }));
}

void AddressLookup::Answered(unsigned asked, std::optional<FoundServer> found) {
  if (asked != question_ || step_ == LookupStep::Over) return;
  stepTimer_.stop();
  if (found) return Finish(std::move(found), {});
  Ask(After(step_));
}

// The next step, unless the whole look-up has had its time.
void AddressLookup::StepTimedOut() {
  if (!stepEndsWhole_) return Ask(After(step_));
  Finish(std::nullopt,
         "no answer came within " + std::to_string(bounds_.whole.count()) + " milliseconds");
}

// Handed on from the event loop, so that the caller never hears of it within Start.
void AddressLookup::Finish(std::optional<FoundServer> found, std::string failure) {
  step_ = LookupStep::Over;
  ++question_;
  stepTimer_.stop();
  LookupOutcome outcome{domain_, std::move(found), std::move(failure), passedOver_};
  QMetaObject::invokeMethod(
      &stepTimer_,
      [this, asked = question_, outcome = std::move(outcome)] {
        if (asked == question_ && done_) done_(outcome);
      },
      Qt::QueuedConnection);
}

}  // namespace pelorin::setup
