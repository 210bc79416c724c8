// The Date and Message-ID values: the date in the mail format with its zone whatever the
// locale, the identifier unique and of a domain that can stand in it.
#include "mail/message_stamp.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <set>

#include "support/scoped_environment.h"
#include "support/stamp_placeholders.h"

namespace pelorin {
namespace {

std::tm Moment(int year, int month, int day, int hour, int minute, int second, int weekday) {
  std::tm moment{};
  moment.tm_year = year - 1900;
  moment.tm_mon = month - 1;
  moment.tm_mday = day;
  moment.tm_hour = hour;
  moment.tm_min = minute;
  moment.tm_sec = second;
  moment.tm_wday = weekday;
  return moment;
}

TEST(MessageDateTest, WritesDayMonthTimeAndZone) {
  struct Case {
    std::tm moment;
    long offset;
    std::string date;
  };
  const std::vector<Case> cases = {
      {Moment(2026, 12, 9, 14, 5, 9, 3), 3600, "Wed, 09 Dec 2026 14:05:09 +0100"},
      {Moment(2027, 1, 1, 0, 0, 0, 5), 0, "Fri, 01 Jan 2027 00:00:00 +0000"},
      {Moment(2026, 7, 26, 23, 59, 60, 0), -12600, "Sun, 26 Jul 2026 23:59:60 -0330"},
      {Moment(2026, 3, 14, 9, 30, 0, 6), 20700, "Sat, 14 Mar 2026 09:30:00 +0545"},
      {Moment(2026, 5, 4, 1, 2, 3, 1), -36000, "Mon, 04 May 2026 01:02:03 -1000"},
  };
  for (const Case& c : cases) EXPECT_EQ(MessageDate(c.moment, c.offset), c.date);
}

// The process's time zone, set by a test and restored afterwards.
class LocalZoneTest : public ::testing::Test {
 protected:
  void TearDown() override {
    environment_.Restore();
    tzset();
  }
  void UseZone(const char* zone) {
    environment_.Set("TZ", zone);
    tzset();
  }

 private:
  testing_support::ScopedEnvironment environment_;
};

TEST_F(LocalZoneTest, LocalDateCarriesTheZonesOffsetInSummerAndWinter) {
  const std::time_t moment = 1796825109;  // 2026-12-09 14:05:09 UTC
  UseZone("UTC0");
  EXPECT_EQ(LocalMessageDate(moment), "Wed, 09 Dec 2026 14:05:09 +0000");
  UseZone("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(LocalMessageDate(moment), "Wed, 09 Dec 2026 15:05:09 +0100");
  EXPECT_EQ(LocalMessageDate(moment - 160 * 86400), "Thu, 02 Jul 2026 16:05:09 +0200");
  UseZone("<-0330>3:30");
  EXPECT_EQ(LocalMessageDate(moment), "Wed, 09 Dec 2026 10:35:09 -0330");
}

TEST(MessageIdDomainTest, TakesTheSendersDomainOrFallsBackToTheHostName) {
  struct Case {
    std::string sender;
    std::string host;
    std::string domain;
  };
  const std::vector<Case> cases = {
      {"me@example.com", "box", "example.com"},
      {"me@mail.example-1.org", "box", "mail.example-1.org"},
      {"Me <me@example.com>", "box", "example.com"},
      {"a@b@example.net", "box", "example.net"},
      {"", "box", "box"},
      {"no-at-sign", "box.lan", "box.lan"},
      {"me@", "box", "box"},
      {"me@[127.0.0.1]", "box", "box"},
      {"me@exa mple.com", "box", "box"},
      {"me@b\xC3\xBC"
       "cher.de",
       "box", "box"},
      {"me@.example.com", "box", "box"},
      {"me@example..com", "box", "box"},
      {"me@example.com.", "box", "box"},
      {"", "", "localhost"},
      {"", "my_host", "localhost"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MessageIdDomain(c.sender, c.host), c.domain) << c.sender << " on " << c.host;
  }
}

TEST(MessageStampTest, EveryStampHasADateAndAnIdentifierOfItsOwn) {
  std::set<std::string> ids;
  for (int i = 0; i < 1000; ++i) {
    const MessageStamp stamp = StampNow("me@example.com");
    ASSERT_TRUE(testing_support::IsMessageId(stamp.messageId, "example.com")) << stamp.messageId;
    ASSERT_TRUE(testing_support::IsMessageDate(stamp.date)) << stamp.date;
    ids.insert(stamp.messageId);
  }
  EXPECT_EQ(ids.size(), 1000u);
}

}  // namespace
}  // namespace pelorin
