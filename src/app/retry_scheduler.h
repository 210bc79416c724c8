// Queued mail tried again by the tray copy by itself: after a send that left mail queued for a
// reason that may pass (SendReport::failedForNow), a try at each step of the back-off
// (RetrySchedule), and at once when a trigger fires: another copy left mail in the outbox
// (watched all the time), the network came back or the machine woke (watched only while mail
// waits for a later try). A try starts only while no send is under way: one conversation at a
// time. A delivery ends the tries; a failure that will not pass by itself stops them until
// the user sends again.
//
// User-interface thread only.
#pragma once

#include <QDateTime>
#include <QObject>
#include <functional>
#include <optional>
#include <vector>

#include "app/retry_schedule.h"
#include "app/send_workflow.h"
#include "desktop/retry_triggers.h"

class QTimer;

namespace pelorin {

class RetryScheduler : public QObject {
  Q_OBJECT
 public:
  // `startTry` starts a send nobody started of whatever is queued; false when nothing is.
  // `alwaysWatched` triggers are watched from now on, `watchedWhileQueued` only while a later try
  // is due; the scheduler takes them as its children.
  RetryScheduler(SendWorkflow& workflow, RetrySchedule schedule, std::function<bool()> startTry,
                 std::vector<os::RetryTrigger*> alwaysWatched,
                 std::vector<os::RetryTrigger*> watchedWhileQueued, QObject* parent = nullptr);

  // When the next try is due, if one is.
  std::optional<QDateTime> NextTry() const;
  // "14:05", or empty text when no try is due.
  std::string NextTryText() const;
  // Starts a try now unless a send is under way.
  void TryNow();
  // A send has ended: the tries go on, end or stop by what became of it.
  void SendEnded(const SendReport& report);
  // Mail left by an earlier run waits: it is tried after the first step.
  void MailWaits();
  // A try could not start without the user (no kept password, sign-in without security):
  // the tries stop until the user's next Send.
  void CannotTry();

 signals:
  void NextTryChanged();

 private:
  void ScheduleNext();
  void Rest();
  void WatchWhileQueued(bool on);

  SendWorkflow& workflow_;
  RetrySchedule schedule_;
  std::function<bool()> startTry_;
  std::vector<os::RetryTrigger*> watchedWhileQueued_;
  QTimer* timer_;
  bool triedDuringSend_ = false;
};

}  // namespace pelorin
