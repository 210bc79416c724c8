#include "os/box_presenter_widgets.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>

namespace os {
namespace {

TEST(CreateMessageBox, CarriesTheRequestAsPlainText) {
  const auto box =
      CreateMessageBox({"550 <ann@x> Gr\xc3\xbc\xc3\x9f"
                        "e",
                        "WINSOCK ERROR", BoxButtons::OkCancel, BoxIcon::None});
  EXPECT_EQ(box->text(), QString::fromUtf8("550 <ann@x> Grüße"));
  EXPECT_EQ(box->textFormat(), Qt::PlainText);
  EXPECT_EQ(box->windowTitle(), "WINSOCK ERROR");
  EXPECT_EQ(box->standardButtons(), QMessageBox::Ok | QMessageBox::Cancel);
  EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
}

TEST(CreateMessageBox, ErrorBoxHasOnlyOkAndTheCriticalIcon) {
  const auto box = CreateMessageBox({"Disk full.", "Pelorin32", BoxButtons::Ok, BoxIcon::Error});
  EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
  EXPECT_EQ(box->icon(), QMessageBox::Critical);
}

QMessageBox* ShownMessageBox() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(widget);
    if (box != nullptr && box->isVisible()) return box;
  }
  return nullptr;
}

// Shows the box and lets `answer` act on it once it is on screen.
int ShowAndAnswer(const BoxRequest& request, std::function<void(QMessageBox*)> answer) {
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (QMessageBox* box = ShownMessageBox()) {
      poll.stop();
      answer(box);
    }
  });
  poll.start(10);
  return ShowBoxInWindow(request);
}

void Click(QMessageBox* box, QMessageBox::StandardButton which) {
  box->button(which)->click();
}
void PressEscape(QMessageBox* box) {
  QTest::keyClick(box, Qt::Key_Escape);
}

TEST(ShowBoxInWindow, ReturnsTheButtonChosen) {
  struct Case {
    const char* name;
    BoxButtons buttons;
    std::function<void(QMessageBox*)> answer;
    int expected;
  };
  const Case cases[] = {
      {"ok", BoxButtons::OkCancel, [](QMessageBox* b) { Click(b, QMessageBox::Ok); }, IDOK},
      {"cancel", BoxButtons::OkCancel, [](QMessageBox* b) { Click(b, QMessageBox::Cancel); },
       IDCANCEL},
      {"escape with cancel", BoxButtons::OkCancel, PressEscape, IDCANCEL},
      {"escape with ok only", BoxButtons::Ok, PressEscape, IDOK},
      {"ok only", BoxButtons::Ok, [](QMessageBox* b) { Click(b, QMessageBox::Ok); }, IDOK},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ShowAndAnswer({"text", "caption", c.buttons, BoxIcon::None}, c.answer), c.expected)
        << c.name;
  }
}

}  // namespace
}  // namespace os
