#include "app/send_outcome_notice.h"

#include <QImage>

#include "app/frm_main.h"
#include "app/qstring_text.h"
#include "desktop/desktop_notice.h"

namespace pelorin {

QImage ProgramNoticePicture() {
  return QImage(QStringLiteral(":/pelorin/pelorin32.png"));
}

SendOutcomeNotice::SendOutcomeNotice(TfrmMain& window) : QObject(&window), window_(window) {
  connect(&window, &TfrmMain::StatusShown, this,
          [this](const QString& text) { lastStatus_ = text; });
  // Connected after the window's own handler, which shows the outcome in the status line
  // first.
  connect(&window.Workflow(), &SendWorkflow::SendEnded, this, [this] { SendEnded(); });
}

void SendOutcomeNotice::SendEnded() {
  // A send nobody started tells its news itself, and a failure again is none.
  if (window_.isVisible() || window_.Workflow().Unattended()) return;
  os::DesktopNotice notice;
  notice.title = "Pelorin 32";
  notice.text = FromQString(lastStatus_);
  notice.picture = ProgramNoticePicture();
  notice.iconName = "pelorin32";
  notice.desktopEntry = "pelorin32-tray";
  os::ShowDesktopNotice(notice, window_.TaskIcon,
                        static_cast<std::uint32_t>(window_.TaskIcon->TaskIconID()));
}

}  // namespace pelorin
