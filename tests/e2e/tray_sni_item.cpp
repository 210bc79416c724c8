#include "e2e/tray_sni_item.h"

#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QtEndian>

#include "support/event_loop.h"

namespace e2e {
namespace {

constexpr int kCallTimeoutMs = 10000;
const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kItemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString kMenuInterface = QStringLiteral("com.canonical.dbusmenu");
const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// The watcher names an item by its service, or by its service and object path.
SniItemAddress AddressOf(const QString& entry) {
  const qsizetype slash = entry.indexOf(u'/');
  if (slash < 0) return {entry, QStringLiteral("/StatusNotifierItem")};
  return {entry.left(slash), entry.mid(slash)};
}

// Each picture is its width, its height and its pixels as ARGB32 in network byte order.
std::vector<QImage> ReadPictures(const QDBusArgument& argument) {
  std::vector<QImage> pictures;
  argument.beginArray();
  while (!argument.atEnd()) {
    int width = 0;
    int height = 0;
    QByteArray pixels;
    argument.beginStructure();
    argument >> width >> height >> pixels;
    argument.endStructure();
    QImage picture(width, height, QImage::Format_ARGB32);
    if (pixels.size() != static_cast<qsizetype>(width) * height * 4) {
      ADD_FAILURE() << "a picture of " << width << "x" << height << " with " << pixels.size()
                    << " bytes";
      continue;
    }
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        const auto* pixel = pixels.constData() + (static_cast<qsizetype>(y) * width + x) * 4;
        picture.setPixel(x, y, qFromBigEndian<quint32>(pixel));
      }
    }
    pictures.push_back(picture);
  }
  argument.endArray();
  return pictures;
}

SniMenuItem ReadLayout(const QDBusArgument& argument) {
  SniMenuItem item;
  argument.beginStructure();
  argument >> item.id >> item.properties;
  argument.beginArray();
  while (!argument.atEnd()) {
    QDBusVariant child;
    argument >> child;
    item.children.push_back(ReadLayout(qvariant_cast<QDBusArgument>(child.variant())));
  }
  argument.endArray();
  argument.endStructure();
  return item;
}

QString Describe(const QDBusMessage& message) {
  return message.service() + QStringLiteral(" ") + message.path() + QStringLiteral(" ") +
         message.interface() + QStringLiteral(".") + message.member();
}

}  // namespace

SniBus::SniBus(const std::string& address)
    : name_(QStringLiteral("pelorin-sni-test-%1").arg(reinterpret_cast<quintptr>(this))),
      connection_(QDBusConnection::connectToBus(QString::fromStdString(address), name_)) {}

SniBus::~SniBus() {
  QDBusConnection::disconnectFromBus(name_);
}

std::optional<QDBusMessage> SniBus::Call(const QDBusMessage& message, const QString& quietError) {
  QDBusPendingCall pending = connection_.asyncCall(message, kCallTimeoutMs);
  testing_support::RunEventsUntil([&] { return pending.isFinished(); }, kCallTimeoutMs + 5000);
  const QDBusMessage reply = pending.reply();
  if (reply.type() != QDBusMessage::ReplyMessage) {
    if (!quietError.isEmpty() && reply.errorName() == quietError) return std::nullopt;
    ADD_FAILURE()
        << Describe(message).toStdString() << " failed: "
        << (reply.errorName() + QStringLiteral(": ") + reply.errorMessage()).toStdString();
    return std::nullopt;
  }
  return reply;
}

std::vector<SniItemAddress> SniBus::RegisteredItems() {
  QDBusMessage get =
      QDBusMessage::createMethodCall(kWatcherService, QStringLiteral("/StatusNotifierWatcher"),
                                     kPropertiesInterface, QStringLiteral("Get"));
  get << kWatcherService << QStringLiteral("RegisteredStatusNotifierItems");
  const std::optional<QDBusMessage> reply = Call(get);
  std::vector<SniItemAddress> items;
  if (!reply) return items;
  const QVariant value = reply->arguments().value(0).value<QDBusVariant>().variant();
  for (const QString& entry : value.toStringList()) items.push_back(AddressOf(entry));
  return items;
}

std::optional<pid_t> SniBus::OwnerOf(const QString& service) {
  QDBusMessage get = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionUnixProcessID"));
  get << service;
  const std::optional<QDBusMessage> reply =
      Call(get, QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner"));
  if (!reply) return std::nullopt;
  return static_cast<pid_t>(reply->arguments().value(0).toUInt());
}

QVariant SniBus::Property(const SniItemAddress& item, const QString& name) {
  QDBusMessage get = QDBusMessage::createMethodCall(item.service, item.path, kPropertiesInterface,
                                                    QStringLiteral("Get"));
  get << kItemInterface << name;
  const std::optional<QDBusMessage> reply = Call(get);
  if (!reply) return {};
  return reply->arguments().value(0).value<QDBusVariant>().variant();
}

std::optional<SniToolTip> SniBus::ToolTip(const SniItemAddress& item) {
  const QVariant value = Property(item, QStringLiteral("ToolTip"));
  if (!value.canConvert<QDBusArgument>()) return std::nullopt;
  const QDBusArgument argument = qvariant_cast<QDBusArgument>(value);
  SniToolTip tip;
  argument.beginStructure();
  argument >> tip.iconName;
  tip.pictures = ReadPictures(argument);
  argument >> tip.title >> tip.description;
  argument.endStructure();
  return tip;
}

std::vector<QImage> SniBus::IconPixmap(const SniItemAddress& item) {
  const QVariant value = Property(item, QStringLiteral("IconPixmap"));
  if (!value.canConvert<QDBusArgument>()) return {};
  return ReadPictures(qvariant_cast<QDBusArgument>(value));
}

QString SniBus::MenuPath(const SniItemAddress& item) {
  return Property(item, QStringLiteral("Menu")).value<QDBusObjectPath>().path();
}

bool SniBus::CallItem(const SniItemAddress& item, const QString& method, int x, int y) {
  QDBusMessage call =
      QDBusMessage::createMethodCall(item.service, item.path, kItemInterface, method);
  call << x << y;
  return Call(call).has_value();
}

std::optional<SniMenuItem> SniBus::MenuLayout(const SniItemAddress& item, const QString& menuPath) {
  QDBusMessage get = QDBusMessage::createMethodCall(item.service, menuPath, kMenuInterface,
                                                    QStringLiteral("GetLayout"));
  get << 0 << -1 << QStringList();
  const std::optional<QDBusMessage> reply = Call(get);
  if (!reply) return std::nullopt;
  const QVariant layout = reply->arguments().value(1);
  if (!layout.canConvert<QDBusArgument>()) {
    ADD_FAILURE() << "GetLayout answered without a layout";
    return std::nullopt;
  }
  return ReadLayout(qvariant_cast<QDBusArgument>(layout));
}

bool SniBus::MenuEvent(const SniItemAddress& item, const QString& menuPath, int id,
                       const QString& eventId) {
  QDBusMessage event = QDBusMessage::createMethodCall(item.service, menuPath, kMenuInterface,
                                                      QStringLiteral("Event"));
  event << id << eventId << QVariant::fromValue(QDBusVariant(QVariant(0))) << 0u;
  return Call(event).has_value();
}

}  // namespace e2e
