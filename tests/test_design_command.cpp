// DO of the design dialog: what it reads, what it refuses, what it designs.
// Designs are checked by a sine measured through the whole filter chain.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "design/DesignCommand.h"
#include "design/ResponseCurve.h"
#include "signal/FilterCore.h"
#include "signal/SampleRate.h"
#include "support/TestUtil.h"

namespace {

using testutil::Db;
using testutil::MeasuredGain;

DesignFields Fields(int type, int ratioIndex, std::string tap, std::string fcl, std::string fch,
                    std::string att = "60", std::string gain = "1") {
  DesignFields f;
  f.type = type;
  f.ratioIndex = ratioIndex;
  f.tap = std::move(tap);
  f.fcl = std::move(fcl);
  f.fch = std::move(fch);
  f.att = std::move(att);
  f.gain = std::move(gain);
  return f;
}

std::vector<double> Coefs(const FilterDefinition& c) { return std::vector<double>(c.h, c.h + c.tap + 1); }

TEST(DesignFromFields, DesignsWhatTheFieldsSay) {
  struct Case {
    const char* what;
    DesignFields f;
    int tap, ratio;
    double fcl, fch;
    double passHz, stopHz;  // measured through the chain
  } cases[] = {
      {"LPF 1000", Fields(FilterType::LPF, 0, "128", "1000", "3000"), 128, 1, 1000, 3000, 500, 2000},
      {"HPF 1000 at x2", Fields(FilterType::HPF, 1, "100", "1000", "0"), 100, 2, 1000, 1000, 2000, 300},
      {"BPF edges swapped", Fields(FilterType::BPF, 0, "200", "3000", "300"), 200, 1, 300, 3000, 1500, 4500},
      {"BEF at x3", Fields(FilterType::BEF, 2, "128", "600", "900"), 128, 3, 600, 900, 200, 750},
      {"tap 1 designs 2", Fields(FilterType::LPF, 0, "1", "1000", "0"), 2, 1, 1000, 1000, 0, 0},
      {"tap 600 designs 512", Fields(FilterType::LPF, 0, "600", "1000", "0"), 512, 1, 1000, 1000, 500, 1500},
      {"text after the number", Fields(FilterType::LPF, 0, "64 taps", "800Hz", "x"), 64, 1, 800, 3000, 0, 0},
  };
  for (Case& c : cases) {
    FilterDefinition w;
    ASSERT_EQ(DesignFromFields(w, c.f), DesignResult::Done) << c.what;
    EXPECT_EQ(w.tap, c.tap) << c.what;
    EXPECT_EQ(w.overSmp, c.ratio) << c.what;
    EXPECT_EQ(w.params.type, c.f.type) << c.what;
    EXPECT_EQ(w.params.fs, 11025.0 / c.ratio) << c.what;
    EXPECT_EQ(w.params.fcl, c.fcl) << c.what;
    EXPECT_EQ(w.params.fch, c.fch) << c.what;
    if (c.passHz > 0.0) {
      EXPECT_NEAR(Db(MeasuredGain(w, c.passHz)), 0.0, 0.5) << c.what;
      EXPECT_LT(Db(MeasuredGain(w, c.stopHz)), -50.0) << c.what;
    }
  }
}

TEST(DesignFromFields, GainScalesThePassBand) {
  FilterDefinition w;
  ASSERT_EQ(DesignFromFields(w, Fields(FilterType::LPF, 0, "128", "1000", "0", "60", "2")),
            DesignResult::Done);
  EXPECT_NEAR(MeasuredGain(w, 400.0), 2.0, 0.02);
}

TEST(DesignFromFields, RefusalsKeepThePreviousCoefficients) {
  struct Case {
    const char* what;
    DesignFields f;
    DesignResult result;
  } cases[] = {
      {"LPF at half the rate", Fields(FilterType::LPF, 0, "128", "5512.5", "0"), DesignResult::TooHigh},
      {"LPF 3000 at x2", Fields(FilterType::LPF, 1, "128", "3000", "0"), DesignResult::TooHigh},
      {"BPF upper edge at half", Fields(FilterType::BPF, 2, "128", "300", "1837.5"), DesignResult::TooHigh},
      {"HPF infinite", Fields(FilterType::HPF, 0, "128", "inf", "0"), DesignResult::TooHigh},
      {"loss 0", Fields(FilterType::LPF, 0, "128", "1000", "0", "0"), DesignResult::Incorrect},
      {"gain 0", Fields(FilterType::LPF, 0, "128", "1000", "0", "60", "0"), DesignResult::Incorrect},
      {"FcL 0", Fields(FilterType::LPF, 0, "128", "0", "0"), DesignResult::Incorrect},
      {"negative FcL of a BPF", Fields(FilterType::BPF, 0, "128", "-5", "900"), DesignResult::Incorrect},
      {"loss nan", Fields(FilterType::LPF, 0, "128", "1000", "0", "nan"), DesignResult::Incorrect},
      {"gain inf", Fields(FilterType::LPF, 0, "128", "1000", "0", "60", "inf"), DesignResult::Incorrect},
      {"tap with a minus sign", Fields(FilterType::LPF, 0, "-20", "1000", "0"), DesignResult::Incorrect},
      // Regression: a gain of 1e200 gave infinite coefficients and an
      // undefined conversion in the response plot.
      {"gain 1e200", Fields(FilterType::BPF, 0, "128", "500", "900", "60", "1e200"), DesignResult::Incorrect},
      {"gain beyond +120 dB", Fields(FilterType::LPF, 0, "128", "1000", "0", "60", "2e6"),
       DesignResult::Incorrect},
  };
  for (Case& c : cases) {
    FilterDefinition w;
    ASSERT_EQ(DesignFromFields(w, Fields(FilterType::BPF, 0, "64", "500", "900")), DesignResult::Done);
    const std::vector<double> before = Coefs(w);
    EXPECT_EQ(DesignFromFields(w, c.f), c.result) << c.what;
    EXPECT_GE(w.tap, 0) << c.what;
    EXPECT_LE(w.tap, kMaxTap) << c.what;
    const std::vector<double> after(w.h, w.h + before.size());
    EXPECT_EQ(after, before) << c.what << ": coefficients of the previous design";
  }
}

TEST(DesignFromFields, AStopKeepsWhatWasReadAndAdjusted) {
  FilterDefinition w;
  ASSERT_EQ(DesignFromFields(w, Fields(FilterType::LPF, 0, "64", "1000", "0")), DesignResult::Done);
  EXPECT_EQ(DesignFromFields(w, Fields(FilterType::BPF, 1, "700", "2900", "300", "40")),
            DesignResult::TooHigh);
  EXPECT_EQ(w.params.type, FilterType::BPF);
  EXPECT_EQ(w.overSmp, 2);
  EXPECT_EQ(w.params.fs, 5512.5);
  EXPECT_EQ(w.tap, 512);
  EXPECT_EQ(w.params.fcl, 300.0);
  EXPECT_EQ(w.params.fch, 2900.0);
  EXPECT_EQ(w.params.att, 40.0);
}

TEST(DesignFromFields, EmptyOrNonNumericTextsKeepTheFields) {
  FilterDefinition w;
  ASSERT_EQ(DesignFromFields(w, Fields(FilterType::BPF, 0, "96", "400", "1000", "50", "1.5")),
            DesignResult::Done);
  for (const char* text : {"", "abc", "  "}) {
    ASSERT_EQ(DesignFromFields(w, Fields(FilterType::BPF, 0, text, text, text, text, text)),
              DesignResult::Done);
    EXPECT_EQ(w.tap, 96) << '"' << text << '"';
    EXPECT_EQ(w.params.fcl, 400.0);
    EXPECT_EQ(w.params.fch, 1000.0);
    EXPECT_EQ(w.params.att, 50.0);
    EXPECT_EQ(w.params.gain, 1.5);
  }
}

TEST(DesignFromFields, TapZeroGivesThePassThrough) {
  for (int type : {FilterType::LPF, FilterType::BEF, FilterType::LMS}) {
    FilterDefinition w;
    // Even values the design would refuse do not matter for a pass-through.
    DesignFields f = Fields(type, 2, "0", "0", "0", "0", "0");
    ASSERT_EQ(DesignFromFields(w, f), DesignResult::Done) << type;
    EXPECT_EQ(w.params.type, FilterType::User);
    EXPECT_EQ(w.overSmp, 1);
    EXPECT_EQ(w.tap, 0);
    const std::vector<double> in = testutil::Noise(1000, 8000.0, 3);
    std::vector<double> out = in;
    auto live = std::make_unique<CFilterCore>();
    live->Apply(w);
    live->ProcessBlock(out.data(), static_cast<int>(out.size()));
    EXPECT_EQ(out, in);
  }
}

TEST(DesignFromFields, UserKeepsItsCoefficientsAtTheSelectedRatio) {
  FilterDefinition w;
  ASSERT_EQ(DesignFromFields(w, Fields(FilterType::LPF, 0, "64", "1000", "0")), DesignResult::Done);
  const std::vector<double> before = Coefs(w);
  ASSERT_EQ(DesignFromFields(w, Fields(FilterType::User, 1, "300", "1", "2", "3", "4")), DesignResult::Done);
  EXPECT_EQ(w.params.type, FilterType::User);
  EXPECT_EQ(w.overSmp, 2);
  EXPECT_EQ(w.tap, 64);
  EXPECT_EQ(Coefs(w), before);
  EXPECT_EQ(w.params.fcl, 1000.0) << "nothing is read";
}

TEST(DesignFromFields, LmsStoresItsValuesAndRestartsTheWeights) {
  FilterDefinition w;
  DesignFields f;
  f.type = FilterType::LMS;
  f.ratioIndex = 1;
  f.tap = "48";
  f.delay = "600";
  f.mu2 = "0.02";
  f.gm = "0.999";
  f.inv = true;
  f.agc = true;
  w.h[3] = 5.0;
  ASSERT_EQ(DesignFromFields(w, f), DesignResult::Done);
  EXPECT_EQ(w.params.type, FilterType::LMS);
  EXPECT_EQ(w.overSmp, 2);
  EXPECT_EQ(w.tap, 48);
  EXPECT_EQ(w.lmsDelay, kMaxLmsDelay) << "a delay above 512 is bounded";
  EXPECT_EQ(w.lmsMU2, 0.02);
  EXPECT_EQ(w.lmsGM, 0.999);
  EXPECT_EQ(w.lmsInv, 1);
  EXPECT_EQ(w.lmsAGC, 1);
  EXPECT_EQ(w.h[3], 0.0) << "weights restart from zero";

  // The edges of the ranges are taken; beyond them the weights only run
  // away (regression: 2µ 5 or Gm 2 were stored and played full-scale noise).
  f.mu2 = "1";
  f.gm = "1";
  f.tap = "1";
  ASSERT_EQ(DesignFromFields(w, f), DesignResult::Done);
  EXPECT_EQ(w.lmsMU2, 1.0);
  EXPECT_EQ(w.tap, 2);
  for (const char* bad : {"nan", "inf", "-inf", "5", "-0.1", "1.5"}) {
    DesignFields g = f;
    g.mu2 = bad;
    EXPECT_EQ(DesignFromFields(w, g), DesignResult::Incorrect) << bad;
    g = f;
    g.gm = bad;
    EXPECT_EQ(DesignFromFields(w, g), DesignResult::Incorrect) << bad;
  }
  f.delay = "-1";
  EXPECT_EQ(DesignFromFields(w, f), DesignResult::Incorrect);
  EXPECT_EQ(w.lmsDelay, kMaxLmsDelay);
}

TEST(RememberedDirectory, UpToTheLastSlashAndAtMost128Characters) {
  EXPECT_EQ(RememberedDirectory("/home/op/filters/UserSet.def"), "/home/op/filters/");
  EXPECT_EQ(RememberedDirectory("/UserSet.def"), "/");
  EXPECT_EQ(RememberedDirectory("UserSet.def"), std::nullopt);
  const std::string dir127 = "/" + std::string(125, 'd') + "/";
  EXPECT_EQ(RememberedDirectory(dir127 + "x.def"), dir127);
  const std::string dir128 = "/" + std::string(126, 'd') + "/";
  EXPECT_EQ(RememberedDirectory(dir128 + "x.def"), dir128);
  EXPECT_EQ(RememberedDirectory("/" + std::string(127, 'd') + "/x.def"), std::nullopt);
}

}  // namespace

namespace {

// Regression: at oversampling x3 a 1400-1600 Hz design played 34 dB down
// (the rate change's own 1300 Hz low-pass) while the plot showed 0 dB, and
// the notches never showed in the plot. The plotted magnitude, filter times
// path, is what the live filter gives a tone, measured.
TEST(PathMagnitude, ThePlotIsWhatPlays) {
  struct Case {
    int ratio;
    double fcl, fch, toneHz;
    int notchCount;
    double notchHz;
  } cases[] = {{3, 1400, 1600, 1500, 0, 0}, {3, 500, 900, 700, 0, 0},   {2, 2000, 2700, 2400, 0, 0},
               {1, 300, 2400, 1020, 1, 1000}, {3, 500, 900, 700, 1, 690}, {1, 300, 2400, 1500, 1, 1200}};
  for (const Case& c : cases) {
    auto d = std::make_unique<FilterDefinition>();
    d->SetDesign(c.ratio, 100, FilterType::BPF, kSampleRate / c.ratio, c.fcl, c.fch, 60.0);
    auto f = std::make_unique<CFilterCore>();
    f->Apply(*d);
    ChainExtras e;
    e.notchCount = c.notchCount;
    e.notchHz[0] = c.notchHz;
    f->SetExtras(e);
    std::vector<double> x = testutil::Sine(3 * 11025, c.toneHz, 1000.0);
    f->ProcessBlock(x.data(), static_cast<int>(x.size()));
    const double measured = testutil::ToneAmplitude(x, 11025, c.toneHz) / 1000.0;
    const double plotted = ResponseMagnitude(d->h, d->tap, kSampleRate / c.ratio, c.toneHz) *
                           PathMagnitude(c.ratio, &c.notchHz, c.notchCount, c.toneHz);
    EXPECT_NEAR(testutil::Db(plotted), testutil::Db(measured), 1.0)
        << "x" << c.ratio << " " << c.fcl << ".." << c.fch << " at " << c.toneHz << " Hz, notches " << c.notchCount;
  }
  EXPECT_LT(testutil::Db(PathMagnitude(3, nullptr, 0, 1500)), -20.0) << "the x3 pair's own cut";
}

}  // namespace
