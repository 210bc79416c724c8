// The TLS tests' servers (tls_smtp_server.py) and the certificates they use, made once by
// make_certs.sh, with the test CA trusted through SSL_CERT_FILE as any OpenSSL program would.
#pragma once

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/read_file.h"

namespace testing_support {

inline const char* const kPython = "/usr/bin/python3";

inline std::string ReadAll(const QString& path) {
  return testing_support::ReadFile(path.toStdString());
}

// One of the test servers, running until the test ends.
class TestServer {
 public:
  TestServer(const QStringList& arguments, const QString& outDir) : outDir_(outDir) {
    process_.setProgram(kPython);
    process_.setArguments(QStringList{PELORIN_TLS_SERVER} + arguments);
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start();
    if (!process_.waitForStarted(10000)) return;
    if (!process_.waitForReadyRead(20000)) return;
    port_ = QString::fromUtf8(process_.readLine()).trimmed().toStdString();
  }
  ~TestServer() {
    process_.closeWriteChannel();
    if (!process_.waitForFinished(5000)) process_.kill();
    process_.waitForFinished(5000);
  }
  const std::string& Port() const { return port_; }
  std::string Wire() const { return ReadAll(outDir_ + "/wire.log"); }
  std::vector<std::string> Delivered() const {
    std::vector<std::string> messages;
    for (int n = 1; QFile::exists(outDir_ + QStringLiteral("/%1.eml").arg(n)); ++n) {
      messages.push_back(ReadAll(outDir_ + QStringLiteral("/%1.eml").arg(n)));
    }
    return messages;
  }

 private:
  QString outDir_;
  QProcess process_;
  std::string port_;
};

// Makes the certificates in `dir` and trusts its CA from now on.
inline void MakeTestCertificates(const QTemporaryDir& dir) {
  ASSERT_TRUE(dir.isValid());
  ASSERT_TRUE(QFile::exists(kPython))
      << kPython << " is missing; run scripts/install-deps.sh --test";
  const int made = QProcess::execute(QStringLiteral("bash"), {PELORIN_MAKE_CERTS, dir.path()});
  ASSERT_EQ(made, 0) << "tests/tls/make_certs.sh failed (is openssl installed?)";
  ::setenv("SSL_CERT_FILE", (dir.path() + QStringLiteral("/ca.pem")).toStdString().c_str(), 1);
  ::unsetenv("SSL_CERT_DIR");
}

// The certificates of a test suite: made in its SetUpTestSuite, dropped in its
// TearDownTestSuite, trusted while it runs.
class SuiteCertificates {
 public:
  static void Make() {
    dir_ = new QTemporaryDir();
    MakeTestCertificates(*dir_);
  }
  static void Drop() {
    delete dir_;
    dir_ = nullptr;
  }
  static const QTemporaryDir& Dir() { return *dir_; }

 private:
  static inline QTemporaryDir* dir_ = nullptr;
};

}  // namespace testing_support
