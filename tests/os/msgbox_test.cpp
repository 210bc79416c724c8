// Message boxes: each kind carries its caption, buttons and icon; a recorder answers them,
// also when they are asked for on another thread.
#include "os/msgbox.h"

#include <gtest/gtest.h>

#include <atomic>
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

TEST(MessageBoxTest, PresenterAnswersBoxesAskedForOnAWorkerThreadOnTheMainThread) {
  std::thread::id shownOn;
  os::SetBoxPresenter([&](const BoxRequest&) {
    shownOn = std::this_thread::get_id();
    return os::IDCANCEL;
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
  os::SetBoxPresenter(nullptr);
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

}  // namespace
