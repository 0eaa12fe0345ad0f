// Speed of the waterfall: the analysis of one line (its FFT frames, the
// floor), the drawing of one line into the rows, every row again (a zoom or
// Fo change), and what the pane's paint handler copies. Linked into
// tarvik_bench_draw, whose main starts the GUI application.

#include <benchmark/benchmark.h>

#include <QImage>
#include <QPainter>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "draw/WaterfallView.h"
#include "signal/FilterDefinition.h"
#include "signal/Presets.h"

namespace {

// Noise and a few tones, a second and a half at a time.
struct Sound {
  Sound() : x(11025 * 30) {
    std::mt19937 rng(9);
    std::normal_distribution<double> noise(0.0, 300.0);
    for (std::size_t i = 0; i < x.size(); ++i)
      x[i] = noise(rng) + 800 * std::sin(6.283185307179586 * 700 * i / 11025.0) +
             300 * std::sin(6.283185307179586 * 1430 * i / 11025.0);
  }
  // The samples of one line at `speed` lines a second, in turn.
  const double* Next(int count) {
    if (at + count > x.size()) at = 0;
    const double* p = x.data() + at;
    at += static_cast<std::size_t>(count);
    return p;
  }
  std::vector<double> x;
  std::size_t at = 0;
};

struct Pane {
  explicit Pane(int width, int zoom) {
    picture.Resize(width, 176);
    picture.SetSpan(WaterfallSpanFor(zoom, 700.0));
    FilterDefinition userSlots[kUserSlotCount];
    auto filter = std::make_unique<FilterDefinition>();
    InstallPreset(*filter, 7, 700.0, 100, userSlots);  // BP500: the passband shaded
    const double notch = 1200.0;
    picture.SetMarks(700.0, &notch, 1, filter.get());
    model->Feed(sound.Next(11025 * 3), 11025 * 3);
    picture.Update(*model);
  }
  Sound sound;
  std::unique_ptr<WaterfallModel> model = std::make_unique<WaterfallModel>();
  WaterfallPicture picture;
};

// One line drawn into the rows (the line's analysis is left out of the timing).
void BM_WaterfallDrawLine(benchmark::State& state) {
  Pane pane(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  const int perLine = 11025 / 10 + 1;
  for (auto _ : state) {
    state.PauseTiming();
    while (pane.model->Feed(pane.sound.Next(perLine), perLine) == 0) {
    }
    state.ResumeTiming();
    benchmark::DoNotOptimize(pane.picture.Update(*pane.model));
  }
  state.SetLabel("width " + std::to_string(state.range(0)) + ", zoom " + std::to_string(state.range(1)) +
                 " Hz");
}
BENCHMARK(BM_WaterfallDrawLine)
    ->Args({632, 0})
    ->Args({632, 200})
    ->Args({1920, 0})
    ->Unit(benchmark::kMicrosecond);

// The analysis of one line at 10 lines a second: three frames of 2048
// points, the levels, the floor.
void BM_WaterfallAnalyseLine(benchmark::State& state) {
  Pane pane(632, 0);
  const int perLine = 1102;
  for (auto _ : state) benchmark::DoNotOptimize(pane.model->Feed(pane.sound.Next(perLine), perLine));
}
BENCHMARK(BM_WaterfallAnalyseLine)->Unit(benchmark::kMicrosecond);

// Every row again: a change of zoom, Fo, the passband or the contrast.
void BM_WaterfallRedrawRows(benchmark::State& state) {
  Pane pane(632, 0);
  for (auto _ : state) {
    pane.picture.SetContrast(1);
    benchmark::DoNotOptimize(pane.picture.Update(*pane.model));
  }
}
BENCHMARK(BM_WaterfallRedrawRows)->Unit(benchmark::kMicrosecond);

// What the pane's paint handler does: the scale and the ring of rows in two
// pieces, into an image the pane's size (the backing store's part).
void BM_WaterfallPaintCopy(benchmark::State& state) {
  Pane pane(632, 0);
  QImage target(632, 176, QImage::Format_RGB32);
  for (auto _ : state) {
    QPainter p(&target);
    const QImage& rows = pane.picture.Rows();
    const int top = pane.picture.Top(), h = rows.height(), y0 = WaterfallPicture::kScaleHeight;
    p.drawImage(0, 0, pane.picture.Scale());
    p.drawImage(QPoint(0, y0), rows, QRect(0, top, rows.width(), h - top));
    if (top > 0) p.drawImage(QPoint(0, y0 + h - top), rows, QRect(0, 0, rows.width(), top));
    p.end();
    benchmark::DoNotOptimize(target.constBits());
  }
}
BENCHMARK(BM_WaterfallPaintCopy)->Unit(benchmark::kMicrosecond);

}  // namespace
