#include "decode/CwDecoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

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
constexpr double kGlitch = 0.3;        // marks and gaps shorter than this, in dits, are bridged
constexpr double kMinSignal = 2.0;     // mark level at least this over the noise floor, amplitude
constexpr double kOpenRatio = 3.4, kCloseRatio = 2.4;  // squelch: mark level over the noise mean
constexpr double kCloseHoldS = 1.5;
constexpr double kForgetS = 8.0;  // closed this long, the next signal is a new one
// Rayleigh: the 10th percentile over the mean, sqrt(-4/pi ln 0.9).
const double kLowQuantile = std::sqrt(-4 / M_PI * std::log(0.9));
constexpr double kMinFit = -3.5;       // mean log likelihood per mark below which a chunk is noise
// The floor tracker sits below the mean noise envelope by this factor
// (Rayleigh envelope, the tracker's rise and fall rates).
constexpr double kFloorBias = 0.86;

double LogLike(double x, double mean, double sigma) {
  const double z = (x - mean) / sigma;
  return std::max(-0.5 * z * z, -12.0);
}

// Splits a few log lengths into a short and a long cluster (least squares);
// false when fewer than two.
bool TwoMeans(const double* values, int n, double& lo, double& hi, int& nLo) {
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
  return true;
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
  for (int k = 0; k < 2 * kDecimation; ++k) total += tri_[k] = k < kDecimation ? k + 0.5 : 2 * kDecimation - k - 0.5;
  for (double& w : tri_) w /= total;
  Symbols();
  SetPitch(pitchHz_);
  Reset();
}

void CwDecoder::SetPitch(double hz) {
  if (!std::isfinite(hz)) hz = 700;
  pitchHz_ = std::clamp(hz, kMinPitchHz, kMaxPitchHz);
  phaseStep_ = 2 * M_PI * pitchHz_ / kSampleRate;
  ring_.fill({});
  sum_ = {};
  warm_ = 0;
  down_ = false;
  preCount_ = 0;
}

void CwDecoder::Reset() {
  SetPitch(pitchHz_);
  phase_ = 0;
  pre_.fill({});
  prePos_ = 0;
  sample_ = 0;
  frame_ = 0;
  a_ = prevA_ = noise_ = sig_ = 0;
  open_ = false;
  lowFrames_ = 0;
  closedAt_ = -1e9;
  // Short enough a start that the matched filter resolves the fastest
  // sending; the first split of dits from dahs sets the speed.
  lnDit_ = std::log(DitFrames(36));
  lnRatio_ = std::log(3.0);
  lnGap_ = lnDit_;
  lnChar_ = lnDit_ + std::log(3.0);
  lnWord_ = lnDit_ + std::log(7.0);
  lastUp_ = -1e9;
  pending_ = false;
  markCount_ = gapCount_ = n_ = 0;
  locked_ = false;
  printedSinceWord_ = false;
  chunkGapDone_ = true;
  outHead_ = outTail_ = 0;
  lastPrint_ = -(std::int64_t{1} << 40);
  length_ = 0;
  SetFilterLength();
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
  }
}

void CwDecoder::ExactSums() {
  sum_ = sumFast_ = {};
  for (int k = 1; k <= length_; ++k) sum_ += ring_[(ringPos_ - k + kRing) % kRing];
  for (int k = 1; k <= lengthFast_; ++k) sumFast_ += ring_[(ringPos_ - k + kRing) % kRing];
  sinceExact_ = 0;
}

double CwDecoder::NoiseMean() const { return std::exp(lnLow_) / kLowQuantile; }

void CwDecoder::FastKey() {
  const double aFast = std::abs(sumFast_) / lengthFast_;
  const double floor = NoiseMean() * std::sqrt(static_cast<double>(length_) / lengthFast_);
  const double level = std::max(sig_, floor * kOpenRatio);
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
    if (fastCount_ < 6 || !TwoMeans(fastWin_.data(), std::min<int>(fastCount_, fastWin_.size()), lo, hi, nLo)) return;
    // Dits and dahs well apart and the dits much shorter than the matched
    // filter takes them to be: the sender sped up.
    const bool agree = std::abs(lo - fastCandidate_) < 0.25;
    fastCandidate_ = lo;
    if (hi - lo >= std::log(2.0) && lo < lnDit_ - std::log(1.6) && nLo >= 3 && sig_ > 6 * floor && agree) {
      Relock(lo);
      lnRatio_ = std::clamp(hi - lo, std::log(2.2), std::log(4.5));
      markCount_ = fastCount_ = 0;
      locked_ = true;
      SetFilterLength();
    }
  }
}

void CwDecoder::Frame(std::complex<double> z) {
  sum_ += z - ring_[(ringPos_ - length_ + kRing) % kRing];
  sumFast_ += z - ring_[(ringPos_ - lengthFast_ + kRing) % kRing];
  ring_[ringPos_] = z;
  ringPos_ = (ringPos_ + 1) % kRing;
  if (++sinceExact_ >= 4096) ExactSums();  // rounding drift of the running sums
  frame_ += 1;
  prevA_ = a_;
  a_ = std::abs(sum_) / length_;
  aHist_[ringPos_] = a_;
  if (warm_ < length_ + 2) {
    ++warm_;
    noise_ = warm_ == 1 ? a_ : noise_ + 0.2 * (a_ - noise_);
    lnLow_ = std::log(std::max(noise_ * kLowQuantile, 1e-30));
    return;
  }
  const double dit = std::exp(lnDit_);

  // Levels: the floor follows the envelope between marks (fast down, slow
  // up), the mark level the envelope while the key is down, and sinks
  // towards the floor over a few seconds without marks (fading).
  // The floor takes the envelope of one filter length ago, once that frame
  // lies a filter length clear of the last mark (the edges ring as long).
  aHist_[ringPos_] = a_;
  if (!down_) {
    if (frame_ - length_ - rawUp_ >= length_) {
      const double old = aHist_[(ringPos_ - length_ + kRing) % kRing];
      noise_ += (old < noise_ ? 0.03 : 0.004) * (old - noise_);
    }
    if (frame_ - lastUp_ > 4 * dit) sig_ = noise_ + (sig_ - noise_) * 0.9995;
  } else {
    sig_ += (a_ > sig_ ? 0.05 : 0.01) * (a_ - sig_);
  }
  const double level = std::max(sig_, noise_ * (open_ ? kMinSignal : kOpenRatio));
  const double hi = noise_ + 0.55 * (level - noise_), lo = noise_ + 0.4 * (level - noise_);
  // Squelch: the mark level over the noise's mean envelope, the latter from
  // the 10th percentile of all frames over the last second or so (mostly
  // gaps even in fast sending), unbiased by the key's decisions.
  // Faster for the first half second, while it settles.
  lnLow_ += (a_ < std::exp(lnLow_) ? -0.9 : 0.1) * (frame_ < 0.5 * kFrameRate ? 0.1 : 0.03);
  // Open at once; closed only after the level has stayed low a while, so
  // that a fade or a run of weak marks does not cut a word.
  const double ratio = sig_ / std::max(NoiseMean(), 1e-30);
  lowFrames_ = open_ && ratio < kCloseRatio ? lowFrames_ + 1 : 0;
  if (open_ ? lowFrames_ > kCloseHoldS * kFrameRate : ratio > kOpenRatio) {
    open_ = !open_;
    if (!open_) closedAt_ = frame_;
    // Marks from before a signal came up say nothing of its timing (a
    // fade of the same signal keeps what was learned).
    if (open_ && frame_ - closedAt_ > kForgetS * kFrameRate) {
      markCount_ = fastCount_ = n_ = 0;
      locked_ = false;
    }
  }
  FastKey();

  auto crossing = [&](double thr) {
    const double d = a_ - prevA_;
    const double f = std::abs(d) > 1e-300 ? std::clamp((thr - prevA_) / d, 0.0, 1.0) : 1.0;
    return frame_ - 1 + f;
  };
  if (!down_ && a_ > hi) {
    down_ = true;
    KeyDown(crossing(hi));
  } else if (down_ && a_ < lo) {
    down_ = false;
    rawUp_ = frame_;
    KeyUp(crossing(lo));
  } else if (down_ && frame_ - markStart_ > std::max(10 * dit, 1.5 * kFrameRate)) {
    // A steady carrier or a noise rise: taken as the new floor.
    down_ = false;
    noise_ = a_ * kFloorBias;
    sig_ = a_;
    pending_ = false;
  }

  if (!down_) {
    const double gap = frame_ - lastUp_;
    if (pending_ && gap >= kGlitch * dit) CommitMark();
    const double charSure = std::min(std::exp(0.5 * (lnGap_ + lnChar_) + 0.2), std::exp(0.5 * (lnChar_ + lnWord_)));
    // Before the first split of dits from dahs the marks wait (a pause, or
    // a chunk full, ends the wait): the speed they were taken at is a guess.
    // Likewise before three gaps between characters are known (Farnsworth
    // spacing is learned from them before any word space is printed).
    if (n_ > 0 && !pending_ && gap >= charSure && ((locked_ && gapCount_ >= 3) || gap > 1.5 * kFrameRate)) {
      DecodeChunk();
      chunkEnd_ = lastUp_;
      chunkGapDone_ = false;
    }
    if (printedSinceWord_ && n_ == 0 && gap >= std::exp(0.5 * (lnChar_ + lnWord_))) {
      Emit(" ", lastUp_, lastUp_);
      printedSinceWord_ = false;
    }
  }
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
  pendingStart_ = markStart_;
  pendingLen_ = len;
  lastUp_ = at;
}

void CwDecoder::CommitMark() {
  pending_ = false;
  if (!open_) return;  // squelched: marks of noise would upset the timing
  if (n_ == kMaxChunk) DecodeFull();
  marks_[n_] = pendingLen_;
  gaps_[n_] = n_ > 0 ? pendingGap_ : 0;
  starts_[n_] = pendingStart_;
  ++n_;
  markWin_[markCount_ % kMarkWindow] = std::log(std::max(pendingLen_, 1.0));
  ++markCount_;
  UpdateSpeed();
}

void CwDecoder::Relock(double lnDit) {
  // Spacing scales with the speed; what was learned of its shape stays.
  const double shift = std::clamp(lnDit, kLnMinDit, kLnMaxDit) - lnDit_;
  lnDit_ += shift;
  lnGap_ = lnDit_;
  lnChar_ += shift;
  lnWord_ += shift;
  for (double& g : gapWin_) g += shift;
}

void CwDecoder::UpdateSpeed() {
  const int n = std::min(markCount_, kMarkWindow);
  double lo = 0, hi = 0;
  int nLo = 0;
  if (!TwoMeans(markWin_.data(), n, lo, hi, nLo)) return;
  if (hi - lo >= std::log(1.9)) {
    // Dits and dahs both present: the short cluster is the dit.
    const double ratio = std::clamp(hi - lo, std::log(2.2), std::log(4.5));
    const bool first = !locked_;
    locked_ = true;
    // A new speed is taken once two splits in a row agree on it (a fade or
    // a burst of noise breaks marks up for one at most).
    const bool jump = std::abs(lo - lnDit_) > 0.35 && std::abs(lo - candidate_) < 0.25;
    candidate_ = lo;
    if (first || jump) {
      Relock(lo);
      lnRatio_ = ratio;
    } else {
      lnDit_ += 0.3 * (lo - lnDit_);
      lnRatio_ += 0.3 * (ratio - lnRatio_);
    }
  } else if (n >= 3) {
    // One kind only: nudged if it fits dits or dahs of the present speed.
    const double m = 0.5 * (lo + hi);
    if (std::abs(m - lnDit_) < 0.4)
      lnDit_ += 0.15 * (m - lnDit_);
    else if (std::abs(m - lnDit_ - lnRatio_) < 0.4)
      lnDit_ += 0.15 * (m - lnRatio_ - lnDit_);
  }
  lnDit_ = std::clamp(lnDit_, kLnMinDit, kLnMaxDit);
  SetFilterLength();
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
  if (hi - lo >= std::log(1.6)) {
    lnChar_ += 0.5 * (lo - lnChar_);
    lnWord_ += 0.5 * (hi - lnWord_);
  } else {
    // One cluster: most gaps between characters are not word spaces.
    const double m = (lo * nLo + hi * (n - nLo)) / n;
    // (up to the 12 dits Farnsworth sending leaves between characters)
    if (m < lnDit_ + std::log(12.0)) lnChar_ += 0.5 * (m - lnChar_);
  }
  lnChar_ = std::max(lnChar_, lnDit_ + std::log(2.0));
  lnWord_ = std::max(lnWord_, lnChar_ + std::log(1.7));
}

void CwDecoder::DecodeChunk(int count) {
  const int n = count < 0 ? n_ : std::min(count, n_);
  if (n == 0) return;
  // The marks after these wait for the next decision.
  struct Held {
    double mark, gap, start;
  } rest[kMaxChunk];
  const int kept = n_ - n;
  for (int e = 0; e < kept; ++e) rest[e] = {marks_[n + e], gaps_[n + e], starts_[n + e]};
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
  }
  n_ = kept;
}

void CwDecoder::DecodeMarks(int n) {
  const Alphabet& ab = Symbols();
  // Held marks: their gaps between characters teach the spacing first.
  if (gapCount_ < 3) {
    const double charSure = std::exp(0.5 * (lnGap_ + lnChar_) + 0.2);
    for (int e = 1; e < n; ++e)
      if (gaps_[e] >= charSure) UpdateGaps(gaps_[e]);
  }
  double dit[kMaxChunk], dah[kMaxChunk], intra[kMaxChunk], inter[kMaxChunk];
  bool word[kMaxChunk];  // the gap before this mark is a word space
  for (int e = 0; e < n; ++e) {
    const double lm = std::log(std::max(marks_[e], 1.0));
    dit[e] = LogLike(lm, lnDit_, kSigmaMark);
    dah[e] = LogLike(lm, lnDit_ + lnRatio_, kSigmaMark);
    const double lg = std::log(std::max(gaps_[e], 1.0));
    intra[e] = LogLike(lg, lnGap_, kSigmaGap);
    word[e] = e > 0 && lg > 0.5 * (lnChar_ + lnWord_);
    inter[e] = LogLike(lg, word[e] ? lnWord_ : lnChar_, kSigmaGap);
  }
  double best[kMaxChunk + 1];
  int from[kMaxChunk + 1], symbol[kMaxChunk + 1];
  best[0] = 0;
  for (int i = 1; i <= n; ++i) {
    best[i] = -1e300;
    double gapsInside = 0;  // intra-character gaps of marks j+1..i-1
    for (int k = 1; k <= std::min(kMorseMaxElements, i); ++k) {
      const int j = i - k;
      if (k > 1) gapsInside += intra[j + 1];
      double bestSym = -1e300;
      int which = -1;
      for (int s = 0; s < ab.count; ++s) {
        if (ab.length[s] != k) continue;
        double score = ab.symbols[s].logPrior;
        for (int e = 0; e < k; ++e) score += ab.symbols[s].code[e] == '.' ? dit[j + e] : dah[j + e];
        if (score > bestSym) bestSym = score, which = s;
      }
      if (which < 0) continue;
      const double total = best[j] + (j > 0 ? inter[j] : 0) + gapsInside + bestSym;
      if (total > best[i]) best[i] = total, from[i] = j, symbol[i] = which;
    }
  }
  // Squelch: a signal must stand clear of the floor and the marks fit.
  if (!open_ || best[n] / n < kMinFit) return;
  int cuts[kMaxChunk + 1], count = 0;
  for (int i = n; i > 0; i = from[i]) cuts[count++] = i;
  int j = 0;
  for (int c = count - 1; c >= 0; --c) {
    const int i = cuts[c];
    const MorseSymbol& s = ab.symbols[symbol[i]];
    // Fine timing from what was decided: gaps inside characters, dah ratio.
    for (int e = j; e < i; ++e) {
      if (e > j) lnGap_ += 0.1 * (std::log(std::max(gaps_[e], 1.0)) - lnGap_);
      if (s.code[e - j] == '-')
        lnRatio_ += 0.1 * (std::clamp(std::log(std::max(marks_[e], 1.0)) - lnDit_, std::log(2.2), std::log(4.5)) - lnRatio_);
    }
    lnGap_ = std::clamp(lnGap_, lnDit_ - 0.5, lnDit_ + 0.5);
    if (word[j] && printedSinceWord_) {
      Emit(" ", starts_[j], starts_[j]);
      printedSinceWord_ = false;
    }
    Emit(s.text, starts_[j], starts_[i - 1] + marks_[i - 1]);
    j = i;
  }
}

void CwDecoder::DecodeFull() {
  // A chunk full before a sure character gap (the wait for the timing):
  // decoded up to its last gap that is surely between characters.
  const double charSure = std::exp(0.5 * (lnGap_ + lnChar_) + 0.2);
  int cut = n_;
  for (int e = n_ - 1; e > 0; --e)
    if (gaps_[e] >= charSure) {
      cut = e;
      break;
    }
  DecodeChunk(cut);
}

void CwDecoder::Emit(const char* text, double startFrame, double endFrame) {
  const double delay = kDecimation + 0.5 * kDecimation * length_;  // samples through the two averages
  CwSymbol& s = out_[outHead_ % kOut];
  std::strncpy(s.text, text, sizeof s.text - 1);
  s.text[sizeof s.text - 1] = '\0';
  s.startSample = std::max<std::int64_t>(0, std::llround(startFrame * kDecimation - delay));
  s.endSample = std::max<std::int64_t>(0, std::llround(endFrame * kDecimation - delay));
  ++outHead_;
  if (outHead_ - outTail_ > kOut) outTail_ = outHead_ - kOut;
  if (text[0] != ' ') printedSinceWord_ = true;
  lastPrint_ = sample_;
}

void CwDecoder::Flush() {
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
