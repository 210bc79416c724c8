// What marks one message as written at one moment: its Date and Message-ID header values.
// Made apart from the message text, so that tests can give fixed ones and compare bytes.
#pragma once

#include <ctime>
#include <random>
#include <string>

namespace pelorin {

struct MessageStamp {
  std::string date;       // as "Wed, 09 Dec 2026 14:05:09 +0100"
  std::string messageId;  // as "<unique@domain>", brackets included
};

// `local` (the broken-down local time) and its distance from UTC as a Date value. Day and
// month names are English whatever the locale.
std::string MessageDate(const std::tm& local, long utcOffsetSeconds);

// `when` in the local time zone as a Date value.
std::string LocalMessageDate(std::time_t when);

// The domain of a Message-ID: the sender address's, or else `hostName`, or else "localhost",
// whichever is first a plain domain name.
std::string MessageIdDomain(const std::string& sender, const std::string& hostName);

// 32 hexadecimal digits: 128 bits from `random`.
std::string UniqueIdPart(std::random_device& random);

// The stamp of a message that `sender` writes now on this host.
MessageStamp StampNow(const std::string& sender);

}  // namespace pelorin
