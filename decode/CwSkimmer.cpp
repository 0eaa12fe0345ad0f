#include "decode/CwSkimmer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "signal/SampleRate.h"

namespace {

constexpr double kHoldDecay = 0.97;  // per look (93 ms): the held level falls 1.4 dB a second
// Over the bin's 20th percentile or the band's, whichever is higher: noise
// alone holds peaks some 13 dB over it, a tone at 0 dB in 500 Hz some 20.
constexpr double kTakeDb = 20;        // a tone taken up by the skimmer
constexpr double kKeepDb = 15;        // a channel's tone still there
constexpr double kMinSpacingHz = 45;  // channels closer than this are one signal
constexpr double kSidebandDb = 10;    // a keyed tone's sidebands 50-90 Hz off hold 13-20 dB under it
constexpr double kDropS = 30;
constexpr double kQuietS = 3.0;  // a channel prints only this soon after its tone was keyed

}  // namespace

void CwToneFinder::Setup(double loHz, double hiHz, double stepHz) {
  stepHz_ = std::max(stepHz, 1.0);
  loHz_ = std::clamp(loHz, 50.0, kSampleRate / 2 - 50);
  bins_ = std::clamp(static_cast<int>((hiHz - loHz_) / stepHz_) + 1, 1, kMaxBins);
  for (int k = 0; k < bins_; ++k) coef_[k] = 2 * std::cos(2 * M_PI * BinHz(k) / kSampleRate);
  Reset();
}

void CwToneFinder::Reset() {
  s1_.fill(0);
  s2_.fill(0);
  held_.fill(0);
  lnNoise_.fill(0);
  lnFloor_ = -1e300;
  count_ = looks_ = 0;
  started_ = false;
}

bool CwToneFinder::Process(const double* x, int n) {
  bool looked = false;
  for (int i = 0; i < n; ++i) {
    const double v = std::isfinite(x[i]) ? std::clamp(x[i], -1e6, 1e6) : 0.0;
    for (int k = 0; k < bins_; ++k) {
      const double s = v + coef_[k] * s1_[k] - s2_[k];
      s2_[k] = s1_[k];
      s1_[k] = s;
    }
    if (++count_ < kBlock) continue;
    count_ = 0;
    looked = true;
    for (int k = 0; k < bins_; ++k) {
      const double p = std::max(s1_[k] * s1_[k] + s2_[k] * s2_[k] - coef_[k] * s1_[k] * s2_[k], 1e-20);
      s1_[k] = s2_[k] = 0;
      held_[k] = std::max(p, held_[k] * kHoldDecay);
      const double lp = std::log(p);
      lnLast_[k] = lp;
      if (!started_) lnNoise_[k] = lp;
      // The 20th percentile of the bin's level, over some seconds.
      lnNoise_[k] += (lp < lnNoise_[k] ? -0.8 : 0.2) * (looks_ < kSettleLooks ? 0.5 : 0.15);
    }
    started_ = true;
    ++looks_;
    // The band's floor: the median of the bins' noise, which the tones in
    // it (a few bins each) do not move.
    std::array<double, kMaxBins> sorted = lnNoise_;
    std::nth_element(sorted.begin(), sorted.begin() + bins_ / 2, sorted.begin() + bins_);
    lnFloor_ = sorted[bins_ / 2];
  }
  return looked;
}

double CwToneFinder::ProminenceDb(int k) const {
  if (k < 0 || k >= bins_ || looks_ < kSettleLooks) return 0;
  return 10 / std::log(10.0) * (std::log(std::max(held_[k], 1e-20)) - std::max(lnNoise_[k], lnFloor_));
}

double CwToneFinder::LevelDb(int k) const {
  if (k < 0 || k >= bins_ || looks_ < kSettleLooks) return 0;
  return 10 / std::log(10.0) * (lnLast_[k] - std::max(lnNoise_[k], lnFloor_));
}

double CwToneFinder::HeldDb(int k) const {
  return k < 0 || k >= bins_ ? -400 : 10 / std::log(10.0) * std::log(std::max(held_[k], 1e-20));
}

bool CwToneFinder::Strongest(double loHz, double hiHz, double minDb, double& pitchHz) const {
  int best = -1;
  for (int k = 0; k < bins_; ++k) {
    if (BinHz(k) < loHz || BinHz(k) > hiHz) continue;
    if (best < 0 || held_[k] > held_[best]) best = k;
  }
  if (best < 0 || ProminenceDb(best) < minDb) return false;
  double offset = 0;
  if (best > 0 && best + 1 < bins_) {
    const double a = std::log(held_[best - 1]), b = std::log(held_[best]), c = std::log(held_[best + 1]);
    const double d = a - 2 * b + c;
    if (d < 0) offset = std::clamp(0.5 * (a - c) / d, -0.5, 0.5);
  }
  pitchHz = BinHz(best) + offset * stepHz_;
  return true;
}

CwTracker::CwTracker() : history_(new double[kHistory]()) { SetFo(foHz_); }

CwTracker::~CwTracker() = default;

void CwTracker::SetFo(double hz) {
  decoder_.SetPitch(hz);
  foHz_ = decoder_.PitchHz();
  finder_.Setup(foHz_ - kSpanHz - 20, foHz_ + kSpanHz + 20, 5);
}

void CwTracker::SetTrack(bool on) {
  if (track_ && !on && decoder_.PitchHz() != foHz_) decoder_.SetPitch(foHz_);
  track_ = on;
}

void CwTracker::Process(const double* x, int n) {
  // In pieces that end where the finder looks, so that a move takes effect
  // at the same sample whatever the blocks.
  while (n > 0) {
    const int piece = std::min(n, CwToneFinder::kBlock);
    for (int i = 0; i < piece; ++i) history_[(sample_ + i) % kHistory] = x[i];
    sample_ += piece;
    decoder_.Process(x, piece);
    double best = 0;
    if (finder_.Process(x, piece) && track_ &&
        finder_.Strongest(foHz_ - kSpanHz, foHz_ + kSpanHz, 10, best) &&
        std::abs(best - decoder_.PitchHz()) >= 8) {
      if (decoder_.SamplesSincePrint() >= kHistory) {
        // Nothing copied over the history: copied again from its start, at
        // the tone's pitch, in the pieces the history wraps into.
        const std::int64_t from = std::max<std::int64_t>(0, sample_ - kHistory);
        decoder_.Restart(best, from);
        for (std::int64_t at = from; at < sample_;) {
          const int start = static_cast<int>(at % kHistory);
          const int span = static_cast<int>(std::min<std::int64_t>(sample_ - at, kHistory - start));
          decoder_.Process(history_.get() + start, span);
          at += span;
        }
      } else {
        decoder_.SetPitch(best);
      }
    }
    x += piece;
    n -= piece;
  }
}

CwSkimmer::CwSkimmer() : channels_(new Channel[kChannels]), history_(new double[kHistory]()) {
  finder_.Setup(kLoHz, kHiHz, 10);
}

void CwSkimmer::Reset() {
  finder_.Reset();
  for (int c = 0; c < kChannels; ++c) channels_[c].used = false;
  sample_ = 0;
}

void CwSkimmer::Process(const double* x, int n) {
  // In pieces that end where the finder looks, so that a channel set up at
  // a look starts on the samples after it.
  while (n > 0) {
    const int piece = std::min(n, CwToneFinder::kBlock);
    const bool looked = finder_.Process(x, piece);
    for (int i = 0; i < piece; ++i) history_[(sample_ + i) % kHistory] = x[i];
    for (int c = 0; c < kChannels; ++c) {
      Channel& ch = channels_[c];
      if (!ch.used) continue;
      ch.decoder.Process(x, piece);
      Take(ch);
    }
    sample_ += piece;
    x += piece;
    n -= piece;
    if (looked) Look();
  }
}

void CwSkimmer::Take(Channel& ch) {
  CwSymbol s;
  while (ch.decoder.Pop(s)) {
    // Its tone not keyed for a while: what it prints is its neighbours' or
    // the noise's.
    if (sample_ - ch.lastKeyed > kQuietS * kSampleRate) continue;
    const std::size_t add = std::strlen(s.text), keep = ch.text.size() - 1;
    std::size_t len = std::strlen(ch.text.data());
    if (len + add > keep) {
      const std::size_t drop = len + add - keep;
      std::memmove(ch.text.data(), ch.text.data() + drop, len - drop);
      len -= drop;
    }
    std::memcpy(ch.text.data() + len, s.text, add);
    ch.text[len + add] = '\0';
    ch.wpm = ch.decoder.Wpm();
    ch.snrDb = ch.decoder.SnrDb();
  }
}

void CwSkimmer::Flush() {
  for (int c = 0; c < kChannels; ++c) {
    if (!channels_[c].used) continue;
    channels_[c].decoder.Flush();
    Take(channels_[c]);
  }
}

void CwSkimmer::Look() {
  const std::int64_t dropAfter = static_cast<std::int64_t>(kDropS * kSampleRate);
  for (int c = 0; c < kChannels; ++c) {
    Channel& ch = channels_[c];
    if (!ch.used) continue;
    // Its tone: the finder's bin at its pitch, or one beside it.
    const int k = static_cast<int>(std::lround((ch.decoder.PitchHz() - kLoHz) / 10));
    double prominence = 0;
    for (int d = -1; d <= 1; ++d) prominence = std::max(prominence, finder_.ProminenceDb(k + d));
    if (prominence >= kKeepDb) ch.lastHeard = sample_;
    double level = 0;
    for (int d = -1; d <= 1; ++d) level = std::max(level, finder_.LevelDb(k + d));
    if (level >= kKeepDb) ch.lastKeyed = sample_;
    if (sample_ - ch.lastHeard > dropAfter && ch.decoder.SamplesSincePrint() > dropAfter) ch.used = false;
  }
  // New tones: local peaks of the held level, clear of every channel.
  for (int k = 1; k + 1 < finder_.Bins(); ++k) {
    const double p = finder_.ProminenceDb(k);
    if (p < kTakeDb) continue;
    // The highest within 50 Hz: keying sidebands are not signals.
    bool peak = true;
    for (int d = -5; d <= 5 && peak; ++d) peak = d == 0 || finder_.ProminenceDb(k + d) <= p;
    if (!peak) continue;
    // The tone is the loudest bin within 50 Hz of it. Its own bin's noise
    // percentile stands higher than its neighbours' once the finder starts
    // during a transmission (most looks catch some key-down), so by
    // prominence alone such a tone came out 10-30 Hz off, and one of its
    // keying sidebands 50-70 Hz away as a second signal.
    int top = k;
    for (int d = -5; d <= 5; ++d)
      if (finder_.HeldDb(k + d) > finder_.HeldDb(top)) top = k + d;
    // A bin more than kSidebandDb under a tone within 90 Hz is that tone's
    // sideband (a station 100 Hz away stands clear of it).
    bool sideband = false;
    for (int d = -9; d <= 9; ++d)
      sideband = sideband || finder_.HeldDb(top + d) > finder_.HeldDb(top) + kSidebandDb;
    if (sideband) continue;
    double pitch = finder_.BinHz(top);
    finder_.Strongest(pitch - 10, pitch + 10, -1e9, pitch);
    bool taken = false;
    int free = -1;
    for (int c = 0; c < kChannels; ++c) {
      if (channels_[c].used && std::abs(channels_[c].decoder.PitchHz() - pitch) < kMinSpacingHz) taken = true;
      if (!channels_[c].used && free < 0) free = c;
    }
    if (taken || free < 0) continue;
    Channel& ch = channels_[free];
    ch.used = true;
    ch.decoder.Reset();
    ch.decoder.SetPitch(pitch);
    ch.text.fill('\0');
    ch.lastHeard = ch.lastKeyed = sample_;
    ch.wpm = ch.snrDb = 0;
    // From the history's start (the tone stood out only after its first
    // characters), in the pieces the history wraps into.
    const std::int64_t from = std::max<std::int64_t>(0, sample_ - kHistory + 1);
    for (std::int64_t at = from; at < sample_;) {
      const int start = static_cast<int>(at % kHistory);
      const int piece = static_cast<int>(std::min<std::int64_t>(sample_ - at, kHistory - start));
      ch.decoder.Process(history_.get() + start, piece);
      at += piece;
    }
    Take(ch);
  }
}

std::vector<CwSignal> CwSkimmer::Signals() const {
  std::vector<CwSignal> out;
  for (int c = 0; c < kChannels; ++c) {
    const Channel& ch = channels_[c];
    if (!ch.used) continue;
    out.push_back({ch.decoder.PitchHz(), ch.wpm, ch.snrDb, ch.text.data()});
  }
  std::sort(out.begin(), out.end(),
            [](const CwSignal& a, const CwSignal& b) { return a.pitchHz < b.pitchHz; });
  return out;
}
