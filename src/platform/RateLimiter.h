#pragma once
// TRateLimiter: a limit on the bytes per second that several connections send and receive
// together, as one token bucket they all draw from. Each connection counts what it moved
// and waits until the bucket has paid for it; a connection that moves less leaves more for
// the others.
//
// Threads: any number of threads may call Take at once.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>

class TSocketCanceller;

class TRateLimiter {
 public:
  // ABytesPerSecond greater than 0.
  explicit TRateLimiter(int64_t ABytesPerSecond);

  // The most one read or write should move at a time: a tenth of a second's worth (at least
  // 1 KiB), so that no single step runs far ahead of the limit and waits stay short.
  size_t StepBytes() const { return FStep; }
  // Counts ABytes moved and waits until the limit allows them. False when ACanceller (if
  // any) was cancelled before the wait ended.
  bool Take(size_t ABytes, const TSocketCanceller* ACanceller);

 private:
  using Clock = std::chrono::steady_clock;
  // When the bytes counted so far are paid for.
  Clock::time_point Book(size_t ABytes);

  const double FNanosecondsPerByte;
  const size_t FStep;
  std::mutex FMutex;
  Clock::time_point FPaidUntil;  // guarded by FMutex
};
