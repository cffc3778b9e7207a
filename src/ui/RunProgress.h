#pragma once
// TRunProgress: what a running session's "Progress" cell and its line of the tray tip say,
// made from the run's typed events. With a plan (the files the run knows it will transfer,
// which grows with every listing) it is the share of those files' bytes that has gone, and
// "12 of 40 files"; without one, the share of the file in transfer. Beside it the rate, taken
// over the last few seconds, and the time left when the rate and what is left are known.
//
// Times are given by the caller (milliseconds on a steady clock), so the arithmetic does not
// depend on when it runs. Main thread only.

#include <cstdint>
#include <deque>
#include <string>

#include "engine/RunEvents.h"

class TRunProgress {
 public:
  void Add(const TRunEvent& event, int64_t nowMs);

  // The share done in thousandths, or -1 when nothing tells it.
  int32_t Permille() const;
  // Bytes a second over the last few seconds; 0 until a second of transfer has been seen.
  double Rate() const;
  // Seconds until what is known is done, or -1 when that cannot be estimated.
  int64_t SecondsLeft() const;
  // "35% · 12 of 40 files · 1.2 MiB/s · 0:42 left", each part only when known; empty when
  // nothing is known yet.
  std::string Text() const;

  // "850 KiB/s", "1.2 MiB/s".
  static std::string RateText(double bytesPerSecond);
  // "0:42", "12:05", "1:02:03".
  static std::string DurationText(int64_t seconds);

 private:
  void NoteMoved(int64_t nowMs);
  void FileEnded(const TRunEvent& event);
  int64_t Moved() const { return FBytesDone + FCurrentBytes; }

  int64_t FPlannedFiles = 0;
  int64_t FPlannedBytes = 0;
  int64_t FFilesDone = 0;  // transfers that ended, failed ones included
  int64_t FBytesDone = 0;
  std::string FCurrentName;
  int64_t FCurrentBytes = 0;
  int64_t FCurrentTotal = 0;
  struct TSample {
    int64_t Ms;
    int64_t Bytes;
  };
  std::deque<TSample> FSamples;  // bytes moved in all, over the rate's window
};
