#include "platform/RateLimiter.h"

#include <algorithm>
#include <thread>

#include "platform/Socket.h"

namespace {
// Time left idle that may be made up at once: a little, so that a pause (a new file, a
// directory listing) is not lost to the transfer, and not so much that a burst shows.
constexpr std::chrono::milliseconds kCatchUp{100};
// The longest single sleep, so that a stop is seen promptly.
constexpr std::chrono::milliseconds kWaitStep{50};
}  // namespace

TRateLimiter::TRateLimiter(int64_t ABytesPerSecond)
    : FNanosecondsPerByte(1e9 / static_cast<double>(std::max<int64_t>(ABytesPerSecond, 1))),
      FStep(static_cast<size_t>(std::max<int64_t>(ABytesPerSecond / 10, 1024))),
      FPaidUntil(Clock::now()) {}

TRateLimiter::Clock::time_point TRateLimiter::Book(size_t ABytes) {
  const auto cost = std::chrono::nanoseconds(static_cast<int64_t>(static_cast<double>(ABytes) * FNanosecondsPerByte));
  std::lock_guard lock(FMutex);
  FPaidUntil = std::max(FPaidUntil, Clock::now() - kCatchUp) + cost;
  return FPaidUntil;
}

bool TRateLimiter::Take(size_t ABytes, const TSocketCanceller* ACanceller) {
  const Clock::time_point due = Book(ABytes);
  for (;;) {
    if (ACanceller != nullptr && ACanceller->Cancelled()) return false;
    const auto left = due - Clock::now();
    if (left <= Clock::duration::zero()) return true;
    std::this_thread::sleep_for(std::min<Clock::duration>(left, kWaitStep));
  }
}
