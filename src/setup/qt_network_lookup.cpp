#include "setup/qt_network_lookup.h"

#include <QDnsLookup>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QUrl>
#include <algorithm>
#include <optional>

namespace pelorin::setup {
namespace {

constexpr qint64 kLongestDocument = 64 * 1024;

class QtNetworkLookup final : public NetworkLookup {
 public:
  explicit QtNetworkLookup(const QtNetworkLookupOptions& options) : options_(options) {}

  // The context object goes first, with every question still open.
  ~QtNetworkLookup() override { delete context_; }

  void FindServices(const std::string& name, Services answer) override {
    Ask(QDnsLookup::SRV, name, [answer](QDnsLookup* lookup) {
      std::vector<ServiceRecord> records;
      for (const QDnsServiceRecord& record : lookup->serviceRecords()) {
        records.push_back(
            {record.target().toStdString(), record.port(), record.priority(), record.weight()});
      }
      answer(std::move(records));
    });
  }

  void FindMailExchangers(const std::string& domain, Exchangers answer) override {
    Ask(QDnsLookup::MX, domain, [answer](QDnsLookup* lookup) {
      auto records = lookup->mailExchangeRecords();
      std::stable_sort(records.begin(), records.end(), [](const auto& a, const auto& b) {
        return a.preference() < b.preference();
      });
      std::vector<std::string> exchangers;
      for (const QDnsMailExchangeRecord& record : records) {
        exchangers.push_back(record.exchange().toStdString());
      }
      answer(std::move(exchangers));
    });
  }

  void FetchVerified(const std::string& url, Document answer) override {
    const QUrl address(QString::fromStdString(url));
    if (address.scheme() != QLatin1String("https")) {
      QMetaObject::invokeMethod(
          context_, [answer] { answer(std::nullopt); }, Qt::QueuedConnection);
      return;
    }
    QNetworkRequest request(address);
    request.setSslConfiguration(Tls());
    // A redirect may lead elsewhere, but never from HTTPS to plain HTTP.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply* reply = Manager()->get(request);
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received) {
      if (received > kLongestDocument) reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::finished, context_, [reply, answer] {
      reply->deleteLater();
      const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
      if (reply->error() != QNetworkReply::NoError || status != 200) return answer(std::nullopt);
      const QByteArray body = reply->read(kLongestDocument + 1);
      if (body.size() > kLongestDocument) return answer(std::nullopt);
      answer(body.toStdString());
    });
  }

 private:
  template <typename Handle>
  void Ask(QDnsLookup::Type type, const std::string& name, Handle handle) {
    auto* lookup = new QDnsLookup(type, QString::fromStdString(name), context_);
    QObject::connect(lookup, &QDnsLookup::finished, context_, [lookup, handle] {
      lookup->deleteLater();
      handle(lookup);
    });
    lookup->lookup();
  }

  // The system's trust store, and the further authority when one is given; built at the first
  // fetch, since it loads the TLS backend.
  const QSslConfiguration& Tls() {
    if (!tls_) {
      tls_ = QSslConfiguration::defaultConfiguration();
      if (!options_.extraAuthorityFile.empty()) {
        tls_->addCaCertificates(QString::fromStdString(options_.extraAuthorityFile));
      }
    }
    return *tls_;
  }

  // Made at the first fetch: a look-up that finds its answer in DNS never loads TLS.
  QNetworkAccessManager* Manager() {
    if (manager_ == nullptr) manager_ = new QNetworkAccessManager(context_);
    return manager_;
  }

  QObject* context_ = new QObject;  // owns the questions under way and the manager
  QNetworkAccessManager* manager_ = nullptr;
  QtNetworkLookupOptions options_;
  std::optional<QSslConfiguration> tls_;
};

}  // namespace

std::unique_ptr<NetworkLookup> NewQtNetworkLookup(const QtNetworkLookupOptions& options) {
  return std::make_unique<QtNetworkLookup>(options);
}

}  // namespace pelorin::setup
