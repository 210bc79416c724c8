#include "desktop/keyring.h"

#include <qt6keychain/keychain.h>

#include <utility>

namespace pelorin::keyring {
namespace {

QString FromUtf8(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

Answer AnswerOf(const QKeychain::Job& job) {
  switch (job.error()) {
    case QKeychain::NoError:
      return {Outcome::Done, {}, {}};
    case QKeychain::EntryNotFound:
      return {Outcome::NotFound, {}, {}};
    default:
      return {Outcome::Failed, {}, job.errorString().toStdString()};
  }
}

// Never QtKeychain's fallback to a plain settings file: a password stays out of every file.
template <typename Job>
Job* NewJob(const std::string& key) {
  auto* job = new Job(QString::fromLatin1(kService));
  job->setAutoDelete(true);
  job->setInsecureFallback(false);
  job->setKey(FromUtf8(key));
  return job;
}

template <typename Job>
void Start(Job* job, Done done) {
  QObject::connect(job, &QKeychain::Job::finished, job,
                   [done = std::move(done)](QKeychain::Job* finished) {
                     Answer answer = AnswerOf(*finished);
                     if (auto* read = qobject_cast<QKeychain::ReadPasswordJob*>(finished);
                         read != nullptr && answer.outcome == Outcome::Done) {
                       answer.secret = read->textData().toStdString();
                     }
                     done(answer);
                   });
  job->start();
}

}  // namespace

std::string KeyFor(const std::string& server, const std::string& userName) {
  return userName + "@" + server;
}

void Read(const std::string& key, Done done) {
  Start(NewJob<QKeychain::ReadPasswordJob>(key), std::move(done));
}

void Write(const std::string& key, const std::string& secret, Done done) {
  auto* job = NewJob<QKeychain::WritePasswordJob>(key);
  job->setTextData(FromUtf8(secret));
  Start(job, std::move(done));
}

void Remove(const std::string& key, Done done) {
  Start(NewJob<QKeychain::DeletePasswordJob>(key), std::move(done));
}

}  // namespace pelorin::keyring
