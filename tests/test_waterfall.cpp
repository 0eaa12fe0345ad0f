// The waterfall's model: its FFT against a direct DFT, a tone in the column
// of its frequency at every zoom and in the line of its start, the noise
// floor, and a press on a display mapped to Fo or a notch.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <memory>
#include <random>
#include <vector>

#include "control/DisplayPress.h"
#include "control/Session.h"
#include "signal/Presets.h"
#include "spectrum/RealFft.h"
#include "spectrum/Waterfall.h"
#include "support/SimWaveDriver.h"
#include "support/TestUtil.h"

namespace {

using testutil::kTwoPi;

// White Gaussian noise of the given rms, fixed seed.
std::vector<double> Gaussian(int n, double rms, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> d(0.0, rms);
  std::vector<double> x(static_cast<std::size_t>(n));
  for (double& v : x) v = d(rng);
  return x;
}

void AddTone(std::vector<double>& x, double hz, double amplitude, int from = 0) {
  for (int i = from; i < static_cast<int>(x.size()); ++i)
    x[i] += amplitude * std::sin(kTwoPi * hz * i / 11025.0);
}

int ArgMax(const std::vector<float>& v) {
  return static_cast<int>(std::max_element(v.begin(), v.end()) - v.begin());
}

TEST(Waterfall, RealFftMatchesADirectDft) {
  for (const int n : {8, 64, 2048}) {
    RealFft fft(n);
    std::vector<double> x = Gaussian(n, 1000.0, static_cast<unsigned>(n));
    std::vector<double> copy = x, power(static_cast<std::size_t>(n / 2 + 1));
    fft.Power(copy.data(), power.data());
    for (int k = 0; k <= n / 2; ++k) {
      std::complex<double> s = 0.0;
      for (int t = 0; t < n; ++t) s += x[t] * std::polar(1.0, -kTwoPi * t * k / n);
      EXPECT_NEAR(power[k], std::norm(s), 1e-9 * (std::norm(s) + 1e6)) << n << " bin " << k;
    }
  }
}

// A tone at 700 Hz in noise: the brightest column of a line is the column
// holding 700 Hz, whatever the zoom, Fo and width.
TEST(Waterfall, ToneInItsColumnAtEveryZoom) {
  auto model = std::make_unique<WaterfallModel>();
  std::vector<double> x = Gaussian(3 * 11025, 100.0, 1);
  AddTone(x, 700.0, 3000.0);
  model->Feed(x.data(), static_cast<int>(x.size()));
  ASSERT_GE(model->Lines(), 25);
  const struct {
    int zoomHz;
    double foHz;
    int width;
  } cases[] = {{0, 700, 632},     {0, 700, 1000},   {0, 700, 163},    {5000, 700, 632},
               {2000, 1500, 632}, {1000, 700, 900}, {500, 650, 632},  {300, 780, 500},
               {200, 700, 632},   {200, 760, 401},  {200, 620, 2000}, {1000, 335, 632}};
  auto columns = std::make_unique<WaterfallColumns>();
  for (const auto& c : cases) {
    const WaterfallSpan span = WaterfallSpanFor(c.zoomHz, c.foHz);
    columns->Set(c.width, span);
    const int expected = WaterfallColumnOf(700.0, c.width, span);
    ASSERT_GE(expected, 0);
    EXPECT_NEAR(WaterfallColumnHz(expected, c.width, span), 700.0,
                (span.hiHz - span.loHz) / c.width / 2 + 1e-9);
    for (long long k = model->Lines() - 3; k < model->Lines(); ++k) {
      std::vector<float> v(static_cast<std::size_t>(c.width));
      columns->Map(model->Line(k), v.data());
      EXPECT_EQ(ArgMax(v), expected) << "zoom " << c.zoomHz << " Fo " << c.foHz << " width " << c.width;
      EXPECT_GT(v[static_cast<std::size_t>(expected)], 20.0f);
    }
  }
}

// Noise in a band shows at the floor and a tone 10 dB over that noise (in
// a bin) 10 dB over it, without any setting; the quiet band outside shows
// at its own floor.
TEST(Waterfall, NoiseAtTheFloorAndAToneTenDbOver) {
  // 300..3000 Hz: white noise through a windowed-sinc band-pass of 401 taps.
  const int n = 6 * 11025, taps = 401;
  std::vector<double> h(taps);
  for (int i = 0; i < taps; ++i) {
    const double t = i - (taps - 1) / 2.0;
    auto lp = [&](double hz) {
      return t == 0 ? 2 * hz / 11025 : std::sin(kTwoPi * hz / 11025 * t) / (3.141592653589793 * t);
    };
    h[i] = (lp(3000) - lp(300)) *
           (0.42 - 0.5 * std::cos(kTwoPi * i / (taps - 1)) + 0.08 * std::cos(2 * kTwoPi * i / (taps - 1)));
  }
  const std::vector<double> white = Gaussian(n + taps, 1000.0, 7);
  std::vector<double> x(n);
  for (int i = 0; i < n; ++i) {
    double s = 0.0;
    for (int k = 0; k < taps; ++k) s += h[k] * white[i + k];
    x[i] = s;
  }
  const std::vector<double> quiet = Gaussian(n, 3.0, 8);  // some 40 dB below, across the band
  for (int i = 0; i < n; ++i) x[i] += quiet[i];
  // A bin of the noise holds (in expectation) its variance per Hz times the
  // bin width times the window's energy; the tone's peak bin (A N/4)^2.
  double variance = 0.0;
  for (int i = 0; i < n; ++i) variance += x[i] * x[i] / n;
  const double binNoise = variance * (5512.5 / 2700.0) * 2048 * 0.375;
  const double amplitude = std::sqrt(10.0 * binNoise) / 512.0;
  AddTone(x, 1500.0, amplitude);

  auto model = std::make_unique<WaterfallModel>();
  model->Feed(x.data(), n);
  const double binHz = 11025.0 / 2048;
  std::vector<double> toneDb, bandDb, quietDb;
  for (long long k = model->Lines() - 30; k < model->Lines(); ++k) {
    const float* line = model->Line(k);
    toneDb.push_back(line[static_cast<int>(std::lround(1500 / binHz))]);
    for (int b = static_cast<int>(500 / binHz); b < static_cast<int>(2800 / binHz); ++b)
      if (std::abs(b * binHz - 1500) > 60) bandDb.push_back(line[b]);
    for (int b = static_cast<int>(3500 / binHz); b < 1000; ++b) quietDb.push_back(line[b]);
  }
  auto median = [](std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
  };
  double toneMean = 0.0;
  for (double v : toneDb) toneMean += v / toneDb.size();
  EXPECT_NEAR(median(bandDb), 0.0, 1.0) << "the band's noise at the floor";
  EXPECT_NEAR(median(quietDb), 0.0, 1.0) << "the quiet band at its own floor";
  // The floor lies at the noise's mean level, to a fraction of a dB.
  EXPECT_NEAR(toneMean, 10.0, 1.5);
}

// A tone switched on at t first shows (within 6 dB of its steady level) in
// the line holding the first frame centred at t or later, or, when the
// line's other frames end before t and pull its mean down, the next; with
// one frame a line (22 lines a second and more), always in that line.
// Frame i is centred at N/2 + floor(i * rate / (speed * m)), line k holds
// frames k*m .. k*m+m-1.
TEST(Waterfall, ToneStartsInTheLineOfItsTime) {
  for (const int speed : {10, 25, 50}) {
    for (const int offset : {0, 220, 440, 660, 880}) {
      auto model = std::make_unique<WaterfallModel>();
      model->SetSpeed(speed);
      const int m = model->FramesPerLine();
      const long long t = 2 * 11025 + offset;
      std::vector<double> x = Gaussian(4 * 11025, 100.0, 3);
      AddTone(x, 700.0, 3000.0, static_cast<int>(t));
      model->Feed(x.data(), static_cast<int>(x.size()));
      const int bin = static_cast<int>(std::lround(700.0 * 2048 / 11025));
      const float steady = model->Line(model->Lines() - 1)[bin];
      long long first = -1;
      for (long long k = 0; k < model->Lines() && first < 0; ++k)
        if (model->Line(k)[bin] >= steady - 6.0f) first = k;
      long long i = 0;
      while (kWfPoints / 2 + i * 11025 / (speed * m) < t) ++i;
      const long long expected = i / m;
      if (m == 1)
        EXPECT_EQ(first, expected) << "speed " << speed << " t " << t;
      else
        EXPECT_TRUE(first == expected || first == expected + 1)
            << "speed " << speed << " t " << t << ": first " << first << ", line of t " << expected;
      for (long long k = first; k < model->Lines(); ++k) ASSERT_GT(model->Line(k)[bin], steady - 6.0f) << k;
      for (long long k = 0; k < first - 1; ++k) ASSERT_LT(model->Line(k)[bin], steady - 6.0f) << k;
    }
  }
}

// A press on a display: the primary button sets Fo to the pressed column's
// frequency to 5 Hz, the secondary places a notch or removes the one under
// it, with the display's own mapping.
TEST(Waterfall, PressOnADisplay) {
  SimWaveDriver sim;
  Session session(sim, nullptr);
  for (const auto& [zoom, width] : {std::pair{0, 632}, {2000, 632}, {500, 700}, {200, 632}}) {
    const WaterfallSpan span = WaterfallSpanFor(zoom, session.Fo());
    const DisplayScale scale{[&](int x) { return WaterfallColumnHz(x, width, span); },
                             [&](double hz) { return WaterfallColumnOf(hz, width, span); }};
    const int x = width * 2 / 3;
    const double expected = BoundFo(std::round(WaterfallColumnHz(x, width, span) / 5) * 5);
    PressOnDisplay(session, x, PressButton::Primary, scale);
    EXPECT_EQ(session.Fo(), expected) << zoom;
    const int y = width / 5;
    EXPECT_TRUE(PressOnDisplay(session, y, PressButton::Secondary, scale));
    ASSERT_EQ(session.Notches().size(), 1u);
    EXPECT_NEAR(session.Notches()[0], WaterfallColumnHz(y, width, span), 0.5);
    EXPECT_TRUE(PressOnDisplay(session, y + 3, PressButton::Secondary, scale));
    EXPECT_TRUE(session.Notches().empty()) << "removed within 3 columns";
    EXPECT_FALSE(PressOnDisplay(session, y, PressButton::Other, scale));
  }
}

}  // namespace
