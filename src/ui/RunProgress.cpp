#include "ui/RunProgress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// The rate is taken over this much of the recent past: long enough to smooth the bursts of
// a transfer, short enough to follow a change of speed.
constexpr int64_t RateWindowMs = 5000;
// Less than this much transfer tells no rate worth showing.
constexpr int64_t RateMinimumSpanMs = 1000;

bool IsTransfer(TFileAction action) { return action == TFileAction::Send || action == TFileAction::Fetch; }

}  // namespace

void TRunProgress::Add(const TRunEvent& event, int64_t nowMs) {
  switch (event.Kind) {
    case TRunEvent::TKind::Planned:
      // Totals so far: a later plan never makes the run know less.
      FPlannedFiles = std::max(FPlannedFiles, event.Files);
      FPlannedBytes = std::max(FPlannedBytes, event.Bytes);
      return;
    case TRunEvent::TKind::Progress:
      FCurrentName = event.Name;
      FCurrentBytes = std::max<int64_t>(event.Bytes, 0);
      FCurrentTotal = event.Total;
      break;
    case TRunEvent::TKind::FileDone:
    case TRunEvent::TKind::FileFailed:
      if (!IsTransfer(event.Action)) return;
      FileEnded(event);
      break;
  }
  NoteMoved(nowMs);
}

void TRunProgress::FileEnded(const TRunEvent& event) {
  ++FFilesDone;
  if (event.Kind == TRunEvent::TKind::FileDone) FBytesDone += std::max<int64_t>(event.Bytes, 0);
  // Files handed to other connections end without progress of their own; only the end of
  // the file in transfer here takes its count back.
  if (event.Name == FCurrentName) {
    FCurrentName.clear();
    FCurrentBytes = 0;
    FCurrentTotal = 0;
  }
}

void TRunProgress::NoteMoved(int64_t nowMs) {
  FSamples.push_back({nowMs, Moved()});
  while (FSamples.size() > 2 && nowMs - FSamples[1].Ms >= RateWindowMs) FSamples.pop_front();
}

double TRunProgress::Rate() const {
  if (FSamples.size() < 2) return 0;
  const TSample& first = FSamples.front();
  const TSample& last = FSamples.back();
  const int64_t span = last.Ms - first.Ms;
  if (span < RateMinimumSpanMs || last.Bytes <= first.Bytes) return 0;
  return static_cast<double>(last.Bytes - first.Bytes) * 1000.0 / static_cast<double>(span);
}

int32_t TRunProgress::Permille() const {
  if (FPlannedBytes > 0) return static_cast<int32_t>(std::min<int64_t>(Moved() * 1000 / FPlannedBytes, 1000));
  if (FPlannedFiles > 0) return static_cast<int32_t>(std::min<int64_t>(FFilesDone * 1000 / FPlannedFiles, 1000));
  if (FCurrentTotal > 0) return static_cast<int32_t>(std::min<int64_t>(FCurrentBytes * 1000 / FCurrentTotal, 1000));
  return -1;
}

int64_t TRunProgress::SecondsLeft() const {
  const double rate = Rate();
  const int64_t left = FPlannedBytes > 0 ? FPlannedBytes - Moved() : FCurrentTotal - FCurrentBytes;
  if (rate <= 0 || left <= 0) return -1;
  return std::llround(static_cast<double>(left) / rate);
}

std::string TRunProgress::Text() const {
  std::string text;
  const auto add = [&text](const std::string& part) { text += (text.empty() ? "" : " \u00b7 ") + part; };
  if (const int32_t share = Permille(); share >= 0) add(std::to_string(share / 10) + "%");
  if (FPlannedFiles > 0)
    add(std::to_string(std::min(FFilesDone, FPlannedFiles)) + " of " + std::to_string(FPlannedFiles) + " files");
  if (const double rate = Rate(); rate > 0) add(RateText(rate));
  if (const int64_t left = SecondsLeft(); left >= 0) add(DurationText(left) + " left");
  return text;
}

std::string TRunProgress::RateText(double bytesPerSecond) {
  char text[32];
  const double kib = bytesPerSecond / 1024.0;
  if (kib < 1024.0)
    std::snprintf(text, sizeof text, "%.0f KiB/s", kib);
  else
    std::snprintf(text, sizeof text, "%.1f MiB/s", kib / 1024.0);
  return text;
}

std::string TRunProgress::DurationText(int64_t seconds) {
  char text[32];
  if (seconds >= 3600)
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  else
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  return text;
}
