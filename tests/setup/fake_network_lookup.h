// A network look-up that answers from tables the test fills, from the event loop as the real
// one does, and records every question in the order asked. A question without an entry gets
// the empty answer; one listed as silent is never answered.
#pragma once

#include <QObject>
#include <QTimer>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "setup/network_lookup.h"

namespace setup_test {

using pelorin::setup::NetworkLookup;
using pelorin::setup::ServiceRecord;

struct FakeAnswers {
  std::map<std::string, std::vector<ServiceRecord>> services = {};
  std::map<std::string, std::vector<std::string>> exchangers = {};
  std::map<std::string, std::string> documents = {};  // by URL
  std::set<std::string> silent = {};                  // names and URLs never answered
  std::vector<std::string> asked = {};
};

class FakeNetworkLookup final : public NetworkLookup {
 public:
  explicit FakeNetworkLookup(std::shared_ptr<FakeAnswers> answers) : answers_(answers) {}

  void FindServices(const std::string& name, Services answer) override {
    Answer(name, answers_->services, answer);
  }
  void FindMailExchangers(const std::string& domain, Exchangers answer) override {
    Answer("MX " + domain, answers_->exchangers, answer);
  }
  void FetchVerified(const std::string& url, Document answer) override {
    answers_->asked.push_back(url);
    if (answers_->silent.count(url)) return;
    const auto found = answers_->documents.find(url);
    std::optional<std::string> body;
    if (found != answers_->documents.end()) body = found->second;
    QTimer::singleShot(0, &context_, [answer, body] { answer(body); });
  }

 private:
  template <typename Table, typename Callback>
  void Answer(const std::string& question, const Table& table, Callback answer) {
    answers_->asked.push_back(question);
    if (answers_->silent.count(question)) return;
    const auto found = table.find(question);
    typename Table::mapped_type given{};
    if (found != table.end()) given = found->second;
    QTimer::singleShot(0, &context_, [answer, given] { answer(given); });
  }

  std::shared_ptr<FakeAnswers> answers_;
  QObject context_;  // answers not given yet go with it
};

// A maker for the look-up: each look-up it makes answers from `answers`.
inline pelorin::setup::NetworkLookupMaker FakeMaker(std::shared_ptr<FakeAnswers> answers) {
  return [answers](std::string*) { return std::make_unique<FakeNetworkLookup>(answers); };
}

}  // namespace setup_test
