#include "app/retry_scheduler.h"

#include <QTimer>
#include <chrono>
#include <utility>

namespace pelorin {

RetryScheduler::RetryScheduler(SendWorkflow& workflow, RetrySchedule schedule,
                               std::function<bool()> startTry,
                               std::vector<os::RetryTrigger*> alwaysWatched,
                               std::vector<os::RetryTrigger*> watchedWhileQueued, QObject* parent)
    : QObject(parent),
      workflow_(workflow),
      schedule_(std::move(schedule)),
      startTry_(std::move(startTry)),
      watchedWhileQueued_(std::move(watchedWhileQueued)),
      timer_(new QTimer(this)) {
  timer_->setSingleShot(true);
  connect(timer_, &QTimer::timeout, this, [this] { TryNow(); });
  for (os::RetryTrigger* trigger : alwaysWatched) {
    trigger->setParent(this);
    connect(trigger, &os::RetryTrigger::Fired, this, [this] { TryNow(); });
    trigger->Watch();
  }
  for (os::RetryTrigger* trigger : watchedWhileQueued_) {
    trigger->setParent(this);
    connect(trigger, &os::RetryTrigger::Fired, this, [this] { TryNow(); });
  }
}

std::optional<QDateTime> RetryScheduler::NextTry() const {
  const auto next = schedule_.Next();
  if (!next) return std::nullopt;
  const auto sinceEpoch =
      std::chrono::duration_cast<std::chrono::milliseconds>(next->time_since_epoch());
  return QDateTime::fromMSecsSinceEpoch(sinceEpoch.count());
}

std::string RetryScheduler::NextTryText() const {
  const std::optional<QDateTime> next = NextTry();
  if (!next) return {};
  return next->toLocalTime().toString(QStringLiteral("HH:mm")).toStdString();
}

// A trigger that fires during a send is kept for its end: mail another copy left meanwhile is
// not for that send, which had taken in the outbox already.
void RetryScheduler::TryNow() {
  if (workflow_.Phase() != SendPhase::Idle) {
    triedDuringSend_ = true;
    return;
  }
  triedDuringSend_ = false;
  if (startTry_()) return;
  schedule_.Succeeded();  // nothing waits any more (the user took it out of the outbox, say)
  Rest();
}

void RetryScheduler::SendEnded(const SendReport& report) {
  if (std::exchange(triedDuringSend_, false)) {
    QMetaObject::invokeMethod(
        this, [this] { TryNow(); }, Qt::QueuedConnection);
  }
  if (report.stillQueued == 0) {
    schedule_.Succeeded();
    Rest();
  } else if (report.failedForNow) {
    ScheduleNext();
  } else {
    schedule_.Stop();  // the user must change something first
    Rest();
  }
}

void RetryScheduler::CannotTry() {
  schedule_.Stop();
  Rest();
}

void RetryScheduler::MailWaits() {
  if (!workflow_.Queue().Empty()) ScheduleNext();
}

void RetryScheduler::ScheduleNext() {
  schedule_.Failed();
  timer_->start(schedule_.Step());
  WatchWhileQueued(true);
  emit NextTryChanged();
}

void RetryScheduler::Rest() {
  timer_->stop();
  WatchWhileQueued(false);
  emit NextTryChanged();
}

void RetryScheduler::WatchWhileQueued(bool on) {
  for (os::RetryTrigger* trigger : watchedWhileQueued_) {
    if (on) {
      trigger->Watch();
    } else {
      trigger->Unwatch();
    }
  }
}

}  // namespace pelorin
