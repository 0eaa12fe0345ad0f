// The spectrum panel and the response plot, checked pixel by pixel.

#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QPainter>
#include <QPen>
#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "audio/CFilter.h"
#include "design/ResponseCurve.h"
#include "draw/ResponsePlot.h"
#include "draw/SpectrumView.h"
#include "draw/StepLine.h"
#include "signal/FilterCore.h"
#include "signal/Presets.h"
#include "support/CFilterProbe.h"
#include "support/SimWaveDriver.h"

namespace {

const QRgb kYellow = qRgb(255, 255, 0), kWhite = qRgb(255, 255, 255), kBlack = qRgb(0, 0, 0);
const QRgb kBlue = qRgb(0, 0, 255), kRed = qRgb(255, 0, 0);

int CountInColumn(const QImage& img, int x, QRgb colour, int y0 = 0, int y1 = -1) {
  if (y1 < 0) y1 = img.height() - 1;
  int n = 0;
  for (int y = y0; y <= y1; ++y) n += img.pixel(x, y) == colour;
  return n;
}

int CountIn(const QImage& img, QRgb colour, int x0, int y0, int x1, int y1) {
  int n = 0;
  for (int y = y0; y <= y1; ++y)
    for (int x = x0; x <= x1; ++x) n += img.pixel(x, y) == colour;
  return n;
}

struct Panel {
  explicit Panel(int w = 362, int h = 120)
      : image(w, h, QImage::Format_RGB32), filter(std::make_unique<CFilter>(sim, nullptr)) {}
  QImage image;
  SimWaveDriver sim;
  std::unique_ptr<CFilter> filter;
  int fillLevel = -1;     // >= 0: every bin of the snapshot drawn at this level
  SpectrumSnapshot last;  // what the last drawing showed
  void Draw() {
    last = filter->TakeSpectrum();
    if (fillLevel >= 0)
      for (int& v : last.levels) v = fillLevel;
    DrawSpectrum(last, image);
  }
};

TEST(DrawSpectrum, GridColumnsOfTheMainPanel) {
  struct Case {
    int width;
    std::vector<int> columns;
  } cases[] = {
      {0, {35, 71, 107, 143, 179, 215, 251, 286, 322, 358}},
      {2, {59, 119, 179, 239, 299, 359}},
      {3, {45, 90, 135, 180, 225, 270, 315, 360}},
  };
  for (const Case& c : cases) {
    Panel p;
    p.filter->SetFftWidth(c.width);
    p.Draw();
    std::vector<int> yellow;
    for (int x = 0; x < 362; ++x)
      if (CountInColumn(p.image, x, kYellow) > 0) yellow.push_back(x);
    EXPECT_EQ(yellow, c.columns) << "width " << c.width;
    // Solid lines fill their column but the last row; dotted ones do not.
    const int solid = c.width == 0 ? 179 : (c.width == 2 ? 119 : 90);
    const int dotted = c.width == 0 ? 35 : (c.width == 2 ? 59 : 45);
    EXPECT_EQ(CountInColumn(p.image, solid, kYellow), 119);
    EXPECT_LT(CountInColumn(p.image, dotted, kYellow), 100);
  }
}

TEST(DrawSpectrum, DialogPanelGrid) {
  Panel p(296, 83);
  p.filter->SetFftWidth(1);  // 2K: 200 Hz steps over 373 bins
  p.Draw();
  for (int i = 1; i <= 10; ++i) {
    const int x = static_cast<int>((i * 200.0 * 2048.0 * 295) / (373 * 11025.0));
    EXPECT_GT(CountInColumn(p.image, x, kYellow), 0) << i;
    EXPECT_EQ(CountInColumn(p.image, x + 1, kYellow), 0) << i;
  }
  EXPECT_EQ(p.image.pixel(295, 40), p.image.pixel(295, 40)) << "right column left alone";
}

TEST(DrawSpectrum, TraceRows) {
  struct Case {
    int level, row;
  } cases[] = {{128, 60}, {300, 1}, {256, 1}, {0, 119}, {3, 118}};
  for (const Case& c : cases) {
    Panel p;
    p.filter->SetFftMode(1);
    p.fillLevel = c.level;
    p.Draw();
    for (int x : {20, 100, 250})
      EXPECT_EQ(p.image.pixel(x, c.row), kWhite) << "level " << c.level << " x " << x;
  }
}

TEST(DrawSpectrum, OffShowsTheGridOnly) {
  Panel p;
  p.filter->SetFftMode(0);
  p.fillLevel = 128;
  p.Draw();
  EXPECT_EQ(CountIn(p.image, kWhite, 0, 0, 360, 119), 0);
  EXPECT_EQ(p.image.pixel(10, 10), kBlack);
}

TEST(DrawSpectrum, LostForEachRecoveryThenOverOnce) {
  Panel p;
  auto warning = [&] { return CountIn(p.image, kWhite, 300, 0, 360, 20) > 0; };
  CFilterProbe(*p.filter).LostCount() = 3;
  for (int i = 0; i < 3; ++i) {
    p.Draw();
    EXPECT_TRUE(warning()) << "drawing " << i;
  }
  EXPECT_EQ(p.filter->LostCount(), 0);
  p.Draw();
  EXPECT_FALSE(warning());
  CFilterProbe(*p.filter).Core().overload = 1;
  p.Draw();
  EXPECT_TRUE(warning());
  EXPECT_EQ(CFilterProbe(*p.filter).Core().overload.load(), 0);
  p.Draw();
  EXPECT_FALSE(warning());
}

// A frame published at the point the switch follows is computed at the
// next drawing, once; one from the other point, or with the switch OFF, is
// never shown.
TEST(DrawSpectrum, WaitingFrameIsComputedAndReleased) {
  struct Case {
    int mode;
    TapPoint point;
    bool shown;
  } cases[] = {
      {2, TapPoint::Output, true},  {1, TapPoint::Input, true},  {2, TapPoint::Input, false},
      {1, TapPoint::Output, false}, {0, TapPoint::Input, false},
  };
  std::vector<double> frame(2048);
  for (int t = 0; t < 2048; ++t) frame[t] = 32767.0 * std::sin(2.0 * M_PI * 100.0 * t / 2048.0);
  for (const Case& c : cases) {
    Panel p;
    p.filter->SetFftMode(c.mode);
    p.filter->Taps().Publish(c.point, frame.data(), 2048);
    p.Draw();
    if (c.shown)
      EXPECT_GT(p.last.levels[100], 90) << "a third of 299 after one smoothed frame; mode " << c.mode;
    else
      EXPECT_EQ(p.last.levels[100], 0) << "mode " << c.mode;
    const int level = p.last.levels[100];
    p.Draw();
    EXPECT_EQ(p.last.levels[100], level) << "computed once; mode " << c.mode;
  }
}

// --- response plot -------------------------------------------------------

std::unique_ptr<FilterDefinition> Through() {
  auto f = std::make_unique<FilterDefinition>();
  f->SetUser(1, nullptr, 0);
  return f;
}

TEST(DrawResponse, ThroughAlongTheTopAndZeroWeightsAlongTheBottom) {
  for (bool large : {true, false}) {
    QImage img(large ? 440 : 278, large ? 224 : 125, QImage::Format_RGB32);
    const ResponseLayout l = LayoutFor(img.width(), img.height(), large);
    DrawResponse(*Through(), img, large);
    for (int x = l.left + 1; x < l.right - 1; x += 17) EXPECT_EQ(img.pixel(x, l.top), kBlue) << x;
    auto lms = std::make_unique<FilterDefinition>();
    lms->SetLms(1, 36, 64, 0.015, 0.9993, 0, 0);
    DrawResponse(*lms, img, large);
    for (int x = l.left + 1; x < l.right - 1; x += 17) EXPECT_EQ(img.pixel(x, l.bottom), kBlue) << x;
  }
}

// Regression: coefficients near the double range gave an infinite level
// whose conversion to a row was undefined (UBSan reported it).
TEST(ResponseRows, HugeCoefficientsPlotAtABoundAboveTheFrame) {
  const ResponseAxis axis = AxisFor(1);
  const ResponseLayout l = LayoutFor(440, 224, true);
  for (double big : {1e200, 1e300, std::numeric_limits<double>::max()}) {
    const double h[3] = {big, big, -big};
    std::vector<int> rows(static_cast<std::size_t>(l.right - l.left)), direct(rows.size());
    ResponseRows(h, 2, axis, l, rows.data());
    ResponseRowsDirect(h, 2, axis, l, direct.data());
    for (std::size_t i = 0; i < rows.size(); ++i) {
      EXPECT_LT(rows[i], l.top) << big;
      EXPECT_GE(rows[i], l.bottom - 5 * (l.bottom - l.top)) << big;
      EXPECT_EQ(rows[i], direct[i]) << big;
    }
    auto f = std::make_unique<FilterDefinition>();
    f->SetUser(1, h, 2);
    QImage img(440, 224, QImage::Format_RGB32);
    DrawResponse(*f, img, true);  // under UBSan in CI
  }
}

TEST(DrawResponse, NyquistMarkerAndLabels) {
  struct Case {
    int ratio;
    double nyquistHz;
    std::vector<std::string> labels;
  } cases[] = {{1, 5512.5, {"   0", "2000", "4000", "6000"}},
               {2, 2756.25, {"   0", "1000", "2000", "3000"}},
               {3, 1837.5, {"   0", " 500", "1000", "1500", "2000"}},
               {0, 5512.5, {"   0", "2000", "4000", "6000"}},
               {4, 5512.5, {"   0", "2000", "4000", "6000"}}};
  for (const Case& c : cases) {
    const ResponseAxis axis = AxisFor(c.ratio);
    std::vector<std::string> labels;
    for (int j = 0; j <= axis.labelIntervals; ++j) {
      char text[16];
      FrequencyLabel(axis, j, text, sizeof text);
      labels.push_back(text);
    }
    EXPECT_EQ(labels, c.labels) << "ratio " << c.ratio;
    auto f = std::make_unique<FilterDefinition>();
    double one[1] = {1.0};
    f->SetUser(c.ratio, one, 0);
    QImage img(440, 224, QImage::Format_RGB32);
    DrawResponse(*f, img, true);
    const ResponseLayout l = LayoutFor(440, 224, true);
    const int x = l.left + static_cast<int>(c.nyquistHz * ((l.right - l.left) / axis.xmax));
    EXPECT_GT(CountInColumn(img, x, kRed, l.top + 1, l.bottom - 1), 20) << "ratio " << c.ratio;
  }
  char text[8];
  LevelLabel(1, text, sizeof text);
  EXPECT_STREQ(text, "-20");
  LevelLabel(4, text, sizeof text);
  EXPECT_STREQ(text, "-80");
}

TEST(DrawResponse, GainTwoPlotsAboveTheFrame) {
  auto f = std::make_unique<FilterDefinition>();
  f->SetDesign(1, 100, FilterType::LPF, 11025.0, 1000.0, 3000.0, 60.0);
  f->params.gain = 2.0;
  f->Redesign();
  const ResponseLayout l = LayoutFor(440, 224, true);
  int rows[kMaxResponseColumns];
  ResponseRows(f->h, f->tap, AxisFor(1), l, rows);
  // 6 dB above 0 dB is 0.075 of the height above the top edge.
  EXPECT_EQ(rows[0], l.top - static_cast<int>(std::ceil((l.bottom - l.top) * 6.02 * 0.0125)) + 1);
  EXPECT_LT(rows[10], l.top);
}

// The fast evaluation against the direct formula, random long filters.
TEST(ResponseRows, AgreeWithTheDirectFormula) {
  std::mt19937 rng(11);
  std::normal_distribution<double> d(0.0, 0.05);
  for (bool large : {true, false}) {
    for (int round = 0; round < 6; ++round) {
      std::vector<double> h(513);
      for (double& v : h) v = d(rng);
      const int ratio = 1 + round % 3;
      const ResponseLayout l = LayoutFor(large ? 440 : 278, large ? 224 : 125, large);
      int fast[kMaxResponseColumns], direct[kMaxResponseColumns];
      ResponseRows(h.data(), 512, AxisFor(ratio), l, fast);
      ResponseRowsDirect(h.data(), 512, AxisFor(ratio), l, direct);
      const int columns = l.right - l.left;
      int equal = 0;
      for (int i = 0; i < columns; ++i) {
        ASSERT_LE(std::abs(fast[i] - direct[i]), 1) << "column " << i;
        equal += fast[i] == direct[i];
      }
      EXPECT_GE(equal, 0.99 * columns) << "large " << large << " round " << round;
    }
  }
}

// Pictures of every layout for a person to look at.
TEST(Pictures, WriteExamples) {
  const QString dir = QStringLiteral(TARVIK_PICTURE_DIR);
  QDir().mkpath(dir);
  static FilterDefinition userSlots[kUserSlotCount];
  const int codes[] = {0, 6, 11, 21, 26};
  for (int code : codes) {
    auto f = std::make_unique<FilterDefinition>();
    InstallPreset(*f, code, 700.0, 100, userSlots);
    for (bool large : {true, false}) {
      QImage img(large ? 440 : 278, large ? 224 : 125, QImage::Format_RGB32);
      DrawResponse(*f, img, large);
      ASSERT_TRUE(img.save(
          dir + QString("/response-%1-%2.png").arg(PresetCaption(code)).arg(large ? "dialog" : "main")));
    }
  }
  for (int width = 0; width < 4; ++width) {
    for (bool dialog : {false, true}) {
      Panel p(dialog ? 296 : 362, dialog ? 83 : 120);
      p.filter->SetFftWidth(width);
      p.filter->SetFftMode(1);
      CFilterProbe(*p.filter).LostCount() = width == 1 ? 1 : 0;
      CFilterProbe(*p.filter).Core().overload = width == 2 ? 1 : 0;
      std::mt19937 rng(width);
      std::normal_distribution<double> noise(0.0, 300.0);
      std::vector<double> frame(2048);
      for (int t = 0; t < 2048; ++t)
        frame[t] = noise(rng) + 8000.0 * std::sin(2.0 * M_PI * 700.0 * t / 11025.0);
      p.filter->Taps().Publish(TapPoint::Input, frame.data(), 2048);
      p.Draw();
      ASSERT_TRUE(p.image.save(
          dir +
          QString("/spectrum-%1-%2.png").arg(SpectrumWidthFor(width).label).arg(dialog ? "dialog" : "main")));
    }
  }
}

}  // namespace

namespace {

// The backdrops only save work: a sequence of pictures drawn over them is
// pixel for pixel what drawing each picture afresh gives, and a response
// that did not move is not drawn again, unless something else drew there.
TEST(Backdrops, SamePixelsAsDrawingAfresh) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> level(0, 300);
  QImage fresh(362, 120, QImage::Format_RGB32), kept(362, 120, QImage::Format_RGB32);
  fresh.fill(Qt::green);  // the rightmost column keeps what was there
  kept.fill(Qt::green);
  SpectrumBackdrop backdrop;
  SpectrumSnapshot s;
  for (int step = 0; step < 12; ++step) {
    for (int& v : s.levels) v = level(rng);
    s.trace = step != 3;
    s.width = step < 6 ? 2 : 1;
    s.warning = step == 8 ? "Lost" : step == 9 ? "Over" : nullptr;
    s.foHz = step < 4 ? 700.0 : 1210.0;
    s.notchCount = step >= 10 ? 2 : 0;
    s.notchHz[0] = 900.0;
    s.notchHz[1] = step == 11 ? 1500.0 : 1400.0;
    DrawSpectrum(s, fresh);
    EXPECT_TRUE(DrawSpectrum(s, kept, backdrop)) << "spectrum step " << step;
    ASSERT_EQ(fresh, kept) << "spectrum step " << step;
    // The same spectrum again (no new frame since the last tick) is not
    // redrawn; with the trace off, neither are new levels.
    EXPECT_FALSE(DrawSpectrum(s, kept, backdrop)) << "spectrum step " << step;
    if (!s.trace) {
      s.levels[0] ^= 1;
      EXPECT_FALSE(DrawSpectrum(s, kept, backdrop));
    }
  }
  kept.fill(Qt::green);  // another hand drew there: the next call draws again
  EXPECT_TRUE(DrawSpectrum(s, kept, backdrop));
  EXPECT_EQ(fresh, kept);

  for (bool large : {false, true}) {
    QImage a(large ? 440 : 278, large ? 224 : 125, QImage::Format_RGB32), b(a.size(), a.format());
    ResponseBackdrop last;
    auto lms = std::make_unique<FilterDefinition>();
    lms->SetLms(1, 36, 64, 0.015, 0.9993, 0, 0);
    std::normal_distribution<double> w(0.0, 0.05);
    for (int step = 0; step < 8; ++step) {
      if (step != 2 && step != 5)
        for (int k = 0; k <= 64; ++k) lms->h[k] = w(rng);
      lms->overSmp = step < 6 ? 1 : 2;
      DrawResponse(*lms, a, large);
      const bool drew = DrawResponse(*lms, b, large, last);
      EXPECT_EQ(drew, step != 2 && step != 5) << "step " << step;
      ASSERT_EQ(a, b) << "response step " << step << (large ? " large" : " small");
    }
    b.fill(Qt::red);  // another hand drew there: the next call draws again
    EXPECT_TRUE(DrawResponse(*lms, b, large, last));
    EXPECT_EQ(a, b);
  }
}

}  // namespace

namespace {

// The curves are set pixel by pixel; QPainter's one-pixel lines are the
// reference. Steps of up to 150 rows inside the image match them exactly
// (longer ones round differently in Qt's fixed-point stepping), every kind
// of image goes the same way, and rows far outside leave only pixels inside.
TEST(PlotSteps, SameColumnsAsOnePixelLines) {
  std::mt19937 rng(23);
  for (const QImage::Format format : {QImage::Format_RGB32, QImage::Format_ARGB32, QImage::Format_RGB16})
    for (const bool levelPairs : {false, true})
      for (int round = 0; round < 6; ++round) {
        const int width = 2 + static_cast<int>(rng() % 300), height = 160;
        std::vector<int> ys(static_cast<std::size_t>(width));
        int y = 80;
        for (int& v : ys) {
          v = round % 2 ? std::clamp(y + static_cast<int>(rng() % 301) - 150, 0, height - 1)
                        : std::clamp(y + static_cast<int>(rng() % 7) - 3, 0, height - 1);
          y = v;
        }
        QImage ours(width, height, format), qt(width, height, format);
        ours.fill(Qt::black);
        qt.fill(Qt::black);
        PlotSteps(ours, 0, ys.data(), width, kWhite, levelPairs);
        QPainter p(&qt);
        p.setPen(QPen(Qt::white, 0));
        for (int x = 1; x < width; ++x) {
          if (!levelPairs && ys[x - 1] == ys[x])
            p.drawPoint(x - 1, ys[x]);
          else
            p.drawLine(x - 1, ys[x - 1], x, ys[x]);
        }
        p.end();
        ASSERT_EQ(ours, qt) << "format " << format << " pairs " << levelPairs << " round " << round;
      }
  QImage small(20, 10, QImage::Format_RGB32);
  small.fill(Qt::black);
  const int wild[] = {-1000000, 5, 1000000, 4, -3, 12, 9};
  PlotSteps(small, -2, wild, 7, kWhite, true);  // starts left of the image
  // Column 0 runs from far below up to row 5, column 1 from row 4 up past
  // the top, column 2 from above the top to below the bottom, column 3 only
  // below it, and column 4 holds the end of that step, row 9.
  const int expected[] = {5, 5, 10, 0, 1, 0};
  for (int x = 0; x < 6; ++x) EXPECT_EQ(CountInColumn(small, x, kWhite), expected[x]) << "column " << x;
}

}  // namespace
