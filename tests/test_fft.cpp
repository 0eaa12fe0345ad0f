#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <memory>
#include <random>
#include <vector>

#include "spectrum/CFFT.h"

namespace {

constexpr double kPi = 3.141592653589793;

// Squared magnitudes of bins 1..1023 of the windowed frame, by the O(n^2) sum.
std::vector<double> DirectPowers(const std::vector<double>& frame) {
  std::vector<double> p(1024, 0.0);
  for (int b = 1; b < 1024; ++b) {
    std::complex<double> s = 0.0;
    for (int t = 0; t < 2048; ++t) {
      const double wt = 0.5 - 0.5 * std::cos(6.283185307 * t / 2047);
      s += frame[t] * wt * std::polar(1.0, -2.0 * kPi * t * b / 2048.0);
    }
    p[b] = std::norm(s);
  }
  return p;
}

std::vector<double> Sine(double amplitude, double bin) {
  std::vector<double> x(2048);
  for (int t = 0; t < 2048; ++t) x[t] = amplitude * std::sin(2.0 * kPi * bin * t / 2048.0);
  return x;
}

TEST(CFFT, LevelsMatchADirectDft) {
  auto fft = std::make_unique<CFFT>();
  std::mt19937 rng(3);
  std::normal_distribution<double> noise(0.0, 3000.0);
  for (int round = 0; round < 3; ++round) {
    std::vector<double> frame(2048);
    for (double& v : frame) v = noise(rng);
    frame[5] = 30000.0;
    const std::vector<double> p = DirectPowers(frame);
    std::vector<int> out(1024, -1);
    fft->Compute(frame.data(), 0, 1023, 30.0, 1, out.data());
    for (int b = 1; b < 1024; ++b) ASSERT_NEAR(fft->logPower[2 * b], CFFT::Level(p[b]), 1e-9) << "bin " << b;
    EXPECT_EQ(fft->logPower[0], 0.0);
    EXPECT_EQ(fft->logPower[3], 0.0);
    EXPECT_EQ(out[0], 0);
  }
}

TEST(CFFT, SilenceGivesLevelZero) {
  auto fft = std::make_unique<CFFT>();
  std::vector<double> frame(2048, 0.0);
  std::vector<int> out(745, -1);
  fft->Compute(frame.data(), 0, 744, 30.0, 3, out.data());
  for (int v : out) EXPECT_EQ(v, 0);
  EXPECT_NEAR(CFFT::Level(0.0), 4e-7, 1e-7);
}

TEST(CFFT, FullScaleSineOnABinCentre) {
  auto fft = std::make_unique<CFFT>();
  std::vector<double> frame = Sine(32767.0, 100.0);
  std::vector<int> out(745, 0);
  fft->Compute(frame.data(), 0, 744, 30.0, 1, out.data());
  EXPECT_NEAR(fft->logPower[200], 9.9996, 1e-4);
  EXPECT_EQ(out[100], 299);
  EXPECT_EQ(fft->smoothing, 0);
}

TEST(CFFT, SmoothingFromSilence) {
  auto fft = std::make_unique<CFFT>();
  std::vector<int> out(745, 0);
  for (int f = 1; f <= 6; ++f) {
    std::vector<double> frame = Sine(32767.0, 100.0);
    fft->Compute(frame.data(), 0, 744, 30.0, 3, out.data());
    EXPECT_NEAR(fft->logPower[200], 9.9996 * (1.0 - std::pow(2.0 / 3.0, f)), 2e-4) << "frame " << f;
  }
  EXPECT_EQ(fft->smoothing, 1);
  EXPECT_EQ(fft->avgCount, 3);
  for (int avg : {1, 0, -2}) {
    std::vector<double> frame = Sine(32767.0, 100.0);
    fft->Compute(frame.data(), 0, 744, 30.0, avg, out.data());
    EXPECT_EQ(fft->smoothing, 0) << avg;
    EXPECT_NEAR(fft->logPower[200], 9.9996, 1e-4) << avg;
  }
}

TEST(CFFT, ReentryReturnsAtOnce) {
  auto fft = std::make_unique<CFFT>();
  std::vector<double> frame = Sine(10000.0, 50.0);
  std::vector<int> out(745, 7);
  fft->inUse = 1;
  fft->Compute(frame.data(), 0, 744, 30.0, 3, out.data());
  for (int v : out) EXPECT_EQ(v, 7);
  EXPECT_EQ(frame[1], Sine(10000.0, 50.0)[1]) << "the frame is not touched";
  EXPECT_EQ(fft->inUse, 1);
}

TEST(CFFT, BrokenFrameLeavesItInUse) {
  auto fft = std::make_unique<CFFT>();
  std::vector<int> out(745, 7);
  for (double bad : {NAN, INFINITY}) {
    fft->inUse = 0;
    std::vector<double> frame = Sine(10000.0, 50.0);
    frame[1000] = bad;
    fft->Compute(frame.data(), 0, 744, 30.0, 3, out.data());
    EXPECT_EQ(fft->inUse, 1);
    for (int v : out) ASSERT_EQ(v, 7);
    for (int i = 0; i < 2048; ++i) ASSERT_EQ(fft->logPower[i], 0.0);
  }
}

}  // namespace
