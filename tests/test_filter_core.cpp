#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "signal/FilterCore.h"
#include "support/TestUtil.h"

namespace {

using testutil::Noise;

std::unique_ptr<CFilterCore> Make() { return std::make_unique<CFilterCore>(); }
std::unique_ptr<FilterDefinition> Def() { return std::make_unique<FilterDefinition>(); }

// A live filter with definition d in force.
std::unique_ptr<CFilterCore> Live(const FilterDefinition& d) {
  auto f = Make();
  f->Apply(d);
  return f;
}

TEST(CFilterCore, ConstructionDefaults) {
  auto core = Make();
  EXPECT_EQ(core->chain.group.phase, 0);
  EXPECT_EQ(core->dcCut.load(), 0);
  EXPECT_EQ(core->overload.load(), 0);
  EXPECT_EQ(kLmsScale, 9.313225746154785e-10);
  const auto f = std::make_unique<FilterDefinition>(core->Definition());
  EXPECT_EQ(f->tap, 0);
  EXPECT_EQ(f->overSmp, 1);
  EXPECT_EQ(f->params.type, FilterType::LPF);
  EXPECT_EQ(f->params.tap, 0);
  EXPECT_EQ(f->params.fs, 11025.0);
  EXPECT_EQ(f->params.fcl, 200.0);
  EXPECT_EQ(f->params.fch, 3000.0);
  EXPECT_EQ(f->params.att, 60.0);
  EXPECT_EQ(f->params.gain, 1.0);
  EXPECT_EQ(f->lmsDelay, 36);
  EXPECT_EQ(f->lmsInv, 0);
  EXPECT_EQ(f->lmsAGC, 0);
  EXPECT_EQ(f->lmsMU2, 0.015);
  EXPECT_EQ(f->lmsGM, 0.9993);
  for (double v : f->h) EXPECT_EQ(v, 0.0);
  double dc[129];
  DesignFir(dc, 128, FilterType::HPF, 11025.0, 80.0, 3000.0, 30.0, 1.0);
  for (int i = 0; i < 129; ++i) EXPECT_EQ(core->chain.dc.h[i], dc[i]);
}

TEST(CFilterCore, NewFilterPassesSamplesUnchanged) {
  auto f = Make();
  std::vector<double> x = Noise(1000, 30000.0, 1), y = x;
  f->ProcessBlock(y.data(), static_cast<int>(y.size()));
  EXPECT_EQ(x, y);
}

TEST(FilterDefinition, SetUserCopiesCoefficientsAndKeepsDesignTap) {
  auto f = Def();
  f->params.tap = 77;
  double c[5] = {1, 2, 3, 4, 5};
  f->SetUser(0, c, 4);
  EXPECT_EQ(f->tap, 4);
  EXPECT_EQ(f->overSmp, 1);
  EXPECT_EQ(f->params.type, FilterType::User);
  EXPECT_EQ(f->params.tap, 77);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(f->h[i], c[i]);
  // Through keeps h as it was.
  f->SetUser(1, nullptr, 0);
  EXPECT_EQ(f->tap, 0);
  EXPECT_EQ(f->h[3], 4.0);
}

TEST(FilterDefinition, SetLmsClearsAllWeights) {
  auto f = Def();
  std::fill(std::begin(f->h), std::end(f->h), 7.0);
  f->params.tap = 9;
  f->SetLms(0, 24, 64, 0.01, 0.9998, 1, 1);
  EXPECT_EQ(f->params.type, FilterType::LMS);
  EXPECT_EQ(f->overSmp, 1);
  EXPECT_EQ(f->tap, 64);
  EXPECT_EQ(f->params.tap, 9);
  EXPECT_EQ(f->lmsDelay, 24);
  EXPECT_EQ(f->lmsInv, 1);
  EXPECT_EQ(f->lmsAGC, 1);
  for (double v : f->h) EXPECT_EQ(v, 0.0);
}

TEST(FilterDefinition, SetDesignStoresGainOneAndRedesignKeepsGain) {
  auto f = Def();
  f->params.gain = 3.0;
  f->SetDesign(3, 100, FilterType::BPF, 3675.0, 650.0, 750.0, 60.0);
  EXPECT_EQ(f->params.gain, 1.0);
  EXPECT_EQ(f->overSmp, 3);
  EXPECT_EQ(f->tap, 100);
  EXPECT_EQ(f->params.tap, 100);
  double ref[101];
  DesignFir(ref, 100, FilterType::BPF, 3675.0, 650.0, 750.0, 60.0, 1.0);
  for (int i = 0; i <= 100; ++i) EXPECT_EQ(f->h[i], ref[i]);

  f->params.gain = 2.0;
  f->Redesign();
  for (int i = 0; i <= 100; ++i) EXPECT_DOUBLE_EQ(f->h[i], 2.0 * ref[i]);
}

TEST(FilterDefinition, RedesignTakesTheProcessingTap) {
  auto f = Def();
  f->SetDesign(1, 100, FilterType::LPF, 11025.0, 1000.0, 0.0, 60.0);
  double c[3] = {0, 1, 0};
  f->SetUser(1, c, 2);  // leaves params.tap at 100
  f->params.type = FilterType::LPF;
  f->Redesign();
  EXPECT_EQ(f->params.tap, 2);
  double ref[3];
  DesignFir(ref, 2, FilterType::LPF, 11025.0, 1000.0, 0.0, 60.0, 1.0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(f->h[i], ref[i]);
}

TEST(FilterDefinition, RedesignOfLmsClearsWeights) {
  auto d = Def();
  d->SetLms(1, 1, 64, 0.015, 0.99997, 0, 0);
  auto live = Live(*d);
  std::vector<double> x = Noise(5000, 8000.0, 2);
  live->ProcessBlock(x.data(), 5000);
  auto f = std::make_unique<FilterDefinition>(live->Definition());
  ASSERT_NE(f->h[64], 0.0);
  f->Redesign();
  for (double v : f->h) EXPECT_EQ(v, 0.0);
}

TEST(CFilterCore, ApplyAndDefinitionCopyTheDefinitionNotState) {
  auto src = Def();
  src->SetDesign(2, 80, FilterType::HPF, 5512.5, 300.0, 0.0, 50.0);
  src->params.gain = 1.5;
  src->lmsDelay = 5;
  auto live = Make();
  live->dcCut = 1;
  live->Apply(*src);
  const auto dst = std::make_unique<FilterDefinition>(live->Definition());
  EXPECT_EQ(dst->overSmp, 2);
  EXPECT_EQ(dst->tap, 80);
  EXPECT_EQ(dst->lmsDelay, 5);
  EXPECT_EQ(dst->params.gain, 1.5);
  EXPECT_EQ(dst->params.fc, src->params.fc);
  EXPECT_EQ(dst->params.work[10], src->params.work[10]);
  for (int i = 0; i <= 80; ++i) EXPECT_EQ(dst->h[i], src->h[i]);
  EXPECT_EQ(live->dcCut.load(), 1) << "the high-pass switch is not part of a definition";
  EXPECT_EQ(live->overload.load(), 0);
}

TEST(CFilterCore, ApplyLmsClearsWeightsButCopyCoefsCopiesThem) {
  auto d = Def();
  d->SetLms(1, 1, 64, 0.015, 0.99997, 0, 0);
  auto live = Live(*d);
  std::vector<double> x = Noise(5000, 8000.0, 3);
  live->ProcessBlock(x.data(), 5000);
  const auto adapted = std::make_unique<FilterDefinition>(live->Definition());
  ASSERT_NE(adapted->h[64], 0.0);

  auto copy = Def();
  *copy = *adapted;
  copy->ForgetWeights();
  for (double v : copy->h) EXPECT_EQ(v, 0.0);
  live->CopyCoefsTo(*copy);
  for (int i = 0; i <= 64; ++i) EXPECT_EQ(copy->h[i], adapted->h[i]);
  EXPECT_EQ(copy->h[65], 0.0);

  auto again = Live(*adapted);  // a definition put in force starts from zero weights
  for (double v : again->Definition().h) EXPECT_EQ(v, 0.0);
}

TEST(CFilterCore, SetUpKeepsHistory) {
  // Switching filters (and ratios) must not reset the delay lines or phase.
  auto bp = Def(), through = Def();
  bp->SetDesign(3, 64, FilterType::BPF, 3675.0, 500.0, 900.0, 60.0);
  through->SetThrough();
  auto a = Live(*bp), b = Live(*bp);
  std::vector<double> x = Noise(1001, 10000.0, 4);
  std::vector<double> xa = x, xb = x;
  a->ProcessBlock(xa.data(), 1001);
  b->ProcessBlock(xb.data(), 1001);
  ASSERT_EQ(a->chain.group.phase, 2);
  a->Apply(*through);
  a->Apply(*bp);
  EXPECT_EQ(a->chain.group.phase, 2);
  std::vector<double> ya = Noise(300, 10000.0, 5), yb = ya;
  a->ProcessBlock(ya.data(), 300);
  b->ProcessBlock(yb.data(), 300);
  EXPECT_EQ(ya, yb);
}

TEST(FilterDefinition, SetUpBoundsTapAndDelay) {
  struct Case {
    int tap, delay, wantTap, wantDelay;
  } cases[] = {{-5, -1, 0, 0}, {513, 513, 512, 512}, {100000, 1 << 30, 512, 512}, {512, 512, 512, 512}};
  for (const Case& c : cases) {
    auto f = Def();
    std::vector<double> coefs(kCoefCount, 0.5);
    f->SetUser(1, coefs.data(), c.tap);
    EXPECT_EQ(f->tap, c.wantTap);
    f->SetLms(1, c.delay, c.tap, 0.01, 0.999, 0, 0);
    EXPECT_EQ(f->tap, c.wantTap);
    EXPECT_EQ(f->lmsDelay, c.wantDelay);
    f->SetDesign(1, c.tap, FilterType::LPF, 11025, 1000, 0, 60);
    EXPECT_EQ(f->tap, c.wantTap);
    EXPECT_EQ(f->params.tap, c.wantTap);
    std::vector<double> x = Noise(2000, 1000.0, 6);
    Live(*f)->ProcessBlock(x.data(), 2000);  // must stay inside the arrays (ASan)
  }
}

TEST(FilterDefinition, OddTapDesignDoesNotKeepStaleCoefficient) {
  auto f = Def();
  std::vector<double> ones(kCoefCount, 1.0);
  f->SetUser(1, ones.data(), 512);
  f->SetDesign(1, 63, FilterType::LPF, 11025.0, 1000.0, 0.0, 60.0);
  EXPECT_EQ(f->h[63], 0.0);
}

}  // namespace
