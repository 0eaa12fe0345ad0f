// The output's gain ramp: every change a straight 5 ms ramp, the target met
// exactly, and the same samples whatever the blocks.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "signal/GainRamp.h"
#include "signal/SampleRate.h"

namespace {

// The gains applied, one per sample: a ramp fed ones.
std::vector<double> Gains(GainRamp& r, int n) {
  std::vector<double> x(static_cast<std::size_t>(n), 1.0);
  r.Process(x.data(), n);
  return x;
}

TEST(GainRamp, AttenuationsInDb) {
  const struct {
    double db, gain;
  } cases[] = {{0, 1.0},
               {-3, 1.0},
               {20, 0.1},
               {40, 0.01},
               {20 * std::log10(2.0), 0.5},
               {119, 1.1220184543019634e-06},
               {120, 0.0},
               {200, 0.0},
               {NAN, 0.0}};
  for (const auto& c : cases) EXPECT_NEAR(GainForAttenuationDb(c.db), c.gain, 1e-12 * (1 + c.gain)) << c.db;
  EXPECT_EQ(GainForAttenuationDb(120), 0.0);  // silence, not -120 dB
}

TEST(GainRamp, EachChangeIsAStraightRampOfFiveMsLandingExactly) {
  GainRamp r;
  r.Setup(kSampleRate);
  const int ramp = r.RampSamples();
  ASSERT_EQ(ramp, static_cast<int>(std::lround(kSampleRate * 0.005)));  // 55 at 11025 Hz
  // From whole to each attenuation and back, and between two of them; the
  // second change comes mid-ramp.
  const struct {
    double fromDb, toDb;
    int changeAfter;  // samples of the first ramp before the next change (ramp: none)
    double thenDb;
  } cases[] = {{0, 40, ramp, 40}, {40, 0, ramp, 0}, {0, 120, ramp, 120}, {120, 0, ramp, 0},
               {0, 6, ramp, 6},   {0, 60, 20, 0},   {60, 20, 30, 120},   {0, 1, ramp, 1}};
  for (const auto& c : cases) {
    r.SetAttenuationDb(c.fromDb);
    r.Reset();
    const double from = GainForAttenuationDb(c.fromDb), to = GainForAttenuationDb(c.toDb);
    EXPECT_EQ(r.Gain(), from);
    r.SetAttenuationDb(c.toDb);
    std::vector<double> g = Gains(r, c.changeAfter);
    r.SetAttenuationDb(c.thenDb);
    const double turn = g.back();
    const std::vector<double> rest = Gains(r, 3 * ramp);
    g.insert(g.end(), rest.begin(), rest.end());
    const double then = GainForAttenuationDb(c.thenDb);
    double prev = from;
    for (int i = 0; i < static_cast<int>(g.size()); ++i) {
      // No step beyond the ramp's: a 55th of the change in force.
      const double span = i < c.changeAfter ? std::abs(to - from) : std::abs(then - turn);
      EXPECT_LE(std::abs(g[i] - prev), span / ramp * (1 + 1e-9) + 1e-15)
          << c.fromDb << "->" << c.toDb << " at " << i;
      prev = g[i];
    }
    if (c.changeAfter == ramp) {
      EXPECT_EQ(g[ramp - 1], to) << c.toDb;  // met on the ramp's last sample
    }
    EXPECT_EQ(g[c.changeAfter + ramp - 1], then);
    EXPECT_EQ(g.back(), then);
  }
}

TEST(GainRamp, SplitBlocksGiveTheSameSamplesAsWhole) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> sample(-32768.0, 32767.0);
  std::vector<double> x(4000);
  for (double& v : x) v = sample(rng);
  // Target changes at fixed block starts: whole and split see them alike.
  const int changes[] = {0, 512, 1024, 1536, 2048, 3072};
  const double dbs[] = {40, 0, 120, 10, 0, 80};
  auto run = [&](const std::vector<int>& cuts) {
    GainRamp r;
    r.Setup(kSampleRate);
    std::vector<double> y = x;
    int at = 0, next = 0;
    for (int cut : cuts) {
      while (next < 6 && changes[next] <= at) r.SetAttenuationDb(dbs[next++]);
      r.Process(y.data() + at, cut - at);
      at = cut;
    }
    return y;
  };
  std::vector<int> blocks;
  for (int c = 512; c <= 4000; c += 512) blocks.push_back(std::min(c, 4000));
  if (blocks.back() != 4000) blocks.push_back(4000);
  const std::vector<double> whole = run(blocks);
  for (int trial = 0; trial < 20; ++trial) {
    std::vector<int> cuts;
    for (int b : blocks) {
      const int start = cuts.empty() ? 0 : cuts.back();
      for (int k = std::uniform_int_distribution<int>(0, 4)(rng); k > 0; --k)
        cuts.push_back(std::uniform_int_distribution<int>(start, b)(rng));
      cuts.push_back(b);
    }
    std::sort(cuts.begin(), cuts.end());
    EXPECT_EQ(run(cuts), whole) << "trial " << trial;
  }
}

}  // namespace
