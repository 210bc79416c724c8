#include "desktop/oauth_browser.h"

#include <QProcess>
#include <QStandardPaths>
#include <cstdlib>

namespace pelorin::oauth {
namespace {

bool HasDisplay() {
  for (const char* name : {"WAYLAND_DISPLAY", "DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

// xdg-open, or the first command of BROWSER (a list separated by ':').
QString BrowserCommand() {
  const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
  if (!opener.isEmpty()) return opener;
  const QString browser = qEnvironmentVariable("BROWSER").section(QLatin1Char(':'), 0, 0);
  return browser.isEmpty() ? QString() : QStandardPaths::findExecutable(browser);
}

}  // namespace

bool OpenBrowser(const std::string& url, QObject* context, std::string* failure,
                 std::function<void(const std::string& failure)> failed) {
  if (!HasDisplay()) {
    *failure =
        "The sign-in needs a web browser on the desktop, and there is no desktop display "
        "here (neither DISPLAY nor WAYLAND_DISPLAY is set).";
    return false;
  }
  const QString command = BrowserCommand();
  if (command.isEmpty()) {
    *failure =
        "The sign-in needs a web browser, and none can be started: xdg-open is not "
        "installed (Debian package xdg-utils) and BROWSER names no program.";
    return false;
  }
  // Not owned by the sign-in: a browser that xdg-open runs may live on after it, and must not
  // be ended with it. The object goes once the command ends.
  auto* process = new QProcess;
  process->setStandardInputFile(QProcess::nullDevice());
  process->setStandardOutputFile(QProcess::nullDevice());
  process->setStandardErrorFile(QProcess::nullDevice());
  QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
  QObject::connect(process, &QProcess::finished, context,
                   [process, command, failed](int code, QProcess::ExitStatus status) {
                     if (status == QProcess::NormalExit && code == 0) return;
                     failed("The web browser could not be opened: " + command.toStdString() +
                            " ended with status " + std::to_string(code) + ".");
                   });
  process->start(command, {QString::fromStdString(url)});
  if (!process->waitForStarted()) {
    *failure = "The web browser could not be opened: " + command.toStdString() +
               " did not start (" + process->errorString().toStdString() + ").";
    delete process;
    return false;
  }
  return true;
}

}  // namespace pelorin::oauth
