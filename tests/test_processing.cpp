#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "signal/DotKernel.h"
#include "signal/FilterCore.h"
#include "signal/Presets.h"
#include "support/LiteralFilter.h"
#include "support/TestUtil.h"

namespace {

using testutil::Db;
using testutil::MeasuredGain;
using testutil::Noise;

std::unique_ptr<CFilterCore> Make() { return std::make_unique<CFilterCore>(); }

struct PresetSetup {
  int code;
  bool hpf;
};

std::unique_ptr<CFilterCore> WithPreset(int code, bool hpf = false, int tap = 100, double fo = 700.0) {
  static FilterDefinition slots[kUserSlotCount];
  static bool ready = false;
  if (!ready) {
    SetDefaultUserDesigns(slots, 100);
    ready = true;
  }
  auto f = Make();
  auto d = std::make_unique<FilterDefinition>();
  InstallPreset(*d, code, fo, tap, slots);
  f->Apply(*d);
  f->dcCut = hpf ? 1 : 0;
  return f;
}

// Every preset, with and without the high-pass, against the plain model:
// agreement to 1e-12 of full scale over two seconds of noise and tones.
TEST(ProcessBlock, EveryPresetMatchesTheLiteralChain) {
  for (int portable = 0; portable < 2; ++portable) {
    ForcePortableKernel(portable != 0);
    for (int code = 0; code < kPresetCount; ++code) {
      for (bool hpf : {false, true}) {
        auto f = WithPreset(code, hpf, code == 12 ? 512 : 100);
        LiteralFilter ref(*f);
        std::vector<double> x = Noise(22050, 20000.0, 100 + code);
        std::vector<double> tone = testutil::Sine(22050, 700.0, 8000.0);
        for (std::size_t i = 0; i < x.size(); ++i) x[i] = 0.5 * x[i] + tone[i];
        std::vector<double> want(x.size());
        for (std::size_t i = 0; i < x.size(); ++i) want[i] = ref.ProcessSample(x[i]);
        f->ProcessBlock(x.data(), static_cast<int>(x.size()));
        double worst = 0.0;
        for (std::size_t i = 0; i < x.size(); ++i) worst = std::max(worst, std::fabs(x[i] - want[i]));
        EXPECT_LE(worst, 1e-12 * 32768.0)
            << PresetCaption(code) << (hpf ? " +HPF" : "") << " kernel " << DotKernelName();
      }
    }
  }
  ForcePortableKernel(false);
}

// The output must not depend on how the input is cut into blocks.
TEST(ProcessBlock, BlockSplitsGiveIdenticalOutput) {
  for (int code = 0; code < kPresetCount; ++code) {
    std::vector<double> x = Noise(9000, 20000.0, 200 + code);
    auto whole = WithPreset(code, code % 2 == 1);
    auto single = WithPreset(code, code % 2 == 1);
    auto uneven = WithPreset(code, code % 2 == 1);
    auto bySample = WithPreset(code, code % 2 == 1);
    std::vector<double> a = x, b = x, c = x, d = x;
    whole->ProcessBlock(a.data(), 9000);
    for (int i = 0; i < 9000; ++i) single->ProcessBlock(&b[i], 1);
    for (double& v : d) v = bySample->ProcessSample(v);
    std::mt19937 rng(code);
    for (int done = 0; done < 9000;) {
      int n = std::min(9000 - done, static_cast<int>(rng() % 700));
      uneven->ProcessBlock(c.data() + done, n);  // n may be 0
      done += n;
    }
    EXPECT_EQ(a, b) << PresetCaption(code);
    EXPECT_EQ(a, c) << PresetCaption(code);
    EXPECT_EQ(a, d) << PresetCaption(code);
  }
}

// Definitions switched between blocks whose lengths cut the rate-change
// groups anywhere: the block path (whole groups at once) and the per-sample
// path must carry the phase and the histories across every switch alike.
TEST(ProcessBlock, RatioSwitchesMidGroupAgreeWithSampleBySample) {
  auto bp3 = std::make_unique<FilterDefinition>(), voice2 = std::make_unique<FilterDefinition>();
  auto lms2 = std::make_unique<FilterDefinition>(), comb1 = std::make_unique<FilterDefinition>();
  InstallPreset(*bp3, 7, 700.0, 100, nullptr);
  InstallPreset(*voice2, 21, 700.0, 64, nullptr);
  InstallPreset(*lms2, 23, 700.0, 100, nullptr);
  InstallPreset(*comb1, 2, 700.0, 100, nullptr);
  const struct {
    const FilterDefinition* d;
    int count;
  } segments[] = {{bp3.get(), 1001}, {voice2.get(), 333}, {bp3.get(), 500},  {lms2.get(), 2777},
                  {comb1.get(), 10}, {bp3.get(), 1234},   {voice2.get(), 5}, {bp3.get(), 3001}};
  auto blocks = Make(), samples = Make();
  blocks->dcCut = samples->dcCut = 1;
  std::mt19937 rng(42);
  int seed = 300;
  for (const auto& seg : segments) {
    blocks->Apply(*seg.d);
    samples->Apply(*seg.d);
    std::vector<double> a = Noise(seg.count, 20000.0, seed++), b = a;
    for (int done = 0; done < seg.count;) {
      const int n = std::min(seg.count - done, 1 + static_cast<int>(rng() % 1500));
      blocks->ProcessBlock(a.data() + done, n);
      done += n;
    }
    for (double& v : b) v = samples->ProcessSample(v);
    ASSERT_EQ(a, b) << "segment of " << seg.count;
    ASSERT_EQ(blocks->chain.group.phase, samples->chain.group.phase);
  }
}

// The FIR kernels give each window exactly what one window at a time gives
// it, for every group size the kernels split a block into, on every length
// and both kernels, and all agree with a plain sum.
TEST(DotKernel, ManyWindowsEqualOneAtATime) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(-30000.0, 30000.0);
  for (int portable = 0; portable < 2; ++portable) {
    ForcePortableKernel(portable != 0);
    for (int n : {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 19, 31, 32, 33, 37, 49, 64, 101, 129, 257, 512, 513}) {
      for (int count : {1, 2, 3, 4, 5, 7, 8, 11, 12, 13, 24}) {
        std::vector<double> a(n + count - 1), b(n), many(count);
        for (double& v : a) v = u(rng);
        for (double& v : b) v = u(rng) / 30000.0;
        FirDots(a.data(), b.data(), n, many.data(), count);
        for (int j = 0; j < count; ++j) {
          double one;
          FirDots(a.data() + j, b.data(), n, &one, 1);
          EXPECT_EQ(many[j], one) << DotKernelName() << " n " << n << " count " << count << " window " << j;
          long double plain = 0.0L, size = 0.0L;
          for (int i = 0; i < n; ++i) {
            plain += static_cast<long double>(a[i + j]) * b[i];
            size += std::fabs(a[i + j] * b[i]);
          }
          EXPECT_NEAR(one, static_cast<double>(plain), 1e-14 * static_cast<double>(size) + 1e-300) << n;
        }
      }
    }
  }
  ForcePortableKernel(false);
}

TEST(ProcessBlock, ZeroCountLeavesBufferAlone) {
  auto f = WithPreset(7);
  double x[3] = {1, 2, 3};
  f->ProcessBlock(x, 0);
  f->ProcessBlock(x, -4);
  f->ProcessBlock(nullptr, 3);
  EXPECT_EQ(x[0], 1);
  EXPECT_EQ(x[2], 3);
}

TEST(ProcessSample, RateChangeStartsWithZeros) {
  for (int ratio : {2, 3}) {
    auto f = Make();
    testutil::SetUser(*f, ratio, nullptr, 0);
    for (int i = 0; i < ratio - 1; ++i) EXPECT_EQ(f->ProcessSample(1000.0), 0.0) << "ratio " << ratio;
    EXPECT_NE(f->ProcessSample(1000.0), 0.0);
  }
}

TEST(ProcessSample, OtherRatiosPassThroughAfterDcCut) {
  for (int ratio : {4, 7, -1}) {
    auto f = Make();
    double c[3] = {0.2, 0.3, 0.5};
    testutil::SetUser(*f, ratio, c, 2);
    EXPECT_EQ(f->ProcessSample(123.0), 123.0);
    f->dcCut = 1;
    EXPECT_DOUBLE_EQ(f->ProcessSample(100.0), 100.0 * f->chain.dc.h[128]);
  }
}

TEST(ProcessSample, OverloadThreshold) {
  struct Case {
    double x;
    int overload;
  } cases[] = {{24576.0, 0}, {-24576.0, 0}, {0.0, 0}, {24576.5, 1}, {-24576.5, 1}, {NAN, 1}, {INFINITY, 1}};
  for (const Case& c : cases) {
    auto f = Make();
    f->ProcessSample(c.x);
    EXPECT_EQ(f->overload.load(), c.overload) << c.x;
  }
  auto f = Make();
  f->ProcessSample(30000.0);
  f->ProcessSample(0.0);
  EXPECT_EQ(f->overload.load(), 1) << "only the display clears it";
}

TEST(ProcessSample, DcCutResponse) {
  // Constant input settles to about -0.0174 of itself.
  auto f = Make();
  f->dcCut = 1;
  double y = 0;
  for (int i = 0; i < 400; ++i) y = f->ProcessSample(10000.0);
  EXPECT_NEAR(y / 10000.0, -0.0174, 0.0005);

  struct Case {
    double hz, gain, tol;
  } cases[] = {{80, 0.51, 0.02}, {200, 1.0, 0.02}, {500, 1.0, 0.02}, {1000, 1.0, 0.02}, {3000, 1.0, 0.02}};
  for (const Case& c : cases) {
    auto g = Make();
    g->dcCut = 1;
    EXPECT_NEAR(MeasuredGain(*g, c.hz), c.gain, c.tol) << c.hz << " Hz";
  }
}

TEST(ProcessSample, DcCutResumesWithItsOldLine) {
  auto a = Make(), b = Make();
  a->dcCut = 1;
  b->dcCut = 1;
  std::vector<double> x = Noise(300, 5000.0, 7);
  for (double v : x) {
    a->ProcessSample(v);
    b->ProcessSample(v);
  }
  a->dcCut = 0;
  for (int i = 0; i < 50; ++i) a->ProcessSample(9999.0);  // must not enter the line
  a->dcCut = 1;
  for (int i = 0; i < 200; ++i) EXPECT_EQ(a->ProcessSample(i), b->ProcessSample(i));
}

TEST(FirSample, TapZeroLeavesLineForLaterTap) {
  auto a = Make(), b = Make();
  double c[3] = {0.25, 0.5, 0.25};
  testutil::SetUser(*a, 1, c, 2);
  testutil::SetUser(*b, 1, c, 2);
  a->ProcessSample(100.0);
  b->ProcessSample(100.0);
  a->ProcessSample(200.0);
  b->ProcessSample(200.0);
  testutil::SetUser(*a, 1, nullptr, 0);
  EXPECT_EQ(a->ProcessSample(555.0), 555.0);
  testutil::SetUser(*a, 1, c, 2);
  EXPECT_EQ(a->ProcessSample(300.0), b->ProcessSample(300.0));
}

// Measured responses of the narrow presets around Fo, at the full rate
// through decimator, band-pass and interpolator.
TEST(Presets, BandPassResponsesAroundFo) {
  struct Case {
    int code;
    double passHz, stopHz, minStopDb;
  } cases[] = {
      {11, 700.0, 1500.0, 50.0},   // BP100
      {12, 700.0, 1000.0, 40.0},   // BP70
      {7, 700.0, 1500.0, 50.0},    // BP500
      {19, 1000.0, 3500.0, 50.0},  // 2.4K
      {21, 1000.0, 3000.0, 50.0},  // 2.0K
  };
  for (const Case& c : cases) {
    auto pass = WithPreset(c.code), stop = WithPreset(c.code);
    EXPECT_NEAR(Db(MeasuredGain(*pass, c.passHz)), 0.0, 1.0) << PresetCaption(c.code);
    EXPECT_LT(Db(MeasuredGain(*stop, c.stopHz)), -c.minStopDb) << PresetCaption(c.code);
  }
}

TEST(Presets, CombPeaksAtItsCentreAndNullsAtDc) {
  auto f = WithPreset(1);  // NS4 at Fo 700: p = 16, centre 689.0625 Hz
  EXPECT_NEAR(MeasuredGain(*f, 11025.0 / 16), 1.0, 1e-3);
  auto g = WithPreset(1);
  EXPECT_LT(MeasuredGain(*g, 2 * 11025.0 / 16), 1e-3);
}

}  // namespace
