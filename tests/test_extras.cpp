// The stages a user adds to any filter: notches (measured depth and width)
// and the noise blanker (clicks out, tones and keyed tones untouched).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <cstdio>
#include <random>
#include <vector>

#include "signal/FilterCore.h"
#include "signal/NoiseReduction.h"
#include "signal/Presets.h"
#include "signal/Stages.h"
#include "support/TestUtil.h"

namespace {

using testutil::Db;
using testutil::ProcessMono;
using testutil::Sine;
using testutil::ToneAmplitude;

std::vector<double> RunNotches(std::vector<double> x, std::vector<double> hz) {
  NotchStage s;
  s.Setup(hz.data(), static_cast<int>(hz.size()));
  ProcessMono(s, x.data(), static_cast<int>(x.size()));
  return x;
}

double NotchGainDb(double centreHz, double toneHz) {
  const std::vector<double> y = RunNotches(Sine(33075, toneHz, 10000.0), {centreHz});
  return Db(ToneAmplitude(y, 11025, toneHz) / 10000.0);
}

TEST(NotchStage, DeepAtTheCentreNarrowAndFlatElsewhere) {
  for (const double f : {300.0, 700.0, 1000.0, 3000.0, 5000.0}) {
    EXPECT_LT(NotchGainDb(f, f), -40.0) << f << " Hz: the centre";
    // At most 60 Hz wide at -3 dB: 30 Hz either side is above -3 dB.
    EXPECT_GT(NotchGainDb(f, f - 30.0), -3.0) << f;
    EXPECT_GT(NotchGainDb(f, f + 30.0), -3.0) << f;
    EXPECT_NEAR(NotchGainDb(f, f - 250.0), 0.0, 0.1) << f << ": 250 Hz below";
    if (f + 250.0 < 5400.0) {
      EXPECT_NEAR(NotchGainDb(f, f + 250.0), 0.0, 0.1) << f << ": 250 Hz above";
    }
  }
}

TEST(NotchStage, SetupKeepsFourInRangeAndTheirHistories) {
  NotchStage s;
  const double hz[] = {10.0, 700.0, 6000.0, 800.0, 900.0, 1000.0, 1100.0, NAN};
  s.Setup(hz, 8);
  ASSERT_EQ(s.count, 4);
  EXPECT_EQ(s.sections[0].hz, 700.0);
  EXPECT_EQ(s.sections[3].hz, 1000.0);
  std::vector<double> x = Sine(500, 800.0, 1000.0);
  ProcessMono(s, x.data(), 500);
  const double y1 = s.sections[1].y1;
  const double again[] = {800.0};
  s.Setup(again, 1);
  ASSERT_EQ(s.count, 1);
  EXPECT_EQ(s.sections[0].y1, y1) << "the 800 Hz notch kept its history";
}

TEST(NotchStage, NotANumberStartsAgainInsteadOfRingingOn) {
  std::vector<double> x = Sine(11025, 440.0, 5000.0);
  x[100] = NAN;
  x[200] = INFINITY;
  const std::vector<double> y = RunNotches(x, {1000.0, 2000.0});
  for (double v : y) ASSERT_TRUE(std::isfinite(v));
  EXPECT_NEAR(Db(ToneAmplitude(y, 5000, 440.0) / 5000.0), 0.0, 0.2);
}

// 1 ms clicks, 20 dB above a tone, ten a second.
struct Clicks {
  std::vector<double> x;
  std::vector<int> starts;
};
Clicks ToneWithClicks(double seconds, double toneAmp) {
  Clicks c;
  c.x = Sine(static_cast<int>(seconds * 11025), 700.0, toneAmp);
  std::mt19937 rng(5);
  for (int at = 600; at + 11 < static_cast<int>(c.x.size()); at += 1102) {
    c.starts.push_back(at);
    for (int i = 0; i < 11; ++i) c.x[at + i] += (rng() & 1 ? 10.0 : -10.0) * toneAmp;
  }
  return c;
}

TEST(BlankerStage, ClicksLoseTwentyDecibelsAndTheToneStays) {
  const double amp = 1000.0;
  Clicks c = ToneWithClicks(3.0, amp);
  std::vector<double> y = c.x;
  BlankerStage b;
  ProcessMono(b, y.data(), static_cast<int>(y.size()));
  // What comes out over the clicks (the tone there goes too) against what
  // went in there.
  double before = 0.0, after = 0.0;
  for (int at : c.starts)
    for (int i = 0; i < 11; ++i) {
      before += c.x[at + i] * c.x[at + i];
      after += y[at + i + kBlankerLook] * y[at + i + kBlankerLook];
    }
  const double left = 10.0 * std::log10(after / before);
  const double tone = ToneAmplitude(y, 2000, 700.0);
  std::printf("click energy left %.1f dB, tone %.2f dB\n", left, Db(tone / amp));
  EXPECT_LT(left, -20.0) << "click energy left";
  EXPECT_NEAR(Db(tone / amp), 0.0, 0.5) << "the tone between the clicks";
}

// A keyed tone with 5 ms edges in light noise, and speech-like swells,
// pass untouched (only delayed by the look-ahead): the blanker must never
// eat the start of a Morse element.
TEST(BlankerStage, KeyedToneAndSwellsPassUntouched) {
  const int n = 3 * 11025;
  std::vector<double> x = testutil::Noise(n, 150.0, 9);
  for (int i = 0; i < n; ++i) {
    const int inDot = i % 1470;  // 18 wpm: 67 ms on, 67 ms off
    double key = inDot < 735 ? 1.0 : 0.0;
    if (inDot < 55) key = 0.5 - 0.5 * std::cos(3.14159265 * inDot / 55.0);
    if (inDot >= 680 && inDot < 735) key = 0.5 + 0.5 * std::cos(3.14159265 * (inDot - 680) / 55.0);
    const double swell = 1.0 + 0.8 * std::sin(testutil::kTwoPi * 3.0 * i / 11025.0);
    x[i] += 8000.0 * key * std::sin(testutil::kTwoPi * 700.0 * i / 11025.0) * swell / 1.8;
  }
  std::vector<double> y = x;
  BlankerStage b;
  ProcessMono(b, y.data(), n);
  for (int i = kBlankerLook; i < n; ++i) ASSERT_EQ(y[i], x[i - kBlankerLook]) << "sample " << i;
}

TEST(BlankerStage, SplitsAndNotANumber) {
  Clicks c = ToneWithClicks(1.0, 2000.0);
  c.x[3000] = NAN;
  std::vector<double> whole = c.x, pieces = c.x;
  BlankerStage a, b;
  ProcessMono(a, whole.data(), static_cast<int>(whole.size()));
  std::mt19937 rng(3);
  for (int at = 0; at < static_cast<int>(pieces.size());) {
    const int k = std::min<int>(1 + rng() % 700, static_cast<int>(pieces.size()) - at);
    ProcessMono(b, pieces.data() + at, k);
    at += k;
  }
  EXPECT_EQ(whole, pieces);
  for (double v : whole) ASSERT_TRUE(std::isfinite(v));
  EXPECT_NEAR(Db(ToneAmplitude(whole, 5000, 700.0) / 2000.0), 0.0, 0.5) << "recovers after the NaN";
}

// The added stages run on every preset, through the chain: a notch on the
// through setting and on BP500 takes its tone out, the blanker its clicks.
TEST(ProcessingChain, ExtrasRunOnAnyPreset) {
  for (const int preset : {0, 7}) {
    CFilterCore core;
    FilterDefinition d;
    InstallPreset(d, preset, 700.0, 100, nullptr);
    core.Apply(d);
    ChainExtras e;
    e.notchCount = 1;
    e.notchHz[0] = 700.0;
    e.blanker = true;
    core.SetExtras(e);
    EXPECT_EQ(core.Extras().notchCount, 1);
    EXPECT_TRUE(core.Extras().blanker);
    std::vector<double> x = Sine(22050, 700.0, 8000.0);
    core.ProcessBlock(x.data(), 22050);
    EXPECT_LT(Db(ToneAmplitude(x, 11025, 700.0) / 8000.0), -40.0) << "preset " << preset;
  }
}

// Spectral noise reduction: measured on signals whose parts are known.
std::vector<double> RunNr(std::vector<double> x, int level) {
  NoiseReductionStage nr;
  nr.SetLevel(level);
  nr.Reset();
  ProcessMono(nr, x.data(), static_cast<int>(x.size()));
  return x;
}

double PowerDb(const std::vector<double>& x, int from, int to) {
  double e = 0.0;
  for (int i = from; i < to; ++i) e += x[i] * x[i];
  return 10.0 * std::log10(e / (to - from) + 1e-30);
}

// x through BP100 around 700 Hz, in place.
void ThroughBp100(std::vector<double>& x) {
  FilterDefinition d;
  InstallPreset(d, 11, 700.0, 100, nullptr);
  CFilterCore bp;
  bp.Apply(d);
  bp.ProcessBlock(x.data(), static_cast<int>(x.size()));
}

// The stage at level 3 over x, hop by hop; visit(at, stage) after each hop.
template <typename Visit>
void EachHop(std::vector<double> x, Visit visit) {
  NoiseReductionStage nr;
  nr.SetLevel(3);
  nr.Reset();
  for (int at = 0; at + kNrHop <= static_cast<int>(x.size()); at += kNrHop) {
    ProcessMono(nr, x.data() + at, kNrHop);
    visit(at, nr);
  }
}

// Regression (the residual's steadiness): noise alone counted as speech
// onsets now and then, and at levels 3 and 4 the residual jumped by up to
// 11 dB from one 0.1 s to the next (heard as breathing); later a peak of
// the noise in a bin or two still lifted a 50 ms window by 4 to 7 dB
// (chirps).
TEST(NoiseReductionStage, StationaryNoiseIsPulledDownByTheLevel) {
  const std::vector<double> noise = testutil::Noise(6 * 11025, 3000.0, 21);
  double last = 0.0;
  for (int level = 1; level <= kNrLevels; ++level) {
    const std::vector<double> y = RunNr(noise, level);
    const double drop =
        PowerDb(y, 2 * 11025, 6 * 11025) - PowerDb(noise, 2 * 11025 - kNrDelay, 6 * 11025 - kNrDelay);
    double low = 0.0, high = -100.0;
    for (int at = 2 * 11025; at + 11025 / 20 <= 6 * 11025; at += 11025 / 20) {
      const double d =
          PowerDb(y, at, at + 11025 / 20) - PowerDb(noise, at - kNrDelay, at + 11025 / 20 - kNrDelay);
      low = std::min(low, d);
      high = std::max(high, d);
    }
    std::printf("level %d: white noise %.1f dB, 50 ms windows %.1f to %.1f dB\n", level, drop, low, high);
    EXPECT_LT(drop, NrFloorDb(level) / 2.0) << "level " << level << ": at least half its floor";
    EXPECT_GT(drop, NrFloorDb(level) - 3.0) << "level " << level << ": the floor holds";
    EXPECT_LT(high - low, 2.0) << "level " << level << ": the residual holds steady";
    if (level > 1) {
      EXPECT_LT(drop, last) << "stronger with the level";
    }
    last = drop;
  }
}

TEST(NoiseReductionStage, ToneInNoiseIsKeptAndTheNoiseGoes) {
  std::vector<double> x = testutil::Noise(4 * 11025, 1500.0, 4);
  for (int i = 0; i < static_cast<int>(x.size()); ++i)
    x[i] += 6000.0 * std::sin(testutil::kTwoPi * 700.0 * i / 11025.0);
  const std::vector<double> y = RunNr(x, 3);
  EXPECT_NEAR(Db(ToneAmplitude(y, 2 * 11025, 700.0) / 6000.0), 0.0, 1.0) << "the tone";
  // What is not the tone: the residual around it fell.
  std::vector<double> rest(y.size());
  for (std::size_t i = kNrDelay; i < y.size(); ++i)
    rest[i] =
        y[i] - 6000.0 * std::sin(testutil::kTwoPi * 700.0 * (static_cast<double>(i) - kNrDelay) / 11025.0);
  EXPECT_LT(PowerDb(rest, 2 * 11025, 4 * 11025) - 10.0 * std::log10(1500.0 * 1500.0 / 3.0), -10.0);
}

// Regression: the noise BP100 leaves for CW (about 100 Hz wide, nothing
// in the bins beside it) was often taken for a steady tone and kept:
// between the elements of keyed Morse the reducer removed 3 to 6 dB more
// than BP100 alone, now 10 to 14. A steady tone there is still kept.
TEST(NoiseReductionStage, NarrowFilteredNoiseGoesAndAToneStays) {
  for (const double toneAmplitude : {0.0, 3000.0}) {
    std::vector<double> x = testutil::Noise(6 * 11025, 8000.0, 17);
    for (int i = 0; i < static_cast<int>(x.size()); ++i)
      x[i] += toneAmplitude * std::sin(testutil::kTwoPi * 700.0 * i / 11025.0);
    ThroughBp100(x);
    const std::vector<double> y = RunNr(x, 3);
    if (toneAmplitude == 0.0) {
      const double drop =
          PowerDb(y, 3 * 11025, 6 * 11025) - PowerDb(x, 3 * 11025 - kNrDelay, 6 * 11025 - kNrDelay);
      std::printf("noise BP100 left: %.1f dB\n", drop);
      EXPECT_LT(drop, -9.5) << "was -6.8";
    } else {
      EXPECT_NEAR(Db(ToneAmplitude(y, 3 * 11025, 700.0) / ToneAmplitude(x, 3 * 11025, 700.0)), 0.0, 1.0);
    }
  }
}

// Noise after digital silence (a muted source) is learnt as at a stream's
// start, noise that comes back after it (a squelch) is known at once, and
// noise that rises from quieter noise within 0.5 s. Before silence
// was told apart, the first case took 0.4 s to begin and 0.7 s to settle.
TEST(NoiseReductionStage, AdaptsWithinHalfASecondOfTheNoise) {
  const int second = 11025;
  auto dropDb = [](const std::vector<double>& in, const std::vector<double>& out, int from, int to) {
    return PowerDb(out, from + kNrDelay, to + kNrDelay) - PowerDb(in, from, to);
  };
  std::vector<double> x(3 * second, 0.0);
  const std::vector<double> noise = testutil::Noise(2 * second, 3000.0, 8);
  for (int i = 0; i < 2 * second; ++i) x[second + i] = noise[i];
  const std::vector<double> y = RunNr(x, 3);
  EXPECT_LT(dropDb(x, y, second + second / 10, second + second / 2), -15.0) << "0.1 to 0.5 s after silence";

  std::vector<double> back = testutil::Noise(4 * second, 3000.0, 9);
  std::fill(back.begin() + 2 * second, back.begin() + 3 * second, 0.0);
  const std::vector<double> yBack = RunNr(back, 3);
  EXPECT_LT(dropDb(back, yBack, 3 * second, 3 * second + second / 10), -15.0) << "the first 0.1 s back";

  // Regression: noise rising out of quieter noise was followed only after
  // the minimum's whole window, and then slowly: 0.65 to 0.75 s at levels
  // 2 to 4 before the residual settled within 3 dB. Now within 0.5 s.
  for (const double riseDb : {10.0, 20.0, 30.0}) {
    std::vector<double> rise = testutil::Noise(3 * second, 3000.0, 10);
    for (int i = 0; i < second; ++i) rise[i] *= std::pow(10.0, -riseDb / 20.0);
    const std::vector<double> yRise = RunNr(rise, 3);
    for (int at = second + second / 2; at + second / 20 <= 3 * second - kNrDelay; at += second / 20)
      EXPECT_LT(dropDb(rise, yRise, at, at + second / 20), -17.0)
          << riseDb << " dB rise, " << (at - second) * 1000 / second << " ms after it";
  }
  // A small rise, less than the minimum search takes up at once, at the
  // estimate's own pace. Regression: a first form of holding speech out of
  // the estimate took it for speech everywhere and stopped the update
  // (-7 dB for 5 s).
  std::vector<double> small = testutil::Noise(4 * second, 3000.0, 12);
  for (int i = 0; i < second; ++i) small[i] *= std::pow(10.0, -2.5 / 20.0);
  const std::vector<double> ySmall = RunNr(small, 3);
  for (int at = second * 5 / 2; at + second / 10 <= 4 * second - kNrDelay; at += second / 10)
    EXPECT_LT(dropDb(small, ySmall, at, at + second / 10), -17.0)
        << (at - second) * 1000 / second << " ms after";
  // Regression: once the estimate had caught up (about 0.7 s), level 4
  // fell back by 10 dB for 0.2 s; now it holds.
  const std::vector<double> strong = RunNr(x, 4);
  for (int at = 11025 + 11025 * 7 / 10; at + 11025 / 10 <= 3 * 11025 - kNrDelay; at += 11025 / 10)
    EXPECT_LT(PowerDb(strong, at + kNrDelay, at + kNrDelay + 11025 / 10) - PowerDb(x, at, at + 11025 / 10),
              -20.0)
        << (at - 11025) / 11025.0 << " s after it began";
}

// Element lengths (samples) of a keyed tone from its envelope at half the
// key-down level, each searched for around where it should be.
std::vector<int> ElementLengths(const std::vector<double>& y,
                                const std::vector<std::pair<int, int>>& elements, int lag) {
  std::vector<double> env(y.size());
  double e = 0.0;
  for (std::size_t i = 0; i < y.size(); ++i) env[i] = e = std::max(std::fabs(y[i]), e * 0.985);
  double on = 0.0;
  int count = 0;
  for (auto [a, b] : elements)
    for (int i = a + (b - a) / 4; i < b - (b - a) / 4; ++i, ++count) on += env[i + lag];
  std::vector<int> lengths;
  for (auto [a, b] : elements) {
    int start = a + lag - 200, end = b + lag + 200;
    while (start < end && env[start] < 0.5 * on / count) ++start;
    while (end > start && env[end] < 0.5 * on / count) --end;
    lengths.push_back(end - start);
  }
  return lengths;
}

// A keyed tone (dah-dit-dah-dit, 20 wpm) under BP100: nearly all the noise
// stands in the few bins around the tone, the rest of the spectrum is all
// but empty. Regressions: (1) the empty bins rose with the skirts of each
// onset, which counted as broadband noise arriving, so the onset frames went
// into the tone's noise estimate: it climbed to 10 dB under the tone and
// later elements started up to 4 ms later than through BP100 alone. (2) A
// first form of taking up risen noise at once counted the tone held in its
// bins' minimum through the short gaps as risen noise: dashes broke in the
// middle (the benchmark's elements up to 190 ms short). (3) The gain rose a
// hop late at each onset: lengths within 2.8 and 1.5 ms of BP100's, now 2.0
// and 0.9.
TEST(NoiseReductionStage, KeyedToneUnderBp100KeepsItsElements) {
  const int dit = 11025 * 6 / 100, n = 6 * 11025;  // 20 wpm
  std::vector<double> key(n, 0.0);
  std::vector<std::pair<int, int>> elements;
  for (int at = 11025 / 2, k = 0; at + 3 * dit < n; ++k) {
    const int len = k % 2 == 0 ? 3 * dit : dit;
    elements.push_back({at, at + len});
    for (int i = 0; i < len; ++i) key[at + i] = std::min({1.0, (i + 1.0) / 55.0, (len - i) / 55.0});
    at += len + (k % 4 == 3 ? 3 * dit : dit);
  }
  for (const double noiseRms : {8000.0, 800.0}) {  // about 14 and 34 dB under the tone in BP100's band
    std::vector<double> x = testutil::Noise(n, noiseRms, 23);
    for (int i = 0; i < n; ++i) x[i] += 8000.0 * key[i] * std::sin(testutil::kTwoPi * 700.0 * i / 11025.0);
    ThroughBp100(x);
    const std::vector<double> y = RunNr(x, 3);
    double worst = 0.0;
    for (auto [a, b] : elements) {
      if (a < 2 * 11025 || b + kNrDelay + 300 > n) continue;  // once the estimate has settled
      const int mid = (a + b) / 2 + 150;                      // past BP100's delay, about 14 ms
      worst = std::min(
          worst, PowerDb(y, mid - 100 + kNrDelay, mid + 100 + kNrDelay) - PowerDb(x, mid - 100, mid + 100));
    }
    std::vector<std::pair<int, int>> late(elements.begin() + 8, elements.end() - 1);
    const std::vector<int> through = ElementLengths(x, late, 150),
                           reduced = ElementLengths(y, late, 150 + kNrDelay);
    int longest = 0;
    for (std::size_t i = 0; i < late.size(); ++i)
      longest = std::max(longest, std::abs(reduced[i] - through[i]));
    std::printf("noise %.0f: middles of the elements %.1f dB at worst; lengths within %.1f ms of BP100's\n",
                noiseRms, worst, longest * 1000.0 / 11025);
    EXPECT_GT(worst, -4.0) << "-8.7 with the second fault";
    EXPECT_LE(longest * 1000.0 / 11025, 2.4) << "element lengths against BP100 alone's";
  }
}

// Regression: under BP100 a weak keyed tone (about 5 dB over the noise in
// the filter's band) raised the noise estimate in its own bins: its onsets
// were too weak to be confirmed and went in whole, and the estimate stood
// 3.9 dB over the one of the noise alone (the tone then fluttered in the
// gain; in the benchmark its own-band STOI fell from BP100's 0.84 to 0.77
// at -10 dB in white noise). Now 2.8. And noise that rises 20 dB under
// BP100 is still followed once the minimum's window has passed.
TEST(NoiseReductionStage, WeakKeyedToneStaysOutOfTheNoiseUnderBp100) {
  const int second = 11025, n = 8 * second, dit = second * 6 / 100;
  auto estimateDb = [&](bool keyed) {
    std::vector<double> x = testutil::Noise(n, 25000.0, 41);
    for (int at = second / 2, k = 0; at + 3 * dit < n; ++k) {
      const int len = k % 3 == 1 ? 3 * dit : dit;
      for (int i = 0; keyed && i < len; ++i)
        x[at + i] += 8000.0 * std::min({1.0, (i + 1.0) / 55.0, (len - i) / 55.0}) *
                     std::sin(testutil::kTwoPi * 700.0 * (at + i) / second);
      at += len + (k % 5 == 4 ? 3 * dit : dit);
    }
    ThroughBp100(x);
    double sum = 0.0;
    int count = 0;
    EachHop(x, [&](int at, const NoiseReductionStage& nr) {
      for (int k = 15; k <= 18 && at >= 3 * second; ++k, ++count) sum += nr.noise[k];  // 646..775 Hz
    });
    return 10.0 * std::log10(sum / count);
  };
  const double over = estimateDb(true) - estimateDb(false);
  std::printf("noise estimate under the keyed tone: %+.2f dB over the noise alone's\n", over);
  EXPECT_LT(over, 3.3) << "+3.9 before the clip";

  std::vector<double> rise = testutil::Noise(3 * second, 3000.0, 42);
  for (int i = 0; i < second; ++i) rise[i] *= 0.1;
  ThroughBp100(rise);
  const std::vector<double> y = RunNr(rise, 3);
  const int from = second + second * 7 / 10, to = second + second * 13 / 10;
  const double drop = PowerDb(y, from + kNrDelay, to + kNrDelay) - PowerDb(rise, from, to);
  std::printf("0.7 to 1.3 s after a 20 dB rise: %.1f dB\n", drop);
  EXPECT_LT(drop, -8.0) << "clipped there too: -4.7; before the clip: -13.4";
}

// Regression: the first frame of each element of a keyed tone went into the
// noise estimate (the smoothed power lags behind it), which climbed to -12
// dB under the tone within a few elements; later elements then started a
// frame late. Dashes with short gaps, as in "CQ": the first 20 ms of every
// element keep their level.
TEST(NoiseReductionStage, KeyedToneElementsStartOnTime) {
  const int dash = 11025 / 5, gap = 11025 / 15, edge = 55;
  std::vector<double> key(4 * 11025, 0.0);
  for (int at = 11025 / 2; at + dash < static_cast<int>(key.size()); at += dash + gap)
    for (int i = 0; i < dash; ++i)
      key[at + i] = std::min({1.0, (i + 1.0) / edge, (dash - i) / static_cast<double>(edge)});
  std::vector<double> x = testutil::Noise(key.size(), 30.0, 5);
  for (std::size_t i = 0; i < x.size(); ++i)
    x[i] += 8000.0 * key[i] * std::sin(testutil::kTwoPi * 700.0 * i / 11025.0);
  const std::vector<double> y = RunNr(x, 3);
  double worst = 0.0;
  for (int at = 11025 / 2; at + dash + kNrDelay < static_cast<int>(key.size()); at += dash + gap)
    worst = std::min(worst, PowerDb(y, at + kNrDelay, at + kNrDelay + 220) - PowerDb(x, at, at + 220));
  std::printf("first 20 ms of the elements: %.1f dB at worst\n", worst);
  EXPECT_GT(worst, -3.0);
}

// Regression: weak speech (the edges and tails of syllables) went into
// the noise estimate, which stood 0.4 to 1.3 dB over the noise at 10 dB
// SNR in the benchmark's mixes and took as much more of the voice. A
// voice-like signal (harmonics of a gliding 140 Hz in syllables, each with
// a fading hiss after it, phrases of six) 10 dB over white noise: within
// the phrases the estimate against the noise's own power in the analysis,
// 120 (the window's energy) times its variance. It stood at +0.40 dB.
TEST(NoiseReductionStage, NoiseEstimateKeepsTheVoiceOut) {
  const int n = 12 * 11025;
  std::vector<double> voice(n, 0.0);
  std::vector<double> hiss = testutil::Noise(n, 1.0, 32);
  double phase = 0.0, hissLow = 0.0;
  for (int i = 0; i < n; ++i) {
    const double t = i / 11025.0, inSyllable = std::fmod(t, 0.35), inPhrase = std::fmod(t, 2.25);
    const bool phrase = inPhrase < 2.1 - 0.35;
    double envelope = 0.0;  // 180 ms voiced with 30 ms edges, then a fading hiss, a pause after six
    if (phrase && inSyllable < 0.18)
      envelope =
          0.5 - 0.5 * std::cos(3.14159265 * std::min({inSyllable / 0.03, (0.18 - inSyllable) / 0.03, 1.0}));
    phase += testutil::kTwoPi * 140.0 * (1.0 + 0.1 * std::sin(testutil::kTwoPi * 0.7 * t)) / 11025.0;
    for (int h = 1; 140.0 * h < 3500.0; ++h) voice[i] += envelope * std::sin(h * phase) / h;
    hissLow = 0.7 * hissLow + 0.3 * hiss[i];  // the hiss high-passed: hiss less its low part
    if (phrase && inSyllable >= 0.18 && inSyllable < 0.3)
      voice[i] += 0.3 * std::exp(-(inSyllable - 0.18) / 0.04) * (hiss[i] - hissLow);
  }
  double voicePower = 0.0, voiced = 0.0;
  for (double v : voice)
    if (v != 0.0) voicePower += v * v, ++voiced;
  const double amplitude = 1500.0, variance = amplitude * amplitude / 3.0;
  const double scale = std::sqrt(10.0 * variance / (voicePower / voiced));  // 10 dB over the noise
  std::vector<double> x = testutil::Noise(n, amplitude, 31);
  for (int i = 0; i < n; ++i) x[i] += scale * voice[i];
  double bias = 0.0;
  int count = 0;
  EachHop(x, [&](int at, const NoiseReductionStage& nr) {
    if (at < 2 * 11025 || std::fmod(at / 11025.0, 2.25) > 1.75) return;  // within phrases
    for (int k = 10; k <= 80; ++k, ++count)
      bias += 10.0 * std::log10(nr.noise[k] / (120.0 * variance));  // 430..3450 Hz
  });
  bias /= count;
  std::printf("noise estimate under the voice: %+.2f dB\n", bias);
  EXPECT_LT(bias, 0.2) << "not over the noise";
  EXPECT_GT(bias, -1.0) << "nor far under it";
}

// Regression: a slow drift under the first bin (pink noise down to a few
// Hz) kept pauses 10 dB louder than the level's floor allows. A 6 Hz sway
// now stays at the floor while speech-band noise beside it is reduced as
// before.
TEST(NoiseReductionStage, SubAudibleDriftStaysAtTheFloor) {
  std::vector<double> x = testutil::Noise(4 * 11025, 300.0, 31);
  std::vector<double> drift(x.size());
  for (std::size_t i = 0; i < x.size(); ++i)
    drift[i] = 8000.0 * std::sin(testutil::kTwoPi * 6.0 * i / 11025.0);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] += drift[i];
  const std::vector<double> y = RunNr(x, 4);
  EXPECT_LT(PowerDb(y, 2 * 11025, 4 * 11025) - PowerDb(drift, 2 * 11025 - kNrDelay, 4 * 11025 - kNrDelay),
            NrFloorDb(4) + 3.0);
}

TEST(NoiseReductionStage, SplitsAndNotANumber) {
  std::vector<double> x = testutil::Noise(3 * 11025, 2000.0, 12);
  for (int i = 0; i < static_cast<int>(x.size()); ++i)
    x[i] += 3000.0 * std::sin(testutil::kTwoPi * 500.0 * i / 11025.0);
  std::vector<double> whole = x, pieces = x;
  NoiseReductionStage a, b;
  ProcessMono(a, whole.data(), static_cast<int>(whole.size()));
  std::mt19937 rng(6);
  for (int at = 0; at < static_cast<int>(pieces.size());) {
    const int k = std::min<int>(1 + rng() % 900, static_cast<int>(pieces.size()) - at);
    ProcessMono(b, pieces.data() + at, k);
    at += k;
  }
  EXPECT_EQ(whole, pieces);
  x[11025] = NAN;
  std::vector<double> y = RunNr(x, 2);
  for (double v : y) ASSERT_TRUE(std::isfinite(v));
  EXPECT_NEAR(Db(ToneAmplitude(y, 2 * 11025, 500.0) / 3000.0), 0.0, 1.0) << "it starts again after the NaN";
}

}  // namespace

namespace {

// Regression: a 9 ms burst of 1e30 in a float file (bounded to 1e9 when
// read) left noise reduction and LMSAN wrong for 3 to 5.5 s, where the plain
// chain recovered in 0.05 s. The burst now makes every stage start afresh:
// 0.3 s after it the output is at the level the clean input gives.
TEST(CFilterCore, AnAbsurdBurstIsForgottenWithinAThirdOfASecond) {
  struct Case {
    const char* name;
    int preset, nrLevel;
  } cases[] = {{"LMSAN", 26, 0}, {"BP100 + NR 3", 11, 3}, {"LMSNS + NR 4", 25, 4}};
  const int n = 5 * 11025, burstAt = 2 * 11025, burstLength = 100;
  std::vector<double> clean = Sine(n, 700.0, 6000.0);
  const std::vector<double> noise = testutil::Noise(n, 3000.0, 11);
  for (int i = 0; i < n; ++i) clean[i] += noise[i];
  std::vector<double> burst = clean;
  for (int i = 0; i < burstLength; ++i) burst[burstAt + i] = i % 2 ? 1e9 : -1e9;
  for (const Case& c : cases) {
    auto run = [&](std::vector<double> x) {
      auto f = std::make_unique<CFilterCore>();
      auto d = std::make_unique<FilterDefinition>();
      InstallPreset(*d, c.preset, 700.0, 100, nullptr);
      f->Apply(*d);
      ChainExtras e;
      e.nrLevel = c.nrLevel;
      f->SetExtras(e);
      for (int at = 0; at < n; at += 512) f->ProcessBlock(x.data() + at, std::min(512, n - at));
      return x;
    };
    const std::vector<double> a = run(clean), b = run(burst);
    const int from = burstAt + burstLength + static_cast<int>(0.3 * 11025), to = n;
    double clean2 = 0.0, diff2 = 0.0;
    for (int i = from; i < to; ++i) {
      clean2 += a[i] * a[i];
      diff2 += (b[i] - a[i]) * (b[i] - a[i]);
      ASSERT_TRUE(std::isfinite(b[i])) << c.name;
    }
    std::printf("%s: the burst's trace 0.3 s after it, against the output: %+.1f dB\n", c.name,
                Db(std::sqrt(diff2 / clean2)));
    EXPECT_LT(Db(std::sqrt(diff2 / clean2)), -13.0) << c.name;
  }
}

}  // namespace
