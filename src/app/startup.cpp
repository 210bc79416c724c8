#include "app/startup.h"

#include <QApplication>
#include <memory>

#include "app/configuration.h"
#include "app/dialog_commands.h"
#include "app/form_controls.h"
#include "app/frm_main.h"
#include "app/globals.h"
#include "os/box_presenter_widgets.h"
#include "os/kernel.h"
#include "os/mailto_association.h"
#include "os/msgbox.h"

namespace pelorin {
namespace {

constexpr std::string_view kLinkModeSwitch = "/u";

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
  os::SetBoxPresenter(os::ShowBoxInWindow);
  // The registry key where the settings dialog's MailTo registers the program.
  os::RegisterMailtoAssociation();
  // Only the main window's closing ends the program: in tray mode it stays hidden while the
  // settings dialog or the about box, the only windows shown, come and go.
  QApplication::setQuitOnLastWindowClosed(false);
  if (!PrepareGlobals(programPath)) return kExitCodeStartupFailed;
  const StartMode mode = CurrentStartMode();
  os::SetApplicationTitle(std::string(kApplicationTitle));
  form::InstallClassicFontSubstitutes();
  const auto mainWindow = std::make_unique<TfrmMain>();
  if (NeedsSetup) ShowSettingsForFirstRun();
  // In link mode the window appears as the loop starts, after the first-run settings.
  if (mode == StartMode::Link) mainWindow->show();
  const int exitCode = QApplication::exec();
  DestroyDialogs();
  return exitCode;
}

}  // namespace pelorin
