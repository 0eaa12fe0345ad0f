#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "signal/Kaiser.h"
#include "signal/RateChange.h"
#include "signal/RateConverter.h"
#include "support/TestUtil.h"

namespace {

TEST(RateChange, CoefficientsAreTheFixedDesigns) {
  double ref[49];
  Decimator2 d2;
  DesignFir(ref, 36, FilterType::LPF, 11025.0, 2900.0, 3000.0, 70.0, 1.0);
  for (int i = 0; i < 37; ++i) EXPECT_DOUBLE_EQ(d2.coef[i], ref[i]);
  Interpolator3 i3;
  DesignFir(ref, 48, FilterType::LPF, 11025.0, 1300.0, 3000.0, 70.0, 3.0);
  for (int i = 0; i < 49; ++i) EXPECT_DOUBLE_EQ(i3.coef[i], ref[i]);
}

TEST(RateChange, DecimatorsSumToOne) {
  Decimator2 d2;
  Decimator3 d3;
  double s2 = 0, s3 = 0;
  for (double c : d2.coef) s2 += c;
  for (double c : d3.coef) s3 += c;
  EXPECT_NEAR(s2, 1.0, 1e-12);
  EXPECT_NEAR(s3, 1.0, 1e-12);
}

TEST(RateChange, InterpolatorBranchesSumToOne) {
  Interpolator2 i2;
  Interpolator3 i3;
  for (int branch = 0; branch < 2; ++branch) {
    double s = 0;
    for (int k = branch; k < 37; k += 2) s += i2.coef[k];
    EXPECT_NEAR(s, 1.0, 1e-4) << "ratio 2 branch " << branch;
  }
  for (int branch = 0; branch < 3; ++branch) {
    double s = 0;
    for (int k = branch; k < 49; k += 3) s += i3.coef[k];
    EXPECT_NEAR(s, 1.0, 1e-4) << "ratio 3 branch " << branch;
  }
}

TEST(RateChange, FreshDecimatorsWeightTheFirstGroup) {
  Decimator2 d2;
  EXPECT_DOUBLE_EQ(d2.Process(3.0, 5.0), 3.0 * d2.coef[0] + 5.0 * d2.coef[1]);
  Decimator3 d3;
  EXPECT_NEAR(d3.Process(3.0, 5.0, 7.0), 3.0 * d3.coef[0] + 5.0 * d3.coef[1] + 7.0 * d3.coef[2], 1e-15);
}

TEST(RateChange, InterpolatorImpulseGivesCoefficientsInOrder) {
  Interpolator2 i2;
  double a, b;
  for (int step = 0; step < 19; ++step) {
    i2.Process(step == 0 ? 1.0 : 0.0, a, b);
    EXPECT_DOUBLE_EQ(a, i2.coef[2 * step]);
    EXPECT_DOUBLE_EQ(b, step < 18 ? i2.coef[2 * step + 1] : 0.0);
  }
  Interpolator3 i3;
  double c;
  for (int step = 0; step < 17; ++step) {
    i3.Process(step == 0 ? 1.0 : 0.0, a, b, c);
    EXPECT_DOUBLE_EQ(a, i3.coef[3 * step]);
    EXPECT_DOUBLE_EQ(b, step < 16 ? i3.coef[3 * step + 1] : 0.0);
    EXPECT_DOUBLE_EQ(c, step < 16 ? i3.coef[3 * step + 2] : 0.0);
  }
}

TEST(RateChange, DecimatorHistoryInterleavesTheGroups) {
  // Full-rate FIR over the stream s: the decimator must equal it at every
  // group's newest sample.
  Decimator3 d3;
  double s[300];
  for (int i = 0; i < 300; ++i) s[i] = std::sin(0.37 * i) * 1000.0 + (i % 7);
  for (int g = 0; g < 100; ++g) {
    const int newest = 3 * g + 2;
    const double got = d3.Process(s[newest], s[newest - 1], s[newest - 2]);
    double want = 0.0;
    for (int j = 0; j < 49 && newest - j >= 0; ++j) want += s[newest - j] * d3.coef[j];
    EXPECT_NEAR(got, want, 1e-9) << "group " << g;
  }
}

TEST(RateChange, ConstantThroughBothSettlesToInput) {
  Decimator2 d2;
  Interpolator2 i2;
  Decimator3 d3;
  Interpolator3 i3;
  double a = 0, b = 0, c = 0;
  for (int g = 0; g < 60; ++g) i2.Process(d2.Process(1000.0, 1000.0), a, b);
  EXPECT_NEAR(a, 1000.0, 0.1);
  EXPECT_NEAR(b, 1000.0, 0.1);
  for (int g = 0; g < 60; ++g) i3.Process(d3.Process(1000.0, 1000.0, 1000.0), a, b, c);
  EXPECT_NEAR(a, 1000.0, 0.1);
  EXPECT_NEAR(b, 1000.0, 0.1);
  EXPECT_NEAR(c, 1000.0, 0.1);
}

// Converts x in calls of `piece` frames and flushes the tail.
std::vector<double> Convert(RateConverter& c, const std::vector<double>& x, long piece) {
  std::vector<double> out, buf(static_cast<std::size_t>(c.MaxOutput()));
  std::string error;
  long at = 0, made;
  do {
    const long n = std::min<long>(piece, static_cast<long>(x.size()) - at);
    long used = 0;
    made = c.Convert(x.data() + at, n, n == 0, buf.data(), used, error);
    EXPECT_GE(made, 0) << error;
    if (made < 0) break;
    out.insert(out.end(), buf.begin(), buf.begin() + made);
    at += used;
  } while (at < static_cast<long>(x.size()) || made > 0);
  return out;
}

// A tone keeps its level and frequency through 48 kHz -> 11025 Hz and back,
// and a tone above the new Nyquist frequency leaves nothing at its alias.
TEST(RateConverter, ToneLevelsAndAliases) {
  struct Case {
    double fromHz, toHz, toneHz, measureHz, wantDb, tolDb;
  } cases[] = {
      {48000, 11025, 700, 700, 0.0, 0.1},
      {11025, 48000, 700, 700, 0.0, 0.1},
      {44100, 11025, 3000, 3000, 0.0, 0.1},
      {48000, 11025, 7000, 4025, -200.0, 0.0},  // alias of 7 kHz at 11025 Hz: below -60 dB
  };
  for (const Case& c : cases) {
    RateConverter conv;
    std::string error;
    ASSERT_TRUE(conv.Open(c.fromHz, c.toHz, 4096, RateConverter::Quality::Best, error)) << error;
    const std::vector<double> x = testutil::Sine(static_cast<int>(c.fromHz), c.toneHz, 10000.0, c.fromHz);
    std::vector<double> y = Convert(conv, x, 1000);
    EXPECT_NEAR(static_cast<double>(y.size()), c.toHz, 2.0);
    y.resize(y.size() * 9 / 10);  // the flushed tail fades out
    const double level =
        testutil::Db(testutil::ToneAmplitude(y, static_cast<int>(c.toHz / 4), c.measureHz, c.toHz) / 10000.0);
    if (c.wantDb < -100.0)
      EXPECT_LT(level, -60.0) << c.fromHz << " -> " << c.toHz;
    else
      EXPECT_NEAR(level, c.wantDb, c.tolDb) << c.fromHz << " -> " << c.toHz;
  }
}

TEST(RateConverter, RefusesRatesItCannotUse) {
  for (double rate : {0.0, -48000.0, 1e9, std::nan("")}) {
    RateConverter conv;
    std::string error;
    EXPECT_FALSE(conv.Open(rate, 11025, 512, RateConverter::Quality::Fastest, error)) << rate;
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
