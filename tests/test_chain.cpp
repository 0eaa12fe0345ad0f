// The declared chain and its bypasses, the filter group as one stage, and
// the filter stage's own coefficients, each against stages run by hand.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "signal/FilterCore.h"
#include "signal/Presets.h"
#include "support/TestUtil.h"

namespace {

using testutil::Noise;
using testutil::ProcessMono;

// Noise and a tone with a few clicks: every stage has work to do.
std::vector<double> Busy(int n, unsigned seed) {
  std::vector<double> x = Noise(n, 3000.0, seed), tone = testutil::Sine(n, 700.0, 6000.0);
  for (int i = 0; i < n; ++i) x[i] += tone[i];
  for (int i = 500; i < n; i += 1700) x[i] = 30000.0;
  return x;
}

// The stages of the chain, each alone, run in the order written here.
struct ByHand {
  DcCutStage dc;
  BlankerStage blanker;
  FilterGroupStage group;
  NotchStage notches;
  NoiseReductionStage nr;
  void Run(std::vector<double>& x, int from, int n, unsigned on) {
    double* io = x.data() + from;
    if (on & 1) ProcessMono(dc, io, n);
    if (on & 2) ProcessMono(blanker, io, n);
    if (on & 4) ProcessMono(group, io, n);
    if (on & 8) ProcessMono(notches, io, n);
    if (on & 16) ProcessMono(nr, io, n);
  }
};

// Segments with different stages switched on (bit k: stage k of the chain
// in its order), each fed to the chain in uneven blocks, some longer than a
// piece: a bypassed stage must leave its history as it was.
TEST(ProcessingChain, OrderAndBypassesMatchTheStagesRunByHand) {
  struct Segment {
    unsigned on;
    int count;
  };
  const std::vector<Segment> plans[] = {
      {{31, 4000}},
      {{0, 1500}, {31, 2500}},
      {{1, 1000}, {4, 1200}, {5, 900}, {31, 1800}, {16, 700}},
      {{30, 2100}, {29, 1300}, {27, 2600}, {23, 800}, {15, 1100}},
      {{2, 1200}, {10, 3100}, {8, 500}, {26, 1000}},
  };
  for (const int preset : {7, 23}) {  // BP500 at a third of the rate, LMSBP at a half
    auto d = std::make_unique<FilterDefinition>();
    InstallPreset(*d, preset, 700.0, 100, nullptr);
    ChainExtras e;
    e.blanker = true;
    e.nrLevel = 2;
    e.notchCount = 2;
    e.notchHz[0] = 1200.0;
    e.notchHz[1] = 450.0;
    for (std::size_t p = 0; p < std::size(plans); ++p) {
      auto chain = std::make_unique<ProcessingChain>();
      chain->SetFilter(*d);
      chain->SetExtras(e);
      auto hand = std::make_unique<ByHand>();
      hand->group.Setup(*d);
      hand->notches.Setup(e.notchHz, e.notchCount);
      hand->nr.SetLevel(e.nrLevel);
      std::mt19937 rng(static_cast<unsigned>(p));
      int at = 0, total = 0;
      for (const Segment& s : plans[p]) total += s.count;
      std::vector<double> x = Busy(total, 40 + static_cast<unsigned>(p)), want = x;
      for (const Segment& s : plans[p]) {
        for (int k = 0; k < kChainStageCount; ++k) chain->SetBypass(kChainOrder[k], (s.on & (1u << k)) == 0);
        for (int done = 0; done < s.count;) {
          const int n = std::min(s.count - done, static_cast<int>(rng() % 2500));
          Block b = MonoBlock(x.data() + at + done, n);
          chain->Process(b);
          done += n;
        }
        hand->Run(want, at, s.count, s.on);
        at += s.count;
      }
      EXPECT_EQ(x, want) << PresetCaption(preset) << " plan " << p;
    }
  }
}

// The extras switch their stages' bypasses and read back from them; a ratio
// outside 1..3 bypasses the filter group.
TEST(ProcessingChain, ExtrasAndRatioSetTheBypasses) {
  struct Case {
    bool blanker;
    int nrLevel, notchCount;
    double notchHz;
    int ratio;
    bool wantBlanker, wantNotches, wantNr, wantGroup;  // bypassed
    int wantLevel, wantNotchCount;
  } cases[] = {
      {false, 0, 0, 700.0, 1, true, true, true, false, 0, 0},
      {true, 3, 1, 700.0, 2, false, false, false, false, 3, 1},
      {true, 9, 1, 20.0, 3, false, true, false, false, 4, 0},  // level bounded, notch out of range
      {false, -1, 5, 700.0, 4, true, false, true, true, 0, 1},
      {false, 1, 0, 700.0, 0, true, true, false, true, 1, 0},
  };
  for (const Case& c : cases) {
    auto chain = std::make_unique<ProcessingChain>();
    auto d = std::make_unique<FilterDefinition>();
    d->overSmp = c.ratio;
    chain->SetFilter(*d);
    ChainExtras e;
    e.blanker = c.blanker;
    e.nrLevel = c.nrLevel;
    e.notchCount = c.notchCount;
    e.notchHz[0] = c.notchHz;
    chain->SetExtras(e);
    EXPECT_EQ(chain->Bypassed(ChainStage::Blanker), c.wantBlanker) << c.ratio;
    EXPECT_EQ(chain->Bypassed(ChainStage::Notches), c.wantNotches) << c.ratio;
    EXPECT_EQ(chain->Bypassed(ChainStage::NoiseReduction), c.wantNr) << c.ratio;
    EXPECT_EQ(chain->Bypassed(ChainStage::FilterGroup), c.wantGroup) << c.ratio;
    const ChainExtras back = chain->Extras();
    EXPECT_EQ(back.blanker, c.blanker);
    EXPECT_EQ(back.nrLevel, c.wantLevel);
    EXPECT_EQ(back.notchCount, c.wantNotchCount);
  }
}

// The filter group alone: one long block (several pieces), sample by
// sample and uneven blocks agree, at every ratio.
TEST(FilterGroupStage, LongBlocksSamplesAndSplitsAgree) {
  for (const int preset : {2, 21, 7, 24}) {  // NS6, 2.0K, BP500, LMSB2: ratios 1, 2, 3, 3
    auto d = std::make_unique<FilterDefinition>();
    InstallPreset(*d, preset, 700.0, 100, nullptr);
    auto whole = std::make_unique<FilterGroupStage>(), single = std::make_unique<FilterGroupStage>(),
         uneven = std::make_unique<FilterGroupStage>();
    for (FilterGroupStage* g : {whole.get(), single.get(), uneven.get()}) g->Setup(*d);
    std::vector<double> a = Noise(3 * kChainPiece + 17, 20000.0, 60 + preset), b = a, c = a;
    ProcessMono(*whole, a.data(), static_cast<int>(a.size()));
    for (double& v : b) ProcessMono(*single, &v, 1);
    std::mt19937 rng(preset);
    for (int at = 0; at < static_cast<int>(c.size());) {
      const int n = std::min(static_cast<int>(c.size()) - at, static_cast<int>(rng() % 1500));
      ProcessMono(*uneven, c.data() + at, n);
      at += n;
    }
    EXPECT_EQ(a, b) << PresetCaption(preset);
    EXPECT_EQ(a, c) << PresetCaption(preset);
    EXPECT_EQ(whole->phase, single->phase);
  }
}

// Setting the filter stage up again keeps its lines: an LMS predictor
// restarts from zero weights, a FIR takes the new coefficients; the same as
// a copy of the stage whose coefficients are replaced by hand.
TEST(FilterStage, SetupKeepsTheLinesAndReplacesTheCoefficients) {
  auto lms = std::make_unique<FilterDefinition>(), fir = std::make_unique<FilterDefinition>();
  InstallPreset(*lms, 25, 700.0, 100, nullptr);
  InstallPreset(*fir, 27, 700.0, 100, nullptr);
  struct Case {
    const FilterDefinition* first;
    const FilterDefinition* then;
  } cases[] = {
      {lms.get(), lms.get()}, {lms.get(), fir.get()}, {fir.get(), lms.get()}, {fir.get(), fir.get()}};
  for (const Case& c : cases) {
    auto a = std::make_unique<FilterStage>();
    a->Setup(*c.first);
    std::vector<double> x = Noise(3000, 10000.0, 70);
    a->Process(x.data(), 3000);
    auto b = std::make_unique<FilterStage>(*a);
    a->Setup(*c.then);
    b->lms = c.then->IsLms();
    b->tap = c.then->tap;
    b->lmsDelay = c.then->lmsDelay;
    b->lmsInv = c.then->lmsInv;
    b->lmsAGC = c.then->lmsAGC;
    b->lmsMU2 = c.then->lmsMU2;
    b->lmsGM = c.then->lmsGM;
    if (b->lms)
      std::memset(b->h, 0, sizeof b->h);
    else
      std::memcpy(b->h, c.then->h, sizeof b->h);
    std::vector<double> ya = Noise(2000, 10000.0, 71), yb = ya;
    a->Process(ya.data(), 2000);
    b->Process(yb.data(), 2000);
    EXPECT_EQ(ya, yb);
  }
}

// The live filter reports the stage's coefficients: the adapted LMS
// weights, or the FIR as applied; the rest is the definition applied.
TEST(CFilterCore, DefinitionCarriesTheStagesCoefficients) {
  for (const int preset : {23, 26, 27}) {
    auto d = std::make_unique<FilterDefinition>();
    InstallPreset(*d, preset, 700.0, 100, nullptr);
    auto core = std::make_unique<CFilterCore>();
    core->Apply(*d);
    std::vector<double> x = Noise(4000, 8000.0, 80);
    core->ProcessBlock(x.data(), 4000);
    const auto live = std::make_unique<FilterDefinition>(core->Definition());
    const double* running = core->chain.group.filter.h;
    for (int i = 0; i < kCoefCount; ++i) ASSERT_EQ(live->h[i], running[i]) << i;
    if (!d->IsLms())
      for (int i = 0; i < kCoefCount; ++i) ASSERT_EQ(live->h[i], d->h[i]) << i;
    else
      EXPECT_NE(live->h[live->tap], 0.0) << "adapted";
    EXPECT_EQ(live->tap, d->tap);
    EXPECT_EQ(live->overSmp, d->overSmp);
    EXPECT_EQ(live->lmsMU2, d->lmsMU2);
    std::vector<double> snap(kCoefCount);
    int ratio = 0, taps = 0;
    core->Snapshot(ratio, taps, snap.data());
    EXPECT_EQ(ratio, d->overSmp);
    for (int i = 0; i <= taps; ++i) EXPECT_EQ(snap[i], running[i]);
  }
}

}  // namespace
