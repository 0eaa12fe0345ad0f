#include "devices/ClockFollower.h"

#include <algorithm>
#include <cmath>

#include "signal/SampleRate.h"

namespace {
// A level error of one frame changes the rate by kProportional frames a
// second at once and by kIntegral more for each second it lasts, measured
// over windows of kWindowS: slow against the packet jitter the lowest
// level already hides, fast against the wander of two free-running clocks
// (0.2 % within seconds between two sinks of a busy sound server).
constexpr double kProportional = 0.6;
constexpr double kIntegral = 0.15;
constexpr double kWindowS = 0.5;
// The first window after a start still holds the prefill's settling.
constexpr int kSettlingWindows = 1;
// 11.6 ms: two capture packets of a sound server at 5 ms and some slack.
constexpr long kMarginFrames = 128;
// The dead band's bounds: 4.4 ms (above the jitter of 5 ms packets pushed
// in small blocks), 46 ms (the delay two clocks may drift before the rate
// moves).
constexpr long kMinBandFrames = 48;
constexpr long kMaxBandFrames = 512;
// Windows near the reference before a follower that learned nothing lets go.
constexpr int kCalmWindows = 20;
}  // namespace

long ClockFollower::DeadBand() const {
  // A quarter of a block (at least kMinBandFrames, at most kMaxBandFrames),
  // and never more than half the reference below it: the queue must not
  // run dry before the follower acts.
  const long band = std::clamp(block_ / 4, kMinBandFrames, kMaxBandFrames);
  return std::min(band, std::max(reference_ / 2, 0L));
}

void ClockFollower::Start(int nominalHz, int blockFrames) {
  nominal_ = nominalHz;
  block_ = std::max(blockFrames, 1);
  rate_ = nominalHz;
  windowMin_ = -1;
  for (long& m : sliceMin_) m = -1;
  windowFrames_ = 0;
  windows_ = 0;
  reference_ = -1;
  integral_ = 0.0;
  excess_ = 0;
  engaged_ = false;
  calmWindows_ = 0;
}

int ClockFollower::Note(long queuedFrames, int deviceFrames) {
  if (nominal_ <= 0) return rate_;
  // An empty queue before anything played is the start, not a level.
  if (windows_ == 0 && windowMin_ < 0 && queuedFrames <= 0) return rate_;
  const long windowLength = static_cast<long>(kWindowS * nominal_);
  windowMin_ = windowMin_ < 0 ? queuedFrames : std::min(windowMin_, queuedFrames);
  long& slice = sliceMin_[std::min<long>(kSlices - 1, windowFrames_ * kSlices / windowLength)];
  slice = slice < 0 ? queuedFrames : std::min(slice, queuedFrames);
  windowFrames_ += std::max(deviceFrames, 0);
  if (windowFrames_ < windowLength) return rate_;

  // Requests larger than a slice leave slices empty; with fewer than three
  // measured, the lowest level stands.
  long first = -1, second = -1;
  int measured = 0;
  for (long& m : sliceMin_) {
    if (m >= 0) {
      ++measured;
      if (first < 0 || m < first) {
        second = first;
        first = m;
      } else if (second < 0 || m < second) {
        second = m;
      }
    }
    m = -1;
  }
  const long typical = measured >= 3 ? second : windowMin_;
  const long level = windowMin_;
  windowMin_ = -1;
  windowFrames_ = 0;
  if (++windows_ <= kSettlingWindows) return rate_;
  if (reference_ < 0) {
    // Where the start left it, within bounds: less than a block (or than
    // kMarginFrames, if that is less) is too close to running dry, more
    // than a block and a half only adds delay.
    reference_ = std::clamp(level, std::min(block_, kMarginFrames), std::max(block_, 3 * block_ / 2));
    return rate_;
  }
  // The cut brings the level back to the reference; the rate then sees no
  // error from it.
  long held = level;
  if (cuts_ && level > reference_ + block_) {
    excess_ = level - reference_;
    held = reference_;
  }
  // Program frames per second the consumer should take more (level above
  // the reference) or less (below). Within the dead band the level only
  // jitters with the packets (measured on one server: +-8 frames at 64,
  // +-25 at 512, +-110 at 2048), and the rate is left alone until the level
  // first leaves it: on one clock it then stays the nominal rate, the pitch
  // exact and the delay steady (a rate that chased the jitter wandered
  // 0.3 % off and stretched the sound). Once out, the clocks differ (or a
  // stall moved the level) and the controller follows as long as it must.
  const double maxProgram = kMaxDeviation * kSampleRateHz;
  const long off = held - reference_;
  if (std::labs(off) > DeadBand() && std::labs(typical - reference_) > DeadBand()) {
    engaged_ = true;
    calmWindows_ = 0;
  } else if (engaged_ && std::labs(off) <= DeadBand() / 2 && ++calmWindows_ >= kCalmWindows &&
             std::fabs(integral_ * nominal_ / kSampleRateHz) < 0.5) {
    // Back near the reference for a while with nothing learned that a
    // whole Hz would show: one clock after all (a stall had moved the level).
    engaged_ = false;
    integral_ = 0.0;
  }
  const double error = engaged_ ? static_cast<double>(off) : 0.0;
  // The integral only learns the clocks' difference: not while the
  // proportional part is at the bound (a sudden step in the level, as when
  // a server stalls for a few blocks), or it winds up and overshoots the
  // level back to empty.
  const double integral = integral_ + kIntegral * kWindowS * error;
  if (std::fabs(kProportional * error + integral) <= maxProgram) integral_ = integral;
  const double deviation = std::clamp(kProportional * error + integral_, -maxProgram, maxProgram);
  rate_ = nominal_ + static_cast<int>(std::lround(deviation * nominal_ / kSampleRateHz));
  return rate_;
}
