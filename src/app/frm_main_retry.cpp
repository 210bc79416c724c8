// The window's side of queued mail tried again by itself: the scheduler made and dropped by
// the setting, a try started with the settings of the moment, and what such a try came to told
// in the status line and, when it is news, in a notification.
#include <QProcessEnvironment>
#include <QRandomGenerator>

#include "app/frm_main.h"
#include "app/outbox_watch.h"
#include "app/password_source.h"
#include "app/qstring_text.h"
#include "app/retry_settings.h"
#include "app/send_outcome_notice.h"
#include "app/startup.h"
#include "desktop/desktop_notice.h"

namespace pelorin {
namespace {

// How long a minute of the back-off lasts: only the end-to-end tests shorten it.
std::chrono::milliseconds RetryMinute() {
  bool valid = false;
  const int ms = qEnvironmentVariableIntValue("PELORIN_RETRY_MINUTE_MS", &valid);
  if (valid && ms > 0) return std::chrono::milliseconds(ms);
  return std::chrono::minutes(1);
}

os::SystemBus& TheSystemBus() {
  static os::SystemBus bus;
  return bus;
}

}  // namespace

// Link mode never stays to try again: what it leaves queued goes to the tray copy.
void TfrmMain::ApplyRetrySetting() {
  const bool wanted = CurrentStartMode() == StartMode::Tray && ReadRetrySettings().retry;
  if (wanted == (retry_ != nullptr)) return;
  if (!wanted) {
    delete retry_;
    retry_ = nullptr;
    return;
  }
  RetrySchedule schedule([] { return std::chrono::system_clock::now(); },
                         [] { return QRandomGenerator::global()->generateDouble(); },
                         RetryMinute());
  std::vector<os::RetryTrigger*> always;
  if (OutboxFolder* folder = workflow_->Folder()) always.push_back(new OutboxWatchTrigger(*folder));
  retry_ = new RetryScheduler(
      *workflow_, std::move(schedule), [this] { return TryQueuedMail(); }, always,
      {new os::NetworkBackTrigger(TheSystemBus()), new os::WakeTrigger(TheSystemBus())}, this);
  retry_->MailWaits();
}

// With the settings of now; a password comes from memory or the keyring, never from a question
// nobody expects, and a token without the browser. A line is dialled only where the user
// allowed it. Where a try cannot sign in, the tries stop until the user's next Send.
bool TfrmMain::TryQueuedMail() {
  tryingUnattended_ = true;
  workflow_->LoadQueued();
  tryingUnattended_ = false;
  if (workflow_->Queue().Empty()) return false;
  SendSettings settings = SettingsForSend(ReadRetrySettings().dial);
  if (settings.smtp.userName.empty() || settings.oauth) {
    if (settings.oauth && settings.smtp.security == SmtpSecurity::None) return TriesStop();
    workflow_->SendUnattended(settings);
    return true;
  }
  if (settings.smtp.security == SmtpSecurity::None) return TriesStop();
  FetchKeptPassword(
      settings.server, settings.smtp.userName,
      [window = QPointer<TfrmMain>(this), settings](std::optional<std::string> password) mutable {
        if (!window || window->retry_ == nullptr) return;  // turned off meanwhile
        if (!password) return void(window->TriesStop());
        settings.smtp.password = std::move(*password);
        window->workflow_->SendUnattended(settings);
      });
  return true;
}

bool TfrmMain::TriesStop() {
  if (retry_ != nullptr) retry_->CannotTry();
  return true;
}

std::string TfrmMain::NextTryText() const {
  return retry_ != nullptr ? retry_->NextTryText() : std::string();
}

void TfrmMain::UnattendedSendEnded(const SendReport& report, const std::string& nextTry) {
  const UnattendedEnd end = controller_->EndedUnattended(report, nextTry);
  SetStatus(ToQString(end.status));
  if (end.notice.empty()) return;
  os::DesktopNotice notice;
  notice.title = "Pelorin 32";
  notice.text = end.notice;
  notice.picture = ProgramNoticePicture();
  notice.iconName = "pelorin32";
  notice.desktopEntry = "pelorin32-tray";
  if (end.refused) notice.clicked = [this] { emit OutboxWanted(); };
  os::ShowDesktopNotice(notice, TaskIcon, static_cast<std::uint32_t>(TaskIcon->TaskIconID()));
}

}  // namespace pelorin
