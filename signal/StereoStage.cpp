#include "signal/StereoStage.h"

#include <cmath>

#include "signal/Kaiser.h"

namespace {
constexpr double kPi = 3.14159265358979323846;
// The window's beta: ripple within +-0.04 dB over 150..3000 Hz at this length.
constexpr double kHilbertBeta = 4.5;
}  // namespace

StereoStage::StereoStage() {
  for (int k = 0; k < kHilbertTaps; ++k) {
    const int n = k - kHilbertDelay;  // position around the centre
    if (n % 2 == 0) {
      h[k] = 0.0;
      continue;
    }
    const double r = static_cast<double>(n) / kHilbertDelay;
    h[k] = BesselI0(kHilbertBeta * std::sqrt(1.0 - r * r)) / BesselI0(kHilbertBeta) * 2.0 / (kPi * n);
  }
  Reset();
}

void StereoStage::Setup(OutputMode m, double b) {
  mode = m;
  balance = BalanceAccepted(b) ? b : 0.0;
  // Constant power, the middle at the mono level in each ear.
  const double angle = (balance + 1.0) * kPi / 4.0;
  gainLeft = std::sqrt(2.0) * std::cos(angle);
  gainRight = std::sqrt(2.0) * std::sin(angle);
}

void StereoStage::Reset() { line.Clear(); }

void StereoStage::Process(const double* mono, double* stereo, int frames) {
  if (mode == OutputMode::Pan) {
    for (int i = 0; i < frames; ++i) {
      stereo[2 * i] = gainLeft * mono[i];
      stereo[2 * i + 1] = gainRight * mono[i];
    }
    return;
  }
  if (mode != OutputMode::Binaural) return;
  for (int i = 0; i < frames; ++i) {
    // A NaN or an infinity would stay in the line for its whole length.
    const double x = std::isfinite(mono[i]) ? mono[i] : 0.0;
    line.Push(x);
    const double* w = line.Window(kHilbertTaps);  // oldest first: w[kHilbertTaps - 1 - k] is k old
    double right = 0.0;
    // Only the taps an odd distance from the centre weigh anything.
    for (int k = (kHilbertDelay + 1) % 2; k < kHilbertTaps; k += 2) right += h[k] * w[kHilbertTaps - 1 - k];
    stereo[2 * i] = w[kHilbertTaps - 1 - kHilbertDelay];
    stereo[2 * i + 1] = right;
  }
}
