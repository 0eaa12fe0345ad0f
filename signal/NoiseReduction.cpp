#include "signal/NoiseReduction.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr double kPi = 3.14159265358979323846;

// Square-root Hann of the frame: its square overlaps to exactly 1 at half
// overlap, so analysis times synthesis restores the input.
struct Tables {
  double window[kNrFrame];
  double cosine[kNrFft / 2], sine[kNrFft / 2];
  int reverse[kNrFft];
  Tables() {
    for (int j = 0; j < kNrFrame; ++j) window[j] = std::sin(kPi * j / kNrFrame);
    for (int k = 0; k < kNrFft / 2; ++k) {
      cosine[k] = std::cos(2.0 * kPi * k / kNrFft);
      sine[k] = std::sin(2.0 * kPi * k / kNrFft);
    }
    int bits = 0;
    while ((1 << bits) < kNrFft) ++bits;
    for (int i = 0; i < kNrFft; ++i) {
      int r = 0;
      for (int b = 0; b < bits; ++b) r |= ((i >> b) & 1) << (bits - 1 - b);
      reverse[i] = r;
    }
  }
};
const Tables& T() {
  static const Tables t;
  return t;
}

// In-place radix-2 transform; sign -1 forward, +1 inverse (unscaled).
void Fft(double* re, double* im, int sign) {
  const Tables& t = T();
  for (int i = 0; i < kNrFft; ++i) {
    const int r = t.reverse[i];
    if (r > i) {
      std::swap(re[i], re[r]);
      std::swap(im[i], im[r]);
    }
  }
  for (int len = 2; len <= kNrFft; len <<= 1) {
    const int half = len >> 1, step = kNrFft / len;
    for (int start = 0; start < kNrFft; start += len)
      for (int k = 0; k < half; ++k) {
        const double c = t.cosine[k * step], s = sign * t.sine[k * step];
        const int a = start + k, b = a + half;
        const double tr = re[b] * c - im[b] * s, ti = re[b] * s + im[b] * c;
        re[b] = re[a] - tr;
        im[b] = im[a] - ti;
        re[a] += tr;
        im[a] += ti;
      }
  }
}

// The exponential integral E1(v), v > 0, to about 1e-5 (Abramowitz and
// Stegun 5.1.53 and 5.1.56).
double E1(double v) {
  if (v < 1.0)
    return -0.57721566 - std::log(v) + v * (0.99999193 + v * (-0.24991055 + v * (0.05519968 + v * (-0.00976004 + v * 0.00107857))));
  return std::exp(-v) / v * (v * v + 2.334733 * v + 0.250621) / (v * v + 3.330657 * v + 1.681534);
}

// Frames per sub-window of the minimum search; four of them span 0.35 s.
constexpr int kSubFrames = 8;
// Tuned on the noise benchmark (bench/bench_noise_reduction.cpp).
constexpr double kSmoothing = 0.7;          // of the noisy power, per frame
constexpr double kPresenceRatio = 2.5;      // smoothed power over the minimum that means speech
constexpr double kPresenceSmoothing = 0.2;
constexpr double kNoiseSmoothing = 0.9;     // per frame where there is no speech: about 0.1 s
constexpr double kMinimumBias = 1.5;        // the minimum of a noisy power lies below its mean
constexpr double kDecisionDirected = 0.95;
constexpr double kCap = 4.0;                // how far a steady bin's noise may stand above its neighbours
constexpr double kSteady = 1.5;             // smoothed power over its minimum below which a bin is steady
constexpr int kWarmUpFrames = 8;

}  // namespace

double NrFloorDb(int level) {
  static const double floors[kNrLevels] = {-10.0, -16.0, -22.0, -28.0};
  return floors[std::clamp(level, 1, kNrLevels) - 1];
}

void NoiseReductionStage::SetLevel(int l) {
  level = std::clamp(l, 1, kNrLevels);
  floorGain = std::pow(10.0, NrFloorDb(level) / 20.0);
}

void NoiseReductionStage::Reset() {
  SetLevel(level);
  std::memset(in, 0, sizeof in);
  std::memset(ola, 0, sizeof ola);
  std::memset(ready, 0, sizeof ready);
  fill = 0;
  for (int k = 0; k < kNrBins; ++k) {
    smoothed[k] = minimum[k] = running[k] = noise[k] = 0.0;
    presence[k] = 0.0;
    gainPrev[k] = 1.0;
    snrPrev[k] = 1.0;
    for (auto& sub : subMin) sub[k] = 0.0;
  }
  frames = 0;
  subFrame = 0;
}

void NoiseReductionStage::Process(double* io, int count) {
  const Tables& t = T();
  for (int i = 0; i < count; ++i) {
    const double x = io[i];
    if (!std::isfinite(x)) {
      Reset();
      io[i] = 0.0;
      continue;
    }
    io[i] = ready[fill];
    in[kNrFrame - kNrHop + fill] = x;
    if (++fill < kNrHop) continue;
    fill = 0;

    // --- one frame -----------------------------------------------------------
    for (int j = 0; j < kNrFrame; ++j) {
      re[j] = in[j] * t.window[j];
      im[j] = 0.0;
    }
    for (int j = kNrFrame; j < kNrFft; ++j) re[j] = im[j] = 0.0;
    Fft(re, im, -1);

    const bool first = frames == 0;
    for (int k = 0; k < kNrBins; ++k) {
      const double p = re[k] * re[k] + im[k] * im[k];
      // Noise: the minimum of the smoothed power over about 0.35 s tells
      // where speech is; where it is not, the estimate follows the power.
      if (first) {
        smoothed[k] = minimum[k] = running[k] = noise[k] = p;
        for (auto& sub : subMin) sub[k] = p;
      } else if (frames < kWarmUpFrames) {
        // The first frames set the noise by their mean: one frame alone (a
        // filter still filling, a click) would be a poor start.
        smoothed[k] = kSmoothing * smoothed[k] + (1.0 - kSmoothing) * p;
        noise[k] += (p - noise[k]) / (frames + 1);
        running[k] = minimum[k] = std::min(minimum[k], smoothed[k]);
        for (auto& sub : subMin) sub[k] = minimum[k];
      } else {
        smoothed[k] = kSmoothing * smoothed[k] + (1.0 - kSmoothing) * p;
        running[k] = std::min(running[k], smoothed[k]);
        minimum[k] = std::min(minimum[k], smoothed[k]);
      }
      const bool speech = smoothed[k] > kPresenceRatio * kMinimumBias * minimum[k];
      presence[k] = kPresenceSmoothing * presence[k] + (1.0 - kPresenceSmoothing) * (speech ? 1.0 : 0.0);
      const double a = kNoiseSmoothing + (1.0 - kNoiseSmoothing) * presence[k];
      if (frames >= kWarmUpFrames) noise[k] = a * noise[k] + (1.0 - a) * p;
    }
    // A steady tone (a carrier, a held Morse tone) looks like noise to the
    // minimum search. Noise fluctuates (its smoothed power keeps well above
    // its minimum) where a tone does not, and a tone fills a few bins: a
    // steady bin's noise may not stand more than kCap above the louder of
    // its neighbours three to five bins away on both sides (one side at
    // the ends of the spectrum). Noise a narrow filter left (BP100 before
    // CW) still fluctuates, so it is not taken for a tone.
    for (int k = 0; k < kNrBins; ++k) {
      if (smoothed[k] > kSteady * minimum[k]) {
        capped[k] = noise[k];
        continue;
      }
      double left = -1.0, right = -1.0;
      for (int d = 3; d <= 5; ++d) {
        if (k - d >= 0) left = std::max(left, noise[k - d]);
        if (k + d < kNrBins) right = std::max(right, noise[k + d]);
      }
      const double around = left < 0.0 ? right : right < 0.0 ? left : std::min(left, right);
      capped[k] = std::min(noise[k], kCap * around);
    }
    for (int k = 0; k < kNrBins; ++k) {
      const double p = re[k] * re[k] + im[k] * im[k];
      // The MMSE log-spectral-amplitude gain where speech is, the floor
      // where it is not, weighed by the probability of speech (OM-LSA).
      const double n = std::max(capped[k], 1e-6);
      const double gamma = std::min(p / n, 1e6);
      const double xiMin = floorGain * floorGain;
      double xi = kDecisionDirected * gainPrev[k] * gainPrev[k] * snrPrev[k] +
                  (1.0 - kDecisionDirected) * std::max(gamma - 1.0, 0.0);
      xi = std::max(xi, xiMin);
      const double v = std::max(xi / (1.0 + xi) * gamma, 1e-8);
      const double lsa = std::min(xi / (1.0 + xi) * std::exp(0.5 * E1(v)), 1.0);
      const double q = std::clamp(1.0 - presence[k], 0.05, 0.95);  // prior absence
      const double speech = 1.0 / (1.0 + q / (1.0 - q) * (1.0 + xi) * std::exp(-std::min(v, 500.0)));
      const double g = std::clamp(std::pow(lsa, speech) * std::pow(floorGain, 1.0 - speech), floorGain, 1.0);
      gain[k] = g;
      gainPrev[k] = lsa;
      snrPrev[k] = gamma;
    }
    if (++subFrame == kSubFrames) {
      // The window slides by a sub-window: the oldest minimum goes.
      subFrame = 0;
      for (int s = 3; s > 0; --s) std::memcpy(subMin[s], subMin[s - 1], sizeof subMin[0]);
      std::memcpy(subMin[0], running, sizeof running);
      for (int k = 0; k < kNrBins; ++k) {
        minimum[k] = std::min(std::min(subMin[0][k], subMin[1][k]), std::min(subMin[2][k], subMin[3][k]));
        running[k] = smoothed[k];
      }
    }
    ++frames;

    // A lone bin far above both neighbours is musical noise, not a tone (a
    // tone spreads over its neighbours too): at most twice their gain.
    for (int k = 0; k < kNrBins; ++k) {
      const double left = k > 0 ? gain[k - 1] : gain[k + 1];
      const double right = k + 1 < kNrBins ? gain[k + 1] : gain[k - 1];
      const double g = std::min(gain[k], 2.0 * std::max(left, right));
      re[k] *= g;
      im[k] *= g;
      if (k > 0 && k < kNrFft / 2) {
        re[kNrFft - k] *= g;
        im[kNrFft - k] *= g;
      }
    }
    Fft(re, im, +1);
    for (int j = 0; j < kNrFrame; ++j) ola[j] += re[j] * t.window[j] / kNrFft;
    std::memcpy(ready, ola, sizeof ready);
    std::memmove(ola, ola + kNrHop, sizeof(double) * (kNrFrame - kNrHop));
    std::memset(ola + kNrFrame - kNrHop, 0, sizeof(double) * kNrHop);
    std::memmove(in, in + kNrHop, sizeof(double) * (kNrFrame - kNrHop));
  }
}
