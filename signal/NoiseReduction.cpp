#include "signal/NoiseReduction.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// The smoothing factors were tuned per half frame (10.9 ms); the same time
// constants per hop.
double PerHop(double a) { return std::pow(a, 2.0 / kNrOverlap); }

constexpr double kPi = 3.14159265358979323846;

// Square-root Hann of the frame: its square overlaps to exactly
// kNrOverlap / 2 at hops of a quarter frame, so analysis times synthesis,
// scaled by its inverse, restores the input.
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
    return -0.57721566 - std::log(v) +
           v * (0.99999193 + v * (-0.24991055 + v * (0.05519968 + v * (-0.00976004 + v * 0.00107857))));
  return std::exp(-v) / v * (v * v + 2.334733 * v + 0.250621) / (v * v + 3.330657 * v + 1.681534);
}

// 0 at or below lo, 1 at or above hi, logarithmic between.
double Between(double z, double lo, double hi) {
  if (z <= lo) return 0.0;
  if (z >= hi) return 1.0;
  return std::log(z / lo) / std::log(hi / lo);
}

// Frames per sub-window of the minimum search; four of them span 0.35 s.
constexpr int kSubFrames = 8 * kNrOverlap / 2;
// Tuned on the noise benchmark (bench/bench_noise_reduction.cpp).
const double kSmoothing = PerHop(0.7);  // of the noisy power
constexpr double kPresenceRatio = 2.5;  // smoothed power over the minimum that means speech
const double kPresenceSmoothing = PerHop(0.2);
// Where there is no speech (about 0.18 s): slower is steadier
// but lets new noise through for longer.
const double kNoiseSmoothing = PerHop(0.94);
constexpr double kMinimumBias = 1.5;  // the minimum of a noisy power lies below its mean
// Noise that rose stands all through the minimum's window before the
// speech test lets the estimate follow it, which then took another 0.3 s
// at its slow pace. Once the window shows noise that rose kRiseBy across
// the band (see the end of Estimate), each estimate starts again from
// kRiseFloor times its new minimum: the mean of a smoothed noise power
// stands about that far above its minimum over the window (1.5 still left
// the residual 5 to 10 dB high for 0.2 s).
constexpr double kRiseFloor = 2.5;
constexpr double kRiseBy = 2.0;
constexpr double kHoldsNoise = 1e-4;  // of the loudest bin's noise: -40 dB
// The decision-directed a-priori SNR leans on the last frame's estimate
// in noise (few musical tones) and follows the present frame where speech
// is strong (onsets are not smeared): the weight of the present frame goes
// from kFollowNoise to kFollowNoise + kFollowSpeech as the last clean
// estimate rises over the noise.
constexpr double kFollowNoise = 0.1, kFollowSpeech = 0.89;
// It follows the present frame also where that frame and both its
// neighbours stand kOnsetGamma times over the noise: an onset (a Morse
// element, a syllable) fills the window's main lobe, three bins, where the
// noise's peaks mostly stand in one. Led by the last frame's estimate
// alone, the gain rose a hop late, and keyed elements in noise came out up
// to 2 ms shorter than through the filter alone.
constexpr double kOnsetGamma = 3.0;
// Speech presence from the a-priori SNR smoothed in time, averaged over a
// few bins (local) and about 1.3 kHz (global) and over the frame (Cohen
// 2001): below -10 dB absent, above -5 dB present.
const double kZetaSmoothing = PerHop(0.7);
constexpr int kLocalBins = 1, kGlobalBins = 15;
constexpr double kZetaMin = 0.1, kZetaMax = 0.3162;
// The frame's mean a-priori SNR below which it holds no speech. Noise
// alone keeps it at 0.12 to 0.19 (the decision-directed estimate never
// falls to the floor), so at kZetaMin every small rise counted as an onset
// and lifted the whole frame's gain: the residual of steady noise jumped by
// up to 11 dB from one 0.1 s to the next.
constexpr double kFrameZetaMin = 0.25;
// How much that mean must grow from one frame to the next to count as an
// onset. While the estimate catches up with noise that has just started,
// the mean wobbles down slowly; each small rise lifted the gain by up to
// 10 dB for 0.2 s.
constexpr double kFrameRise = 1.1;
constexpr double kPeakMin = 1.0, kPeakMax = 10.0;  // the frame's reference peak, 0..10 dB
constexpr double kMaxAbsence = 0.95;
constexpr double kGateAbsence = 0.7;  // the least prior absence where speech holds the noise estimate
// In a frame that holds no speech a bin's gain stays within this of the
// floor: a peak of the noise in a bin or two (the conditional probability
// of speech still rises with it) lifted the residual of steady noise by 4
// to 7 dB for 50 to 100 ms now and then at levels 3 and 4, heard as
// chirps; the lone-peak cap below misses two neighbouring bins.
constexpr double kQuietCap = 2.0;
constexpr int kFloorBins = 2;
constexpr double kCap = 4.0;     // how far a steady bin's noise may stand above its neighbours
constexpr double kSteady = 1.5;  // smoothed power over its minimum below which a bin is steady
// A tone's power in its bin hardly changes from frame to frame; noise's
// spreads as widely as its mean (normalised variance 1). Over about 0.1 s:
const double kFlutterSmoothing = PerHop(0.9);
constexpr double kSteadyFlutter = 0.3;  // below: steady enough to be a tone
constexpr int kWarmUpFrames = 8 * kNrOverlap / 2;
// Mean power per sample (16-bit units) below which a frame is digital
// silence: far below the least bit's rounding noise (1/12).
constexpr double kSilentPower = 1e-3;
// Each frame's power goes into the noise estimate kPending frames (10.9
// ms) late, and not at all when a later frame shows it was an onset: the
// smoothed power lags, so the first frame of a word or of a Morse element
// counted as noise, and 6 % of a keyed tone's power went into its noise each time (up
// to -12 dB under the tone, so later elements started a frame late). An
// onset is confirmed where the bin then counts as speech with its power
// kOnsetConfirm times the estimate, unless most of the spectrum rose at
// once (kBroadband of the bins 4 times over their estimate): that is new
// noise, to be learnt as before.
constexpr double kOnsetConfirm = 10.0;
constexpr double kBroadband = 0.3;
// Under a narrow filter a keyed tone's onsets, too weak to be confirmed
// (a tone 5 dB over BP100's noise), went in as they were and pumped the
// estimate to 2 to 2.5 times that of the noise alone within a few
// seconds; the tone then fluttered in the gain. There each frame's power goes in clipped at
// kClip times the estimate, and scaled by the mean of noise's power so
// clipped (its power is exponentially distributed): 1 - e^-kClip. Not
// where the power has stood over the clip in most of the last frames
// (about 50 ms): that is noise that rose, to be followed at the usual pace.
constexpr double kClip = 4.0;
const double kClippedMean = 1.0 - std::exp(-kClip);
const double kAboveSmoothing = PerHop(0.8);
constexpr double kAboveMost = 0.8;

}  // namespace

double NrFloorDb(int level) {
  static const double floors[kNrLevels] = {-10.0, -16.0, -24.0, -30.0};
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
    above[k] = 0.0;
    flutter[k] = 1.0;
    for (int d = 0; d < kPending; ++d) {
      pendingPower[d][k] = 0.0;
      pendingWeight[d][k] = 1.0;
    }
    gainPrev[k] = 1.0;
    snrPrev[k] = 1.0;
    zeta[k] = 0.0;
    for (auto& sub : subMin) sub[k] = 0.0;
  }
  frames = 0;
  subFrame = 0;
  zetaFrameLast = 0.0;
  zetaPeak = kPeakMin;
}

void NoiseReductionStage::Process(Block& b) {
  double* io = b.samples;
  const int count = b.frames;
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

    // Digital silence (a muted or not yet started source) tells nothing of
    // the noise: the estimate neither learns it nor forgets what it had, so
    // noise that starts after it is learnt as at the start of a stream
    // (within about 0.1 s), and noise that comes back (a squelch opening) is
    // known at once. The estimate starts only from a frame that is sound
    // all through: one still half silent would set its minimum too low.
    double energy = 0.0, quietestHop = 1e300;
    for (int h = 0; h < kNrOverlap; ++h) {
      double e = 0.0;
      for (int j = h * kNrHop; j < (h + 1) * kNrHop; ++j) e += in[j] * in[j];
      energy += e;
      quietestHop = std::min(quietestHop, e);
    }
    if (energy < kSilentPower * kNrFrame || (frames == 0 && quietestHop < kSilentPower * kNrHop))
      std::fill(gain, gain + kNrBins, floorGain);
    else
      Estimate();

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
    for (int j = 0; j < kNrFrame; ++j) ola[j] += re[j] * t.window[j] * (2.0 / kNrOverlap) / kNrFft;
    std::memcpy(ready, ola, sizeof ready);
    std::memmove(ola, ola + kNrHop, sizeof(double) * (kNrFrame - kNrHop));
    std::memset(ola + kNrFrame - kNrHop, 0, sizeof(double) * kNrHop);
    std::memmove(in, in + kNrHop, sizeof(double) * (kNrFrame - kNrHop));
  }
}

// The gains of the frame in re/im, and what the next frames need of it.
void NoiseReductionStage::Estimate() {
  const bool first = frames == 0;
  // Counted among the bins that hold noise: those a filter left nearly
  // empty rise with anything (the skirts of a keyed tone's onset under
  // BP100), and the onset went into the tone's noise estimate.
  double loudest = 0.0;
  for (int k = kFloorBins; k < kNrBins; ++k) loudest = std::max(loudest, noise[k]);
  int risen = 0, holding = 0;
  for (int k = kFloorBins; k < kNrBins; ++k)
    if (noise[k] >= kHoldsNoise * loudest) {
      ++holding;
      if (re[k] * re[k] + im[k] * im[k] > 4.0 * noise[k]) ++risen;
    }
  const bool wide = holding > kBroadband * kNrBins;  // noise fills the band: no narrow filter before us
  const bool broadband = wide && risen > kBroadband * holding;
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
    const double change = p / std::max(smoothed[k], 1e-12) - 1.0;
    flutter[k] = first ? 1.0 : kFlutterSmoothing * flutter[k] + (1.0 - kFlutterSmoothing) * change * change;
    const bool speech = smoothed[k] > kPresenceRatio * kMinimumBias * minimum[k];
    presence[k] = kPresenceSmoothing * presence[k] + (1.0 - kPresenceSmoothing) * (speech ? 1.0 : 0.0);
    const double a = kNoiseSmoothing + (1.0 - kNoiseSmoothing) * presence[k];
    if (frames >= kWarmUpFrames) {
      if (frames > kWarmUpFrames) {
        const bool onset = !broadband && speech && p > kOnsetConfirm * noise[k];
        if (onset)
          for (int d = 0; d < kPending; ++d) pendingWeight[d][k] = 1.0;
        const double w = pendingWeight[0][k];
        noise[k] = w * noise[k] + (1.0 - w) * pendingPower[0][k];
      }
      for (int d = 0; d + 1 < kPending; ++d) {
        pendingPower[d][k] = pendingPower[d + 1][k];
        pendingWeight[d][k] = pendingWeight[d + 1][k];
      }
      above[k] = kAboveSmoothing * above[k] + (1.0 - kAboveSmoothing) * (p > kClip * noise[k] ? 1.0 : 0.0);
      pendingPower[kPending - 1][k] =
          wide || above[k] > kAboveMost ? p : std::min(p, kClip * noise[k]) / kClippedMean;
      pendingWeight[kPending - 1][k] = a;
    }
  }
  // A steady tone (a carrier, a held Morse tone) looks like noise to the
  // minimum search. Noise fluctuates (its smoothed power keeps well above
  // its minimum, its power changes from frame to frame by as much as its
  // mean) where a tone does not, and a tone fills a few bins: a steady
  // bin's noise may not stand more than kCap above the louder of its
  // neighbours three to five bins away on both sides (one side at the
  // ends of the spectrum). Noise a narrow filter left (BP100 before CW)
  // stands as far above its neighbours, but its power keeps changing;
  // the smoothed power alone often dipped near its minimum, and that
  // noise was kept.
  // A bin beside a steady one holds the same tone (its main lobe spans
  // three bins); left to the noise estimate, a tone in BP100's noise came
  // out 1.3 dB low.
  bool steady[kNrBins];
  for (int k = 0; k < kNrBins; ++k)
    steady[k] = smoothed[k] <= kSteady * minimum[k] && flutter[k] <= kSteadyFlutter;
  for (int k = 0; k < kNrBins; ++k) {
    if (!steady[k] && !(k > 0 && steady[k - 1]) && !(k + 1 < kNrBins && steady[k + 1])) {
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
  // A-priori SNR per bin (decision-directed), then where speech is.
  const double xiMin = floorGain * floorGain;
  double zetaMean = 0.0;
  double gammas[kNrBins];
  for (int k = 0; k < kNrBins; ++k)
    gammas[k] = std::min((re[k] * re[k] + im[k] * im[k]) / std::max(capped[k], 1e-6), 1e6);
  for (int k = 0; k < kNrBins; ++k) {
    const double gamma = gammas[k];
    const double last = gainPrev[k] * gainPrev[k] * snrPrev[k];
    const double r = last / (1.0 + last);
    const bool onset =
        k > 0 && k + 1 < kNrBins && std::min({gammas[k - 1], gamma, gammas[k + 1]}) > kOnsetGamma;
    const double o = onset ? (gamma - kOnsetGamma) / gamma : 0.0;
    const double follow = kFollowNoise + kFollowSpeech * std::max(r * r, o * o);
    xiNow[k] = std::max((1.0 - follow) * last + follow * std::max(gamma - 1.0, 0.0), xiMin);
    snrPrev[k] = gamma;
    zeta[k] = kZetaSmoothing * zeta[k] + (1.0 - kZetaSmoothing) * xiNow[k];
    zetaMean += zeta[k];
  }
  zetaMean /= kNrBins;
  // The frame holds speech while its mean rises, or stays near the peak
  // it rose to; quiet frames hold none.
  double frameSpeech = 0.0;
  if (zetaMean > kFrameZetaMin) {
    if (zetaMean > kFrameRise * zetaFrameLast) {
      zetaPeak = std::clamp(zetaMean, kPeakMin, kPeakMax);
      frameSpeech = 1.0;
    } else {
      frameSpeech = Between(zetaMean, zetaPeak * kZetaMin, zetaPeak * kZetaMax);
    }
  }
  zetaFrameLast = zetaMean;
  for (int k = 0; k < kNrBins; ++k) {
    double local = 0.0, global = 0.0, globalWeight = 0.0;
    int localCount = 0;
    for (int d = -kGlobalBins; d <= kGlobalBins; ++d) {
      const int j = k + d;
      if (j < 0 || j >= kNrBins) continue;
      const double w = 1.0 - std::abs(d) / (kGlobalBins + 1.0);  // a triangle across the band
      global += w * zeta[j];
      globalWeight += w;
      if (std::abs(d) <= kLocalBins) {
        local += zeta[j];
        ++localCount;
      }
    }
    const double present = Between(local / localCount, kZetaMin, kZetaMax) *
                           Between(global / globalWeight, kZetaMin, kZetaMax) * frameSpeech;
    const double q = std::min(1.0 - present, kMaxAbsence);  // prior probability of absence

    // The MMSE log-spectral-amplitude gain where speech is, the floor
    // where it is not, weighed by the probability of speech (OM-LSA).
    const double xi = xiNow[k], gamma = snrPrev[k];
    const double v = std::max(xi / (1.0 + xi) * gamma, 1e-8);
    const double lsa = std::min(xi / (1.0 + xi) * std::exp(0.5 * E1(v)), 1.0);
    const double likelihood = (1.0 + xi) * std::exp(-std::min(v, 500.0));  // of absence over presence
    const double speech = q <= 0.0 ? 1.0 : 1.0 / (1.0 + q / (1.0 - q) * likelihood);
    const double g = std::clamp(std::pow(lsa, speech) * std::pow(floorGain, 1.0 - speech), floorGain, 1.0);
    // The probability of speech also holds this frame's power out of the
    // noise estimate (it goes in kPending frames later): the presence test
    // on the minimum alone let weak speech, word tails and onsets in, and
    // at 10 dB SNR the estimate stood 0.4 to 1.3 dB over the noise, taking
    // that much more of the speech. Found with a prior absence of at least
    // kGateAbsence: with the gain's (none where the frame and the bins
    // around hold speech), noise that rose 2.5 dB across the band, less
    // than the minimum search takes up at once, looked like speech
    // everywhere and stopped its own update (for 5 s it was taken down by
    // only 7 dB). Only where noise fills the band: under a narrow filter
    // its few bins are a tone's own, and an estimate that fell under the
    // noise there stayed under it (the noise between Morse elements came
    // through up to 8 dB stronger).
    if (wide && frames >= kWarmUpFrames) {
      const double qGate = std::max(q, kGateAbsence);
      const double held = 1.0 / (1.0 + qGate / (1.0 - qGate) * likelihood);
      pendingWeight[kPending - 1][k] =
          std::max(pendingWeight[kPending - 1][k], kNoiseSmoothing + (1.0 - kNoiseSmoothing) * held);
    }
    // Nothing a listener wants lies below about 65 Hz (voices start near
    // 80, Morse tones far above; below is drift and rumble): the bins at
    // 0 and 43 Hz stay at the floor.
    gain[k] = k < kFloorBins ? floorGain : frameSpeech > 0.0 ? g : std::min(g, kQuietCap * floorGain);
    gainPrev[k] = lsa;
  }
  if (++subFrame == kSubFrames) {
    // The window slides by a sub-window: the oldest minimum goes.
    subFrame = 0;
    for (int s = 3; s > 0; --s) std::memcpy(subMin[s], subMin[s - 1], sizeof subMin[0]);
    std::memcpy(subMin[0], running, sizeof running);
    double ratio[kNrBins], sorted[kNrBins];
    double loudest = 0.0;
    for (int k = 0; k < kNrBins; ++k) {
      minimum[k] = std::min(std::min(subMin[0][k], subMin[1][k]), std::min(subMin[2][k], subMin[3][k]));
      running[k] = smoothed[k];
      ratio[k] = kRiseFloor * minimum[k] / std::max(noise[k], 1e-12);
      if (k >= kFloorBins) loudest = std::max(loudest, noise[k]);
    }
    // The rise that half the bins holding noise reached at least, where
    // noise fills more than kBroadband of the band (bins a filter left
    // nearly empty tell nothing: a voice over band-limited noise raised
    // them; and under BP100 the bins beside a keyed tone hold some of it in
    // their minimum); no bin rises further (a keyed tone's own bins), and
    // the noise's power must rise by as much.
    int n = 0;
    for (int k = kFloorBins; k < kNrBins; ++k)
      if (noise[k] >= kHoldsNoise * loudest) sorted[n++] = ratio[k];
    double broad = 1.0;
    if (n > kBroadband * kNrBins) {
      std::nth_element(sorted, sorted + n / 2, sorted + n);
      broad = sorted[n / 2];
    }
    double was = 0.0, now = 0.0;
    for (int k = kFloorBins; k < kNrBins; ++k) {
      was += noise[k];
      now += noise[k] * std::clamp(ratio[k], 1.0, std::max(broad, 1.0));
    }
    if (broad > kRiseBy && now > kRiseBy * was)
      for (int k = 0; k < kNrBins; ++k) {
        const double r = std::min(ratio[k], broad);
        if (r > 1.0) {
          // What was measured against the old estimate, against the new.
          zeta[k] /= r;
          snrPrev[k] /= r;
          noise[k] *= r;
        }
      }
  }
  ++frames;
}
