// StatusNotifierItems and their menus read over the bus as a host reads them: the items the
// watcher knows, an item's properties (its tip, its pictures, where its menu is), its methods
// (Activate, ContextMenu, ...) and its menu's layout and events (com.canonical.dbusmenu).
//
// Needs a QCoreApplication. Every call waits for its answer with this thread's events running,
// so that an item of this very process can answer too. A failing call is a test failure that
// says which call; the functions then return empty results.
#pragma once

#include <sys/types.h>

#include <QDBusConnection>
#include <QImage>
#include <QString>
#include <QVariantMap>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

struct SniItemAddress {
  QString service;  // the item's name on the bus
  QString path;     // its object
};

struct SniToolTip {
  QString iconName;
  std::vector<QImage> pictures;
  QString title;
  QString description;
};

struct SniMenuItem {
  int id = 0;
  QVariantMap properties;  // "label", "type", "enabled", "visible", ... as the item exports them
  std::vector<SniMenuItem> children;

  QString Label() const { return properties.value(QStringLiteral("label")).toString(); }
  bool IsSeparator() const {
    return properties.value(QStringLiteral("type")).toString() == QStringLiteral("separator");
  }
};

class SniBus {
 public:
  explicit SniBus(const std::string& address);
  ~SniBus();
  SniBus(const SniBus&) = delete;
  SniBus& operator=(const SniBus&) = delete;

  bool Connected() const { return connection_.isConnected(); }

  // The items registered with the watcher, in its order.
  std::vector<SniItemAddress> RegisteredItems();
  // The process that owns a name on the bus; empty, and no failure, for a name that nobody
  // owns (any more): the watcher may still list an item that has just gone.
  std::optional<pid_t> OwnerOf(const QString& service);

  // A property of the item (org.kde.StatusNotifierItem); empty when it cannot be read.
  QVariant Property(const SniItemAddress& item, const QString& name);
  std::optional<SniToolTip> ToolTip(const SniItemAddress& item);
  std::vector<QImage> IconPixmap(const SniItemAddress& item);
  // Where the item's menu is; "/NO_DBUSMENU" (Qt's word) for an item without one.
  QString MenuPath(const SniItemAddress& item);
  // Activate, SecondaryActivate or ContextMenu at a screen position.
  bool CallItem(const SniItemAddress& item, const QString& method, int x = 0, int y = 0);

  // The whole menu at the item's Menu path: its root, whose children are the items.
  std::optional<SniMenuItem> MenuLayout(const SniItemAddress& item, const QString& menuPath);
  // A menu event ("clicked", "hovered", ...) for one item, as a host sends it.
  bool MenuEvent(const SniItemAddress& item, const QString& menuPath, int id,
                 const QString& eventId);

 private:
  // The reply; a failure is reported, except the error named `quietError`.
  std::optional<QDBusMessage> Call(const QDBusMessage& message, const QString& quietError = {});

  QString name_;
  QDBusConnection connection_;
};

}  // namespace e2e
