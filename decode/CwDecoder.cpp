#include "decode/CwDecoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "decode/MorseTable.h"
#include "signal/SampleRate.h"

namespace {

constexpr double kFrameRate = kSampleRate / CwDecoder::kDecimation;  // 689 frames/s
// Dit length in frames at w wpm (PARIS: 50 dits a word).
double DitFrames(double wpm) { return 1.2 / wpm * kFrameRate; }
const double kLnMinDit = std::log(DitFrames(CwDecoder::kMaxWpm));
const double kLnMaxDit = std::log(DitFrames(CwDecoder::kMinWpm));

// Spread of element and gap lengths (natural log units): covers hand timing
// (20 % jitter) and the detector's edges in noise.
constexpr double kSigmaMark = 0.30, kSigmaGap = 0.38;
constexpr double kGlitch = 0.3;  // marks and gaps shorter than this, in dits, are bridged
constexpr double kLagDits = 4;   // the key is decided this far behind (then it seldom changes)
// ... and this far on a weak signal still keyed whose timing is known, its
// marks under kWeakLagMarks of the noise's sigmas: a weak dit's fate turns
// on the marks after it (at -5 dB 1 % fewer errors; characters print two
// dits later, where lateness matters less; at 0 and +5 dB, with the marks
// stronger, it only made them late).
constexpr double kWeakLagDits = 6, kWeakLagMarks = 4.5;
constexpr double kStrong = 8.0;     // mark level over the noise's sigma above which the key is sure sooner
constexpr double kMinSignal = 2.0;  // mark level at least this over the noise's sigma
// The key is taken before the lag once every path within kSettleMargin
// (log likelihood) of the best agrees on it (at most kMaxRivals of them
// looked at), edges within kEdgeDits taken as agreeing. (The durations'
// priors span 3.7 in log: a path further below than that, at its best
// length to come, overtakes the best only as the levels and the timing
// move.)
constexpr double kSettleMargin = 5, kEdgeDits = 0.1;
constexpr int kMaxRivals = 96;
// Not under this many of the noise's sigmas (at -5 dB the levels and the
// timing that score the paths move too much for it: 0.4 % more errors).
constexpr double kSettleSigmas = 4.0;
constexpr int kSettleSpan = 512;  // most ticks undecided for the test (1.5 s)
// Squelch: the envelope's 90th percentile over the noise's mean envelope
// (1.7 on noise alone), held closed this long below kCloseRatio; opened
// at kOpenKeyed once the keying's structure fits keyed text (once the
// timing is known, only within kReopenS of closing).
constexpr double kOpenRatio = 2.6, kCloseRatio = 2.0, kOpenKeyed = 2.2;
constexpr double kCloseHoldS = 1.0, kReopenS = 1.5;
// A mark whose middle is below this share of the marks' level is noise;
// for the first mark after a pause of kPauseS, below kWeakAfterPause.
constexpr double kWeakMark = 0.4, kWeakAfterPause = 0.7;
constexpr double kPauseS = 1.5;
constexpr int kFirstMarks = 6;      // marks before the first split of dits from dahs
constexpr double kMaxSpread = 0.2;  // rms of log mark lengths about their two clusters, for a first split
constexpr double kForgetS = 8.0;    // closed this long, the next signal is a new one
// Rayleigh: the 10th percentile over the mean, sqrt(-4/pi ln 0.9).
const double kLowQuantile = std::sqrt(-4 / M_PI * std::log(0.9));
// The noise from the envelope's 10th percentile over all frames comes out
// high on keyed text: only the gaps far from marks are noise alone, at
// most half the frames, and the low tail of the mix stands at the noise's
// 20th percentile, 1.4 times too high (the squelch closed on a -5 dB
// signal at 35 wpm). The same percentile over the ticks the path takes for
// gaps, once kGapLowTicks of them are in (stepping kGapLowStep in log), is
// the noise's own; bounded by the other from above and down to kGapLowFloor of it.
constexpr int kGapLowTicks = 200;
constexpr double kGapLowStep = 0.02, kGapLowFloor = 0.6;
constexpr double kMinFit = -3.5;  // mean log likelihood per mark below which a chunk is noise
// A speed change from the last kRecentMarks marks: each at least
// kRecentMisfit from the nearer of dit and dah (log length), and
// their rms about their own two clusters at most kRecentSpread.
constexpr int kRecentMarks = 4;
constexpr double kRecentMisfit = 0.2, kRecentSpread = 0.12;
// ... and only a change of speed by a third or more (log 0.3): four
// hand-sent marks, each up to 20 % off, misfit together now and then.
constexpr double kRecentJump = 0.3;
// Marks each this far off (log) may be at a new speed, when one of them
// is at least kHoldWorst off (hand-sent jitter seldom reaches either).
constexpr double kHoldMisfit = 0.3, kHoldWorst = 0.5;
// On a clear signal the marks' lengths at half the level (not the path's,
// which its priors draw toward the timing held): hand-sent marks, each up
// to 20 % off, spread up to kRecentSpreadClear about their clusters. A
// length at half the level only from a mark whose envelope peaks at
// kHalfPeak of the level or more (nearer half, noise moves the crossings).
constexpr double kRecentSpreadClear = 0.2;
constexpr double kHalfPeak = 0.6;
// A clear signal's speed from kQuickMarks marks when each misfits by
// kHoldMisfit, one by kHoldWorst (as AwaitsSpeed holds their characters
// for); or from kFitMarks but one, each at least kFitMisfit off the timing
// held (none of them at the old speed) and within kRecentMisfit of a new
// dit or dah at the ratio held.
constexpr int kQuickMarks = 3, kFitMarks = 5;
constexpr double kFitMisfit = 0.12;

// What a cut into characters that breaks a word's QSO shape costs (log
// likelihood), and how many cuts are kept at each mark.
constexpr double kShapePenalty = 2.0;
constexpr int kCuts = 4;
constexpr double kTroughShare = 0.3;  // lowest key-down level taken, as a share of the mark level
constexpr double kTroughPeak = 5.0;   // ... from a peak at least this over the noise's sigma
// In a fade the envelope's fast 90th percentile stands about kFadeExcess
// of the noise's sigmas over the marks (noise on them). A fade falls once
// that percentile is more than kFadeFrom below the slow one (a share of
// it: pauses and a weak signal's spread stay short of it), in full
// kFadeShare further; it rises, within kRiseS of a trough (kTroughDepth
// in log under the slow one), once the fast one is kRiseRatio over the
// marks' level and kRiseSigmas sigmas above it.
constexpr double kFadeExcess = 0.6, kFadeFrom = 0.35, kFadeShare = 0.25;
constexpr double kTroughDepth = 0.6, kRiseS = 2.0;
constexpr double kRiseRatio = 1.5,
                 kRiseSigmas = 2.0;  // (after a pause the fast one may stand 1.4 times over the marks)
// A mark far below the marks' level is still one in a fade's trough when
// it stands kTroughMark sigmas over the noise, kTroughChain of the last
// mark's level (a fade brings them down mark by mark; after the signal
// has gone the first mark of noise is far under the last real one) and
// kTroughLevel of the level the fade has come to, that itself
// kTroughFloor sigmas up (after a signal ends the percentile sinks to 2).
constexpr double kTroughMark = 3.0, kTroughChain = 0.5, kTroughLevel = 0.7, kTroughFloor = 2.6;
constexpr double kFadeFall = 0.96;  // the fastest a fade brings the level down, nepers a second (8 dB)
// Each mark on the path of a signal weaker than kWeakMarks times the
// noise's sigma gains kWeakMarkBonus (log likelihood).
constexpr double kWeakMarks = 6.0, kWeakMarkBonus = 1.0;
constexpr double kPhaseSure = 10, kPhaseSureFrom = 0.8;
constexpr double kWeakLevelRate = 0.2;  // how far the marks' level moves to each weak mark's
// A signal is still keyed while a mark at its level has ended within this
// many dits of the tick being scored (two word spaces, the lag included):
// after it has gone, the weak signal's ways (the noise from the gaps, a
// surer phase, the longer lag) would print its neighbour's leakage.
constexpr double kKeyedDits = 14;
// A dit alone between gaps between characters, of a weak signal, its middle
// below this share of the marks' level, may be a mark of noise.
constexpr double kLoneShare = 0.8;
// A gap in doubt is taken for one between characters once the marks after
// it make that this much likelier (log) than a gap inside one.
constexpr double kSettled = 2.0;
// Weak within kTightS of the marks standing clear of the noise (kStrong),
// and under kTightFall of the level they stood at then (a fade, not a
// signal about that strong): the spread (log length) of the path's spaces
// and of the gaps the cut into characters scores, tighter than otherwise.
constexpr double kTightS = 5.0, kTightFall = 0.6, kTightGap = 0.3;
// The speed from the keying's structure function: the least share of its
// variance a fit explains to count, how far off (a factor) the timing held
// must be, and for how many fits in a row (a quarter second each), before
// its speed is taken.
constexpr double kAutoFit = 0.35, kAutoOff = 1.45;
constexpr double kAutoNear = 1.2;  // a new speed from the marks this near a sure one from the structure
constexpr int kAutoOffFits = 8;
double LogLike(double x, double mean, double sigma) {
  const double z = (x - mean) / sigma;
  return std::max(-0.5 * z * z, -12.0);
}

// Splits a few log lengths into a short and a long cluster (least squares);
// false when fewer than two.
bool TwoMeans(const double* values, int n, double& lo, double& hi, int& nLo, double* spread = nullptr) {
  if (n < 2) return false;
  double v[32];
  n = std::min(n, 32);
  std::copy(values, values + n, v);
  std::sort(v, v + n);
  double total = 0;
  for (int i = 0; i < n; ++i) total += v[i];
  double best = 1e300, left = 0;
  for (int s = 1; s < n; ++s) {
    left += v[s - 1];
    const double mLo = left / s, mHi = (total - left) / (n - s);
    double sse = 0;
    for (int i = 0; i < n; ++i) {
      const double d = v[i] - (i < s ? mLo : mHi);
      sse += d * d;
    }
    if (sse < best) {
      best = sse;
      lo = mLo;
      hi = mHi;
      nLo = s;
    }
  }
  if (spread) *spread = std::sqrt(best / n);
  return true;
}

// The structure function of keyed Morse text, P(key differs u dits apart),
// for u = 0..kSpan dits in steps of 1/kStep: the shape a dit length is
// fitted to. From random letters and digits in five-letter words, machine
// timing.
constexpr int kStep = 10, kSpan = 16;
struct MorseStructure {
  std::array<double, kSpan * kStep + 1> g{};
  MorseStructure() {
    int count = 0;
    const MorseSymbol* ab = MorseAlphabet(count);
    std::vector<unsigned char> key;
    unsigned seed = 12345;
    int letters = 0;
    while (key.size() < 4000 * kStep) {
      seed = seed * 1103515245u + 12345u;
      const MorseSymbol& s = ab[(seed >> 16) % std::min(count, 36)];  // letters and digits, the first 36
      for (const char* c = s.code; *c; ++c) {
        key.insert(key.end(), (*c == '.' ? 1 : 3) * kStep, 1);
        key.insert(key.end(), kStep, 0);
      }
      key.insert(key.end(), (++letters % 5 == 0 ? 6 : 2) * kStep, 0);
    }
    for (int u = 0; u <= kSpan * kStep; ++u) {
      long differ = 0;
      for (std::size_t t = 0; t + u < key.size(); ++t) differ += key[t] != key[t + u];
      g[u] = static_cast<double>(differ) / (key.size() - u);
    }
  }
};
const MorseStructure& MorseShape() {
  static const MorseStructure s;
  return s;
}

struct Alphabet {
  const MorseSymbol* symbols;
  int count;
  int length[96];
  Alphabet() {
    symbols = MorseAlphabet(count);
    for (int i = 0; i < count; ++i) length[i] = static_cast<int>(std::strlen(symbols[i].code));
  }
};
const Alphabet& Symbols() {
  static const Alphabet alphabet;
  return alphabet;
}

}  // namespace

CwDecoder::CwDecoder() {
  double total = 0;
  for (int k = 0; k < 2 * kDecimation; ++k)
    total += tri_[k] = k < kDecimation ? k + 0.5 : 2 * kDecimation - k - 0.5;
  for (double& w : tri_) w /= total;
  Symbols();
  ShapeTemplates();
  SetPitch(pitchHz_);
  Reset();
}

void CwDecoder::SetPitch(double hz) {
  if (!std::isfinite(hz)) hz = 700;
  pitchHz_ = std::clamp(hz, kMinPitchHz, kMaxPitchHz);
  phaseStep_ = 2 * M_PI * pitchHz_ / kSampleRate;
  ring_.fill({});
  sum_ = sumShort_ = {};
  warm_ = 0;
  down_ = carrier_ = false;
  preCount_ = 0;
  ResetPath();
}

void CwDecoder::Reset() {
  SetPitch(pitchHz_);
  phase_ = 0;
  pre_.fill({});
  prePos_ = 0;
  sample_ = origin_ = 0;
  frame_ = 0;
  a_ = noise_ = sig_ = 0;
  open_ = false;
  lowFrames_ = 0;
  closedAt_ = troughAt_ = -1e9;
  // Short enough a start that the matched filter resolves the fastest
  // sending; the first split of dits from dahs sets the speed.
  lnDit_ = std::log(DitFrames(36));
  lnRatio_ = std::log(3.0);
  lnGap_ = lnDit_;
  lnChar_ = lnDit_ + std::log(3.0);
  lnWord_ = lnDit_ + std::log(7.0);
  lastUp_ = keptUp_ = -1e9;
  pending_ = false;
  markCount_ = gapCount_ = n_ = 0;
  held_ = false;
  fromRecent_ = false;
  windowFrom_ = 0;
  locked_ = replay_ = replayed_ = false;
  printedSinceWord_ = false;
  chunkGapDone_ = true;
  wordLen_ = 0;
  outHead_ = outTail_ = 0;
  lastPrint_ = -(std::int64_t{1} << 40);
  length_ = 0;
  SetFilterLength();
  ResetPath();
  ForgetStructure();
}

void CwDecoder::ForgetStructure() {
  structure_.fill(0);
  structureWeight_ = 0;
  autoCount_ = autoOff_ = 0;
  autoSure_ = false;
}

void CwDecoder::Restart(double hz, std::int64_t atSample) {
  SetPitch(hz);
  Reset();
  origin_ = std::max<std::int64_t>(0, atSample);
}

void CwDecoder::Process(const double* x, int n) {
  for (int i = 0; i < n; ++i) {
    double v = x[i];
    v = std::isfinite(v) ? std::clamp(v, -1e6, 1e6) : 0.0;
    pre_[prePos_] = {v * std::cos(phase_), -v * std::sin(phase_)};
    prePos_ = (prePos_ + 1) % (2 * kDecimation);
    phase_ += phaseStep_;
    if (phase_ > 2 * M_PI) phase_ -= 2 * M_PI;
    ++sample_;
    if (++preCount_ >= kDecimation) {
      preCount_ = 0;
      std::complex<double> z{};
      for (int k = 0; k < 2 * kDecimation; ++k) z += pre_[(prePos_ + k) % (2 * kDecimation)] * tri_[k];
      Frame(z);
    }
  }
}

void CwDecoder::SetFilterLength() {
  const int want = std::clamp(static_cast<int>(std::lround(0.75 * std::exp(lnDit_))), 6, kRing - 1);
  if (length_ > 0 && std::abs(want - length_) < std::max(1, length_ / 10)) return;
  const int old = length_;
  length_ = want;
  lengthFast_ = std::max(4, length_ / 3);
  ExactSums();
  // The noise envelope goes with one over the root of the length.
  if (old > 0) {
    noise_ *= std::sqrt(static_cast<double>(old) / length_);
    lnLow_ += 0.5 * std::log(static_cast<double>(old) / length_);
    lnGapLow_ += 0.5 * std::log(static_cast<double>(old) / length_);
    noisePower_ *= static_cast<double>(old) / length_;
  }
}

void CwDecoder::ExactSums() {
  sum_ = sumFast_ = {};
  for (int k = 1; k <= length_; ++k) sum_ += ring_[(ringPos_ - k + kRing) % kRing];
  for (int k = 1; k <= lengthFast_; ++k) sumFast_ += ring_[(ringPos_ - k + kRing) % kRing];
  sumShort_ = {};
  for (int k = 1; k <= kShort; ++k) sumShort_ += ring_[(ringPos_ - k + kRing) % kRing];
  sinceExact_ = 0;
}

double CwDecoder::NoiseMean() const { return std::exp(lnLow_) / kLowQuantile; }

double CwDecoder::GapNoiseMean() const {
  const double all = std::exp(lnLow_);
  // (only on a weak signal, still keyed, that has not stood clear within
  // kTightS: on a clear one and in a fade the timing, the squelch and the
  // trough's marks were set with the other, and it holds)
  if (gapLowCount_ < kGapLowTicks || frame_ - clearAt_ < kTightS * kFrameRate || !Keyed() ||
      sig_ > kWeakMarks * all / kLowQuantile / 1.2533)
    return all / kLowQuantile;
  return std::clamp(std::exp(lnGapLow_), kGapLowFloor * all, all) / kLowQuantile;
}

double CwDecoder::Sigma() const { return SigmaOver(GapNoiseMean()); }

double CwDecoder::SigmaOver(double noiseMean) const {
  // Rayleigh: the mean square is 2 sigma^2, the mean sigma sqrt(pi/2). The
  // percentile's estimate bounds the one from the gaps, which wrong
  // decisions could carry away.
  // At least a 30th of the mark level: with less noise than that the
  // decisions are certain anyway, and the likelihoods stay finite.
  const double fromLow = std::max(noiseMean / 1.2533, sig_ / 30);
  if (!(noisePower_ > 0)) return fromLow;
  return std::max(std::clamp(std::sqrt(0.5 * noisePower_), 0.7 * fromLow, 1.4 * fromLow), sig_ / 30);
}

void CwDecoder::FastKey() {
  const double aFast = std::abs(sumFast_) / lengthFast_;
  const double floor = NoiseMean() * std::sqrt(static_cast<double>(length_) / lengthFast_);
  const double level = std::max(MarkLevel(), floor * kOpenRatio);
  if (!downFast_ && aFast > floor + 0.55 * (level - floor)) {
    downFast_ = true;
    fastStart_ = frame_;
  } else if (downFast_ && aFast < floor + 0.4 * (level - floor)) {
    downFast_ = false;
    const double len = frame_ - fastStart_;
    if (len < 3 || !open_) return;
    fastWin_[fastCount_++ % fastWin_.size()] = std::log(len);
    double lo = 0, hi = 0;
    int nLo = 0;
    // The last few alone, when they split cleanly: the marks from before
    // the change would hold the window's split back. Two such splits in a
    // row, each with two dits or more (a lone short mark is a fragment),
    // need the mark only 4 times over the short average's noise; marks of
    // noise seldom split that cleanly twice.
    double recent[kRecentMarks];
    for (int i = 0; i < kRecentMarks; ++i)
      recent[i] = fastWin_[(fastCount_ - kRecentMarks + i) % fastWin_.size()];
    double spread = 1, minLevel = 4;
    int minDits = 2;
    bool agree = false;
    if (fastCount_ > kRecentMarks && TwoMeans(recent, kRecentMarks, lo, hi, nLo, &spread) &&
        spread <= kRecentSpread) {
      agree = std::abs(lo - fastCandidate_) < 0.15;
    } else {
      if (fastCount_ < 6 ||
          !TwoMeans(fastWin_.data(), std::min<int>(fastCount_, fastWin_.size()), lo, hi, nLo, &spread) ||
          spread > kMaxSpread)
        return;
      // Dits and dahs well apart, each kind alike (fragments of marks in
      // noise are not), and the dits much shorter than the matched filter
      // takes them to be: the sender sped up.
      agree = std::abs(lo - fastCandidate_) < 0.25;
      minLevel = 6;
      minDits = 3;
    }
    fastCandidate_ = lo;
    // Dahs as much shorter too: not fragments of marks; nor in a fade's
    // trough (the level now, from the percentile that falls 8 dB a
    // second), where noise breaks marks into pieces.
    // Only once the timing is known (before, the speed is a guess anyway),
    // and at most five times as fast: shorter ones are edges of marks.
    if (locked_ && markCount_ >= 6 && hi - lo >= std::log(2.0) && lo < lnDit_ - std::log(1.6) &&
        lo > lnDit_ - std::log(5.0) && hi < lnDit_ + lnRatio_ - std::log(1.6) && nLo >= minDits &&
        std::min(level, std::exp(lnHighFast_)) > minLevel * floor && agree && AutoAllows(lo)) {
      Relock(lo);
      lnRatio_ = std::clamp(hi - lo, std::log(2.2), std::log(4.5));
      markCount_ = fastCount_ = 0;
      fromRecent_ = false;
      windowFrom_ = frame_;
      if (Clear()) ForgetStructure();
      locked_ = true;
      SetFilterLength();
    }
  }
}

void CwDecoder::TrackStructure() {
  const double a = std::abs(sumShort_) / kShort;
  const int p = static_cast<int>(static_cast<std::int64_t>(frame_) % kRing);
  shortA_[p] = a;
  // About four seconds.
  const double rate = 1 / (4 * kFrameRate);
  structureWeight_ += rate * (1 - structureWeight_);
  for (int tau = 1; tau <= kLags; ++tau) {
    const double d = a - shortA_[(p - tau + kRing) % kRing];
    structure_[tau] += rate * (d * d - structure_[tau]);
  }
  if (static_cast<std::int64_t>(frame_) % 172 == 0) StructureFit();
}

// The structure function each fitted dit length gives, as the short
// average sees it (the keying's, smoothed by the average's triangular
// autocorrelation), less its straight-line trend over the lags: the fit
// is to the bends (the knees at a dit and at a dah), which a long dit's
// slow rise alone does not have.
struct CwDecoder::Templates {
  std::array<std::array<double, kLags + 1>, kCandidates> x{};
  std::array<double, kCandidates> xx{}, lnDit{};
};

namespace {
// Removes the straight line in tau from v[from..to] (least squares).
template <std::size_t N>
void Detrend(std::array<double, N>& v, int from, int to) {
  const int n = to - from + 1;
  const double mid = 0.5 * (from + to);
  double mean = 0, slope = 0, tt = 0;
  for (int tau = from; tau <= to; ++tau)
    mean += v[tau] / n, slope += v[tau] * (tau - mid), tt += (tau - mid) * (tau - mid);
  slope /= tt;
  for (int tau = from; tau <= to; ++tau) v[tau] -= mean + slope * (tau - mid);
}
}  // namespace

const CwDecoder::Templates& CwDecoder::ShapeTemplates() {
  static const Templates t = [] {
    Templates t{};
    const auto& g = MorseShape().g;
    auto keyed = [&](double u) {  // u in dits, either side of 0
      u = std::abs(u) * kStep;
      const int i = std::min(static_cast<int>(u), kSpan * kStep - 1);
      const double f = std::min(u - i, 1.0);
      return g[i] + f * (g[i + 1] - g[i]);
    };
    for (int c = 0; c < kCandidates; ++c) {
      t.lnDit[c] = std::log(DitFrames(50)) + 0.03 * c;
      const double dit = std::exp(t.lnDit[c]);
      for (int tau = kFitFrom; tau <= kLags; ++tau) {
        double v = 0, w = 0;
        for (int j = -kShort + 1; j < kShort; ++j) {
          const double tri = kShort - std::abs(j);
          v += tri * keyed((tau - j) / dit);
          w += tri;
        }
        t.x[c][tau] = v / w;
      }
      Detrend(t.x[c], kFitFrom, kLags);
      for (int tau = kFitFrom; tau <= kLags; ++tau) t.xx[c] += t.x[c][tau] * t.x[c][tau];
    }
    return t;
  }();
  return t;
}

void CwDecoder::StructureFit() {
  if (structureWeight_ < 0.4) return;  // (the last two seconds or so)
  const Templates& t = ShapeTemplates();
  std::array<double, kLags + 1> y = structure_;
  Detrend(y, kFitFrom, kLags);
  double yy = 0;
  for (int tau = kFitFrom; tau <= kLags; ++tau) yy += y[tau] * y[tau];
  if (!(yy > 0)) return;
  double bestR = 1e300, bestLn = 0;
  for (int c = 0; c < kCandidates; ++c) {
    double xy = 0;
    for (int tau = kFitFrom; tau <= kLags; ++tau) xy += t.x[c][tau] * y[tau];
    if (!(t.xx[c] > 0) || xy <= 0) continue;
    const double r = 1 - xy * xy / (t.xx[c] * yy);  // share of the variance unexplained
    if (r < bestR) bestR = r, bestLn = t.lnDit[c];
  }
  // Sure when the last few fits agree, each explaining a good share (a fit
  // too poor to count breaks the run). Noise alone fits up to 0.45 now and
  // then, but seldom four times in a row on one speed.
  autoHist_[autoCount_ % kAutoFits] = 1 - bestR >= kAutoFit ? bestLn : 1e9 * (autoCount_ + 1);
  ++autoCount_;
  autoSure_ = false;
  if (autoCount_ >= kAutoFits) {
    const auto [lo, hi] = std::minmax_element(autoHist_.begin(), autoHist_.end());
    autoSure_ = *hi - *lo <= 0.12;
  }
  if (!autoSure_) {
    autoOff_ = 0;
    return;
  }
  double ln = 0;
  for (double x : autoHist_) ln += x / kAutoFits;
  autoLn_ = ln;
  if (!locked_ && !open_) {
    // The matched filter for that speed: a weak signal may then stand
    // clear enough of the noise to open the squelch.
    if (std::abs(ln - lnDit_) > 0.1) {
      Relock(ln);
      SetFilterLength();
    }
  } else if (!locked_) {
    TakeSpeed(ln);
  } else if (Clear()) {
    autoOff_ = 0;  // the marks' own lengths are better
  } else if (ln < lnDit_ - std::log(kAutoOff)) {
    // The timing held is far off (a wrong first split, or marks broken up
    // by noise): taken from here once it has stayed off a while.
    if (++autoOff_ >= kAutoOffFits) TakeSpeed(ln);
  } else {
    // Near it, but not within kAutoNear: drawn that near (marks in noise
    // come out short or run together, and move the speed from them either
    // way; within it the marks' own timing fits them better).
    autoOff_ = 0;
    const double off = ln - lnDit_, near = std::log(kAutoNear);
    if (std::abs(off) <= near || std::abs(off) >= std::log(kAutoOff)) return;
    Nudge(0.3 * (off - std::copysign(near, off)));
    SetFilterLength();
    durDirty_ = true;
  }
}

bool CwDecoder::Clear() const { return MarkLevel() > kStrong * Sigma(); }

bool CwDecoder::Keyed() const {
  return (tick_ - lastRealTick_) * kTickFrames < kKeyedDits * std::exp(lnDit_);
}

bool CwDecoder::Weak() const { return locked_ && Keyed() && MarkLevel() < kWeakMarks * Sigma(); }

bool CwDecoder::AutoAllows(double lnDit) const {
  return Clear() || !autoSure_ || std::abs(lnDit - autoLn_) < std::log(kAutoNear);
}

void CwDecoder::TakeSpeed(double lnDit) {
  Relock(lnDit);
  if (!locked_) {
    lnRatio_ = std::log(3.0);
    replay_ = !replayed_;
    replayed_ = true;
  }
  locked_ = true;
  candidate_ = lnDit_;
  markCount_ = fastCount_ = sinceLock_ = 0;
  fromRecent_ = false;
  autoOff_ = 0;
  SetFilterLength();
  durDirty_ = true;
}

void CwDecoder::Frame(std::complex<double> z) {
  sum_ += z - ring_[(ringPos_ - length_ + kRing) % kRing];
  sumFast_ += z - ring_[(ringPos_ - lengthFast_ + kRing) % kRing];
  sumShort_ += z - ring_[(ringPos_ - kShort + kRing) % kRing];
  ring_[ringPos_] = z;
  ringPos_ = (ringPos_ + 1) % kRing;
  if (++sinceExact_ >= 4096) ExactSums();  // rounding drift of the running sums
  frame_ += 1;
  a_ = std::abs(sum_) / length_;
  if (warm_ < length_ + 2) {
    // The filter filling after a start or a new pitch (once: a longer
    // filter later keeps the levels, scaled).
    ++warm_;
    noise_ = warm_ == 1 ? a_ : noise_ + 0.2 * (a_ - noise_);
    lnLow_ = std::log(std::max(noise_ * kLowQuantile, 1e-30));
    lnHigh_ = lnHighFast_ = lnLow_ + 1.3;
    noisePower_ = 2 * (noise_ / 1.2533) * (noise_ / 1.2533);
    if (warm_ == length_ + 2) warm_ = kRing;
    return;
  }
  // Noise: the 10th percentile of all frames over the last second or so
  // (mostly gaps even in fast sending), unbiased by the key's decisions;
  // faster for the first half second, while it settles.
  lnLow_ += (a_ < std::exp(lnLow_) ? -0.9 : 0.1) * (frame_ < 0.5 * kFrameRate ? 0.1 : 0.01);
  // (far above it, a signal has come up: faster, within 0.2 s)
  const double overHigh = std::log(std::max(a_, 1e-300)) - lnHigh_;
  lnHigh_ += overHigh < 0 ? -0.0006 : 0.0054 + 0.05 * std::max(0.0, overHigh - 0.3);
  // The same, falling 8 dB a second: a fade's trough within a second.
  const double overFast = std::log(std::max(a_, 1e-300)) - lnHighFast_;
  lnHighFast_ += overFast < 0 ? -0.0014 : 0.0126 + 0.05 * std::max(0.0, overFast - 0.3);
  if (lnHighFast_ < lnHigh_ - kTroughDepth) troughAt_ = frame_;
  // Squelch: the mark level over the noise's mean envelope. Open at once;
  // closed only after the level has stayed low a while, so that a fade or
  // a run of weak marks does not cut a word.
  // The 90th percentile, not the level learned from the marks: it rises
  // with a new signal before its first mark is decided, and on noise alone
  // stays at 1.7 times the mean, where marks of noise would hold a level
  // learned from them.
  // It closes on the one that falls 8 dB a second, within a second or two
  // of the signal's end (the other takes five).
  const double ratio = std::exp(lnHigh_) / std::max(NoiseMean(), 1e-30);
  const double fastRatio = std::exp(lnHighFast_) / std::max(GapNoiseMean(), 1e-30);
  lowFrames_ = open_ && fastRatio < kCloseRatio ? lowFrames_ + 1 : 0;
  // Sooner, at kOpenKeyed, when the keying's structure function has
  // fitted keyed text at one speed four times in a row: fast sending at
  // -5 dB seldom lifts the percentile to kOpenRatio, and noise alone
  // seldom fits so (nor reaches kOpenKeyed). Once the timing is known,
  // only within kReopenS of the squelch closing (a lull in weak sending):
  // later the text it fits is likelier a neighbour's leakage, which
  // reopened the squelch long after the signal had gone.
  const bool keyed =
      autoSure_ && ratio > kOpenKeyed && (!locked_ || frame_ - closedAt_ < kReopenS * kFrameRate);
  if (open_ ? lowFrames_ > kCloseHoldS * kFrameRate : (ratio > kOpenRatio || keyed)) {
    open_ = !open_;
    if (!open_) closedAt_ = frame_;
    // Marks from before a signal came up say nothing of its timing (a
    // fade of the same signal keeps what was learned).
    if (open_ && frame_ - closedAt_ > kForgetS * kFrameRate) {
      markCount_ = fastCount_ = n_ = 0;
      fromRecent_ = false;
      held_ = false;
      locked_ = replayed_ = false;
      durDirty_ = true;
      refLevel_ = lastLevel_ = 0;
      ForgetStructure();
    }
  }
  FastKey();
  TrackStructure();
  tickSum_ += a_;
  tickSumZ_ += sum_ / static_cast<double>(length_);
  if (++tickFill_ < kTickFrames) return;
  // The path takes each tick two dits late (at most kDelayTicks), scored
  // with the levels as they stand then: a signal that has just come up
  // has its level by then.
  const int slot = static_cast<int>(delayed_ % kDelayTicks);
  delayA_[slot] = tickSum_ / kTickFrames;
  delayZ_[slot] = tickSumZ_ / static_cast<double>(kTickFrames);
  tickSumZ_ = {};
  delayFrame_[slot] = frame_;
  delayOpen_[slot] = open_;
  tickSum_ = 0;
  tickFill_ = 0;
  ++delayed_;
  for (; scored_ < delayed_ - Delay(); ++scored_) {
    const int k = static_cast<int>(scored_ % kDelayTicks);
    Tick(delayA_[k], delayZ_[k], delayFrame_[k], delayOpen_[k]);
  }
}

void CwDecoder::ResetPath() {
  evidence_.fill(0);
  bestSpace_.fill(0);
  bestMark_.fill(-1e300);
  lenMark_.fill(kMaxSegment + 1);
  lenSpace_.fill(kMaxSegment + 1);
  tickA_.fill(0);
  tickPeak_.fill(0);
  tickOpen_.fill(false);
  delayOpen_.fill(false);
  tickFrame_.fill(frame_);
  tick_ = decided_ = delayed_ = scored_ = 0;
  lastDownTick_ = lastRealTick_ = 0;
  noisePower_ = 0;
  gapLowCount_ = 0;
  refLevel_ = lastLevel_ = 0;
  tickSum_ = 0;
  tickSumZ_ = {};
  tickZ_.fill({});
  refZ_ = refZLong_ = {};
  refMag_ = refMagLong_ = 0;
  pllPhase_ = pllTurn_ = 0;
  tickFill_ = 0;
  clearAt_ = -1e9;
  clearLevel_ = 0;
  tight_ = false;
  durDirty_ = true;
}

void CwDecoder::BuildDurations() {
  durDirty_ = false;
  const double ditTicks = std::exp(lnDit_) / kTickFrames;
  maxMark_ = std::clamp(static_cast<int>(12 * ditTicks), 310, kMaxSegment);
  maxSpace_ = std::clamp(static_cast<int>(14 * ditTicks), 310, kMaxSegment);
  // Wider than the character decoder's spreads: noise moves the edges.
  const double sS = tight_ ? kTightGap : 0.4;
  constexpr double sM = 0.35;
  // A broad floor, flat in log length over 60 to 5 wpm and beyond, so that
  // a new speed is still found; wide open until the timing is known.
  const double floor = locked_ ? 0.1 : 0.5;
  const double flat = 1 / std::log(kMaxSegment / 1.0);
  auto normal = [](double x, double mu, double s) {
    return std::exp(-0.5 * (x - mu) * (x - mu) / (s * s)) / (2.5066 * s);
  };
  for (int d = 1; d <= kMaxSegment; ++d) {
    const double x = std::log(static_cast<double>(d) * kTickFrames);
    const double mark = 0.5 * normal(x, lnDit_, sM) + 0.5 * normal(x, lnDit_ + lnRatio_, sM);
    const double space =
        0.55 * normal(x, lnGap_, sS) + 0.3 * normal(x, lnChar_, sS) + 0.15 * normal(x, lnWord_, 0.5);
    // Densities in log length, not per tick: the path is one segmentation
    // of the many alike that the likelihood sums over (one per a few ticks
    // of each edge, more for longer segments).
    durMark_[d] = std::log((1 - floor) * mark + floor * flat);
    durSpace_[d] = std::log((1 - floor) * space + floor * flat);
  }
  tailMark_[kMaxSegment + 1] = tailSpace_[kMaxSegment + 1] = -1e300;
  for (int d = kMaxSegment; d >= 1; --d) {
    tailMark_[d] = std::max(tailMark_[d + 1], d <= maxMark_ ? durMark_[d] : -1e300);
    tailSpace_[d] = std::max(tailSpace_[d + 1], d <= maxSpace_ ? durSpace_[d] : -1e300);
  }
  tailMark_[0] = tailMark_[1];
  tailSpace_[0] = tailSpace_[1];
}

double CwDecoder::FadeLevel() const {
  // The marks' level lags a fade by a mark or two and is taken four dits
  // late; the envelope's fast 90th percentile follows it within a few
  // tenths of a second either way (8 dB a second down, faster up), less
  // what noise adds to it.
  const double m = MarkLevel();
  if (!locked_ || !(sig_ > 0)) return m;
  const double sigma = Sigma(), fast = std::exp(lnHighFast_), high = std::exp(lnHigh_);
  if (fast <= m) {
    // Falling (the marks' level is clamped to it): the excess taken off
    // once the fade is clear of a steady signal's spread.
    const double share = std::clamp(((high - fast) / high - kFadeFrom) / kFadeShare, 0.0, 1.0);
    return std::max(fast - share * kFadeExcess * sigma, kMinSignal * sigma);
  }
  // Rising out of a trough: the marks' level is still down there.
  const double rising = fast - kFadeExcess * sigma;
  const bool afterTrough = frame_ - troughAt_ < kRiseS * kFrameRate;
  return afterTrough && rising > kRiseRatio * m && fast - m > kRiseSigmas * sigma ? rising : m;
}

double CwDecoder::MarkLevel() const {
  // The mark level learned from the marks, within a factor of two of the
  // envelope's 90th percentile (a keyed tone is down more than a tenth of
  // the time), which starts it and brings it down when a fade loses marks.
  const double high = std::exp(lnHigh_);
  return std::max(sig_ > 0 ? std::clamp(sig_, 0.5 * high, std::exp(lnHighFast_)) : high,
                  kMinSignal * Sigma());
}

void CwDecoder::Score(std::int64_t t, std::int64_t start, double m, double sigma) {
  constexpr std::int64_t kMask = kTicks - 1;
  const int p = static_cast<int>(t & kMask);
  // Key-down over key-up likelihood of this envelope: Rice at the mark
  // level over Rayleigh. Each frame of the matched filter shares its
  // samples with the length_ around it.
  // In a fade's trough the marks fall below the level they taught before
  // it could follow: key down is taken at the envelope's peak around the
  // tick when that is lower (down to kTroughShare of the level), so that a
  // weak mark still counts as one rather than as a space. Beside a mark at
  // the full level (its edges through the filter) nothing changes.
  // A peak that noise alone seldom reaches (kTroughPeak sigmas), so that
  // the pauses between words keep the full level.
  const double peak = tickPeak_[p];
  const double mt = peak > kTroughPeak * sigma ? std::clamp(peak, kTroughShare * m, m) : m;
  // A steady tone's marks share one phase: key down is scored over a
  // phase known as well as the marks agree on it (von Mises, its
  // concentration from their mean resultant length r by the usual
  // approximation; the lesser of the last half second's and the last
  // second and a half's, as a half second holds few marks enough that a
  // new phase each mark may agree by chance), which on a weak signal is worth about what
  // coherent detection gains; a drifting tone or noise gives r near 0 and
  // the envelope's Rice alone. Only once the timing is known (before, the
  // marks that teach the phase are guesses) and on a weak signal (a
  // strong one's key is sure from its envelope).
  const double r = locked_ && refMag_ > 0 && refMagLong_ > 0 && m < kStrong * sigma
                       ? std::min({std::abs(refZ_) / refMag_, std::abs(refZLong_) / refMagLong_, 0.98})
                       : 0;
  // (r gives the concentration of one tick's phase, its noise included,
  // which the envelope's likelihood counts already; the tone's own phase is
  // the mean over hundreds of ticks, far surer: kPhaseSure times as
  // concentrated, from r = kPhaseSureFrom up to in full 0.1 further. At
  // -5 dB 2 % fewer errors; a drifting tone, or one whose phase jumps each
  // mark, has r well under it, and a few such marks agree by chance.)
  const double sure = Keyed() ? 1 + (kPhaseSure - 1) * std::clamp((r - kPhaseSureFrom) / 0.1, 0.0, 1.0) : 1;
  const double kappa = sure * r * (2 - r * r) / (1 - r * r);
  const std::complex<double> dir = refMag_ > 0 && std::abs(refZ_) > 0
                                       ? refZ_ / std::abs(refZ_) * std::polar(1.0, pllPhase_)
                                       : std::complex<double>{};
  auto lnI0 = [](double x) { return std::sqrt(1 + x * x) - 1 - 0.25 * std::log1p(x * x); };
  const double x = std::abs(tickZ_[p] * (mt / (sigma * sigma)) + kappa * dir);
  const double llr = std::clamp(lnI0(x) - lnI0(kappa) - 0.5 * mt * mt / (sigma * sigma), -30.0, 30.0);
  evidence_[p] = evidence_[(t - 1) & kMask] + llr * kTickFrames / length_;
  // The best path ending here in a mark (after a space) or a space (after
  // a mark); one segment as long as allowed may follow one of its kind.
  // Nothing reaches back past start (where the path begins in a space).
  const int reachMark = static_cast<int>(std::min<std::int64_t>(maxMark_, t - start));
  const int reachSpace = static_cast<int>(std::min<std::int64_t>(maxSpace_, t - start));
  double bm = -1e300, bs = -1e300;
  int lm = 1, ls = 1;
  const double e = evidence_[p];
  // On a weak signal whose timing is known each mark is worth
  // kWeakMarkBonus more: the best path alone, not the sum over the many
  // ways of cutting alike, loses weak dits into the gaps beside them (at
  // -5 dB and 20 wpm one dit in sixteen, against one in thirty with it,
  // for hardly more marks of noise).
  const double markBonus = locked_ && m < kWeakMarks * sigma ? kWeakMarkBonus : 0;
  for (int d = 1; d <= reachMark; ++d) {
    const int q = static_cast<int>((t - d) & kMask);
    const double v = bestSpace_[q] + e - evidence_[q] + durMark_[d] + markBonus;
    if (v > bm) bm = v, lm = d;
  }
  if (reachMark == maxMark_) {
    const int q = static_cast<int>((t - maxMark_) & kMask);
    const double v = bestMark_[q] + e - evidence_[q] + durMark_[maxMark_];
    if (v > bm) bm = v, lm = -maxMark_;
  }
  for (int d = 1; d <= reachSpace; ++d) {
    const int q = static_cast<int>((t - d) & kMask);
    const double v = bestMark_[q] + durSpace_[d];
    if (v > bs) bs = v, ls = d;
  }
  if (reachSpace == maxSpace_) {
    const int q = static_cast<int>((t - maxSpace_) & kMask);
    const double v = bestSpace_[q] + durSpace_[maxSpace_];
    if (v > bs) bs = v, ls = -maxSpace_;
  }
  bestMark_[p] = bm;
  bestSpace_[p] = bs;
  lenMark_[p] = lm;
  lenSpace_[p] = ls;
}

void CwDecoder::Tick(double a, std::complex<double> z, double at, bool open) {
  constexpr std::int64_t kMask = kTicks - 1;
  if (durDirty_) BuildDurations();
  ++tick_;
  const int p = static_cast<int>(tick_ & kMask);
  tickA_[p] = a;
  tickZ_[p] = z;
  // The envelope's peak from two dits and a half before this tick to two
  // dits after it (those still wait to be scored): in a gap between
  // characters it takes in the marks on both sides at their full level.
  {
    const int ditTicks = std::max(1, static_cast<int>(std::exp(lnDit_) / kTickFrames));
    double peak = a;
    for (int k = 1; k <= std::min<std::int64_t>(5 * ditTicks / 2, tick_ - 1); ++k)
      peak = std::max(peak, tickA_[(tick_ - k) & kMask]);
    for (std::int64_t k = scored_ + 1; k < std::min<std::int64_t>(delayed_, scored_ + 1 + 2 * ditTicks); ++k)
      peak = std::max(peak, delayA_[k % kDelayTicks]);
    tickPeak_[p] = peak;
  }
  tickFrame_[p] = at;
  tickOpen_[p] = open;
  const double sigma = Sigma(), m = MarkLevel();
  // In a fade the spacing learned while the signal stood clear still holds
  // (the sender's does not change with the path): the path and the cut
  // into characters lean harder on it, against edges noise has moved (the
  // marks' own spread stays: tightened too, a trough's "W1AW" came out as
  // "WQAW").
  if (m > kStrong * sigma) {
    clearAt_ = frame_;
    clearLevel_ = m;
  }
  const bool tight = locked_ && m <= kStrong * sigma && frame_ - clearAt_ < kTightS * kFrameRate &&
                     m < kTightFall * clearLevel_;
  if (tight != tight_) {
    tight_ = tight;
    durDirty_ = true;
  }
  Score(tick_, tick_ - kTicks + kMaxSegment + 8, FadeLevel(), sigma);
  {
    // The phase from the ticks likely key down (after scoring: a tick
    // does not vouch for itself), over about half a second (and a second
    // and a half, for r). Above 0.8 of the mark level: at -5 dB a third
    // of the noise's ticks pass half of it, and their random phases hid
    // the tone's.
    const double w = a > 0.8 * m ? 1 : 0;
    constexpr double kRate = 1.0 / 150;
    constexpr double kRateLong = 1.0 / 500;
    // The phase followed by a second-order loop on the same ticks
    // (natural frequency about half a hertz while keyed; its turn held
    // within 0.2 rad a tick, 11 Hz), so that a tone a few hertz off the
    // pitch keeps a phase too. Its error is the quadrature part over the
    // level, so that a tick of noise, weaker than a mark, pulls it less
    // (with the angle and the ticks over half the level it was 0.4 rad rms
    // off at -5 dB, 0.2 now).
    constexpr double kp = 0.02, ki = 0.0001;
    const std::complex<double> turned = z * std::polar(1.0, -pllPhase_);
    refZ_ += kRate * (w * turned - refZ_);
    refMag_ += kRate * (w * std::abs(z) - refMag_);
    refZLong_ += kRateLong * (w * turned - refZLong_);
    refMagLong_ += kRateLong * (w * std::abs(z) - refMagLong_);
    if (w > 0 && std::abs(z) > 0) {
      const double e = std::imag(turned) / std::max(std::abs(turned), m);
      pllPhase_ += kp * e;
      pllTurn_ = std::clamp(pllTurn_ + ki * e, -0.2, 0.2);
    }
    pllPhase_ = std::remainder(pllPhase_ + pllTurn_, 2 * M_PI);
  }
  // The key a few dits back, from the best path now (it rarely changes
  // that far back).
  const double lagDits = Weak() && m < kWeakLagMarks * sigma ? kWeakLagDits : kLagDits;
  const std::int64_t lag = std::clamp<std::int64_t>(
      std::llround(lagDits * std::exp(lnDit_) / kTickFrames) - Delay(), 8, kTicks - kMaxSegment - 8);
  DecideUpTo(tick_ - lag);
  if (replay_) Replay();
  // A strong signal whose best path ends in a space as long as a gap
  // between characters: that path is settled, and taken through now (a
  // character ends without waiting for the lag; on a weak one a mark may
  // still turn up in the gap).
  if (m > kStrong * sigma && bestSpace_[p] > bestMark_[p]) {
    std::int64_t t = tick_;
    while (lenSpace_[t & kMask] < 0 && t > decided_) t += lenSpace_[t & kMask];
    const double charSure = std::min(CharSure(), std::exp(0.5 * (lnChar_ + lnWord_)));
    if ((tick_ - t + std::abs(lenSpace_[t & kMask])) * kTickFrames >= charSure) DecideUpTo(tick_);
  }
  // Only in a gap the lag has begun (a mark's end taken sooner was cut
  // short at a change of speed, and split characters), and while the last
  // mark fits the timing held (after a change of speed the paths are
  // scored at the old one, and its first characters wait).
  const double lastMark = markCount_ > 0 ? markWin_[(markCount_ - 1) % kMarkWindow] : 0;
  if (locked_ && !down_ && !held_ && markCount_ > 0 && FadeLevel() >= kSettleSigmas * sigma &&
      std::min(std::abs(lastMark - lnDit_), std::abs(lastMark - lnDit_ - lnRatio_)) < kHoldMisfit) {
    const std::int64_t settled = Settled();
    if (settled > decided_) DecideUpTo(settled);
  }
}

std::int64_t CwDecoder::Settled() const {
  // Every path the future may still make best runs through one of the
  // ways the segment holding this tick began (a mark or a space, from each
  // tick back), each at its score so far and its best length to come; one
  // far below the best seldom overtakes it. Where all those near the best
  // agree with the best path, its key seldom changes whatever follows
  // (edges kEdgeDits apart count as agreeing, but for those of the last
  // dit).
  constexpr std::int64_t kMask = kTicks - 1;
  const std::int64_t now = tick_;
  const std::int64_t from =
      std::max<std::int64_t>(decided_ + 1, std::max<std::int64_t>(1, tick_ - kTicks + kMaxSegment + 8));
  if (now - from < 4 || now - from >= kSettleSpan) return decided_;
  const int n = static_cast<int>(now - from + 1);
  // The best path's key over from..now, where its segments end (1: a
  // mark, 2: a space), and ticks near its edges.
  bool key[kSettleSpan];
  unsigned char ends[kSettleSpan];
  std::int64_t edges[kSettleSpan];
  int edgeCount = 0;
  {
    std::int64_t t = now;
    bool mark = bestMark_[t & kMask] > bestSpace_[t & kMask];
    std::fill(ends, ends + n, 0);
    while (t >= from) {
      const int len = mark ? lenMark_[t & kMask] : lenSpace_[t & kMask];
      const std::int64_t begin = std::max(from - 1, t - std::abs(len));
      for (std::int64_t k = t; k > begin; --k) key[k - from] = mark;
      ends[t - from] = mark ? 1 : 2;
      if (t < now) edges[edgeCount++] = t;
      t = t - std::abs(len);
      if (len > 0) mark = !mark;
      if (std::abs(len) > kMaxSegment) break;
    }
    for (std::int64_t k = from; k <= t; ++k) key[k - from] = mark;
  }
  const int tol = std::max(1, static_cast<int>(kEdgeDits * std::exp(lnDit_) / kTickFrames));
  // Ticks off the edges where the best path has a mark, a space (prefix counts).
  int far[2][kSettleSpan + 1];
  {
    bool nearEdge[kSettleSpan];
    std::fill(nearEdge, nearEdge + n, false);
    // (not the last dit's: a mark just begun or ended may yet be noise)
    const std::int64_t recent = now - static_cast<std::int64_t>(std::exp(lnDit_) / kTickFrames);
    for (int e = 0; e < edgeCount; ++e)
      if (edges[e] <= recent)
        for (std::int64_t k = std::max(from, edges[e] - tol + 1); k <= std::min(now, edges[e] + tol); ++k)
          nearEdge[k - from] = true;
    far[0][0] = far[1][0] = 0;
    for (int i = 0; i < n; ++i) {
      far[0][i + 1] = far[0][i] + (!nearEdge[i] && !key[i]);
      far[1][i + 1] = far[1][i] + (!nearEdge[i] && key[i]);
    }
  }
  const double sigma = Sigma();
  const double markBonus = locked_ && FadeLevel() < kWeakMarks * sigma ? kWeakMarkBonus : 0;
  const double e = evidence_[now & kMask];
  const int reachMark = static_cast<int>(std::min<std::int64_t>(maxMark_, now - 1));
  const int reachSpace = static_cast<int>(std::min<std::int64_t>(maxSpace_, now - 1));
  double best = -1e300;
  for (int d = 0; d <= reachMark; ++d) {
    const int q = static_cast<int>((now - d) & kMask);
    best = std::max(best, bestSpace_[q] + e - evidence_[q] + markBonus + tailMark_[d]);
  }
  for (int d = 0; d <= reachSpace; ++d) best = std::max(best, bestMark_[(now - d) & kMask] + tailSpace_[d]);
  // The first tick some other likely path disagrees on.
  std::int64_t first = now + 1;
  int rivals = 0;
  auto differs = [&](std::int64_t a, std::int64_t b, bool mark) {  // ticks a+1..b of the kind
    a = std::max(a, from - 1);
    if (b <= a || a + 1 >= first) return;
    const int i = static_cast<int>(a - from + 1), j = static_cast<int>(std::min(b, first - 1) - from + 1);
    const int* other = far[mark ? 0 : 1];
    if (other[j] == other[i]) return;
    for (int k = i; k < j; ++k)
      if (other[k + 1] > other[k]) {
        first = from + k;
        return;
      }
  };
  for (int kind = 0; kind < 2 && first > from; ++kind) {
    const bool mark = kind == 0;
    const int reach = mark ? reachMark : reachSpace;
    for (int d = 0; d <= reach && first > from; ++d) {
      const std::int64_t s = now - d;
      const int q = static_cast<int>(s & kMask);
      const double v =
          mark ? bestSpace_[q] + e - evidence_[q] + markBonus + tailMark_[d] : bestMark_[q] + tailSpace_[d];
      if (v < best - kSettleMargin) continue;
      if (++rivals > kMaxRivals) return decided_;
      differs(s, now, mark);
      // Back along its path until it meets the best one.
      std::int64_t t = s;
      bool m = !mark;
      while (t >= from && t + 1 < first) {
        if (ends[t - from] == (m ? 1 : 2)) break;
        const int len = m ? lenMark_[t & kMask] : lenSpace_[t & kMask];
        if (std::abs(len) > kMaxSegment) break;
        differs(t - std::abs(len), t, m);
        t -= std::abs(len);
        if (len > 0) m = !m;
      }
    }
  }
  return first - 1;
}

std::int64_t CwDecoder::Delay() const {
  // Two dits, so that a mark's level and the peak around a tick include
  // what follows it; a dit and a half on a clear signal once its timing is
  // known (its level is sure, and characters print half a dit sooner).
  const double dits = locked_ && Clear() ? 1.5 : 2.0;
  return std::clamp<std::int64_t>(std::llround(dits * std::exp(lnDit_) / kTickFrames), 8, kDelayTicks - 1);
}

void CwDecoder::Replay() {
  // The timing has just been found from the first marks, which were cut
  // with a guessed speed and a level still settling; none is printed yet.
  // They are cut again from a dit before the first, with what is known
  // now, and decided afresh.
  constexpr std::int64_t kMask = kTicks - 1;
  replay_ = false;
  if (n_ == 0) return;
  if (durDirty_) BuildDurations();
  const double dit = std::exp(lnDit_);
  const std::int64_t oldest = tick_ - (kTicks - kMaxSegment - 16);
  std::int64_t from = tick_;
  while (from > oldest && from > 1 && tickFrame_[(from - 1) & kMask] > starts_[0] - dit) --from;
  const double sigma = Sigma(), m = MarkLevel();
  const int s = static_cast<int>((from - 1) & kMask);
  bestSpace_[s] = 0;
  bestMark_[s] = -1e300;
  lenMark_[s] = lenSpace_[s] = kMaxSegment + 1;
  for (std::int64_t t = from; t <= tick_; ++t) Score(t, from - 1, m, sigma);
  n_ = markCount_ = gapCount_ = 0;
  held_ = false;
  pending_ = down_ = carrier_ = false;
  chunkGapDone_ = true;
  lastUp_ = keptUp_ = -1e9;
  lnGap_ = lnDit_;
  lnChar_ = lnDit_ + std::log(3.0);
  lnWord_ = lnDit_ + std::log(7.0);
  decided_ = from - 1;
  lastDownTick_ = downTick_ = from - 1;
  const std::int64_t lag = std::clamp<std::int64_t>(std::llround(kLagDits * dit / kTickFrames) - Delay(), 8,
                                                    kTicks - kMaxSegment - 8);
  DecideUpTo(tick_ - lag);
  replay_ = false;
}

void CwDecoder::DecideUpTo(std::int64_t target) {
  // Each tick once, in order, from the best path as it stands (the lag
  // shrinks when the speed rises: then several at once).
  constexpr std::int64_t kMask = kTicks - 1;
  const std::int64_t from =
      std::max<std::int64_t>(decided_ + 1, std::max<std::int64_t>(1, tick_ - kTicks + kMaxSegment + 8));
  if (target < from) return;
  bool path[kTicks];
  std::int64_t t = tick_;
  bool mark = bestMark_[t & kMask] > bestSpace_[t & kMask];
  for (std::int64_t k = tick_; k >= from; --k) {
    for (;;) {
      const int len = mark ? lenMark_[t & kMask] : lenSpace_[t & kMask];
      if (t - std::abs(len) < k) break;
      t -= std::abs(len);
      if (len > 0) mark = !mark;
    }
    if (k <= target) path[k & kMask] = mark;
  }
  for (std::int64_t k = from; k <= target; ++k)
    Decide(path[k & kMask], tickFrame_[k & kMask] - 0.5 * kTickFrames, k);
  decided_ = target;
}

void CwDecoder::Decide(bool down, double at, std::int64_t tick) {
  // The squelch as it was when this tick was heard.
  tickIsOpen_ = tickOpen_[tick & (kTicks - 1)];
  const double dit = std::exp(lnDit_);
  const std::int64_t half = (length_ + kTickFrames - 1) / kTickFrames;
  if (down) {
    // (a dropout shorter than a glitch is bridged: the level is the whole
    // mark's, not the fragment's after it, which passed for noise)
    if (!down_ && (tick - lastDownTick_) * kTickFrames >= kGlitch * dit) downTick_ = tick;
    lastDownTick_ = tick;
  } else {
    if (down_ && !carrier_) {
      // The mark level from the middle of the mark just ended (its edges
      // through the matched filter are ramps half a filter long).
      const std::int64_t from = downTick_ + half / 2, to = std::max(from, tick - 1 - half / 2);
      double sum = 0;
      for (std::int64_t k = from; k <= to; ++k) sum += tickA_[k & (kTicks - 1)];
      // (half way each mark: a fade moves it 1.5 dB a mark)
      const double level = sum / static_cast<double>(to - from + 1);
      // A mark far weaker than the signal's is noise in a gap (or after the
      // signal has gone, while the squelch holds): not a mark, nor a level.
      // Against the marks' own level, which falls only 1.5 dB a second
      // without them: a fade brings it down mark by mark, the end of the
      // signal leaves it above the noise while the squelch holds.
      // After a pause of a second and a half a mark must come nearer the
      // level (the first after a signal has gone are marks of noise that
      // the held squelch lets through).
      const bool afterPause = (downTick_ - lastRealTick_) * kTickFrames > kPauseS * kFrameRate;
      // A mark standing kTroughPeak sigmas over the noise is never noise
      // (in a fade's trough it may be far below the marks' level).
      // Nor is one that the fade's level vouches for (a trough outlasts the
      // marks' level, which falls only with the marks it lets through).
      const double fade = FadeLevel();
      // (the last mark's level brought down as far as a fade may have
      // fallen since, over a word space at most: a slow sender's marks are
      // far apart)
      const double sinceS =
          std::clamp(static_cast<double>(downTick_ - lastRealTick_) * kTickFrames, 0.0, 7 * dit) / kFrameRate;
      const bool inTrough = level > kTroughChain * std::exp(-kFadeFall * sinceS) * lastLevel_ &&
                            level > kTroughMark * Sigma() && fade > kTroughFloor * Sigma() &&
                            level > kTroughLevel * fade;
      markWeak_ = level < (afterPause ? kWeakAfterPause : kWeakMark) * refLevel_ &&
                  level < kTroughPeak * Sigma() && !inTrough;
      lastShare_ = refLevel_ > 0 ? level / refLevel_ : 1;
      // (half the marks' level: a dit under the filter's length peaks below it)
      lastHalf_ = markWeak_ ? 0 : HalfLevelLength(downTick_, tick - 1, std::max(level, sig_));
      if (!markWeak_) {
        lastRealTick_ = tick;
        // (on a weak signal each mark's middle is noisy, 20 % or so: a fifth
        // of the way, 1.5 % fewer errors at -5 dB; a clear one half way, to
        // follow a fade)
        const double rate = !tight_ && Weak() ? kWeakLevelRate : 0.5;
        sig_ = sig_ > 0 ? sig_ + rate * (level - sig_) : level;
        refLevel_ = refLevel_ > 0 ? refLevel_ + 0.5 * (level - refLevel_) : level;
        lastLevel_ = level;
      }
    }
    // Without marks for a while the level sinks, 3 dB a second (the
    // squelch closes on it when the signal has gone).
    if (tick - lastDownTick_ > 4 * dit / kTickFrames) {
      sig_ *= 0.999;
      refLevel_ *= 0.9995;
    }
    // The noise from the envelope half a filter back where the key has
    // been up a filter length on both sides of it (the edges ring as long).
    if (tick - lastDownTick_ > 2 * half) {
      const double old = tickA_[(tick - half) & (kTicks - 1)];
      noisePower_ += (old * old - noisePower_) / 300;
      if (gapLowCount_ == 0) lnGapLow_ = lnLow_;
      ++gapLowCount_;
      lnGapLow_ += (old < std::exp(lnGapLow_) ? -0.9 : 0.1) * kGapLowStep;
    }
  }
  if (carrier_) {
    // A steady carrier or a noise rise: nothing until it ends.
    if (!down) carrier_ = down_ = false;
    return;
  }
  if (down && !down_) {
    down_ = true;
    KeyDown(at);
  } else if (!down && down_) {
    down_ = false;
    KeyUp(at);
  } else if (down_ && at - markStart_ > std::max(10 * dit, 1.5 * kFrameRate)) {
    carrier_ = true;
    pending_ = false;
    return;
  }
  if (!down_) Gap(at);
}

double CwDecoder::HalfLevelLength(std::int64_t first, std::int64_t last, double level) const {
  constexpr std::int64_t kMask = kTicks - 1;
  const double h = 0.5 * level;
  const std::int64_t reach = length_ / kTickFrames + 4;
  const std::int64_t oldest = std::max<std::int64_t>(1, tick_ - kTicks + 2);
  auto a = [&](std::int64_t k) { return tickA_[k & kMask]; };
  if (first - reach < oldest || last + reach > tick_ || last < first) return 0;
  // A mark whose peak comes near half the level is too short for the
  // crossings to tell its length (noise moves them far).
  double peak = 0;
  for (std::int64_t k = first; k <= last; ++k) peak = std::max(peak, a(k));
  if (peak < kHalfPeak * level) return 0;
  std::int64_t s = first;
  if (a(s) >= h) {
    while (s > first - reach && a(s - 1) >= h) --s;
    if (s == first - reach) return 0;
  } else {
    while (s < last && a(s) < h) ++s;
    if (a(s) < h) return 0;
  }
  std::int64_t e = last;
  if (a(e) >= h) {
    while (e < last + reach && a(e + 1) >= h) ++e;
    if (e == last + reach) return 0;
  } else {
    while (e > s && a(e) < h) --e;
  }
  const double from = static_cast<double>(s - 1) + (h - a(s - 1)) / (a(s) - a(s - 1));
  const double to = static_cast<double>(e) + (a(e) - h) / (a(e) - a(e + 1));
  return std::max(0.0, (to - from) * kTickFrames);
}

void CwDecoder::Gap(double now) {
  const double dit = std::exp(lnDit_);
  const double gap = now - lastUp_;
  if (pending_ && gap >= kGlitch * dit) CommitMark();
  const double charSure = std::min(CharSure(), std::exp(0.5 * (lnChar_ + lnWord_)));
  // Before the first split of dits from dahs the marks wait (a full
  // chunk ends the wait): the speed they were taken at is a guess, and
  // a mark or two of noise never splits. Likewise before three gaps
  // between characters are known (Farnsworth spacing is learned from them
  // before any word space is printed), unless a pause ends the sending.
  const bool wait = n_ > 0 && gap <= 1.5 * kFrameRate && AwaitsSpeed();
  held_ = held_ || (wait && gap >= charSure);
  const double wordAt = std::exp(0.5 * (lnChar_ + lnWord_));
  // A lone weak dit waits for a word space after it (then it is printed,
  // unless one came before it too: an E alone is seldom sent, marks of
  // noise after a signal has gone often) or for the next mark (see
  // KeyDown).
  if (LoneWeakDit()) {
    if (gap < wordAt) return;
    if (firstGap_ >= wordAt) n_ = 0;
  }
  if (n_ > 0 && !pending_ && gap >= charSure && locked_ && (gapCount_ >= 3 || gap > 1.5 * kFrameRate) &&
      !wait) {
    DecodeChunk();
    chunkEnd_ = lastUp_;
    chunkGapDone_ = false;
  }
  if (printedSinceWord_ && n_ == 0 && gap >= wordAt) {
    Emit(" ", lastUp_, lastUp_);
    printedSinceWord_ = false;
  }
}

bool CwDecoder::AwaitsSpeed() const {
  // The last marks of a clear signal each far off both dits and dahs (a
  // third or more, one of them two thirds): the sender has likely changed
  // speed, and cut at the old one their characters would come out wrong
  // (a G slowed down to half speed as TM). They wait for the next marks,
  // which give the new speed and decide them at it; when four have not,
  // or a mark fits again, the old.
  if (!locked_ || !Clear()) return false;
  int k = 0;
  double worst = 0;
  while (k < std::min(markCount_, kRecentMarks)) {
    const double x = markWin_[(markCount_ - 1 - k) % kMarkWindow];
    const double misfit = std::min(std::abs(x - lnDit_), std::abs(x - lnDit_ - lnRatio_));
    if (misfit < kHoldMisfit) break;
    worst = std::max(worst, misfit);
    ++k;
  }
  return k > 0 && k < kRecentMarks && worst >= kHoldWorst;
}

bool CwDecoder::LoneWeakDit() const {
  // One dit alone in the chunk, after a gap between characters, of a weak
  // signal and below kLoneShare of the marks' level. (Weak by the noise of
  // all frames, as set: by the gaps' noise a half-level dit in a word
  // space at 0 dB printed as an E.)
  return n_ == 1 && !pending_ && marks_[0] < 2 * std::exp(lnDit_) && shares_[0] < kLoneShare &&
         firstGap_ >= std::exp(0.5 * (lnGap_ + lnChar_)) && firstGap_ < kPauseS * kFrameRate &&
         MarkLevel() < kWeakMarks * SigmaOver(NoiseMean());
}

void CwDecoder::KeyDown(double at) {
  const double dit = std::exp(lnDit_);
  const double gap = at - lastUp_;
  if (pending_ && gap < kGlitch * dit) {
    markStart_ = pendingStart_;  // a dropout inside a mark
    pending_ = false;
    return;
  }
  if (pending_) CommitMark();
  // A lone weak dit followed by a gap between characters, not a word
  // space, is taken for a mark of noise (at -5 dB the usual one printed:
  // an E, mostly in a word space, which with the gaps beside it it is).
  const double wordAt = std::exp(0.5 * (lnChar_ + lnWord_));
  if (LoneWeakDit() && gap >= std::exp(0.5 * (lnGap_ + lnChar_)) && gap < wordAt) {
    n_ = 0;
    if (printedSinceWord_ && firstGap_ + marks_[0] + gap >= wordAt) {
      Emit(" ", lastUp_, lastUp_);
      printedSinceWord_ = false;
    }
  }
  pendingGap_ = gap;
  if (!chunkGapDone_ && n_ == 0) {
    UpdateGaps(at - chunkEnd_);
    chunkGapDone_ = true;
  }
  markStart_ = at;
}

void CwDecoder::KeyUp(double at) {
  const double len = at - markStart_;
  if (len < kGlitch * std::exp(lnDit_)) return;  // a noise spike: the gap goes on
  pending_ = true;
  pendingWeak_ = markWeak_;
  pendingShare_ = lastShare_;
  pendingStart_ = markStart_;
  pendingLen_ = len;
  pendingHalf_ = lastHalf_;
  lastUp_ = at;
}

void CwDecoder::CommitMark() {
  pending_ = false;
  if (!tickIsOpen_ || pendingWeak_) {
    // Squelched, or noise: it would upset the timing. On a signal clear
    // within kTightS (a fade) the gap runs on from the mark before it: a
    // word space with noise in it came out as two gaps between characters,
    // and the words ran together. (Not on one never clear: at -5 dB the
    // longer gaps taught a speed 1.6 times too slow.)
    if (frame_ - clearAt_ < kTightS * kFrameRate) lastUp_ = keptUp_;
    return;
  }
  keptUp_ = lastUp_;
  if (n_ == kMaxChunk) DecodeFull();
  shares_[n_] = pendingShare_;
  if (n_ == 0) firstGap_ = pendingGap_;
  marks_[n_] = pendingLen_;
  gaps_[n_] = n_ > 0 ? pendingGap_ : 0;
  starts_[n_] = pendingStart_;
  ++n_;
  // Until three are known, the gaps between characters are learned as the
  // marks come (the first characters wait for them).
  if (locked_ && gapCount_ < 3 && n_ > 1 && gaps_[n_ - 1] >= CharSure()) UpdateGaps(gaps_[n_ - 1]);
  // Marks begun before the short average set a new speed were cut with
  // the old one's filter and priors (a dah and a dit run together, the
  // rest of a mark cut off): the new speed is taken from those after.
  if (pendingStart_ >= windowFrom_) {
    const int k = markCount_ % kMarkWindow;
    markWin_[k] = std::log(std::max(pendingLen_, 1.0));
    // (at half the level only while the signal stands clear: in a fade the
    // level it is measured against is not the mark's)
    clearWin_[k] = Clear();
    halfWin_[k] = clearWin_[k] && pendingHalf_ > 0 ? std::log(std::max(pendingHalf_, 1.0)) : markWin_[k];
    ditWin_[k] = lnDit_;
    ratioWin_[k] = lnRatio_;
    ++markCount_;
    UpdateSpeed();
  }
  // In a fade, a gap in doubt that the marks since have settled as one
  // between characters: the characters before it need not wait for the
  // next sure one. (Not on a signal never clear: at -4 dB and 35 wpm the
  // text cut sooner moved the speed and the squelch with it.)
  if (tight_ && !held_ && gapCount_ >= 3 && !AwaitsSpeed()) {
    const int cut = SettledCut();
    if (cut > 0) DecodeChunk(cut);
  }
  if (held_ && !AwaitsSpeed()) {
    // A mark that fits again: no new speed after all (or it has been
    // taken); the characters held are decided now, not after this one.
    held_ = false;
    if (const int e = LastSureGap(); e > 0) DecodeChunk(e);
  }
}

void CwDecoder::Relock(double lnDit) {
  // Spacing scales with the speed; what was learned of its shape stays.
  const double shift = std::clamp(lnDit, kLnMinDit, kLnMaxDit) - lnDit_;
  lnDit_ += shift;
  lnGap_ = lnDit_;
  lnChar_ += shift;
  lnWord_ += shift;
  for (double& g : gapWin_) g += shift;
  durDirty_ = true;
}

void CwDecoder::Nudge(double lnShift) {
  // The gaps go with the speed (a sender speeding up shortens them too);
  // what is learned of their shape stays.
  const double shift = std::clamp(lnDit_ + lnShift, kLnMinDit, kLnMaxDit) - lnDit_;
  lnDit_ += shift;
  lnGap_ += shift;
  lnChar_ += shift;
  lnWord_ += shift;
  for (double& g : gapWin_) g += shift;
}

bool CwDecoder::RecentJump(int count, double misfit, double worst) {
  // The last few marks alone, when each fits neither the dits nor the
  // dahs of the timing held and they split cleanly into dits and dahs
  // among themselves: the sender changed speed, and the window of older
  // marks would wait for two more splits. Marks broken up by a fade or
  // noise do not split that cleanly.
  if (!locked_ || markCount_ < count) return false;
  const bool clear = Clear();
  // On a clear signal against the timing held when the first of them
  // came: those after it have nudged it, the ratio most (old dahs and new
  // dits split as one). (In a fade the timing held now: marks broken up
  // there nudge it less than they misfit the old.)
  const int first = (markCount_ - count) % kMarkWindow;
  const double refDit = clear ? ditWin_[first] : lnDit_, refRatio = clear ? ratioWin_[first] : lnRatio_;
  double recent[kRecentMarks], path[kRecentMarks], half[kRecentMarks];
  double farthest = 0;
  for (int i = 0; i < count; ++i) {
    const int k = (markCount_ - count + i) % kMarkWindow;
    const double x = clear ? halfWin_[k] : markWin_[k];
    recent[i] = x;
    path[i] = markWin_[k];
    half[i] = halfWin_[k];
    const double off = std::min(std::abs(x - refDit), std::abs(x - refDit - refRatio));
    if (off < misfit) return false;
    farthest = std::max(farthest, off);
  }
  if (farthest < worst) return false;
  double lo = 0, hi = 0, spread = 0;
  int nLo = 0;
  if (!TwoMeans(recent, count, lo, hi, nLo, &spread)) return false;
  if (hi - lo < std::log(2.2) || hi - lo > std::log(4.5) ||
      spread > (clear ? kRecentSpreadClear : kRecentSpread) || std::abs(lo - refDit) < kRecentMisfit ||
      !AutoAllows(lo))
    return false;
  // The dit from both kinds (the dahs over the ratio learned), which the
  // sender keeps when he changes speed: a lone dit, 20 % off by hand,
  // would set the speed alone.
  const bool lone = nLo == 1 || nLo == count - 1;
  if (lone) lo = (nLo * lo + (count - nLo) * (hi - refRatio)) / count;
  if (std::abs(lo - refDit) < kRecentJump) return false;
  lnRatio_ = refRatio;
  if (!lone) lnRatio_ = hi - lo;
  TakeRecent(lo, path, half, count);
  return true;
}

void CwDecoder::TakeRecent(double lnDit, const double* path, const double* half, int count) {
  Relock(lnDit);
  candidate_ = lnDit;
  sinceLock_ = 0;
  fromRecent_ = true;
  if (Clear()) ForgetStructure();
  // Only the marks at the new speed stay for the splits that follow.
  for (int i = 0; i < count; ++i) {
    halfWin_[i] = half[i];
    markWin_[i] = path[i];
    clearWin_[i] = Clear();
    ditWin_[i] = lnDit;
    ratioWin_[i] = lnRatio_;
  }
  markCount_ = count;
  // The marks held back for want of a gap surely between characters at
  // the old speed are decided up to the last such gap at the new one.
  if (const int e = LastSureGap(); e > 0) DecodeChunk(e);
}

bool CwDecoder::FitJump() {
  // A clear signal's last kFitMarks marks at their lengths at half the
  // level, one of them left out (at the old speed's filter and priors a
  // faster sender's two dahs run together, or a mark comes out cut):
  // the rest each within kRecentMisfit of a new dit or dah at the ratio
  // held (hand-sent, 20 % off), that dit kRecentJump or more from the old.
  // Four such marks cannot be jitter about the old timing.
  if (!locked_ || !Clear() || markCount_ < kFitMarks) return false;
  const int first = (markCount_ - kFitMarks) % kMarkWindow;
  const double refDit = ditWin_[first], ratio = ratioWin_[first];
  double x[kFitMarks];
  bool oldFit[kFitMarks];
  for (int i = 0; i < kFitMarks; ++i) {
    const int k = (markCount_ - kFitMarks + i) % kMarkWindow;
    if (!clearWin_[k]) return false;
    x[i] = halfWin_[k];
    oldFit[i] = std::min(std::abs(x[i] - refDit), std::abs(x[i] - refDit - ratio)) < kFitMisfit;
  }
  double best = 1e300, bestDit = 0;
  int bestOut = -1;
  for (int out = 0; out < kFitMarks; ++out) {
    // (the rest all misfit the old timing: a mark at the old speed among
    // them would draw the new dit toward it)
    bool fits = false;
    for (int i = 0; i < kFitMarks; ++i) fits = fits || (i != out && oldFit[i]);
    if (fits) continue;
    // Each mark a dit or a dah of the dit that fits them best, found by
    // trying each as the dit or as a dah in turn.
    for (int seed = 0; seed < 2 * kFitMarks; ++seed) {
      if (seed / 2 == out) continue;
      const double dit = x[seed / 2] - (seed % 2) * ratio;
      double sum = 0, sse = 0, worst = 0;
      int dits = 0;
      for (int pass = 0; pass < 2; ++pass) {
        const double at = pass == 0 ? dit : sum / (kFitMarks - 1);
        sum = sse = worst = 0;
        dits = 0;
        for (int i = 0; i < kFitMarks; ++i) {
          if (i == out) continue;
          const bool dah = std::abs(x[i] - at - ratio) < std::abs(x[i] - at);
          dits += !dah;
          sum += x[i] - (dah ? ratio : 0);
        }
        const double m = sum / (kFitMarks - 1);
        for (int i = 0; i < kFitMarks; ++i) {
          if (i == out) continue;
          const bool dah = std::abs(x[i] - at - ratio) < std::abs(x[i] - at);
          const double r = x[i] - m - (dah ? ratio : 0);
          sse += r * r;
          worst = std::max(worst, std::abs(r));
        }
      }
      const double m = sum / (kFitMarks - 1);
      // Both kinds (one alone says nothing of which it is).
      if (dits == 0 || dits == kFitMarks - 1 || worst >= kRecentMisfit || sse >= best) continue;
      best = sse;
      bestDit = m;
      bestOut = out;
    }
  }
  if (bestOut < 0 || std::abs(bestDit - refDit) < kRecentJump || !AutoAllows(bestDit)) return false;
  double path[kFitMarks - 1], half[kFitMarks - 1];
  for (int i = 0, j = 0; i < kFitMarks; ++i) {
    if (i == bestOut) continue;
    path[j] = markWin_[(markCount_ - kFitMarks + i) % kMarkWindow];
    half[j++] = x[i];
  }
  lnRatio_ = ratio;
  TakeRecent(bestDit, path, half, kFitMarks - 1);
  return true;
}

void CwDecoder::UpdateSpeed() {
  if (RecentJump(kRecentMarks, kRecentMisfit, 0) ||
      (Clear() && RecentJump(kQuickMarks, kHoldMisfit, kHoldWorst)) || FitJump()) {
    SetFilterLength();
    durDirty_ = true;
    return;
  }
  // After a speed taken from a few marks alone (a clear signal's, each
  // up to 20 % off by hand), the marks that follow at their lengths at
  // half the level: the path's are drawn toward the timing held, and a
  // speed taken off stays off.
  const int n = std::min(markCount_, kMarkWindow);
  const double* kept = Clear() && fromRecent_ ? halfWin_.data() : markWin_.data();
  double lo = 0, hi = 0;
  int nLo = 0;
  double spread = 0;
  if (!TwoMeans(kept, n, lo, hi, nLo, &spread)) return;
  if (hi - lo >= std::log(1.9)) {
    // Dits and dahs both present: the short cluster is the dit.
    const double ratio = std::clamp(hi - lo, std::log(2.2), std::log(4.5));
    // The first split waits for three marks (two could be a dit and a
    // mark of noise).
    // Nor is it taken from lengths spread about their clusters as marks
    // of noise are (hand sending, 20 % off, spreads them 0.12 in log).
    if (!locked_ && (n < kFirstMarks || spread > kMaxSpread || hi - lo < std::log(2.2))) return;
    // Nor against a sure speed from the keying's structure.
    if (!locked_ && autoSure_ && std::abs(lo - autoLn_) > std::log(kAutoOff)) return;
    const bool first = !locked_;
    locked_ = true;
    // A new speed is taken once two splits in a row agree on it (a fade or
    // a burst of noise breaks marks up for one at most).
    // Both kinds move together (a fade that shortens the dits alone, or
    // breaks marks up, is no new speed; nor are two hand-sent dits 30 %
    // short), and the dits are more than one (one is no speed).
    const bool jump = std::abs(lo - lnDit_) > 0.35 && std::abs(lo - candidate_) < 0.25 && nLo >= 2 &&
                      std::abs(hi - lo - lnRatio_) < 0.25 && AutoAllows(lo);
    candidate_ = lo;
    if (first) replay_ = !replayed_;
    if (first) replayed_ = true;
    if (jump && Clear()) ForgetStructure();
    if (first || jump) {
      Relock(lo);
      lnRatio_ = ratio;
      sinceLock_ = 0;
      fromRecent_ = false;
    } else {
      // The dit from both clusters (the dahs over the weight learned), so
      // that the mix of the last marks moves it less.
      const double dit = (nLo * lo + (n - nLo) * (hi - lnRatio_)) / n;
      // (a fifth of the way for the first marks after a new speed, which
      // was taken from a few; a tenth after, steadier)
      const double rate = ++sinceLock_ < 24 ? 0.2 : 0.1;
      Nudge(rate * (dit - lnDit_));
      lnRatio_ += rate * (ratio - lnRatio_);
    }
  } else if (n >= 3) {
    // One kind only: nudged if it fits dits or dahs of the present speed.
    const double m = 0.5 * (lo + hi);
    if (std::abs(m - lnDit_) < 0.4)
      Nudge(0.15 * (m - lnDit_));
    else if (std::abs(m - lnDit_ - lnRatio_) < 0.4)
      Nudge(0.15 * (m - lnRatio_ - lnDit_));
  }
  SetFilterLength();
  durDirty_ = true;
}

void CwDecoder::UpdateGaps(double gap) {
  // A pause, not spacing.
  if (gap <= 0 || gap > 40 * std::exp(lnDit_) || (gapCount_ >= 6 && gap > 2.5 * std::exp(lnWord_))) return;
  gapWin_[gapCount_ % kGapWindow] = std::log(gap);
  ++gapCount_;
  const int n = std::min(gapCount_, kGapWindow);
  double lo = 0, hi = 0;
  int nLo = 0;
  if (n < 3 || !TwoMeans(gapWin_.data(), n, lo, hi, nLo)) return;
  // The first few replace the guess outright (Farnsworth gaps between
  // characters are twice the usual, and the first word waits for them).
  const double rate = gapCount_ <= 4 ? 1.0 : 0.5;
  if (hi - lo >= std::log(1.6)) {
    lnChar_ += rate * (lo - lnChar_);
    lnWord_ += rate * (hi - lnWord_);
  } else {
    // One cluster: most gaps between characters are not word spaces.
    const double m = (lo * nLo + hi * (n - nLo)) / n;
    // (up to the 12 dits Farnsworth sending leaves between characters)
    if (m < lnDit_ + std::log(12.0)) lnChar_ += rate * (m - lnChar_);
  }
  lnChar_ = std::max(lnChar_, lnDit_ + std::log(2.0));
  lnWord_ = std::max(lnWord_, lnChar_ + std::log(1.7));
  durDirty_ = true;
}

void CwDecoder::DecodeChunk(int count) {
  const int n = count < 0 ? n_ : std::min(count, n_);
  if (n == 0) return;
  // The marks after these wait for the next decision.
  struct Held {
    double mark, gap, start, share;
  } rest[kMaxChunk];
  const int kept = n_ - n;
  for (int e = 0; e < kept; ++e) rest[e] = {marks_[n + e], gaps_[n + e], starts_[n + e], shares_[n + e]};
  n_ = 0;
  DecodeMarks(n);
  if (kept > 0 && printedSinceWord_ && std::log(std::max(rest[0].gap, 1.0)) > 0.5 * (lnChar_ + lnWord_)) {
    Emit(" ", rest[0].start, rest[0].start);
    printedSinceWord_ = false;
  }
  for (int e = 0; e < kept; ++e) {
    marks_[e] = rest[e].mark;
    gaps_[e] = rest[e].gap;
    starts_[e] = rest[e].start;
    shares_[e] = rest[e].share;
  }
  if (kept > 0) firstGap_ = rest[0].gap;
  n_ = kept;
}

void CwDecoder::ScoreElements(int n, ElementScores& out) const {
  // (tighter on a weak signal too: its gaps' edges are what noise moves,
  // not the sender; 1 % fewer errors at -5 dB)
  const double sigmaGap = tight_ || Weak() ? kTightGap : kSigmaGap;
  for (int e = 0; e < n; ++e) {
    const double lm = std::log(std::max(marks_[e], 1.0));
    out.dit[e] = LogLike(lm, lnDit_, kSigmaMark);
    out.dah[e] = LogLike(lm, lnDit_ + lnRatio_, kSigmaMark);
    const double lg = std::log(std::max(gaps_[e], 1.0));
    out.intra[e] = LogLike(lg, lnGap_, sigmaGap);
    out.word[e] = e > 0 && lg > 0.5 * (lnChar_ + lnWord_);
    out.inter[e] = LogLike(lg, out.word[e] ? lnWord_ : lnChar_, sigmaGap);
  }
}

void CwDecoder::DecodeMarks(int n) {
  const Alphabet& ab = Symbols();
  // Held marks: their gaps between characters teach the spacing first.
  if (gapCount_ < 3) {
    const double charSure = CharSure();
    for (int e = 1; e < n; ++e)
      if (gaps_[e] >= charSure) UpdateGaps(gaps_[e]);
  }
  ElementScores scores;
  ScoreElements(n, scores);
  const double *dit = scores.dit, *dah = scores.dah, *intra = scores.intra, *inter = scores.inter;
  const bool* word = scores.word;
  // The best symbol for the marks j..i-1, by their count k (-1: none).
  double segScore[kMaxChunk + 1][kMorseMaxElements + 1];
  int segSymbol[kMaxChunk + 1][kMorseMaxElements + 1];
  for (int i = 1; i <= n; ++i)
    for (int k = 1; k <= std::min(kMorseMaxElements, i); ++k) {
      const int j = i - k;
      segScore[i][k] = -1e300;
      segSymbol[i][k] = -1;
      for (int s = 0; s < ab.count; ++s) {
        if (ab.length[s] != k) continue;
        double score = ab.symbols[s].logPrior;
        for (int e = 0; e < k; ++e) score += ab.symbols[s].code[e] == '.' ? dit[j + e] : dah[j + e];
        if (score > segScore[i][k]) segScore[i][k] = score, segSymbol[i][k] = s;
      }
    }
  // The few best ways to cut marks 0..i-1 into characters, each with the
  // word it leaves: a character that turns a word fitting QSO text (a
  // usual word, a callsign, a number) into one that fits none costs
  // kShapePenalty, so that where the marks leave the cut in doubt the
  // cut that keeps the shape wins. The marks' own score is kept apart for
  // the squelch.
  struct Cut {
    double score, marks;
    int from, fromCut, symbol;
    int wordLen;  // kWordChars: no shape to keep (too long, a prosign, or already broken)
    char word[kWordChars];
  };
  Cut cuts[kMaxChunk + 1][kCuts];
  int cutCount[kMaxChunk + 1] = {};
  {
    Cut& start = cuts[0][0];
    start = {0, 0, -1, -1, -1, wordLen_, {}};
    std::memcpy(start.word, word_.data(), wordLen_ < kWordChars ? wordLen_ : 0);
    if (wordLen_ > 0 && wordLen_ < kWordChars && MorseWordFit(word_.data(), wordLen_) == 0)
      start.wordLen = kWordChars;
    cutCount[0] = 1;
  }
  for (int i = 1; i <= n; ++i) {
    double gapsInside = 0;  // intra-character gaps of marks j+1..i-1
    for (int k = 1; k <= std::min(kMorseMaxElements, i); ++k) {
      const int j = i - k;
      if (k > 1) gapsInside += intra[j + 1];
      const int sym = segSymbol[i][k];
      if (sym < 0) continue;
      const double marks = (j > 0 ? inter[j] : 0) + gapsInside + segScore[i][k];
      for (int b = 0; b < cutCount[j]; ++b) {
        const Cut& prev = cuts[j][b];
        Cut next = prev;
        next.from = j, next.fromCut = b, next.symbol = sym;
        next.marks = prev.marks + marks;
        next.score = prev.score + marks;
        if (word[j]) next.wordLen = 0;
        const char* text = ab.symbols[sym].text;
        if (text[1] != '\0') {
          next.wordLen = kWordChars;
        } else if (next.wordLen < kWordChars) {
          next.word[next.wordLen++] = text[0];
          if (MorseWordFit(next.word, next.wordLen) == 0) {
            next.score -= kShapePenalty;
            next.wordLen = kWordChars;
          }
        }
        // Kept in order, best first, the worst dropped.
        int at = cutCount[i];
        while (at > 0 && cuts[i][at - 1].score < next.score) --at;
        if (at >= kCuts) continue;
        for (int m = std::min(cutCount[i], kCuts - 1); m > at; --m) cuts[i][m] = cuts[i][m - 1];
        cuts[i][at] = next;
        cutCount[i] = std::min(cutCount[i] + 1, kCuts);
      }
    }
  }
  // Squelch: a signal must stand clear of the floor and the marks fit.
  if (!open_ || cutCount[n] == 0 || cuts[n][0].marks / n < kMinFit) return;
  int ends[kMaxChunk + 1], symbol[kMaxChunk + 1], count = 0;
  for (int i = n, b = 0; i > 0;) {
    const Cut& c = cuts[i][b];
    ends[count] = i;
    symbol[count++] = c.symbol;
    b = c.fromCut;
    i = c.from;
  }
  int j = 0;
  for (int c = count - 1; c >= 0; --c) {
    const int i = ends[c];
    const MorseSymbol& s = ab.symbols[symbol[c]];
    // Fine timing from what was decided: gaps inside characters, dah ratio.
    for (int e = j; e < i; ++e) {
      if (e > j) lnGap_ += 0.1 * (std::log(std::max(gaps_[e], 1.0)) - lnGap_);
      if (s.code[e - j] == '-')
        lnRatio_ +=
            0.1 * (std::clamp(std::log(std::max(marks_[e], 1.0)) - lnDit_, std::log(2.2), std::log(4.5)) -
                   lnRatio_);
    }
    lnGap_ = std::clamp(lnGap_, lnDit_ - 0.5, lnDit_ + 0.5);
    // (before the chunk's first mark, the gap was judged at the timing
    // then; sped up since, it may be a word space at the new)
    const bool wordBefore = j == 0 && std::log(std::max(firstGap_, 1.0)) > 0.5 * (lnChar_ + lnWord_);
    if ((word[j] || wordBefore) && printedSinceWord_) {
      Emit(" ", starts_[j], starts_[j]);
      printedSinceWord_ = false;
    }
    Emit(s.text, starts_[j], starts_[i - 1] + marks_[i - 1]);
    j = i;
  }
}

int CwDecoder::SettledCut() const {
  // The marks so far cut into characters (the last one may go on: scored
  // as the start of a symbol), with and without a character's end at each
  // gap; where the end wins by kSettled the cut is settled. In a fade's
  // trough a gap between characters comes out a dit short, under a sure
  // one, and the characters before it waited for the next one's end (two
  // or three word spaces late). Any gap, not only those nearer one between
  // characters: a mark of noise in a gap after "-----" leaves a short gap
  // that no symbol runs on through, and the 0 waited a second for the next
  // sure gap.
  const int n = n_;
  if (n < 2 || !locked_) return -1;
  const Alphabet& ab = Symbols();
  ElementScores scores;
  ScoreElements(n, scores);
  const double *dit = scores.dit, *dah = scores.dah, *intra = scores.intra, *inter = scores.inter;
  // The best symbol for marks i-k..i-1 (at the end, the best start of one).
  double seg[kMaxChunk + 1][kMorseMaxElements + 1];
  for (int i = 1; i <= n; ++i)
    for (int k = 1; k <= std::min(kMorseMaxElements, i); ++k) {
      seg[i][k] = -1e300;
      for (int sym = 0; sym < ab.count; ++sym) {
        if (ab.length[sym] != k && !(i == n && ab.length[sym] > k)) continue;
        double score = ab.symbols[sym].logPrior;
        for (int e = 0; e < k; ++e) score += ab.symbols[sym].code[e] == '.' ? dit[i - k + e] : dah[i - k + e];
        seg[i][k] = std::max(seg[i][k], score);
      }
    }
  auto best = [&](int j, bool end) {
    double f[kMaxChunk + 1];
    f[0] = 0;
    for (int i = 1; i <= n; ++i) {
      f[i] = -1e300;
      double inside = 0;
      for (int k = 1; k <= std::min(kMorseMaxElements, i); ++k) {
        const int from = i - k;
        if (k > 1) inside += intra[from + 1];
        if (end ? from < j && i > j : from == j) continue;
        if (f[from] <= -1e299 || seg[i][k] <= -1e299) continue;
        f[i] = std::max(f[i], f[from] + (from > 0 ? inter[from] : 0) + inside + seg[i][k]);
      }
    }
    return f[n];
  };
  for (int j = n - 1; j >= 1; --j)
    if (best(j, true) > best(j, false) + kSettled) return j;
  return -1;
}

void CwDecoder::DecodeFull() {
  // A chunk full before a sure character gap (the wait for the timing):
  // decoded up to its last gap that is surely between characters.
  const int e = LastSureGap();
  DecodeChunk(e > 0 ? e : n_);
}

double CwDecoder::CharSure() const { return std::exp(0.5 * (lnGap_ + lnChar_) + 0.2); }

int CwDecoder::LastSureGap() const {
  const double charSure = CharSure();
  for (int e = n_ - 1; e > 0; --e)
    if (gaps_[e] >= charSure) return e;
  return -1;
}

void CwDecoder::Emit(const char* text, double startFrame, double endFrame) {
  const double delay = kDecimation + 0.5 * kDecimation * length_;  // samples through the two averages
  CwSymbol& s = out_[outHead_ % kOut];
  std::strncpy(s.text, text, sizeof s.text - 1);
  s.text[sizeof s.text - 1] = '\0';
  s.startSample = origin_ + std::max<std::int64_t>(0, std::llround(startFrame * kDecimation - delay));
  s.endSample = origin_ + std::max<std::int64_t>(0, std::llround(endFrame * kDecimation - delay));
  ++outHead_;
  if (outHead_ - outTail_ > kOut) outTail_ = outHead_ - kOut;
  if (text[0] != ' ') printedSinceWord_ = true;
  // The word so far, for the word prior (a prosign or a long run: none).
  if (text[0] == ' ')
    wordLen_ = 0;
  else if (text[1] != '\0' || wordLen_ >= kWordChars)
    wordLen_ = kWordChars;
  else
    word_[wordLen_++] = text[0];
  lastPrint_ = sample_;
}

void CwDecoder::Flush() {
  // The key over the last few dits, from the best path as it ends.
  for (; scored_ < delayed_; ++scored_) {
    const int k = static_cast<int>(scored_ % kDelayTicks);
    Tick(delayA_[k], delayZ_[k], delayFrame_[k], delayOpen_[k]);
  }
  DecideUpTo(tick_);
  if (down_ && !carrier_) {
    down_ = false;
    KeyUp(frame_);
  }
  if (pending_) CommitMark();
  if (n_ > 0) DecodeChunk();
}

bool CwDecoder::Pop(CwSymbol& s) {
  if (outTail_ == outHead_) return false;
  s = out_[outTail_ % kOut];
  ++outTail_;
  return true;
}

double CwDecoder::Wpm() const { return 1.2 * kFrameRate / std::exp(lnDit_); }

double CwDecoder::SnrDb() const {
  // Envelope of complex noise of variance s2 averaged flat over 16 L
  // samples: Rayleigh with mean sqrt(pi/4 s2 / (16 L)); a tone of amplitude
  // A gives A/2.
  const double mean = NoiseMean();
  if (!(mean > 0)) return -99;
  const double s2 = 4 / M_PI * kDecimation * length_ * mean * mean;
  const double toneA2 = 4 * std::max(sig_ * sig_ - 4 / M_PI * mean * mean, 1e-30);
  return std::clamp(10 * std::log10((toneA2 / 2) / (s2 * 500 / (kSampleRate / 2))), -30.0, 60.0);
}
