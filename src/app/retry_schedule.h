// When queued mail is tried again by itself: about 1, 2, 5, 10 and 20 minutes after the first,
// second, ... failure, then every 30 minutes, each step a little longer by chance so that many
// copies that lost the same server do not all come back at once. A step is never shorter than
// the one before it; a delivery starts the steps again from the first. Pure logic: the clock
// and the chance are given, so that tests choose them.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <optional>

namespace pelorin {

using RetryClock = std::function<std::chrono::system_clock::time_point()>;
// A number in [0, 1): how much of the jitter a step gets.
using RetryChance = std::function<double()>;

inline constexpr std::array<int, 6> kRetryStepMinutes = {1, 2, 5, 10, 20, 30};
// A step grows by up to this part of itself.
inline constexpr double kRetryJitter = 0.1;

class RetrySchedule {
 public:
  // `minute`: how long a minute of the steps is (tests make it short).
  RetrySchedule(RetryClock clock, RetryChance chance,
                std::chrono::milliseconds minute = std::chrono::minutes(1));

  // A try failed (or mail was left queued): the next one is due at the returned time.
  std::chrono::system_clock::time_point Failed();
  // Everything went out: nothing is due, and the next failure starts from the first step.
  void Succeeded();
  // Nothing is due any more, but the steps reached are kept.
  void Stop() { next_.reset(); }

  std::optional<std::chrono::system_clock::time_point> Next() const { return next_; }
  int Failures() const { return failures_; }
  // The wait before the try due next.
  std::chrono::milliseconds Step() const { return lastStep_; }

 private:
  RetryClock clock_;
  RetryChance chance_;
  std::chrono::milliseconds minute_;
  int failures_ = 0;
  std::chrono::milliseconds lastStep_{0};
  std::optional<std::chrono::system_clock::time_point> next_;
};

}  // namespace pelorin
