// A private D-Bus bus for tests: a dbus-daemon of the test binary's own, started before the
// first test (a gtest environment) and made the session bus, so that nothing on the machine's
// buses is reached and no service is started on demand.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QDBusConnection>
#include <QFile>
#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

#include "e2e/child_process.h"
#include "support/event_loop.h"

namespace testing_support {

inline constexpr int kBusStartMs = 10000;

// No raw string here: moc does not read them.
inline constexpr char kBusConfiguration[] =
    "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
    "<busconfig>\n"
    "  <type>session</type>\n"
    "  <listen>unix:tmpdir=/tmp</listen>\n"  // replaced by --address
    "  <auth>EXTERNAL</auth>\n"
    "  <policy context=\"default\">\n"
    "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
    "    <allow eavesdrop=\"true\"/>\n"
    "    <allow own=\"*\"/>\n"
    "  </policy>\n"
    "</busconfig>\n";

// The private bus: started before the first test, before anything connects to a session bus.
class PrivateSessionBus : public ::testing::Environment {
 public:
  void SetUp() override {
    if (!directory_.isValid()) {
      error_ = "no temporary directory for the bus";
      return;
    }
    const std::string daemon = e2e::FindExecutable("dbus-daemon");
    if (daemon.empty()) {
      error_ = e2e::MissingToolMessage("dbus-daemon");
      return;
    }
    address_ = "unix:path=" + directory_.filePath("bus").toStdString();
    // No service directories: a notification server installed on this machine must not be
    // started on demand.
    const QString config = directory_.filePath("bus.conf");
    QFile configFile(config);
    if (!configFile.open(QIODevice::WriteOnly) || configFile.write(kBusConfiguration) < 0) {
      error_ = "cannot write " + config.toStdString();
      return;
    }
    configFile.close();
    e2e::ChildOptions options;
    options.logFile = directory_.filePath("dbus-daemon.log").toStdString();
    daemon_ = std::make_unique<e2e::ChildProcess>(
        daemon,
        std::vector<std::string>{"--config-file=" + config.toStdString(), "--nofork",
                                 "--address=" + address_},
        options);
    if (!daemon_->Started()) {
      error_ = "dbus-daemon did not start: " + daemon_->Error();
      return;
    }
    const bool up = RunEventsUntil(
        [this] {
          const QString name = QStringLiteral("probe");
          const bool connected =
              QDBusConnection::connectToBus(QString::fromStdString(address_), name).isConnected();
          QDBusConnection::disconnectFromBus(name);
          return connected;
        },
        kBusStartMs);
    if (!up) {
      error_ = "dbus-daemon does not accept connections at " + address_;
      return;
    }
    setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
  }
  void TearDown() override { daemon_.reset(); }

  static const std::string& Error() { return error_; }
  static const std::string& Address() { return address_; }

 private:
  QTemporaryDir directory_;
  std::unique_ptr<e2e::ChildProcess> daemon_;
  static inline std::string error_;
  static inline std::string address_;
};

}  // namespace testing_support
