#include "app/password_source.h"

#include <QInputDialog>
#include <QLineEdit>
#include <QPointer>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "desktop/keyring.h"
#include "os/msgbox.h"

namespace pelorin {
namespace {

using PasswordDone = std::function<void(std::optional<std::string>)>;

// Passwords the keyring holds, as read or written during this run, by keyring key.
std::map<std::string, std::string>& Remembered() {
  static std::map<std::string, std::string> passwords;
  return passwords;
}

// Who waits for the fetch under way for a key.
struct Waiters {
  QPointer<QWidget> parent;
  bool hadParent = false;
  std::vector<PasswordDone> done;
};

std::map<std::string, Waiters>& Waiting() {
  static std::map<std::string, Waiters> waiting;
  return waiting;
}

bool& NoKeyringReported() {
  static bool reported = false;
  return reported;
}

void ReportNoKeyring(const std::string& error) {
  if (std::exchange(NoKeyringReported(), true)) return;
  std::string text = kNoKeyringText;
  if (!error.empty()) text += "\n\n" + error;
  os::ShowMessage(text);
}

// Every waiter gets the answer, unless the window it asked over is gone (its callers with it).
void Deliver(const std::string& key, const std::optional<std::string>& password) {
  auto node = Waiting().extract(key);
  if (node.empty()) return;
  if (node.mapped().hadParent && !node.mapped().parent) return;
  for (const PasswordDone& done : node.mapped().done) done(password);
}

void KeepAndDeliver(const std::string& key, const std::string& password) {
  keyring::Write(key, password, [key, password](const keyring::Answer& answer) {
    if (answer.outcome == keyring::Outcome::Done) {
      Remembered()[key] = password;
    } else {
      ReportNoKeyring(answer.error);
    }
    Deliver(key, password);
  });
}

QString Prompt(const std::string& server, const std::string& userName) {
  return QStringLiteral("Password of %1 at %2:")
      .arg(QString::fromStdString(userName), QString::fromStdString(server));
}

// Asks without a nested event loop: the answer comes through the dialog's signals. A dialog
// that goes away unanswered went with its window, and with it whoever waited.
void Ask(const std::string& server, const std::string& userName, bool keep) {
  const std::string key = keyring::KeyFor(server, userName);
  const Waiters& waiters = Waiting()[key];
  if (waiters.hadParent && !waiters.parent) return Deliver(key, std::nullopt);
  auto* dialog = new QInputDialog(waiters.parent);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowTitle(QString::fromStdString(os::ApplicationTitle()));
  dialog->setInputMode(QInputDialog::TextInput);
  dialog->setTextEchoMode(QLineEdit::Password);
  dialog->setLabelText(Prompt(server, userName));
  auto answered = std::make_shared<bool>(false);
  QObject::connect(dialog, &QInputDialog::textValueSelected, dialog,
                   [key, keep, answered](const QString& text) {
                     *answered = true;
                     if (keep) return KeepAndDeliver(key, text.toStdString());
                     Deliver(key, text.toStdString());
                   });
  QObject::connect(dialog, &QDialog::rejected, dialog, [key, answered] {
    *answered = true;
    Deliver(key, std::nullopt);
  });
  QObject::connect(dialog, &QObject::destroyed, [key, answered] {
    if (!*answered) Waiting().erase(key);
  });
  dialog->open();
}

}  // namespace

void FetchPassword(QWidget* parent, const std::string& server, const std::string& userName,
                   std::function<void(std::optional<std::string>)> done) {
  const std::string key = keyring::KeyFor(server, userName);
  if (const auto found = Remembered().find(key); found != Remembered().end()) {
    return done(found->second);
  }
  Waiters& waiters = Waiting()[key];
  waiters.done.push_back(std::move(done));
  if (waiters.done.size() > 1) return;  // the fetch under way answers this one too
  waiters.parent = parent;
  waiters.hadParent = parent != nullptr;
  keyring::Read(key, [key, server, userName](const keyring::Answer& answer) {
    switch (answer.outcome) {
      case keyring::Outcome::Done:
        Remembered()[key] = answer.secret;
        return Deliver(key, answer.secret);
      case keyring::Outcome::NotFound:
        return Ask(server, userName, true);
      case keyring::Outcome::Failed:
        ReportNoKeyring(answer.error);
        return Ask(server, userName, false);
    }
  });
}

void FetchKeptPassword(const std::string& server, const std::string& userName,
                       std::function<void(std::optional<std::string>)> done) {
  const std::string key = keyring::KeyFor(server, userName);
  if (const auto found = Remembered().find(key); found != Remembered().end()) {
    return done(found->second);
  }
  keyring::Read(key, [key, done = std::move(done)](const keyring::Answer& answer) {
    if (answer.outcome != keyring::Outcome::Done) return done(std::nullopt);
    Remembered()[key] = answer.secret;
    done(answer.secret);
  });
}

void SavePassword(const std::string& server, const std::string& userName,
                  const std::string& password, std::function<void()> settled) {
  const std::string key = keyring::KeyFor(server, userName);
  Remembered().erase(key);
  keyring::Write(key, password, [key, password, settled](const keyring::Answer& answer) {
    if (answer.outcome == keyring::Outcome::Done) {
      Remembered()[key] = password;
    } else {
      ReportNoKeyring(answer.error);
    }
    if (settled) settled();
  });
}

void ForgetPassword(const std::string& server, const std::string& userName,
                    std::function<void()> settled) {
  const std::string key = keyring::KeyFor(server, userName);
  Remembered().erase(key);
  keyring::Remove(key, [settled](const keyring::Answer& answer) {
    if (answer.outcome == keyring::Outcome::Failed) ReportNoKeyring(answer.error);
    if (settled) settled();
  });
}

void ResetPasswordSourceForTesting() {
  Remembered().clear();
  Waiting().clear();
  NoKeyringReported() = false;
}

}  // namespace pelorin
