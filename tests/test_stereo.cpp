// The two ears: binaural quadrature across the band, a pan that keeps the
// power, the same output however the blocks are split, and recovery from a
// NaN; the mono path untouched.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "signal/FilterCore.h"
#include "signal/StereoStage.h"
#include "support/TestUtil.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// Amplitude and phase (radians) of the hz component of x[from..], by
// correlation over whole periods: a measurement independent of the stage.
struct Component {
  double amplitude, phase;
};
Component Measure(const std::vector<double>& x, int from, double hz) {
  double c = 0.0, s = 0.0;
  const int n = static_cast<int>(std::floor((x.size() - from) * hz / 11025.0) * 11025.0 / hz);
  for (int i = 0; i < n; ++i) {
    const double ph = 2.0 * kPi * hz * (from + i) / 11025.0;
    c += x[from + i] * std::cos(ph);
    s += x[from + i] * std::sin(ph);
  }
  return {2.0 * std::hypot(c, s) / n, std::atan2(-s, c)};
}

void Split(const std::vector<double>& stereo, std::vector<double>& left, std::vector<double>& right) {
  left.clear();
  right.clear();
  for (std::size_t i = 0; i + 1 < stereo.size(); i += 2) {
    left.push_back(stereo[i]);
    right.push_back(stereo[i + 1]);
  }
}

std::vector<double> Binaural(const std::vector<double>& x) {
  StereoStage st;
  st.Setup(OutputMode::Binaural, 0.0);
  std::vector<double> out(2 * x.size());
  st.Process(x.data(), out.data(), static_cast<int>(x.size()));
  return out;
}

TEST(StereoStage, BinauralIsInQuadratureAcrossTheBand) {
  for (double hz : {150.0, 200.0, 300.0, 500.0, 700.0, 1000.0, 1500.0, 2200.0, 3000.0}) {
    const std::vector<double> x = testutil::Sine(11025, hz, 10000.0);
    std::vector<double> left, right;
    Split(Binaural(x), left, right);
    const Component in = Measure(x, 1000, hz), l = Measure(left, 1000, hz), r = Measure(right, 1000, hz);
    double diff = (l.phase - r.phase) * 180.0 / kPi;
    diff = std::remainder(diff, 360.0);
    EXPECT_NEAR(diff, 90.0, 3.0) << hz << " Hz: the right ear 90 degrees behind";
    EXPECT_NEAR(20.0 * std::log10(r.amplitude / l.amplitude), 0.0, 0.2) << hz;
    EXPECT_NEAR(l.amplitude, in.amplitude, 1e-4 * in.amplitude) << hz;
    // The left ear is the input kHilbertDelay samples late.
    for (int i = 2000; i < 2100; ++i) ASSERT_DOUBLE_EQ(left[i], x[i - kHilbertDelay]) << hz;
  }
  EXPECT_NEAR(kHilbertDelay / 11025.0 * 1000.0, 5.0, 0.05) << "ms: the delay the README states";
}

// White noise: the ears hear it uncorrelated, so it spreads around the head.
TEST(StereoStage, NoiseIsUncorrelatedBetweenTheEars) {
  const std::vector<double> x = testutil::Noise(11025 * 4, 8000.0, 7);
  std::vector<double> left, right;
  Split(Binaural(x), left, right);
  double lr = 0.0, ll = 0.0, rr = 0.0;
  for (std::size_t i = 200; i < left.size(); ++i) {
    lr += left[i] * right[i];
    ll += left[i] * left[i];
    rr += right[i] * right[i];
  }
  EXPECT_LT(std::fabs(lr / std::sqrt(ll * rr)), 0.03);
}

TEST(StereoStage, PanKeepsThePowerAndTheMiddleAtTheMonoLevel) {
  struct Case {
    double balance, left, right;
  } cases[] = {{0.0, 1.0, 1.0}, {-1.0, std::sqrt(2.0), 0.0}, {1.0, 0.0, std::sqrt(2.0)},
               {0.5, std::sqrt(2.0) * std::cos(3 * kPi / 8), std::sqrt(2.0) * std::sin(3 * kPi / 8)},
               {std::nan(""), 1.0, 1.0}, {7.0, 1.0, 1.0}};
  for (const Case& c : cases) {
    StereoStage st;
    st.Setup(OutputMode::Pan, c.balance);
    const double x[2] = {1000.0, -500.0};
    double out[4];
    st.Process(x, out, 2);
    EXPECT_NEAR(out[0], 1000.0 * c.left, 1e-9) << c.balance;
    EXPECT_NEAR(out[1], 1000.0 * c.right, 1e-9) << c.balance;
    EXPECT_NEAR(out[2], -500.0 * c.left, 1e-9) << c.balance;
    EXPECT_NEAR(st.gainLeft * st.gainLeft + st.gainRight * st.gainRight, 2.0, 1e-12) << "constant power";
  }
}

// Through the live filter: one block, sample by sample and uneven splits
// give the same two channels, the mono result stays what mono gives, and a
// NaN leaves nothing behind once it has passed the line.
TEST(StereoStage, TheLiveFilterGivesTheSameEarsHoweverSplit) {
  const std::vector<double> x = testutil::Noise(5000, 6000.0, 3);
  auto run = [&](OutputMode mode, const std::vector<int>& sizes, std::vector<double>& mono) {
    CFilterCore f;
    FilterDefinition d;
    d.SetDesign(3, 100, FilterType::BPF, 3675.0, 500.0, 900.0, 60.0);
    f.Apply(d);
    f.SetOutput(mode, 0.0);
    mono = x;
    std::vector<double> stereo(2 * x.size(), -1.0);
    int at = 0;
    for (std::size_t k = 0; at < static_cast<int>(x.size()); ++k) {
      const int n = std::min(sizes[k % sizes.size()], static_cast<int>(x.size()) - at);
      EXPECT_EQ(f.ProcessBlock(mono.data() + at, n, stereo.data() + 2 * at), mode == OutputMode::Mono ? 1 : 2);
      at += n;
    }
    return stereo;
  };
  std::vector<double> monoWhole, monoSplit, monoOnly;
  const std::vector<double> whole = run(OutputMode::Binaural, {5000}, monoWhole);
  for (const std::vector<int>& sizes : std::vector<std::vector<int>>{{1}, {7, 1024, 333}, {2048, 1}}) {
    EXPECT_EQ(run(OutputMode::Binaural, sizes, monoSplit), whole);
    EXPECT_EQ(monoSplit, monoWhole);
  }
  const std::vector<double> untouched = run(OutputMode::Mono, {5000}, monoOnly);
  EXPECT_EQ(monoOnly, monoWhole) << "the mono result is the same in every mode";
  EXPECT_EQ(untouched, std::vector<double>(2 * x.size(), -1.0)) << "mono writes no ears";

  std::vector<double> withNan = x, withZero = x;
  withNan[1000] = std::nan("");
  withZero[1000] = 0.0;
  const std::vector<double> a = Binaural(withNan), b = Binaural(withZero);
  for (double v : a) ASSERT_TRUE(std::isfinite(v));
  EXPECT_EQ(a, b) << "a NaN is heard as silence for that one sample";
}

}  // namespace
