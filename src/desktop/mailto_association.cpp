#include "desktop/mailto_association.h"

#include <pwd.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "desktop/desktop_entry.h"
#include "desktop/mimeapps_list.h"
#include "os/registry_hive.h"

namespace os {
namespace {

constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK |
                                0x00010000 /*DELETE*/ | 0x00040000 /*WRITE_DAC*/ |
                                0x00080000 /*WRITE_OWNER*/;

std::string HomeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return home;
  const passwd* entry = ::getpwuid(::geteuid());
  return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "/";
}

std::string XdgDirectory(const char* variable, const char* fallbackBelowHome) {
  const char* configured = std::getenv(variable);
  // XDG base directories ignore relative paths.
  if (configured != nullptr && configured[0] == '/') return configured;
  return HomeDirectory() + fallbackBelowHome;
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  QFile file(QString::fromLocal8Bit(path));
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  return file.readAll().toStdString();
}

bool ReplaceFile(const std::string& path, const std::string& text) {
  const QString name = QString::fromLocal8Bit(path);
  if (!QDir().mkpath(QFileInfo(name).absolutePath())) return false;
  QSaveFile file(name);
  if (!file.open(QIODevice::WriteOnly)) return false;
  file.write(text.data(), static_cast<qint64>(text.size()));
  return file.commit();
}

bool RegularFileExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error);
}

bool OursIsTheDefault() {
  const std::optional<std::string> list = ReadWholeFile(MimeAppsListPath());
  return list && DefaultApplication(*list, kMailtoSchemeType) == kMailtoDesktopFileName;
}

}  // namespace

std::string XdgDataHome() {
  return XdgDirectory("XDG_DATA_HOME", "/.local/share");
}

std::string XdgConfigHome() {
  return XdgDirectory("XDG_CONFIG_HOME", "/.config");
}

std::string MailtoDesktopEntryPath() {
  return XdgDataHome() + "/applications/" + kMailtoDesktopFileName;
}

std::string MimeAppsListPath() {
  return XdgConfigHome() + "/mimeapps.list";
}

LSTATUS MailtoAssociationKey::Open(REGSAM desired) {
  if ((desired & kWriteRights) == 0) return ERROR_SUCCESS;
  const bool writable =
      HiveFileWritable(MailtoDesktopEntryPath()) && HiveFileWritable(MimeAppsListPath());
  return writable ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

std::optional<std::string> MailtoAssociationKey::QueryString(const std::string& name) {
  if (!name.empty() || !OursIsTheDefault()) return std::nullopt;
  const std::optional<std::string> entry = ReadWholeFile(MailtoDesktopEntryPath());
  return entry ? CommandOfDesktopEntry(*entry) : std::nullopt;
}

LSTATUS MailtoAssociationKey::SetString(const std::string& name, const std::string& value) {
  if (!name.empty()) return ERROR_INVALID_PARAMETER;
  const std::string exec = ExecLineFor(SplitCommand(value, RegularFileExists));
  if (!ReplaceFile(MailtoDesktopEntryPath(), DesktopEntryText(value, exec))) {
    return ERROR_WRITE_FAULT;
  }
  // A list that exists but cannot be read is left alone rather than replaced by ours alone.
  const std::string listPath = MimeAppsListPath();
  const std::optional<std::string> list =
      RegularFileExists(listPath) ? ReadWholeFile(listPath) : std::string();
  if (!list) return ERROR_WRITE_FAULT;
  const std::string updated =
      WithDefaultApplication(*list, kMailtoSchemeType, kMailtoDesktopFileName);
  return ReplaceFile(listPath, updated) ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

void RegisterMailtoAssociation() {
  RegisterVirtualKey(HKEY_LOCAL_MACHINE, kMailtoCommandKey,
                     std::make_shared<MailtoAssociationKey>());
}

}  // namespace os
