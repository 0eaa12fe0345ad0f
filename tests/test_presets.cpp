#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "signal/FilterCore.h"
#include "signal/Presets.h"

namespace {

struct Fixture {
  Fixture() { SetDefaultUserDesigns(slots, 100); }
  std::unique_ptr<FilterDefinition> Install(int code, double fo = 700.0, int tap = 100) {
    auto f = std::make_unique<FilterDefinition>();
    InstallPreset(*f, code, fo, tap, slots);
    return f;
  }
  FilterDefinition slots[kUserSlotCount];
};

TEST(MakeNsComb, Ns4AtFo700) {
  double h[kCoefCount];
  const int n = MakeNsComb(4, 700.0, h);
  EXPECT_EQ(n, 56);
  for (int i = 0; i < kCoefCount; ++i) {
    double want = 0.0;
    if (i <= 48 && i % 16 == 0) want = -0.125;
    if (i <= 56 && i % 16 == 8) want = 0.125;
    EXPECT_EQ(h[i], want) << i;
  }
}

TEST(MakeNsComb, PeriodTableOfNs16) {
  struct Case {
    double fo;
    int p;
    double centre;
    int n16;
  } cases[] = {{400, 28, 393.75, 434}, {450, 24, 459.38, 372}, {500, 22, 501.14, 341}, {550, 20, 551.25, 310},
               {600, 18, 612.5, 279},  {650, 16, 689.06, 248}, {700, 16, 689.06, 248}, {750, 14, 787.5, 217},
               {800, 14, 787.5, 217},  {850, 12, 918.75, 186}, {900, 12, 918.75, 186}};
  for (const Case& c : cases) {
    double h[kCoefCount];
    const int n = MakeNsComb(16, c.fo, h);
    EXPECT_EQ(n, c.n16) << c.fo;
    EXPECT_NEAR(11025.0 / c.p, c.centre, 0.005);
    EXPECT_EQ(h[0], -1.0 / 32);
    EXPECT_EQ(h[c.p / 2], 1.0 / 32) << c.fo;
    EXPECT_EQ(h[c.p], -1.0 / 32) << c.fo;
    EXPECT_EQ(h[n], 1.0 / 32) << c.fo;
    EXPECT_EQ(h[n + 1], 0.0) << c.fo;
  }
}

TEST(InstallPreset, CombsAndThrough) {
  Fixture fx;
  auto ns4 = fx.Install(1);
  EXPECT_EQ(ns4->params.type, FilterType::User);
  EXPECT_EQ(ns4->overSmp, 1);
  EXPECT_EQ(ns4->tap, 56);
  auto ns16 = fx.Install(6);
  EXPECT_EQ(ns16->tap, 248);
  EXPECT_EQ(ns16->h[248], 1.0 / 32);
  for (int code : {0, 29, 100, -1}) {
    auto th = fx.Install(code);
    EXPECT_EQ(th->tap, 0) << code;
    EXPECT_EQ(th->params.type, FilterType::User) << code;
  }
}

TEST(InstallPreset, BandPassesAroundFo) {
  Fixture fx;
  struct Case {
    int code;
    double half;
  } cases[] = {{7, 250}, {8, 200}, {9, 150}, {10, 100}, {11, 50}, {12, 35}};
  for (const Case& c : cases) {
    auto f = fx.Install(c.code, 700.0, 128);
    EXPECT_EQ(f->overSmp, 3);
    EXPECT_EQ(f->params.type, FilterType::BPF);
    EXPECT_EQ(f->params.fs, 3675.0);
    EXPECT_EQ(f->params.fcl, 700.0 - c.half);
    EXPECT_EQ(f->params.fch, 700.0 + c.half);
    EXPECT_EQ(f->params.att, 60.0);
    EXPECT_EQ(f->tap, 128);
  }
}

TEST(InstallPreset, VoiceBandPasses) {
  Fixture fx;
  struct Case {
    int code, ratio;
    double fs, fch;
  } cases[] = {{19, 1, 11025, 2400},  {20, 1, 11025, 2200}, {21, 2, 5512.5, 2000},
               {22, 2, 5512.5, 1800}, {27, 1, 11025, 2700}, {28, 1, 11025, 2500}};
  for (const Case& c : cases) {
    auto f = fx.Install(c.code, 900.0, 64);
    EXPECT_EQ(f->overSmp, c.ratio) << c.code;
    EXPECT_EQ(f->params.fs, c.fs) << c.code;
    EXPECT_EQ(f->params.fcl, 200.0) << c.code;
    EXPECT_EQ(f->params.fch, c.fch) << c.code;
    EXPECT_EQ(f->tap, 64) << c.code;
  }
}

TEST(InstallPreset, LmsParameterSets) {
  Fixture fx;
  struct Case {
    int code, ratio, delay, tap;
    double mu2, gm;
    int inv, agc;
  } cases[] = {{23, 2, 24, 64, 0.01, 0.9998, 0, 0},
               {24, 3, 24, 96, 0.01, 0.9999, 0, 1},
               {25, 1, 1, 64, 0.015, 0.99997, 0, 0},
               {26, 1, 64, 96, 0.015, 0.9999, 1, 0}};
  for (const Case& c : cases) {
    auto f = fx.Install(c.code, 500.0, 300);  // Fo and tap do not matter
    EXPECT_EQ(f->params.type, FilterType::LMS);
    EXPECT_EQ(f->overSmp, c.ratio);
    EXPECT_EQ(f->lmsDelay, c.delay);
    EXPECT_EQ(f->tap, c.tap);
    EXPECT_EQ(f->lmsMU2, c.mu2);
    EXPECT_EQ(f->lmsGM, c.gm);
    EXPECT_EQ(f->lmsInv, c.inv);
    EXPECT_EQ(f->lmsAGC, c.agc);
  }
}

TEST(InstallPreset, UserSlotsAndTheirDefaults) {
  Fixture fx;
  struct Case {
    int ratio;
    double fs, fcl, fch;
  } defaults[] = {{1, 11025, 300, 2400}, {2, 5512.5, 300, 2000}, {2, 5512.5, 300, 1800},
                  {1, 11025, 500, 2400}, {2, 5512.5, 500, 2000}, {2, 5512.5, 500, 1800}};
  for (int k = 0; k < kUserSlotCount; ++k) {
    auto f = fx.Install(kFirstUserPreset + k);
    EXPECT_EQ(f->overSmp, defaults[k].ratio) << k;
    EXPECT_EQ(f->params.fs, defaults[k].fs) << k;
    EXPECT_EQ(f->params.fcl, defaults[k].fcl) << k;
    EXPECT_EQ(f->params.fch, defaults[k].fch) << k;
    EXPECT_EQ(f->tap, 100) << k;
  }
  // A slot changed later does not change a filter already installed from it.
  auto f = fx.Install(15);
  double before = f->h[50];
  fx.slots[2].SetUser(1, nullptr, 0);
  EXPECT_EQ(f->h[50], before);
  EXPECT_EQ(f->tap, 100);
}

// The Fo bound: every accepted Fo keeps every comb within 513 coefficients
// and every band-pass edge inside 0..1837.5 Hz; just outside it fails.
TEST(FoBounds, EveryAcceptedFoFits) {
  Fixture fx;
  for (double fo = kFoMinHz; fo <= kFoMaxHz; fo += 1.0) {
    ASSERT_TRUE(FoAccepted(fo));
    for (int periods : {4, 6, 8, 10, 12, 16}) {
      double h[kCoefCount];
      ASSERT_LE(MakeNsComb(periods, fo, h), kMaxTap) << fo;
    }
    ASSERT_GT(fo - 250.0, 0.0);
    ASSERT_LT(fo + 250.0, 1837.5);
  }
  EXPECT_FALSE(FoAccepted(334.0));
  double h[kCoefCount];
  EXPECT_GT(16 * 34 - 17, kMaxTap) << "at 334 Hz the 16-period comb would not fit";
  EXPECT_FALSE(FoAccepted(1588.0));
  EXPECT_FALSE(FoAccepted(NAN));
  EXPECT_FALSE(FoAccepted(-700.0));
  // Out-of-range values that reach the presets anyway are bounded.
  for (double fo : {0.0, -5.0, 100.0, 5000.0, double(NAN)}) {
    EXPECT_LE(MakeNsComb(16, fo, h), kMaxTap) << fo;
    auto bp = fx.Install(7, fo);
    EXPECT_GE(bp->params.fcl, 0.0) << fo;
    EXPECT_LE(bp->params.fch, 1837.5) << fo;
  }
}

TEST(PresetNames, CaptionsAndLookup) {
  EXPECT_STREQ(PresetCaption(0), "TH");
  EXPECT_STREQ(PresetCaption(0, true), "スルー");
  EXPECT_STREQ(PresetCaption(7), "BP500");
  EXPECT_STREQ(PresetCaption(27), "2.7K");
  EXPECT_STREQ(PresetCaption(40), "TH");
  for (int code = 0; code < kPresetCount; ++code) EXPECT_EQ(PresetCodeFromName(PresetCaption(code)), code);
  EXPECT_EQ(PresetCodeFromName("lmsan"), 26);
  EXPECT_EQ(PresetCodeFromName("user3"), 15);
  EXPECT_EQ(PresetCodeFromName("BP50"), -1);
}

}  // namespace
