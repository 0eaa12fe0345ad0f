#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "signal/Kaiser.h"

namespace {

std::vector<double> Design(int tap, int type, double fs, double fcl, double fch, double att,
                           double gain = 1.0) {
  std::vector<double> h(tap + 1, 12345.0);
  DesignFir(h.data(), tap, type, fs, fcl, fch, att, gain);
  return h;
}

// |H(f)| computed directly from the coefficients.
double Response(const std::vector<double>& h, double f, double fs) {
  std::complex<double> sum = 0.0;
  for (std::size_t k = 0; k < h.size(); ++k) sum += h[k] * std::polar(1.0, -2.0 * M_PI * f / fs * k);
  return std::abs(sum);
}

TEST(BesselI0, PowerSeriesValues) {
  EXPECT_DOUBLE_EQ(BesselI0(0.0), 1.0);
  EXPECT_NEAR(BesselI0(1.0), 1.2660658777, 1e-9);
  // Reference value of I0(5), from tables: 27.239871823604...
  EXPECT_NEAR(BesselI0(5.0) / 27.239871823604, 1.0, 1e-7);
}

TEST(BesselI0, EndsOnOverflowAndNaN) {
  EXPECT_TRUE(std::isinf(BesselI0(1e6)));
  EXPECT_TRUE(std::isnan(BesselI0(NAN)));
}

TEST(KaiserBeta, FromAttenuation) {
  struct Case {
    double att, beta;
  } cases[] = {{10, 0.0}, {20, 0.0}, {21, 0.0}, {30, 2.1166249}, {50, 4.55126}, {60, 5.65326}, {70, 6.75526}};
  for (const Case& c : cases) EXPECT_NEAR(KaiserBeta(c.att), c.beta, 5e-7) << "att " << c.att;
}

TEST(DesignFir, WorkedExamples) {
  struct Case {
    int tap, type;
    double fcl, fch;
    std::vector<double> expected;
  } cases[] = {
      {2, FilterType::LPF, 2000, 3000, {0.280050, 0.439901, 0.280050}},
      {4, FilterType::HPF, 2000, 3000, {0.0, -0.280050, 0.439901, -0.280050, 0.0}},
      {4, FilterType::BPF, 1000, 3000, {-0.312538, 0.0, 0.490933, 0.0, -0.312538}},
      {4, FilterType::BEF, 1000, 3000, {0.312538, 0.0, 0.509067, 0.0, 0.312538}},
  };
  for (const Case& c : cases) {
    std::vector<double> h = Design(c.tap, c.type, 8000.0, c.fcl, c.fch, 20.0);
    ASSERT_EQ(h.size(), c.expected.size());
    for (std::size_t i = 0; i < h.size(); ++i)
      EXPECT_NEAR(h[i], c.expected[i], 5e-7) << "type " << c.type << " coefficient " << i;
  }
}

TEST(DesignFir, HighPassOuterCoefficientsShowTheShortPi) {
  std::vector<double> h = Design(4, FilterType::HPF, 8000.0, 2000.0, 3000.0, 20.0);
  EXPECT_NE(h[0], 0.0);
  EXPECT_LT(std::fabs(h[0]), 1e-10);
}

TEST(DesignFir, WritesFcAndWork) {
  FilterParams p{};
  p.tap = 4;
  p.type = FilterType::BPF;
  p.fs = 8000.0;
  p.fcl = 1000.0;
  p.fch = 3000.0;
  p.att = 20.0;
  p.gain = 2.0;
  double h[5];
  DesignFir(h, p);
  EXPECT_DOUBLE_EQ(p.fc, 1000.0);
  // work holds the half response before the gain: h = work * gain.
  EXPECT_NEAR(p.work[0], 0.490933, 5e-7);
  EXPECT_NEAR(h[2], 2.0 * 0.490933, 1e-6);
  EXPECT_DOUBLE_EQ(h[0], 2.0 * p.work[2]);
}

TEST(DesignFir, PassBandGainEqualsGain) {
  struct Case {
    int tap, type;
    double fs, fcl, fch, att, gain, probeHz;
  } cases[] = {
      {100, FilterType::LPF, 11025, 1000, 0, 60, 1.0, 0.0},
      {64, FilterType::LPF, 5512.5, 500, 0, 40, 2.5, 0.0},
      {100, FilterType::HPF, 11025, 1000, 0, 60, 1.0, 5512.5},
      {31, FilterType::HPF, 8000, 2000, 0, 30, 0.5, 4000.0},
  };
  for (const Case& c : cases) {
    std::vector<double> h = Design(c.tap, c.type, c.fs, c.fcl, c.fch, c.att, c.gain);
    EXPECT_NEAR(Response(h, c.probeHz, c.fs), c.gain, 1e-9 * c.gain) << "tap " << c.tap << " type " << c.type;
  }
}

TEST(DesignFir, BandPassMeetsItsAttenuation) {
  // BP100 around 700 Hz at 3675 Hz: unity in the band, 60 dB outside.
  std::vector<double> h = Design(100, FilterType::BPF, 3675.0, 650.0, 750.0, 60.0);
  EXPECT_NEAR(20 * std::log10(Response(h, 700.0, 3675.0)), 0.0, 0.1);
  EXPECT_LT(20 * std::log10(Response(h, 1500.0, 3675.0)), -55.0);
  // Symmetric (linear phase).
  for (int i = 0; i <= 100; ++i) EXPECT_DOUBLE_EQ(h[i], h[100 - i]);
}

TEST(DesignFir, OddTapClearsLastCoefficient) {
  // The design of N = 5 has 5 coefficients; the stale sixth must not stay.
  std::vector<double> h = Design(5, FilterType::LPF, 11025, 1000, 0, 60);
  EXPECT_EQ(h[5], 0.0);
  // The other five form a symmetric filter about index 2.
  for (int i = 0; i < 5; ++i) EXPECT_DOUBLE_EQ(h[i], h[4 - i]);
  EXPECT_NE(h[2], 0.0);
}

TEST(DesignFir, DegenerateInputsGiveFiniteCoefficients) {
  struct Case {
    const char* what;
    int tap, type;
    double fs, fcl, fch, att;
  } cases[] = {
      {"tap 0", 0, FilterType::LPF, 11025, 1000, 0, 60},
      {"fs 0", 10, FilterType::BPF, 0, 300, 600, 60},
      {"fs negative", 10, FilterType::HPF, -1, 300, 600, 60},
      {"zero bandwidth", 10, FilterType::BPF, 11025, 500, 500, 60},
      {"huge attenuation", 10, FilterType::LPF, 11025, 1000, 0, 1e7},
      {"tap above 512", 900, FilterType::LPF, 11025, 1000, 0, 60},
  };
  for (const Case& c : cases) {
    std::vector<double> h(kCoefCount + 1, 0.0);
    DesignFir(h.data(), c.tap, c.type, c.fs, c.fcl, c.fch, c.att, 1.0);
    for (double v : h) ASSERT_TRUE(std::isfinite(v)) << c.what;
    EXPECT_EQ(h[kCoefCount], 0.0) << c.what << ": wrote past 513 coefficients";
  }
}

TEST(DesignFir, ZeroWidthBandStopPassesEverything) {
  std::vector<double> h = Design(10, FilterType::BEF, 11025, 500, 500, 60);
  EXPECT_NEAR(h[5], 1.0, 1e-12);
  for (int i = 0; i <= 10; ++i) EXPECT_NEAR(h[i], i == 5 ? 1.0 : 0.0, 1e-12);
}

}  // namespace
