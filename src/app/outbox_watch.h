// Watches the outbox folder for mail that another copy of the program left (a copy started for
// a mailto: link queues a message and ends): it fires when the folder holds a message this
// copy has not claimed, so that the tray copy sends it within seconds. This copy's own files
// coming and going fire nothing. Costs one inotify watch and no wake-up while nothing changes.
//
// User-interface thread only.
#pragma once

#include "desktop/retry_triggers.h"

class QFileSystemWatcher;

namespace pelorin {

class OutboxFolder;

class OutboxWatchTrigger : public os::RetryTrigger {
  Q_OBJECT
 public:
  OutboxWatchTrigger(OutboxFolder& folder, QObject* parent = nullptr);
  void Watch() override;
  void Unwatch() override;

 private:
  void FolderChanged();

  OutboxFolder& folder_;
  QFileSystemWatcher* watcher_ = nullptr;
};

}  // namespace pelorin
