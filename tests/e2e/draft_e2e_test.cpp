// The draft on a real desktop (Xvfb with trayer): what is typed outlives a SIGKILL and an Escape
// in link mode, comes back at the next start with a status line that says so, and goes once the
// message is queued. The restored fields are checked by sending them to the test mail server.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "e2e/desktop_input.h"
#include "e2e/maildir.h"
#include "e2e/program_test.h"
#include "e2e/status_line.h"
#include "outbox/draft_store.h"
#include "support/event_loop.h"
#include "support/read_file.h"

namespace {

using e2e::WindowId;
using pelorin::DraftFields;

constexpr const char* kRecipient = "ann@example.org";
constexpr const char* kRestored = "The text you were writing when the program last ended is back.";

class DraftEndToEndTest : public e2e::ProgramTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ProgramTest::SetUp());
    ASSERT_NO_FATAL_FAILURE(Configure(server_.port, "me@example.com"));
  }

  std::string DraftPath() const {
    return program_->HomeDirectory() + "/.local/state/pelorin32/draft";
  }

  std::optional<DraftFields> Draft() const {
    const std::optional<std::string> bytes = testing_support::ReadFileIfThere(DraftPath());
    std::string why;
    return bytes ? pelorin::ParseDraftFile(*bytes, why) : std::nullopt;
  }

  static bool TypeBody(WindowId window, const std::string& text) {
    return e2e::Click(window, e2e::kMemo.x, e2e::kMemo.y) && e2e::TypeText(text);
  }

  // Starts the tray copy again: the draft is back in its fields, which Send then delivers, and
  // the queued message leaves no draft behind.
  void ExpectRestoredAndSent(const std::string& marker, const std::string& body) {
    ASSERT_TRUE(program_->Start({}));
    const std::optional<WindowId> window = ShowFromTray();
    ASSERT_TRUE(window.has_value()) << "the window did not come up from the tray";
    ASSERT_TRUE(e2e::WaitForStatus(*window, kRestored, "draft-restored-status.png"));
    ASSERT_TRUE(e2e::Click(*window, e2e::kSendButton.x, e2e::kSendButton.y));
    ASSERT_TRUE(e2e::WaitForStatus(*window, "Mail has been sent!", "draft-sent-status.png"));
    const std::vector<std::string> delivered =
        testing_support::DeliveredMessages(server_.maildir, marker, 1, std::chrono::seconds(20));
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_NE(delivered[0].find("To:  <" + std::string(kRecipient) + ">"), std::string::npos);
    EXPECT_NE(delivered[0].find("\n" + body + "\n"), std::string::npos) << delivered[0];
    EXPECT_FALSE(std::filesystem::exists(DraftPath())) << "the queued text is still a draft";
  }

  const testing_support::TestMailServer server_ = testing_support::TheTestMailServer();
};

TEST_F(DraftEndToEndTest, TextTypedBeforeAKillComesBackAtTheNextStart) {
  const std::string marker = testing_support::UniqueMarker();
  const std::string body = "Typed before the kill";
  ASSERT_TRUE(program_->Start({}));
  const std::optional<WindowId> window = ShowFromTray();
  ASSERT_TRUE(window.has_value()) << "the window did not come up from the tray";
  ASSERT_TRUE(Fill(*window, e2e::kEmailField, kRecipient));
  ASSERT_TRUE(Fill(*window, e2e::kSubjectField, "Draft " + marker));
  ASSERT_TRUE(TypeBody(*window, body));
  const DraftFields typed{"", kRecipient, "Draft " + marker, body};
  ASSERT_TRUE(testing_support::RunEventsUntil([&] { return Draft() == typed; }))
      << "the typed text was not kept in " << DraftPath();
  ASSERT_TRUE(Kill()) << "the program did not end with SIGKILL";
  ExpectRestoredAndSent(marker, body);
}

TEST_F(DraftEndToEndTest, EscapeInLinkModeKeepsTheTextForTheNextStart) {
  const std::string marker = testing_support::UniqueMarker();
  const std::string body = "Typed before Escape";
  ASSERT_TRUE(program_->Start({"/u", std::string("mailto:") + kRecipient + "?Subject=" + marker}));
  const std::optional<WindowId> window = MainWindow();
  ASSERT_TRUE(window.has_value()) << "the window did not come up in link mode";
  ASSERT_TRUE(TypeBody(*window, body));
  ASSERT_TRUE(e2e::PressKeys({"Escape"}));
  const std::optional<e2e::ExitStatus> status = program_->WaitForExit();
  ASSERT_TRUE(status.has_value()) << "Escape did not end link mode";
  EXPECT_EQ(status->code, 0) << status->Describe();
  EXPECT_EQ(Draft(), (DraftFields{"", kRecipient, marker, body}));
  ExpectRestoredAndSent(marker, body);
}

}  // namespace
