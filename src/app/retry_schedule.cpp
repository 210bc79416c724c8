#include "app/retry_schedule.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace pelorin {

RetrySchedule::RetrySchedule(RetryClock clock, RetryChance chance, std::chrono::milliseconds minute)
    : clock_(std::move(clock)), chance_(std::move(chance)), minute_(minute) {}

std::chrono::system_clock::time_point RetrySchedule::Failed() {
  const std::size_t index =
      std::min(static_cast<std::size_t>(failures_), kRetryStepMinutes.size() - 1);
  const double chance = std::clamp(chance_(), 0.0, 1.0);
  const auto base = minute_ * kRetryStepMinutes[index];
  const auto step = std::chrono::milliseconds(static_cast<std::chrono::milliseconds::rep>(
      static_cast<double>(base.count()) * (1.0 + kRetryJitter * chance)));
  lastStep_ = std::max(lastStep_, step);
  ++failures_;
  next_ = clock_() + lastStep_;
  return *next_;
}

void RetrySchedule::Succeeded() {
  failures_ = 0;
  lastStep_ = std::chrono::milliseconds(0);
  next_.reset();
}

}  // namespace pelorin
