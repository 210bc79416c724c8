#include "app/outbox_watch.h"

#include <QFileSystemWatcher>

#include "outbox/outbox_folder.h"

namespace pelorin {

OutboxWatchTrigger::OutboxWatchTrigger(OutboxFolder& folder, QObject* parent)
    : RetryTrigger(parent), folder_(folder) {}

// A folder that cannot be made is reported by the first send that queues into it; until then
// the back-off alone tries again.
void OutboxWatchTrigger::Watch() {
  if (watcher_ != nullptr || !folder_.MakeOutboxDirectory().empty()) return;
  watcher_ = new QFileSystemWatcher(this);
  if (!watcher_->addPath(QString::fromStdString(folder_.OutboxDirectory()))) {
    delete watcher_;
    watcher_ = nullptr;
    return;
  }
  connect(watcher_, &QFileSystemWatcher::directoryChanged, this, [this] { FolderChanged(); });
}

void OutboxWatchTrigger::Unwatch() {
  delete watcher_;
  watcher_ = nullptr;
}

void OutboxWatchTrigger::FolderChanged() {
  if (folder_.HoldsMessagesOfOthers()) emit Fired();
}

}  // namespace pelorin
