// What makes queued mail worth trying again at once, before the next step of its back-off:
// the network coming back (NetworkManager's state and connectivity) and the machine waking
// from suspend (logind's PrepareForSleep), both heard on the system bus where there is one.
// Each is a RetryTrigger: watched only between Watch and Unwatch, so that a copy with nothing
// queued holds no bus connection; tests raise their signals on a bus of their own.
//
// User-interface thread only.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

namespace os {

class RetryTrigger : public QObject {
  Q_OBJECT
 public:
  using QObject::QObject;
  virtual void Watch() = 0;
  virtual void Unwatch() = 0;

 signals:
  // Now is a good time to try again.
  void Fired();
};

// NetworkManager's NMState and NMConnectivityState values that matter here.
inline constexpr unsigned kNetworkConnectedLocal = 50;
inline constexpr unsigned kConnectivityFull = 4;

// The network came back: a state at least connected to the local network, and better than the
// one before (0: not known).
bool NetworkCameBack(unsigned before, unsigned now);

// The system bus, connected on the first Watch: a copy that never queues mail never connects.
class SystemBus {
 public:
  virtual ~SystemBus() = default;
  virtual QDBusConnection Connection() { return QDBusConnection::systemBus(); }
};

class NetworkBackTrigger : public RetryTrigger {
  Q_OBJECT
 public:
  explicit NetworkBackTrigger(SystemBus& bus, QObject* parent = nullptr);
  void Watch() override;
  void Unwatch() override;

 private slots:
  void StateChanged(uint state);
  void PropertiesChanged(const QString& interface, const QVariantMap& changed,
                         const QStringList& invalidated);

 private:
  bool Connect(bool on);

  SystemBus& bus_;
  bool watching_ = false;
  unsigned state_ = 0;
  unsigned connectivity_ = 0;
};

class WakeTrigger : public RetryTrigger {
  Q_OBJECT
 public:
  explicit WakeTrigger(SystemBus& bus, QObject* parent = nullptr);
  void Watch() override;
  void Unwatch() override;

 private slots:
  void PrepareForSleep(bool sleeping);

 private:
  SystemBus& bus_;
  bool watching_ = false;
};

}  // namespace os
