// The triggers of a try at once, on a private bus of the test's own standing in for the system
// bus: NetworkManager and logind are the test's own connections owning their names and
// raising their signals.
#include "desktop/retry_triggers.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QSignalSpy>
#include <QTimer>

#include "support/event_loop.h"
#include "support/private_bus.h"

namespace {

using testing_support::PrivateSessionBus;
using testing_support::RunEventsUntil;

const auto* const kBus = ::testing::AddGlobalTestEnvironment(new PrivateSessionBus);
constexpr int kWaitMs = 10000;

class PrivateSystemBus : public os::SystemBus {
 public:
  QDBusConnection Connection() override {
    return QDBusConnection::connectToBus(QString::fromStdString(PrivateSessionBus::Address()),
                                         QStringLiteral("system"));
  }
};

// A connection of its own that owns `service` and raises signals as it.
class FakeService {
 public:
  explicit FakeService(const QString& service)
      : connection_(QDBusConnection::connectToBus(
            QString::fromStdString(PrivateSessionBus::Address()), service)) {
    registered_ = connection_.registerService(service);
  }
  bool Registered() const { return registered_; }
  void Raise(const QString& path, const QString& interface, const QString& name,
             const QVariantList& arguments) {
    QDBusMessage signal = QDBusMessage::createSignal(path, interface, name);
    signal.setArguments(arguments);
    connection_.send(signal);
  }

 private:
  QDBusConnection connection_;
  bool registered_ = false;
};

class RetryTriggers : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(PrivateSessionBus::Error().empty()) << PrivateSessionBus::Error();
  }
  // Every signal `service` raised so far has been handed on: one it raises now, after them,
  // has arrived (a bus keeps one sender's signals in order, and so does the event queue).
  bool Settled(FakeService& service) {
    QTimer marker;
    marker.setSingleShot(true);
    marker.setInterval(0);
    QSignalSpy arrived(&marker, &QTimer::timeout);
    const QString path = QStringLiteral("/test");
    const QString interface = QStringLiteral("test.Marker");
    QDBusConnection connection = bus_.Connection();
    connection.connect({}, path, interface, QStringLiteral("Mark"), &marker, SLOT(start()));
    service.Raise(path, interface, QStringLiteral("Mark"), {});
    const bool settled = RunEventsUntil([&] { return arrived.count() > 0; }, kWaitMs);
    connection.disconnect({}, path, interface, QStringLiteral("Mark"), &marker, SLOT(start()));
    return settled;
  }
  PrivateSystemBus bus_;
};

const QString kNm = QStringLiteral("org.freedesktop.NetworkManager");
const QString kNmPath = QStringLiteral("/org/freedesktop/NetworkManager");

struct NetworkCase {
  unsigned before;
  unsigned now;
  bool back;
};

TEST(NetworkCameBack, ByState) {
  const NetworkCase cases[] = {
      {0, 70, true},    // connected, from a state not known
      {20, 70, true},   // disconnected, then connected globally
      {20, 50, true},   // ... or to the local network
      {70, 40, false},  // connecting is not there yet
      {70, 20, false},  // going away
      {50, 70, true},   // the way out came back
      {70, 70, false},  // no change
  };
  for (const NetworkCase& example : cases) {
    EXPECT_EQ(os::NetworkCameBack(example.before, example.now), example.back)
        << example.before << " -> " << example.now;
  }
}

// Nothing while not watched; once watched, the network coming back fires, its going does not.
TEST_F(RetryTriggers, NetworkManagerSaysTheNetworkIsBack) {
  FakeService manager(kNm);
  ASSERT_TRUE(manager.Registered());
  os::NetworkBackTrigger trigger(bus_);
  QSignalSpy fired(&trigger, &os::RetryTrigger::Fired);
  trigger.Watch();
  manager.Raise(kNmPath, kNm, QStringLiteral("StateChanged"), {QVariant::fromValue(20u)});
  manager.Raise(
      kNmPath, QStringLiteral("org.freedesktop.DBus.Properties"),
      QStringLiteral("PropertiesChanged"),
      {kNm, QVariantMap{{QStringLiteral("Connectivity"), QVariant::fromValue(4u)}}, QStringList()});
  ASSERT_TRUE(RunEventsUntil([&] { return fired.count() == 1; }, kWaitMs))
      << "full connectivity did not fire";
  manager.Raise(kNmPath, kNm, QStringLiteral("StateChanged"), {QVariant::fromValue(70u)});
  ASSERT_TRUE(RunEventsUntil([&] { return fired.count() == 2; }, kWaitMs))
      << "the state going to connected did not fire";
  trigger.Unwatch();
  manager.Raise(kNmPath, kNm, QStringLiteral("StateChanged"), {QVariant::fromValue(20u)});
  manager.Raise(kNmPath, kNm, QStringLiteral("StateChanged"), {QVariant::fromValue(70u)});
  ASSERT_TRUE(Settled(manager));
  EXPECT_EQ(fired.count(), 2) << "a signal while not watched fired";
}

TEST_F(RetryTriggers, LogindSaysTheMachineWoke) {
  FakeService login(QStringLiteral("org.freedesktop.login1"));
  ASSERT_TRUE(login.Registered());
  os::WakeTrigger trigger(bus_);
  QSignalSpy fired(&trigger, &os::RetryTrigger::Fired);
  trigger.Watch();
  const QString path = QStringLiteral("/org/freedesktop/login1");
  const QString manager = QStringLiteral("org.freedesktop.login1.Manager");
  login.Raise(path, manager, QStringLiteral("PrepareForSleep"), {true});
  ASSERT_TRUE(Settled(login));
  EXPECT_EQ(fired.count(), 0) << "going to sleep fired";
  login.Raise(path, manager, QStringLiteral("PrepareForSleep"), {false});
  ASSERT_TRUE(Settled(login));
  EXPECT_EQ(fired.count(), 1) << "waking did not fire";
}

}  // namespace
