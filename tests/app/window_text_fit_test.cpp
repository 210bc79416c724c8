// Every window in the font the program chooses, measured with the fonts installed here: no
// caption of a label, button or check box is wider than the room its control gives it, and no
// such control reaches beyond the window (or the page) that holds it.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTabWidget>
#include <memory>
#include <optional>
#include <utility>

#include "app/frm_about.h"
#include "app/frm_advanced.h"
#include "app/frm_main.h"
#include "app/frm_settings.h"
#include "app/globals.h"
#include "app/program_world.h"
#include "os/kernel.h"
#include "os/msgbox.h"

namespace pelorin {
namespace {

// The width a control's caption needs and the width the control has for it ("&" marks an
// accelerator and is not drawn).
std::optional<std::pair<int, int>> RoomOf(QWidget* control) {
  if (auto* label = qobject_cast<QLabel*>(control)) {
    return std::pair(label->sizeHint().width(), label->width());
  }
  auto* button = qobject_cast<QAbstractButton*>(control);
  if (button == nullptr) return std::nullopt;
  QStyleOptionButton option;
  option.initFrom(button);
  const auto contents = qobject_cast<QCheckBox*>(button) ? QStyle::SE_CheckBoxContents
                                                         : QStyle::SE_PushButtonContents;
  return std::pair(button->fontMetrics().horizontalAdvance(button->text().remove('&')),
                   button->style()->subElementRect(contents, &option, button).width());
}

void ExpectCaptionsFit(QWidget* window) {
  for (QWidget* control : window->findChildren<QWidget*>()) {
    const auto room = RoomOf(control);
    if (!room || control->window() != window || !control->isVisibleTo(window)) continue;
    SCOPED_TRACE(control->objectName().toStdString());
    EXPECT_LE(room->first, room->second) << "the caption is cut";
    EXPECT_TRUE(control->parentWidget()->rect().contains(control->geometry()))
        << "the control reaches beyond its window or page";
  }
}

TEST(WindowTextFit, EveryCaptionFitsItsControlInEveryWindow) {
  ASSERT_TRUE(QFontDatabase::hasFamily(QStringLiteral("DejaVu Sans")))
      << "DejaVu Sans, the desktop's usual face, is not installed; scripts/install-deps.sh "
         "--test installs it (fonts-dejavu-core)";
  const app_test::ProgramWorld world;
  os::SetCommandLine({"pelorin32", "/u", "mailto:someone@example.org?Subject=Hello"});

  TfrmMain mainWindow;
  frmSettings = new TfrmSettings(&mainWindow);
  frmSettings->cmdAdvanced->click();
  const auto about = std::make_unique<TfrmAbout>(nullptr, QSize(1024, 768));
  QWidget* const windows[] = {&mainWindow, frmSettings, frmSettings->frmAdvanced, about.get()};
  for (QWidget* window : windows) {
    ASSERT_NE(window, nullptr);
    window->show();
    const QString face = QFontInfo(window->font()).family();
    SCOPED_TRACE(window->objectName().toStdString() + " in " + face.toStdString() + " " +
                 std::to_string(window->font().pixelSize()) + " px");
    EXPECT_TRUE(QFontDatabase::hasFamily(face)) << "measured in a face that is not installed";
    ExpectCaptionsFit(window);
  }
  for (int page = 0; page < frmSettings->PageControl1->count(); ++page) {
    frmSettings->PageControl1->setCurrentIndex(page);
    SCOPED_TRACE("settings page " + std::to_string(page));
    ExpectCaptionsFit(frmSettings);
  }
  delete frmSettings.data();
}

}  // namespace
}  // namespace pelorin
