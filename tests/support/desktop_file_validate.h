// Runs desktop-file-validate (Debian's desktop-file-utils) on a file: the desktop's own judge
// of a desktop entry. A missing tool is a failure that names it, never a pass.
#pragma once

#include <QProcess>
#include <QStandardPaths>
#include <string>

namespace testing_support {

struct Validation {
  bool valid = false;
  std::string report;  // what the tool said, or why it could not run
};

inline Validation ValidateDesktopFile(const std::string& path) {
  const QString tool = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
  if (tool.isEmpty()) {
    return {false,
            "desktop-file-validate is not installed (desktop-file-utils); run "
            "scripts/install-deps.sh --test"};
  }
  QProcess process;
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.start(tool, {QString::fromStdString(path)});
  if (!process.waitForFinished(30000)) return {false, "desktop-file-validate did not end"};
  const std::string report = process.readAll().toStdString();
  // It reports hints and warnings as text with exit status 0; any text is a finding.
  const bool valid =
      process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0 && report.empty();
  return {valid, report};
}

}  // namespace testing_support
