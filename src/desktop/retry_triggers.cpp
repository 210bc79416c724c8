#include "desktop/retry_triggers.h"

namespace os {
namespace {

const QString kNetworkManager = QStringLiteral("org.freedesktop.NetworkManager");
const QString kNetworkManagerPath = QStringLiteral("/org/freedesktop/NetworkManager");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kLogin = QStringLiteral("org.freedesktop.login1");
const QString kLoginPath = QStringLiteral("/org/freedesktop/login1");
const QString kLoginManager = QStringLiteral("org.freedesktop.login1.Manager");

}  // namespace

bool NetworkCameBack(unsigned before, unsigned now) {
  return now >= kNetworkConnectedLocal && now > before;
}

NetworkBackTrigger::NetworkBackTrigger(SystemBus& bus, QObject* parent)
    : RetryTrigger(parent), bus_(bus) {}

bool NetworkBackTrigger::Connect(bool on) {
  QDBusConnection connection = bus_.Connection();
  if (!connection.isConnected()) return false;  // no system bus: the back-off alone
  const auto change = [&](const QString& path, const QString& interface, const QString& name,
                          const char* slot) {
    return on ? connection.connect(kNetworkManager, path, interface, name, this, slot)
              : connection.disconnect(kNetworkManager, path, interface, name, this, slot);
  };
  const bool state = change(kNetworkManagerPath, kNetworkManager, QStringLiteral("StateChanged"),
                            SLOT(StateChanged(uint)));
  const bool properties =
      change(kNetworkManagerPath, kProperties, QStringLiteral("PropertiesChanged"),
             SLOT(PropertiesChanged(QString, QVariantMap, QStringList)));
  return state && properties;
}

void NetworkBackTrigger::Watch() {
  if (watching_) return;
  watching_ = Connect(true);
}

void NetworkBackTrigger::Unwatch() {
  if (!watching_) return;
  Connect(false);
  watching_ = false;
  state_ = 0;
  connectivity_ = 0;
}

void NetworkBackTrigger::StateChanged(uint state) {
  const bool back = NetworkCameBack(state_, state);
  state_ = state;
  if (back) emit Fired();
}

// Connectivity becomes full when a captive portal lets go, or the way out comes back while the
// local network stayed up.
void NetworkBackTrigger::PropertiesChanged(const QString& interface, const QVariantMap& changed,
                                           const QStringList&) {
  if (interface != kNetworkManager) return;
  bool back = false;
  if (const auto found = changed.find(QStringLiteral("Connectivity")); found != changed.end()) {
    const unsigned connectivity = found->toUInt();
    back = connectivity == kConnectivityFull && connectivity_ != kConnectivityFull;
    connectivity_ = connectivity;
  }
  if (const auto found = changed.find(QStringLiteral("State")); found != changed.end()) {
    back = NetworkCameBack(state_, found->toUInt()) || back;
    state_ = found->toUInt();
  }
  if (back) emit Fired();
}

WakeTrigger::WakeTrigger(SystemBus& bus, QObject* parent) : RetryTrigger(parent), bus_(bus) {}

void WakeTrigger::Watch() {
  if (watching_) return;
  QDBusConnection connection = bus_.Connection();
  watching_ = connection.isConnected() && connection.connect(kLogin, kLoginPath, kLoginManager,
                                                             QStringLiteral("PrepareForSleep"),
                                                             this, SLOT(PrepareForSleep(bool)));
}

void WakeTrigger::Unwatch() {
  if (!watching_) return;
  bus_.Connection().disconnect(kLogin, kLoginPath, kLoginManager, QStringLiteral("PrepareForSleep"),
                               this, SLOT(PrepareForSleep(bool)));
  watching_ = false;
}

void WakeTrigger::PrepareForSleep(bool sleeping) {
  if (!sleeping) emit Fired();
}

}  // namespace os
