// Composed messages read back as a mail reader reads them: Python's email package, through
// read_message.py (PELORIN_READ_MESSAGE_SCRIPT), one JSON object per message.
#pragma once

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <fstream>
#include <string>
#include <vector>

namespace app_test {

inline std::string Text(const QJsonObject& reading, const char* key) {
  return reading.value(QLatin1String(key)).toString().toStdString();
}

// What Python's email package reads in each message, or a failure that says why not.
inline ::testing::AssertionResult ReadByMailReader(const std::vector<std::string>& messages,
                                                   std::vector<QJsonObject>& readings) {
  QTemporaryDir directory;
  if (!directory.isValid()) return ::testing::AssertionFailure() << "no temporary directory";
  QStringList arguments = {QStringLiteral(PELORIN_READ_MESSAGE_SCRIPT)};
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const QString path = directory.filePath(QString::number(i) + QStringLiteral(".eml"));
    std::ofstream(path.toStdString(), std::ios::binary) << messages[i];
    arguments << path;
  }
  QProcess python;
  python.start(QStringLiteral("python3"), arguments);
  if (!python.waitForStarted()) {
    return ::testing::AssertionFailure()
           << "python3 could not be started (" << python.errorString().toStdString()
           << "): it reads the messages as a mail reader would; "
           << "scripts/install-deps.sh --test installs it";
  }
  if (!python.waitForFinished(120000) || python.exitStatus() != QProcess::NormalExit ||
      python.exitCode() != 0) {
    return ::testing::AssertionFailure() << "python3 " PELORIN_READ_MESSAGE_SCRIPT " failed:\n"
                                         << python.readAllStandardError().toStdString();
  }
  for (const QByteArray& line : python.readAllStandardOutput().split('\n')) {
    if (!line.isEmpty()) readings.push_back(QJsonDocument::fromJson(line).object());
  }
  if (readings.size() != messages.size()) {
    return ::testing::AssertionFailure()
           << "read " << readings.size() << " of " << messages.size() << " messages";
  }
  return ::testing::AssertionSuccess();
}

}  // namespace app_test
