#include "app/password_source.h"

#include <QInputDialog>
#include <QLineEdit>
#include <map>
#include <utility>

namespace pelorin {
namespace {

// Passwords given during this run, by server and user name.
std::map<std::pair<std::string, std::string>, std::string>& Remembered() {
  static std::map<std::pair<std::string, std::string>, std::string> passwords;
  return passwords;
}

}  // namespace

void FetchPassword(QWidget* parent, const std::string& server, const std::string& userName,
                   std::function<void(std::optional<std::string>)> done) {
  const auto key = std::make_pair(server, userName);
  const auto found = Remembered().find(key);
  if (found != Remembered().end()) return done(found->second);
  bool given = false;
  const QString password = QInputDialog::getText(
      parent, QStringLiteral("Pelorin32"),
      QStringLiteral("Password of %1 at %2:")
          .arg(QString::fromStdString(userName), QString::fromStdString(server)),
      QLineEdit::Password, QString(), &given);
  if (!given) return done(std::nullopt);
  Remembered()[key] = password.toStdString();
  done(password.toStdString());
}

void ForgetPassword(const std::string& server, const std::string& userName) {
  Remembered().erase(std::make_pair(server, userName));
}

}  // namespace pelorin
