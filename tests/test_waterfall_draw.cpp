// The waterfall's pictures: the colour map's lightness, a tone's column,
// and Fo, the notches and the passband drawn at their columns at every
// zoom; the labels beside traces.

#include <gtest/gtest.h>

#include <QImage>
#include <algorithm>
#include <cmath>
#include <complex>
#include <memory>
#include <random>
#include <vector>

#include "draw/WaterfallView.h"
#include "signal/FilterDefinition.h"
#include "signal/Presets.h"

namespace {

// CIE L* of an 8-bit sRGB colour (D65).
double Lightness(QRgb c) {
  auto linear = [](int v) {
    const double s = v / 255.0;
    return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
  };
  const double y = 0.2126729 * linear(qRed(c)) + 0.7151522 * linear(qGreen(c)) + 0.0721750 * linear(qBlue(c));
  return y > 216.0 / 24389 ? 116 * std::cbrt(y) - 16 : y * 24389.0 / 27;
}

TEST(WaterfallDraw, ColourMapRisesInLightnessFromDarkBlueToWhite) {
  const QRgb* map = WaterfallColourMap();
  for (int i = 1; i < 256; ++i) EXPECT_GT(Lightness(map[i]), Lightness(map[i - 1])) << i;
  EXPECT_LT(Lightness(map[0]), 12.0);
  EXPECT_GT(qBlue(map[0]), qRed(map[0]) + 20) << "dark blue at the bottom";
  EXPECT_GT(qBlue(map[60]), qGreen(map[60]));
  EXPECT_GT(std::min(qRed(map[225]), qGreen(map[225])), qBlue(map[225]) + 60) << "yellow near the top";
  EXPECT_GT(Lightness(map[255]), 98.0);
  // The floor dark, 10 dB over it bright, at every contrast but the low.
  for (int contrast = 0; contrast < 3; ++contrast) {
    EXPECT_LT(WaterfallColourIndex(0.0f, contrast), 40);
    EXPECT_GT(WaterfallColourIndex(10.0f, contrast), contrast == 0 ? 120 : 190);
    EXPECT_EQ(WaterfallColourIndex(-50.0f, contrast), 0);
    EXPECT_EQ(WaterfallColourIndex(80.0f, contrast), 255);
  }
}

// |H| by the direct sum, for the passband's columns.
double Gain(const FilterDefinition& f, double hz) {
  const double fs = 11025.0 / f.overSmp;
  if (hz >= fs / 2) return 0.0;
  std::complex<double> s = 0.0;
  for (int k = 0; k <= f.tap; ++k) s += f.h[k] * std::polar(1.0, -6.283185307179586 * hz * k / fs);
  return std::abs(s);
}

// BP500 around Fo and two notches, a tone at 760 Hz: every zoom puts the
// tone's brightest pixel, Fo's and the notches' dotted lines and the shaded
// passband at the columns the mapping gives.
TEST(WaterfallDraw, ToneMarksAndPassbandAtTheirColumns) {
  FilterDefinition userSlots[kUserSlotCount];
  auto filter = std::make_unique<FilterDefinition>();
  const double fo = 700.0;
  InstallPreset(*filter, 7, fo, 100, userSlots);  // BP500
  double peak = 0.0;
  for (int k = 0; k <= 2000; ++k) peak = std::max(peak, Gain(*filter, k * 5512.5 / 2000));

  auto model = std::make_unique<WaterfallModel>();
  std::vector<double> x(3 * 11025);
  std::mt19937 rng(11);
  std::normal_distribution<double> noise(0.0, 30.0);
  for (std::size_t i = 0; i < x.size(); ++i)
    x[i] = 25 * std::sin(6.283185307179586 * 760 * i / 11025.0) + noise(rng);
  model->Feed(x.data(), static_cast<int>(x.size()));
  const double notches[2] = {560.0, 1200.0};

  for (const int zoom : {0, 3000, 1000, 500, 200}) {
    for (const int width : {632, 951}) {
      WaterfallPicture picture;
      picture.Resize(width, 176);
      const WaterfallSpan span = WaterfallSpanFor(zoom, fo);
      picture.SetSpan(span);
      picture.SetMarks(fo, notches, 2, filter.get());
      ASSERT_TRUE(picture.Update(*model));
      const QImage& rows = picture.Rows();
      const int foX = WaterfallColumnOf(fo, width, span);
      // Newest row at Top(); the rows holding a dot of the markers.
      const int newest = picture.Top();
      const int dotted = ((model->Lines() - 1) & 3) ? (newest + 2) % rows.height() : newest;
      EXPECT_EQ(rows.pixel(foX, dotted), picture.FoColour()) << zoom;
      EXPECT_EQ(picture.Scale().pixel(foX, 2), picture.FoColour());
      for (const double n : notches) {
        if (const int nx = WaterfallColumnOf(n, width, span); nx >= 0) {
          EXPECT_EQ(rows.pixel(nx, dotted), picture.NotchColour()) << zoom << " notch " << n;
        }
      }
      // The tone's brightest pixels in a row without dots: a run (the map
      // saturates) centred on its column.
      const int plain = (dotted + 2) % rows.height();
      const int toneX = WaterfallColumnOf(760.0, width, span);
      double top = 0.0;
      for (int c = 0; c < width; ++c)
        if (c != foX) top = std::max(top, Lightness(rows.pixel(c, plain)));
      int first = toneX, last = toneX;
      while (first > 0 && (first - 1 == foX || Lightness(rows.pixel(first - 1, plain)) == top)) --first;
      while (last < width - 1 && (last + 1 == foX || Lightness(rows.pixel(last + 1, plain)) == top)) ++last;
      EXPECT_EQ(Lightness(rows.pixel(toneX, plain)), top) << zoom;
      const double columnHz = (span.hiHz - span.loHz) / width;
      EXPECT_NEAR((WaterfallColumnHz(first, width, span) + WaterfallColumnHz(last, width, span)) / 2, 760.0,
                  std::max(3.0, columnHz / 2))
          << zoom << " " << first << ".." << last;
      int shaded = 0;
      for (int c = 0; c < width; ++c) {
        const double g = Gain(*filter, WaterfallColumnHz(c, width, span));
        // Columns within a whisker of -6 dB may fall either way.
        if (std::abs(20 * std::log10(g / peak + 1e-30) + 6.0206) < 0.05) continue;
        EXPECT_EQ(picture.InPassband(c), g >= peak / 2) << zoom << " column " << c;
        shaded += picture.InPassband(c);
      }
      // About 500 Hz wide (the band-pass's -6 dB edges).
      const double shadedHz = shaded * (span.hiHz - span.loHz) / width;
      if (zoom == 0 || zoom >= 1000) {
        EXPECT_NEAR(shadedHz, 500.0, 60.0) << zoom;
      }
    }
  }
}

TEST(WaterfallDraw, LabelsBesideTheirTracesOnlyWhenThereAreAny) {
  WaterfallPicture picture;
  picture.Resize(632, 160);
  EXPECT_FALSE(picture.HasLabels());
  const WaterfallSpan span = WaterfallSpanFor(0, 700);
  picture.SetLabels({{1000.0, "JA1ABC"}, {2500.0, "DL2XYZ"}});
  ASSERT_TRUE(picture.HasLabels());
  const QImage& labels = picture.Labels();
  for (const double hz : {1000.0, 2500.0}) {
    const int x = WaterfallColumnOf(hz, 632, span);
    auto inked = [&](int from, int to) {
      int n = 0;
      for (int c = std::max(0, from); c < std::min(632, to); ++c)
        for (int y = 0; y < labels.height(); ++y) n += qAlpha(labels.pixel(c, y)) > 0;
      return n;
    };
    EXPECT_GT(inked(x + 3, x + 40), 30) << "text on the right of the trace at " << hz;
    EXPECT_EQ(inked(x - 20, x + 2), 0) << "the trace itself stays clear";
  }
  picture.SetLabels({});
  EXPECT_FALSE(picture.HasLabels());
}

}  // namespace
