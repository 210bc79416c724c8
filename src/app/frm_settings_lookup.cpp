// The settings dialog's look-up from the address: when it starts, what it fills in and how it
// says what it found.
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

#include "app/form_controls.h"
#include "app/frm_settings.h"
#include "app/qstring_text.h"
#include "app/security_settings.h"
#include "app/sign_in_settings.h"

namespace pelorin {
namespace {

// Beside the "Server" heading, as wide as the address field reaches, so that no control of
// the page moves.
const QRect kLookupGeometry(60, 73, 253, 15);
constexpr int kTypingPauseMs = 1000;
constexpr const char* kPlainPort = "25";

QString Text(std::string_view text) {
  return ToQString(std::string(text));
}

QString SecurityName(SmtpSecurity security) {
  switch (security) {
    case SmtpSecurity::StartTls:
      return QStringLiteral("STARTTLS");
    case SmtpSecurity::Tls:
      return QStringLiteral("SSL/TLS");
    case SmtpSecurity::None:
      break;
  }
  return QStringLiteral("no security");
}

// "smtp.gmail.com:465, SSL/TLS, OAuth2 sign-in".
QString Summary(const setup::FoundServer& found) {
  return QStringLiteral("%1:%2, %3, %4 sign-in")
      .arg(Text(found.host))
      .arg(found.port)
      .arg(SecurityName(found.security), Text(setup::SignInMethodName(found.signIn)));
}

QString Listed(const QStringList& items) {
  if (items.size() < 2) return items.join(QString());
  return items.mid(0, items.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" and ") +
         items.back();
}

}  // namespace

void TfrmSettings::SetUpAddressLookup() {
  lblLookup = form::Place<QLabel>(TabSheet1, "lblLookup", kLookupGeometry);
  lookupPause_ = new QTimer(this);
  lookupPause_->setSingleShot(true);
  lookupPause_->setInterval(kTypingPauseMs);
  connect(lookupPause_, &QTimer::timeout, this, [this] { LookUpAddress(); });
  connect(edsEmail, &QLineEdit::textEdited, this, [this] { edsEmailChange(edsEmail); });
  connect(edsEmail, &QLineEdit::editingFinished, this, [this] { edsEmailExit(edsEmail); });
}

void TfrmSettings::edsEmailChange(QObject*) {
  lookupPause_->start();
}

void TfrmSettings::edsEmailExit(QObject*) {
  LookUpAddress();
}

// Once per domain: typing on within the same domain asks nothing new.
void TfrmSettings::LookUpAddress() {
  lookupPause_->stop();
  const std::string address = FromQString(edsEmail->text());
  const std::string domain = setup::AddressDomain(address);
  if (domain.empty() || domain == lookedUpDomain_) return;
  lookedUpDomain_ = domain;
  if (!lookup_) lookup_ = std::make_unique<setup::AddressLookup>();
  ShowLookupText(QStringLiteral("Looking up the settings for %1...").arg(Text(domain)), {});
  lookup_->Start(address,
                 [this](const setup::LookupOutcome& outcome) { ShowLookupOutcome(outcome); });
}

void TfrmSettings::ShowLookupOutcome(const setup::LookupOutcome& outcome) {
  const QString domain = Text(outcome.domain);
  if (!outcome.found) {
    QString details = QStringLiteral(
                          "Nothing was found for %1 in the built-in list of providers, its DNS "
                          "records or its autoconfig file: your provider can tell you the server.")
                          .arg(domain);
    if (!outcome.failure.empty()) {
      details +=
          QStringLiteral(" The network was not asked to the end: %1.").arg(Text(outcome.failure));
    }
    if (!outcome.passedOver.empty()) details += QStringLiteral(" ") + Text(outcome.passedOver);
    ShowLookupText(QStringLiteral("No settings found for %1").arg(domain), details);
    return;
  }
  const setup::FoundServer& found = *outcome.found;
  bool securityKept = false;
  QStringList filled = FillEmptyFields(found, securityKept);
  if (ProposeSignIn(found)) filled << QStringLiteral("OAuth2 sign-in");
  const QString summary = Summary(found);
  QString details = QStringLiteral("Found for %1 in %2: %3.")
                        .arg(domain, Text(setup::FoundByName(found.source)), summary);
  if (!outcome.passedOver.empty()) details += QStringLiteral(" ") + Text(outcome.passedOver);
  if (securityKept) {
    details += QStringLiteral(
        " Your security differs from the one found: it is kept, and the port with it.");
  }
  if (filled.isEmpty()) {
    details += QStringLiteral(" Nothing was filled in: what you entered is kept.");
    ShowLookupText(QStringLiteral("Found %1; yours kept").arg(summary), details);
  } else {
    details += QStringLiteral(" Filled in: %1.").arg(Listed(filled));
    ShowLookupText(
        (securityKept ? QStringLiteral("Found %1; your security kept") : QStringLiteral("Found %1"))
            .arg(summary),
        details);
  }
}

// The port and the security belong to the found server: they are given only with it, or
// where the server field already names it. Each goes only where the field is empty, holds
// what an earlier look-up put there, or (the port) still holds the untouched "25". The
// security goes where the advanced settings hold none and the user chose none in them. The
// two go together: a port without its security would sign in unprotected, so where the
// user's security differs from the one found (`securityKept`), neither is filled.
QStringList TfrmSettings::FillEmptyFields(const setup::FoundServer& found, bool& securityKept) {
  QStringList filled;
  const QString host = Text(found.host);
  const QString server = edsSMTP->text().trimmed();
  const bool serverOurs = server.isEmpty() || server == lookupFill_.server;
  if (!serverOurs && server.compare(host, Qt::CaseInsensitive) != 0) return filled;
  if (serverOurs && server != host) {
    edsSMTP->setText(lookupFill_.server = host);
    filled << QStringLiteral("server");
  }
  const std::string security = SecurityText(found.security);
  const bool securityOurs =
      !chosen_ && !SecurityIsStored() &&
      (imported_.security.empty() || imported_.security == lookupFill_.security);
  securityKept = !securityOurs && UsersSecurity() != security;
  if (securityKept) return filled;
  const QString port = QString::number(found.port);
  const QString portNow = edsPort->text().trimmed();
  if (portNow != port && (portNow.isEmpty() || portNow == lookupFill_.port ||
                          (portNow == QLatin1String(kPlainPort) && !edsPort->isModified()))) {
    edsPort->setText(lookupFill_.port = port);
    proposedPort_ = FromQString(port);
    filled << QStringLiteral("port");
  }
  if (securityOurs && imported_.security != security) {
    imported_.security = lookupFill_.security = security;
    filled << QStringLiteral("security");
  }
  return filled;
}

// OAuth2 where the provider wants it, for its own server, while the user has chosen no
// sign-in: neither in the advanced settings now nor stored.
bool TfrmSettings::ProposeSignIn(const setup::FoundServer& found) {
  const std::string proposed = ProposedSignIn(found);
  if (proposed.empty() || chosen_ || SignInIsStored()) return false;
  if (edsSMTP->text().trimmed().compare(Text(found.host), Qt::CaseInsensitive) != 0) return false;
  if (imported_.signIn == proposed) return false;
  imported_.signIn = proposed;
  return true;
}

// The security the user chose, stored or imported, as the settings keep it.
std::string TfrmSettings::UsersSecurity() const {
  if (chosen_) return SecurityText(chosen_->security);
  if (SecurityIsStored()) return SecurityText(ReadSecuritySettings().security);
  return imported_.security;
}

// Cut to the label's width; the whole text, and the details, in its tool tip.
void TfrmSettings::ShowLookupText(const QString& text, const QString& details) {
  const QFontMetrics metrics(lblLookup->font());
  lblLookup->setText(metrics.elidedText(text, Qt::ElideRight, lblLookup->width()));
  lblLookup->setToolTip(details.isEmpty() ? text : text + QStringLiteral("\n") + details);
}

}  // namespace pelorin
