// Desktop notices offscreen, on a private session bus (a dbus-daemon of the test's own): with a
// notification server on the bus the notice goes to it, with its picture, names and a body
// that the server's markup cannot misread; without a server, or with one that refuses it, the
// notice becomes the balloon of the tray icon (recorded in place of the notification area).
// The server is the test's own, on a connection of its own to that bus.
#include "desktop/desktop_notice.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusError>
#include <QFile>
#include <QPainter>
#include <QTemporaryDir>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "desktop/desktop_seams.h"
#include "e2e/child_process.h"
#include "support/event_loop.h"
#include "support/private_bus.h"

namespace {

using os::DesktopNotice;
using os::NoticeChannel;
using testing_support::PrivateSessionBus;
using testing_support::RunEventsUntil;

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kObjectPath = QStringLiteral("/org/freedesktop/Notifications");
constexpr int kWaitMs = 10000;

const auto* const kBus = ::testing::AddGlobalTestEnvironment(new PrivateSessionBus);

struct ReceivedImage {
  int width = 0;
  int height = 0;
  int rowstride = 0;
  bool hasAlpha = false;
  int bitsPerSample = 0;
  int channels = 0;
  QByteArray data;
};

struct ReceivedNotice {
  QString appName;
  uint replacesId = 0;
  QString appIcon;
  QString summary;
  QString body;
  QStringList actions;
  QString desktopEntry;
  std::optional<ReceivedImage> image;
  int expireTimeout = 0;
};

}  // namespace

// Outside the anonymous namespace: moc's definitions come at the end of the file.
namespace notice_test {

// A notification server as the desktop's would answer; it keeps what it receives.
class NotificationServer : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
 public:
  QStringList capabilities = {QStringLiteral("body")};
  bool refusesNotices = false;
  std::vector<ReceivedNotice> received;

 public slots:
  QStringList GetCapabilities() { return capabilities; }

  uint Notify(const QString& appName, uint replacesId, const QString& appIcon,
              const QString& summary, const QString& body, const QStringList& actions,
              const QVariantMap& hints, int expireTimeout) {
    if (refusesNotices) {
      sendErrorReply(QDBusError::Failed, QStringLiteral("no notices today"));
      return 0;
    }
    ReceivedNotice notice{appName, replacesId, appIcon, summary,      body,
                          actions, {},         {},      expireTimeout};
    notice.desktopEntry = hints.value(QStringLiteral("desktop-entry")).toString();
    if (hints.contains(QStringLiteral("image-data"))) {
      const auto argument = hints.value(QStringLiteral("image-data")).value<QDBusArgument>();
      ReceivedImage image;
      argument.beginStructure();
      argument >> image.width >> image.height >> image.rowstride >> image.hasAlpha >>
          image.bitsPerSample >> image.channels >> image.data;
      argument.endStructure();
      notice.image = image;
    }
    received.push_back(notice);
    return static_cast<uint>(received.size());
  }
};

}  // namespace notice_test

namespace {

using notice_test::NotificationServer;

class TrayWindow : public os::ComponentWindow {
 public:
  void HandleMessage(const os::Message&) override {}
};

struct Balloon {
  os::HWND window;
  std::uint32_t id;
  std::string title;
  std::string text;
};

class DesktopNoticeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(PrivateSessionBus::Error().empty()) << PrivateSessionBus::Error();
    seams_.emplace([this](os::DesktopSeams& seams) {
      seams.trayBalloon = [this](os::HWND window, std::uint32_t id, const DesktopNotice& n) {
        balloons_.push_back({window, id, n.title, n.text});
        return balloonShown_;
      };
    });
  }
  void TearDown() override {
    seams_.reset();
    if (!serving_) return;
    QDBusConnection connection = ServerConnection();
    connection.unregisterService(kService);
    connection.unregisterObject(kObjectPath);
  }

  static QDBusConnection ServerConnection() {
    return QDBusConnection::connectToBus(QString::fromStdString(PrivateSessionBus::Address()),
                                         QStringLiteral("notification-server"));
  }

  void Serve() {
    QDBusConnection connection = ServerConnection();
    ASSERT_TRUE(connection.isConnected());
    ASSERT_TRUE(connection.registerObject(kObjectPath, &server_, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(connection.registerService(kService))
        << connection.lastError().message().toStdString();
    serving_ = true;
  }

  static QImage Picture() {
    QImage picture(6, 4, QImage::Format_ARGB32);
    picture.fill(QColor(10, 20, 30, 255));
    picture.setPixelColor(5, 3, QColor(200, 100, 50, 128));
    return picture;
  }

  static DesktopNotice Notice(const std::string& text) {
    return {"Pelorin 32", text, Picture(), "pelorin32", "pelorin32-tray", {}};
  }

  std::optional<NoticeChannel> Show(const DesktopNotice& notice) {
    std::optional<NoticeChannel> channel;
    os::ShowDesktopNotice(notice, &window_, 7, [&](NoticeChannel shown) { channel = shown; });
    RunEventsUntil([&] { return channel.has_value(); }, kWaitMs);
    return channel;
  }

  NotificationServer server_;
  bool serving_ = false;
  TrayWindow window_;
  std::vector<Balloon> balloons_;
  bool balloonShown_ = true;
  std::optional<os::ScopedSeams<os::DesktopSeams>> seams_;
};

TEST_F(DesktopNoticeTest, GoesToTheNotificationServerWithThePictureAndNames) {
  Serve();
  EXPECT_EQ(Show(Notice("Mail has been sent!")), NoticeChannel::NotificationServer);
  ASSERT_EQ(server_.received.size(), 1u);
  const ReceivedNotice& got = server_.received.front();
  EXPECT_EQ(got.appName, "Pelorin 32");
  EXPECT_EQ(got.replacesId, 0u);
  EXPECT_EQ(got.appIcon, "pelorin32");
  EXPECT_EQ(got.summary, "Pelorin 32");
  EXPECT_EQ(got.body, "Mail has been sent!");
  EXPECT_TRUE(got.actions.isEmpty());
  EXPECT_EQ(got.desktopEntry, "pelorin32-tray");
  EXPECT_EQ(got.expireTimeout, -1);
  ASSERT_TRUE(got.image.has_value()) << "no image-data hint";
  const ReceivedImage& image = *got.image;
  EXPECT_EQ(image.width, 6);
  EXPECT_EQ(image.height, 4);
  EXPECT_TRUE(image.hasAlpha);
  EXPECT_EQ(image.bitsPerSample, 8);
  EXPECT_EQ(image.channels, 4);
  ASSERT_EQ(image.data.size(), image.rowstride * image.height);
  ASSERT_GE(image.rowstride, 6 * 4);
  const auto byteAt = [&](int x, int y, int channel) {
    return static_cast<unsigned char>(image.data[y * image.rowstride + x * 4 + channel]);
  };
  EXPECT_EQ(byteAt(0, 0, 0), 10);  // red, green, blue, alpha
  EXPECT_EQ(byteAt(0, 0, 2), 30);
  EXPECT_EQ(byteAt(0, 0, 3), 255);
  EXPECT_EQ(byteAt(5, 3, 3), 128);
  EXPECT_TRUE(balloons_.empty());
}

TEST_F(DesktopNoticeTest, BodyReadsAsItsTextWhetherTheServerTakesMarkupOrNot) {
  Serve();
  const std::string text = "Mail not sent (550 <a@b> & \"c\"); it stays queued for the next send.";
  struct Case {
    QStringList capabilities;
    QString body;
  };
  const Case cases[] = {
      {{QStringLiteral("body")}, QString::fromStdString(text)},
      {{QStringLiteral("body"), QStringLiteral("body-markup")},
       QStringLiteral("Mail not sent (550 &lt;a@b&gt; &amp; &quot;c&quot;); it stays queued for "
                      "the next send.")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.capabilities.join(QLatin1Char(',')).toStdString());
    server_.capabilities = c.capabilities;
    server_.received.clear();
    EXPECT_EQ(Show(Notice(text)), NoticeChannel::NotificationServer);
    ASSERT_EQ(server_.received.size(), 1u);
    EXPECT_EQ(server_.received.front().body, c.body);
  }
}

TEST_F(DesktopNoticeTest, WithoutAServerTheTrayIconShowsABalloon) {
  EXPECT_EQ(Show(Notice("Mail has been sent!")), NoticeChannel::TrayBalloon);
  ASSERT_EQ(balloons_.size(), 1u);
  EXPECT_EQ(balloons_[0].window, &window_);
  EXPECT_EQ(balloons_[0].id, 7u);
  EXPECT_EQ(balloons_[0].title, "Pelorin 32");
  EXPECT_EQ(balloons_[0].text, "Mail has been sent!");
}

TEST_F(DesktopNoticeTest, ServerThatRefusesTheNoticeLeavesItToTheBalloon) {
  server_.refusesNotices = true;
  Serve();
  EXPECT_EQ(Show(Notice("Mail has been sent!")), NoticeChannel::TrayBalloon);
  EXPECT_TRUE(server_.received.empty());
  ASSERT_EQ(balloons_.size(), 1u);
  EXPECT_EQ(balloons_[0].text, "Mail has been sent!");
}

TEST_F(DesktopNoticeTest, WithNeitherServerNorIconTheNoticeGoesNowhere) {
  balloonShown_ = false;
  EXPECT_EQ(Show(Notice("Mail has been sent!")), NoticeChannel::None);
  // The notification area's own balloon: offscreen there is no icon to carry it.
  const os::ScopedSeams<os::DesktopSeams> noFake(
      [](os::DesktopSeams& seams) { seams.trayBalloon = nullptr; });
  EXPECT_EQ(Show(Notice("Mail has been sent!")), NoticeChannel::None);
}

}  // namespace

#include "desktop_notice_test.moc"
