#include "os/box_presenter_widgets.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

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

struct AnswerCase {
  const char* name;
  BoxButtons buttons;
  std::function<void(QMessageBox*)> answer;
  int expected;
};

std::vector<AnswerCase> AnswerCases() {
  return {
      {"ok", BoxButtons::OkCancel, [](QMessageBox* b) { Click(b, QMessageBox::Ok); }, IDOK},
      {"cancel", BoxButtons::OkCancel, [](QMessageBox* b) { Click(b, QMessageBox::Cancel); },
       IDCANCEL},
      {"escape with cancel", BoxButtons::OkCancel, PressEscape, IDCANCEL},
      {"escape with ok only", BoxButtons::Ok, PressEscape, IDOK},
      {"ok only", BoxButtons::Ok, [](QMessageBox* b) { Click(b, QMessageBox::Ok); }, IDOK},
      {"window closed with cancel", BoxButtons::OkCancel, [](QMessageBox* b) { b->close(); },
       IDCANCEL},
      {"window closed with ok only", BoxButtons::Ok, [](QMessageBox* b) { b->close(); }, IDOK},
  };
}

TEST(ShowBoxInWindow, ReturnsTheButtonChosen) {
  for (const AnswerCase& c : AnswerCases()) {
    EXPECT_EQ(ShowAndAnswer({"text", "caption", c.buttons, BoxIcon::None}, c.answer), c.expected)
        << c.name;
  }
}

// Opened without a nested loop: the call returns with the box on screen, and its closing tells
// the same answer as ShowBoxInWindow returns.
TEST(OpenBoxInWindow, TellsTheButtonChosenOnceClosed) {
  for (const AnswerCase& c : AnswerCases()) {
    QObject owner;
    std::vector<int> told;
    OpenBoxInWindow({"text", "caption", c.buttons, BoxIcon::None}, &owner,
                    [&](int answer) { told.push_back(answer); });
    QMessageBox* box = ShownMessageBox();
    ASSERT_NE(box, nullptr) << c.name;
    EXPECT_EQ(box->windowModality(), Qt::ApplicationModal) << c.name;
    EXPECT_TRUE(told.empty()) << c.name;
    c.answer(box);
    EXPECT_EQ(told, std::vector<int>{c.expected}) << c.name;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
}

TEST(OpenBoxInWindow, GoesWithItsOwnerUntold) {
  auto owner = std::make_unique<QObject>();
  bool told = false;
  OpenBoxInWindow({"text", "caption", BoxButtons::Ok, BoxIcon::None}, owner.get(),
                  [&](int) { told = true; });
  ASSERT_NE(ShownMessageBox(), nullptr);
  owner.reset();
  EXPECT_EQ(ShownMessageBox(), nullptr);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_FALSE(told);
}

}  // namespace
}  // namespace os
