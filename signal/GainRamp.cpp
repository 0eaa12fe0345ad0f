#include "signal/GainRamp.h"

#include <algorithm>
#include <cmath>

double GainForAttenuationDb(double attDb) {
  if (!(attDb < kSilenceDb)) return 0.0;
  if (attDb <= 0.0) return 1.0;
  return std::pow(10.0, -attDb / 20.0);
}

void GainRamp::Setup(double rateHz, double rampMs) {
  rampSamples_ = std::max(1, static_cast<int>(std::lround(rateHz * rampMs / 1000.0)));
  Reset();
}

void GainRamp::Reset() {
  dest_ = gain_ = Target();
  step_ = 0.0;
  left_ = 0;
}

void GainRamp::SetTarget(double gain) {
  target_.store(std::isnan(gain) ? 0.0 : std::clamp(gain, 0.0, 1.0), std::memory_order_relaxed);
}

void GainRamp::Process(double* x, int n, int channels) {
  if (channels == 2) {
    for (int i = 0; i < n; ++i) {
      double frame[1] = {1.0};
      Process(frame, 1);  // the gain this frame gets, stepped as for mono
      x[2 * i] *= frame[0];
      x[2 * i + 1] *= frame[0];
    }
    return;
  }
  const double target = Target();
  if (target != dest_) {
    // Every change takes the whole ramp, from wherever the gain stands.
    dest_ = target;
    left_ = rampSamples_;
    step_ = (dest_ - gain_) / rampSamples_;
  }
  int i = 0;
  for (; i < n && left_ > 0; ++i) {
    // The last step lands on the target exactly.
    gain_ = --left_ == 0 ? dest_ : gain_ + step_;
    x[i] *= gain_;
  }
  if (i == n || gain_ == 1.0) return;
  for (; i < n; ++i) x[i] *= gain_;
}
