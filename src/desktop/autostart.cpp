#include "desktop/autostart.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <filesystem>

#include "desktop/desktop_entry.h"
#include "desktop/mailto_association.h"

namespace os {
namespace {

constexpr const char* kEntryName = "pelorin32.desktop";

std::string Failure(const char* what, const std::string& path, const QString& why) {
  return std::string("Unable to ") + what + " " + path + ": " + why.toStdString();
}

}  // namespace

std::string AutostartEntryPath() {
  return XdgConfigHome() + "/autostart/" + kEntryName;
}

bool AutostartEntryExists() {
  std::error_code error;
  return std::filesystem::exists(AutostartEntryPath(), error);
}

std::string WriteAutostartEntry(const std::string& programPath) {
  const std::string path = AutostartEntryPath();
  const QString name = QString::fromLocal8Bit(path);
  const QString folder = QFileInfo(name).absolutePath();
  if (!QDir().mkpath(folder)) {
    return "Unable to create the folder " + folder.toStdString();
  }
  // Tray mode: the program without arguments.
  const std::string text = AutostartEntryText(ExecLineFor({programPath, {}}));
  QSaveFile file(name);
  if (!file.open(QIODevice::WriteOnly)) return Failure("write", path, file.errorString());
  file.write(text.data(), static_cast<qint64>(text.size()));
  if (!file.commit()) return Failure("write", path, file.errorString());
  return {};
}

std::string RemoveAutostartEntry() {
  const std::string path = AutostartEntryPath();
  std::error_code error;
  std::filesystem::remove(path, error);
  if (error) return Failure("remove", path, QString::fromStdString(error.message()));
  return {};
}

}  // namespace os
