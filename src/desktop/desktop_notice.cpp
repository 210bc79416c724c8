#include "desktop/desktop_notice.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QIcon>
#include <QPixmap>
#include <QPointer>
#include <QSystemTrayIcon>
#include <utility>

#include "desktop/desktop_seams.h"

namespace os::notice_detail {

// A picture as the notification format carries it, (iiibiiay): RGBA bytes, row after row.
struct NotificationImage {
  int width = 0;
  int height = 0;
  int rowstride = 0;
  bool hasAlpha = true;
  int bitsPerSample = 8;
  int channels = 4;
  QByteArray data;
};

QDBusArgument& operator<<(QDBusArgument& argument, const NotificationImage& image) {
  argument.beginStructure();
  argument << image.width << image.height << image.rowstride << image.hasAlpha
           << image.bitsPerSample << image.channels << image.data;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, NotificationImage& image) {
  argument.beginStructure();
  argument >> image.width >> image.height >> image.rowstride >> image.hasAlpha >>
      image.bitsPerSample >> image.channels >> image.data;
  argument.endStructure();
  return argument;
}

}  // namespace os::notice_detail

Q_DECLARE_METATYPE(os::notice_detail::NotificationImage)

namespace os {
namespace {

using notice_detail::NotificationImage;

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kObjectPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
constexpr int kServerDefaultExpiry = -1;
const QString kDefaultAction = QStringLiteral("default");
constexpr int kBalloonMs = 10000;

QString FromText(const std::string& text) {
  return QString::fromStdString(text);
}

NotificationImage ImageOf(const QImage& picture) {
  const QImage rgba = picture.convertToFormat(QImage::Format_RGBA8888);
  NotificationImage image;
  image.width = rgba.width();
  image.height = rgba.height();
  image.rowstride = static_cast<int>(rgba.bytesPerLine());
  image.data = QByteArray(reinterpret_cast<const char*>(rgba.constBits()),
                          static_cast<qsizetype>(rgba.sizeInBytes()));
  return image;
}

QVariantMap HintsFor(const DesktopNotice& notice) {
  QVariantMap hints;
  if (!notice.desktopEntry.empty()) {
    hints.insert(QStringLiteral("desktop-entry"), FromText(notice.desktopEntry));
  }
  // The picture travels along: a program that is not installed has no icon in the theme.
  if (!notice.picture.isNull()) {
    hints.insert(QStringLiteral("image-data"), QVariant::fromValue(ImageOf(notice.picture)));
  }
  return hints;
}

// A server that reads markup in the body would take "<" and "&" in the text for markup.
QDBusMessage NotifyCall(const DesktopNotice& notice, bool bodyIsMarkup) {
  const QString body = bodyIsMarkup ? FromText(notice.text).toHtmlEscaped() : FromText(notice.text);
  QDBusMessage call =
      QDBusMessage::createMethodCall(kService, kObjectPath, kInterface, QStringLiteral("Notify"));
  const QStringList actions =
      notice.clicked ? QStringList{kDefaultAction, QStringLiteral("Show")} : QStringList();
  call << FromText(notice.title) << 0u << FromText(notice.iconName) << FromText(notice.title)
       << body << actions << HintsFor(notice) << kServerDefaultExpiry;
  return call;
}

bool ShowBalloon(HWND window, std::uint32_t id, const DesktopNotice& notice) {
  const TrayBalloonHandler fake = InstalledSeams<DesktopSeams>().trayBalloon;
  if (fake) return fake(window, id, notice);
  return window != nullptr &&
         Shell_NotifyIconBalloon(window, id, FromText(notice.title), FromText(notice.text),
                                 QIcon(QPixmap::fromImage(notice.picture)), kBalloonMs);
}

void Report(const std::function<void(NoticeChannel)>& shown, NoticeChannel channel) {
  if (shown) shown(channel);
}

// The window may go while the server is asked: the balloon then has nowhere to go.
struct PendingNotice {
  DesktopNotice notice;
  QPointer<ComponentWindow> window;
  std::uint32_t id = 0;
  std::function<void(NoticeChannel)> shown;
};

void ShowAsBalloon(const PendingNotice& pending) {
  const bool shown =
      !pending.window.isNull() && ShowBalloon(pending.window, pending.id, pending.notice);
  Report(pending.shown, shown ? NoticeChannel::TrayBalloon : NoticeChannel::None);
}

// Calls the server without waiting for it; `answered` gets the reply, an error included.
void AskServer(const QDBusConnection& bus, const QDBusMessage& call,
               std::function<void(const QDBusMessage&)> answered) {
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kNotificationServerTimeoutMs));
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished,
                   [answered = std::move(answered)](QDBusPendingCallWatcher* finished) {
                     finished->deleteLater();
                     answered(finished->reply());
                   });
}

void SendNotification(const QDBusConnection& bus, const PendingNotice& pending, bool bodyIsMarkup) {
  AskServer(bus, NotifyCall(pending.notice, bodyIsMarkup),
            [bus, pending](const QDBusMessage& reply) {
              if (reply.type() == QDBusMessage::ErrorMessage) return ShowAsBalloon(pending);
              if (pending.notice.clicked && !reply.arguments().isEmpty()) {
                NoticeClicks::Instance(bus).Expect(reply.arguments().constFirst().toUInt(),
                                                   pending.notice.clicked);
              }
              Report(pending.shown, NoticeChannel::NotificationServer);
            });
}

}  // namespace

NoticeClicks& NoticeClicks::Instance(const QDBusConnection& bus) {
  static NoticeClicks* clicks = nullptr;
  if (clicks == nullptr) {
    clicks = new NoticeClicks(QCoreApplication::instance());
    QDBusConnection connection = bus;
    connection.connect({}, kObjectPath, kInterface, QStringLiteral("ActionInvoked"), clicks,
                       SLOT(ActionInvoked(uint, QString)));
    connection.connect({}, kObjectPath, kInterface, QStringLiteral("NotificationClosed"), clicks,
                       SLOT(NotificationClosed(uint, uint)));
  }
  return *clicks;
}

void NoticeClicks::Expect(std::uint32_t id, std::function<void()> clicked) {
  waiting_[id] = std::move(clicked);
}

void NoticeClicks::ActionInvoked(uint id, const QString& action) {
  const auto found = waiting_.find(id);
  if (found == waiting_.end() || action != kDefaultAction) return;
  const std::function<void()> clicked = found->second;
  waiting_.erase(found);
  clicked();
}

void NoticeClicks::NotificationClosed(uint id, uint) {
  waiting_.erase(id);
}

void ShowDesktopNotice(const DesktopNotice& notice, HWND trayWindow, std::uint32_t trayIconId,
                       std::function<void(NoticeChannel)> shown) {
  qDBusRegisterMetaType<NotificationImage>();
  const PendingNotice pending{notice, trayWindow, trayIconId, std::move(shown)};
  const QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return ShowAsBalloon(pending);
  // Asking for the capabilities also finds out whether a server runs (or can be started).
  const QDBusMessage capabilities = QDBusMessage::createMethodCall(
      kService, kObjectPath, kInterface, QStringLiteral("GetCapabilities"));
  AskServer(bus, capabilities, [bus, pending](const QDBusMessage& reply) {
    if (reply.type() == QDBusMessage::ErrorMessage || reply.arguments().isEmpty()) {
      return ShowAsBalloon(pending);
    }
    const QStringList offered = reply.arguments().constFirst().toStringList();
    SendNotification(bus, pending, offered.contains(QStringLiteral("body-markup")));
  });
}

}  // namespace os
