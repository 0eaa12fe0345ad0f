#include "spectrum/Waterfall.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "signal/SampleRate.h"

namespace {
constexpr double kTwoPi = 6.283185307179586;
constexpr double kNyquistHz = kSampleRate / 2;
constexpr int kFloorBlock = 16;  // bins per step of the floor along the band (86 Hz)
constexpr int kFloorBlocks = (kWfBins + kFloorBlock - 1) / kFloorBlock;
// The floor falls with the noise within a quarter of a second and rises
// with it over 1.5 s, so the splatter of a keyed or switched signal (a line
// or two) hardly lifts it.
constexpr double kFloorFallSeconds = 0.25, kFloorRiseSeconds = 1.5;
// Added to every bin's power before the logarithm: far below one 16-bit step
// of noise (about 29 dB here), so digital silence reads as a flat 0 dB.
constexpr double kPowerBias = 1.0;

// y at offset d from the middle of three bins, on the parabola through them.
inline float Parabola(float ym, float y0, float yp, double d) {
  const double a = 0.5 * (yp - ym), b = 0.5 * (yp - 2.0 * y0 + ym);
  return static_cast<float>(y0 + d * (a + d * b));
}
}  // namespace

WaterfallSpan WaterfallSpanFor(int zoomHz, double foHz) {
  if (zoomHz <= 0 || zoomHz >= kNyquistHz) return {0.0, kNyquistHz};
  const double lo = std::clamp(foHz - zoomHz / 2.0, 0.0, kNyquistHz - zoomHz);
  return {lo, lo + zoomHz};
}

double WaterfallColumnHz(int x, int width, const WaterfallSpan& span) {
  if (width < 1) return span.loHz;
  return span.loHz + (x + 0.5) * (span.hiHz - span.loHz) / width;
}

int WaterfallColumnOf(double hz, int width, const WaterfallSpan& span) {
  if (width < 1 || !(hz >= span.loHz && hz < span.hiHz)) return -1;
  return std::min(width - 1, static_cast<int>((hz - span.loHz) * width / (span.hiHz - span.loHz)));
}

WaterfallModel::WaterfallModel()
    : window_(new double[kWfPoints]),
      history_(new double[kWfPoints]()),
      work_(new double[kWfPoints]),
      power_(new double[kWfBins]),
      sum_(new double[kWfBins]()),
      level_(new float[kWfBins]),
      floor_(new float[kWfBins]()),
      ring_(new float[static_cast<std::size_t>(kWfMaxLines) * kWfBins]()) {
  // Periodic Hann: frames overlapping by half or more sum to a constant.
  for (int i = 0; i < kWfPoints; ++i) window_[i] = 0.5 - 0.5 * std::cos(kTwoPi * i / kWfPoints);
  SetSpeed(speed_);
}

void WaterfallModel::SetSpeed(int linesPerSecond) {
  speed_ = std::clamp(linesPerSecond, 2, 50);
  // Frames at most a quarter of a frame apart (75 % overlap), a whole
  // number of them in each line: three at 10 lines a second, whose mean
  // keeps the noise's speckle down.
  const int samplesPerLine = (kSampleRateHz + speed_ - 1) / speed_;
  framesPerLine_ = (samplesPerLine + kWfPoints / 4 - 1) / (kWfPoints / 4);
  Restart();
}

void WaterfallModel::Restart() {
  fed_ = 0;
  frames_ = 0;
  nextEnd_ = kWfPoints;
  inLine_ = 0;
  std::fill(sum_.get(), sum_.get() + kWfBins, 0.0);
}

int WaterfallModel::Feed(const double* samples, int count) {
  const long long before = lines_;
  for (int i = 0; i < count; ++i) {
    const double v = samples[i];
    history_[fed_ & (kWfPoints - 1)] = std::isfinite(v) ? v : 0.0;
    if (++fed_ == nextEnd_) {
      Frame();
      ++frames_;
      // Frame i ends at N + i * rate / (speed * frames per line) samples:
      // lines of exactly 1 / speed seconds on average.
      nextEnd_ = kWfPoints + frames_ * kSampleRateHz / (static_cast<long long>(speed_) * framesPerLine_);
    }
  }
  return static_cast<int>(lines_ - before);
}

void WaterfallModel::Frame() {
  // The last N samples in order, oldest first.
  const long long start = fed_ - kWfPoints;
  for (int i = 0; i < kWfPoints; ++i) work_[i] = history_[(start + i) & (kWfPoints - 1)] * window_[i];
  fft_.Power(work_.get(), power_.get());
  for (int k = 0; k < kWfBins; ++k) sum_[k] += power_[k];
  if (++inLine_ == framesPerLine_) FinishLine();
}

void WaterfallModel::FinishLine() {
  const double scale = 1.0 / inLine_;
  for (int k = 0; k < kWfBins; ++k) {
    level_[k] = static_cast<float>(10.0 * std::log10(sum_[k] * scale + kPowerBias));
    sum_[k] = 0.0;
  }
  inLine_ = 0;

  // The floor: the median level of each stretch of 16 bins and its two
  // neighbours (258 Hz), so a few tones never lift it but a band of noise
  // does, followed over time and drawn straight between the stretches'
  // centres.
  static_assert(kFloorBlocks * kFloorBlock >= kWfBins);
  float medians[kFloorBlocks];
  float pick[3 * kFloorBlock];
  for (int b = 0; b < kFloorBlocks; ++b) {
    const int from = std::max(0, (b - 1) * kFloorBlock), to = std::min(kWfBins, (b + 2) * kFloorBlock);
    std::copy(level_.get() + from, level_.get() + to, pick);
    const int n = to - from;
    std::nth_element(pick, pick + n / 2, pick + n);
    medians[b] = pick[n / 2];
  }
  const float fall =
      floorSet_ ? static_cast<float>(1.0 - std::exp(-1.0 / (speed_ * kFloorFallSeconds))) : 1.0f;
  const float rise =
      floorSet_ ? static_cast<float>(1.0 - std::exp(-1.0 / (speed_ * kFloorRiseSeconds))) : 1.0f;
  for (int b = 0; b < kFloorBlocks; ++b)
    blockFloor_[b] += (medians[b] < blockFloor_[b] ? fall : rise) * (medians[b] - blockFloor_[b]);
  floorSet_ = true;
  for (int k = 0; k < kWfBins; ++k) {
    const double at = (k - (kFloorBlock - 1) / 2.0) / kFloorBlock;  // in block centres
    const int b = std::clamp(static_cast<int>(std::floor(at)), 0, kFloorBlocks - 2);
    const double t = std::clamp(at - b, 0.0, 1.0);
    floor_[k] = static_cast<float>(blockFloor_[b] + t * (blockFloor_[b + 1] - blockFloor_[b]));
  }
  float* line = ring_.get() + (lines_ % kWfMaxLines) * kWfBins;
  for (int k = 0; k < kWfBins; ++k) line[k] = level_[k] - floor_[k];
  ++lines_;
}

void WaterfallColumns::Set(int width, const WaterfallSpan& span) {
  width_ = std::clamp(width, 1, kWfMaxColumns);
  span_ = span;
  const double binsPerHz = kWfPoints / kSampleRate;
  const double step = (span.hiHz - span.loHz) / width_;
  for (int x = 0; x < width_; ++x) {
    binLo_[x] = (span.loHz + x * step) * binsPerHz;
    binHi_[x] = (span.loHz + (x + 1) * step) * binsPerHz;
  }
}

void WaterfallColumns::Map(const float* y, float* out) const {
  constexpr int kLast = kWfBins - 1;
  for (int x = 0; x < width_; ++x) {
    const double lo = binLo_[x], hi = binHi_[x];
    if (hi - lo < 1.0) {
      // The parabola about the higher of the two bins around the centre:
      // near a peak both sides then follow the peak's own.
      const double c = 0.5 * (lo + hi);
      const int below = std::clamp(static_cast<int>(c), 0, kLast - 1);
      const int n = std::clamp(y[below + 1] > y[below] ? below + 1 : below, 1, kLast - 1);
      out[x] = Parabola(y[n - 1], y[n], y[n + 1], c - n);
      continue;
    }
    const int first = static_cast<int>(std::ceil(lo)),
              last = std::min(kLast, static_cast<int>(std::ceil(hi)) - 1);
    float best = y[std::min(first, kLast)];
    for (int b = first + 1; b <= last; ++b) best = std::max(best, y[b]);
    // A peak between two bins lies higher than both: its vertex counts for
    // the column it falls in.
    for (int b = std::max(1, first - 1); b <= std::min(kLast - 1, last + 1); ++b) {
      const float ym = y[b - 1], y0 = y[b], yp = y[b + 1];
      if (!(y0 >= ym && y0 >= yp)) continue;
      const double a = 0.5 * (yp - ym), c = 0.5 * (yp - 2.0 * y0 + ym);
      if (c >= 0.0) continue;
      const double d = -a / (2.0 * c);
      if (b + d >= lo && b + d < hi) best = std::max(best, static_cast<float>(y0 - a * a / (4.0 * c)));
    }
    out[x] = best;
  }
}
