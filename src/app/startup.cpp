#include "app/startup.h"

#include <QApplication>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "app/configuration.h"
#include "app/dialog_commands.h"
#include "app/form_controls.h"
#include "app/frm_main.h"
#include "app/globals.h"
#include "app/send_outcome_notice.h"
#include "app/send_workflow.h"
#include "desktop/mailto_association.h"
#include "desktop/single_tray_copy.h"
#include "os/kernel.h"
#include "os/msgbox.h"
#include "outbox/draft_store.h"
#include "outbox/outbox_folder.h"

namespace pelorin {
namespace {

constexpr std::string_view kLinkModeSwitch = "/u";
// How long an ending program waits, out of sight, for a dial under way to return so that it can
// hang the line up: longer than a dial-up provider takes to give up a dial (pppd's takes 60 s).
constexpr std::chrono::seconds kDialSettleLimit{90};

constexpr char kTrayCopySilent[] =
    "Pelorin 32 already runs in the notification area but does not answer, so its window "
    "cannot be shown";
constexpr char kTrayCopyUntrusted[] =
    "Pelorin 32 already runs in the notification area, but its window cannot be shown: ";
constexpr char kUnguarded[] =
    "Pelorin 32 cannot make sure that only one copy of it runs in the notification area: ";
constexpr char kUnreachable[] =
    "Pelorin 32 runs, but a later start of it cannot bring up this window: ";

struct TrayClaim {
  std::unique_ptr<SingleTrayCopy> guard;  // held while this copy is the one in the tray
  std::optional<int> exitCode;            // set when this start ends here
};

void ReportStartupFailure(const std::string& text) {
  os::SetApplicationTitle(std::string(kApplicationTitle));
  os::ShowErrorBox(text);
}

// A tray-mode start while a copy of the program runs in the tray shows that copy's window
// instead of a second icon. Where the guard cannot work, the user is told and the program runs
// without it.
TrayClaim ClaimTray() {
  auto guard = std::make_unique<SingleTrayCopy>(SingleTrayCopy::DefaultSocketPath());
  switch (guard->ClaimTray()) {
    case SingleTrayCopy::Claim::Taken:
      if (std::string failure; !guard->Listen(&failure)) {
        ReportStartupFailure(kUnreachable + failure);
      }
      return {std::move(guard), std::nullopt};
    case SingleTrayCopy::Claim::ShownByTrayCopy:
      return {nullptr, 0};
    case SingleTrayCopy::Claim::TrayCopySilent:
      ReportStartupFailure(guard->Failure().empty() ? std::string(kTrayCopySilent)
                                                    : kTrayCopyUntrusted + guard->Failure());
      return {nullptr, kExitCodeStartupFailed};
    case SingleTrayCopy::Claim::Unguarded:
      ReportStartupFailure(kUnguarded + guard->Failure());
      break;
  }
  return {};
}

}  // namespace

StartMode StartModeOf(std::string_view firstArgument) {
  return firstArgument == kLinkModeSwitch ? StartMode::Link : StartMode::Tray;
}

StartMode CurrentStartMode() {
  return StartModeOf(os::ParamStr(1));
}

std::string ProgramDirOf(std::string_view programPath) {
  const std::size_t slash = programPath.rfind('/');
  if (slash == std::string_view::npos) return {};
  return std::string(programPath.substr(0, slash + 1));
}

void TrimWorkingSet() {
  os::TrimWorkingSet();
}

bool PrepareGlobals(const std::string& programPath) {
  ResetGlobals();  // the four lists empty, the default server and port
  ProgramDir = ProgramDirOf(programPath);
  if (!ConfigurationFileExists()) {
    NeedsSetup = true;
    return true;
  }
  const std::optional<std::string> failure = LoadConfiguration();
  if (!failure) return true;
  os::ShowFatalBox(*failure + ": " + ConfigurationPath());
  return false;
}

int RunApplication(const std::string& programPath) {
  // The registry key where the settings dialog's MailTo registers the program.
  os::RegisterMailtoAssociation();
  // Only the main window's closing ends the program: in tray mode it stays hidden while the
  // settings dialog or the about box, the only windows shown, come and go.
  QApplication::setQuitOnLastWindowClosed(false);
  const StartMode mode = CurrentStartMode();
  std::unique_ptr<SingleTrayCopy> trayCopy;
  if (mode == StartMode::Tray) {
    TrayClaim claim = ClaimTray();
    if (claim.exitCode) return *claim.exitCode;
    trayCopy = std::move(claim.guard);
  }
  if (!PrepareGlobals(programPath)) return kExitCodeStartupFailed;
  os::SetApplicationTitle(std::string(kApplicationTitle));
  form::InstallClassicFontSubstitutes();
  auto mainWindow = std::make_unique<TfrmMain>();
  mainWindow->KeepDraftsIn(std::make_unique<DraftStore>(OutboxFolder::DefaultStateDirectory()));
  if (trayCopy) trayCopy->SetShowWindow([&mainWindow] { mainWindow->TaskIconClick(nullptr); });
  // Only in tray mode can a send end while the window is hidden.
  if (mode == StartMode::Tray) new SendOutcomeNotice(*mainWindow);
  mainWindow->ApplyRetrySetting();
  if (NeedsSetup) ShowSettingsForFirstRun();
  // In link mode the window appears as the loop starts, after the first-run settings.
  if (mode == StartMode::Link) mainWindow->show();
  const int exitCode = QApplication::exec();
  trayCopy.reset();  // a start from now on waits for this copy to end, then takes the tray
  DestroyDialogs();
  mainWindow.reset();  // the window and the icon go at once
  WaitForDialsToSettle(kDialSettleLimit);
  return exitCode;
}

}  // namespace pelorin
