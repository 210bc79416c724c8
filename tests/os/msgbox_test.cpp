// Message boxes: each kind carries its caption, buttons and icon; a recorder answers them,
// also when they are asked for on another thread.
#include "os/msgbox.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QObject>
#include <atomic>
#include <memory>
#include <thread>

#include "support/event_loop.h"

namespace {

using os::BoxButtons;
using os::BoxIcon;
using os::BoxRequest;

TEST(MessageBoxTest, EachKindHasItsCaptionButtonsAndIcon) {
  os::SetApplicationTitle("Pelorin32");
  os::BoxRecorder recorder(os::IDCANCEL);
  os::ShowMessage("550 no such user\r\n");
  EXPECT_EQ(os::SocketMessageBox("Error 10061 in function SConnect\r\nConnection refused",
                                 "WINSOCK ERROR"),
            os::IDCANCEL);
  os::ShowErrorBox("File access denied");
  os::ShowFatalBox("File not found");

  const std::vector<BoxRequest> expected = {
      {"550 no such user\r\n", "Pelorin32", BoxButtons::Ok, BoxIcon::None},
      {"Error 10061 in function SConnect\r\nConnection refused", "WINSOCK ERROR",
       BoxButtons::OkCancel, BoxIcon::None},
      {"File access denied.", "Pelorin32", BoxButtons::Ok, BoxIcon::Error},
      {"File not found", "Application Error", BoxButtons::Ok, BoxIcon::Error},
  };
  EXPECT_EQ(recorder.Boxes(), expected);
}

// "line 1" to "line <count>", each ended by `lineEnd`.
std::string Lines(int count, const std::string& lineEnd) {
  std::string text;
  for (int i = 1; i <= count; ++i) text += "line " + std::to_string(i) + lineEnd;
  return text;
}

// A box taller than the screen would hide its OK button.
TEST(BoundedMessageText, KeepsTheFirstTwentyLinesAndCountsTheRest) {
  const std::string first20 = Lines(20, "\r\n");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"550 no such user\r\n", "550 no such user\r\n"},
      {"550 no such user", "550 no such user"},
      {first20, first20},
      {Lines(20, "\n"), Lines(20, "\n")},
      {first20 + "line 21", first20 + "...\r\n(1 more line not shown)"},
      {Lines(21, "\r\n"), first20 + "...\r\n(1 more line not shown)"},
      {first20 + "\r\n", first20 + "...\r\n(1 more line not shown)"},  // an empty 21st line
      {Lines(21, "\n"), Lines(20, "\n") + "...\n(1 more line not shown)"},
      {Lines(5000, "\r\n"), first20 + "...\r\n(4980 more lines not shown)"},
      {Lines(5000, "\n"), Lines(20, "\n") + "...\n(4980 more lines not shown)"},
      // A lone CR breaks no line.
      {std::string(30, '\r'), std::string(30, '\r')},
  };
  for (const auto& [text, shown] : cases) {
    SCOPED_TRACE(text.substr(0, 40));
    EXPECT_EQ(os::BoundedMessageText(text), shown);
  }
}

TEST(MessageBoxTest, PlainMessageShowsAtMostTwentyLines) {
  os::SetApplicationTitle("Pelorin32");
  os::BoxRecorder recorder;
  os::ShowMessage(Lines(5000, "\r\n"));
  EXPECT_EQ(recorder.Texts(),
            std::vector<std::string>{Lines(20, "\r\n") + "...\r\n(4980 more lines not shown)"});
}

TEST(MessageBoxTest, PresenterAnswersBoxesAskedForOnAWorkerThreadOnTheMainThread) {
  std::thread::id shownOn;
  const os::ScopedSeams<os::OsSeams> seams([&](os::OsSeams& installed) {
    installed.presentBox = os::PresentedOnUserInterfaceThread([&](const BoxRequest&) {
      shownOn = std::this_thread::get_id();
      return os::IDCANCEL;
    });
  });
  int answer = 0;
  std::atomic<bool> done = false;
  std::thread worker([&] {
    answer = os::SocketMessageBox("text", "caption");
    done = true;
  });
  // The worker waits until the main thread's event loop has shown the box.
  const bool shown = testing_support::RunEventsUntil([&] { return done.load(); });
  worker.join();
  ASSERT_TRUE(shown);
  EXPECT_EQ(answer, os::IDCANCEL);
  EXPECT_EQ(shownOn, std::this_thread::get_id());
}

TEST(MessageBoxTest, RecorderHookRunsBeforeTheAnswerAndRecorderDetachesWhenGone) {
  int seenInHook = 0;
  {
    os::BoxRecorder recorder;
    recorder.OnBox([&](const BoxRequest& box) { seenInHook += box.text == "x" ? 1 : 100; });
    os::ShowMessage("x");
    EXPECT_EQ(recorder.Texts(), std::vector<std::string>{"x"});
  }
  EXPECT_EQ(seenInHook, 1);
  os::BoxRecorder later;
  EXPECT_TRUE(later.Boxes().empty());
}

// An opened box is recorded as the shown one is, and answered inside the call or from the
// event queue; never once its owner is gone.
TEST(MessageBoxTest, OpenedBoxIsAnsweredAtOnceOrLaterButNeverAfterItsOwner) {
  os::SetApplicationTitle("Pelorin32");
  for (const bool later : {false, true}) {
    SCOPED_TRACE(later ? "later" : "at once");
    os::BoxRecorder recorder(os::IDCANCEL);
    recorder.AnswerLater(later);
    QObject owner;
    std::vector<int> answers;
    os::OpenBox(os::OkCancelRequest("trust?"), &owner,
                [&](int answer) { answers.push_back(answer); });
    EXPECT_EQ(answers.size(), later ? 0u : 1u);
    auto gone = std::make_unique<QObject>();
    os::OpenBox(os::MessageRequest("x"), gone.get(),
                [&](int answer) { answers.push_back(answer); });
    gone.reset();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(answers, (later ? std::vector<int>{os::IDCANCEL}
                              : std::vector<int>{os::IDCANCEL, os::IDCANCEL}));
    const std::vector<BoxRequest> expected = {
        {"trust?", "Pelorin32", BoxButtons::OkCancel, BoxIcon::None},
        {"x", "Pelorin32", BoxButtons::Ok, BoxIcon::None}};
    EXPECT_EQ(recorder.Boxes(), expected);
  }
}

}  // namespace
