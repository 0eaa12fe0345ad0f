// Speed of the drawing: the design dialog redraws the response plot every
// 100 ms for a live LMS filter (up to 392 columns by 513 coefficients), and
// its spectrum panel with it.

#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <QImage>
#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "audio/CFilter.h"
#include "design/ResponseCurve.h"
#include "draw/ResponsePlot.h"
#include "draw/SpectrumView.h"
#include "signal/FilterCore.h"
#include "support/CFilterProbe.h"
#include "support/SimWaveDriver.h"

namespace {

std::vector<double> RandomTaps() {
  std::mt19937 rng(5);
  std::normal_distribution<double> d(0.0, 0.05);
  std::vector<double> h(513);
  for (double& v : h) v = d(rng);
  return h;
}

void BM_ResponseRows513(benchmark::State& state) {
  const std::vector<double> h = RandomTaps();
  const ResponseLayout l = LayoutFor(440, 224, true);
  int rows[kMaxResponseColumns];
  for (auto _ : state) {
    if (state.range(0))
      ResponseRowsDirect(h.data(), 512, AxisFor(1), l, rows);
    else
      ResponseRows(h.data(), 512, AxisFor(1), l, rows);
    benchmark::DoNotOptimize(rows);
  }
  state.SetLabel(state.range(0) ? "direct cos/sin" : "Horner");
}
BENCHMARK(BM_ResponseRows513)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_DrawResponseLarge513(benchmark::State& state) {
  const std::vector<double> h = RandomTaps();
  auto f = std::make_unique<FilterDefinition>();
  f->SetUser(1, h.data(), 512);
  QImage image(440, 224, QImage::Format_RGB32);
  for (auto _ : state) {
    DrawResponse(*f, image, true);
    benchmark::DoNotOptimize(image.constBits());
  }
}
BENCHMARK(BM_DrawResponseLarge513)->Unit(benchmark::kMicrosecond);

// A live LMS filter on the simulated card, fed noise by hand.
struct LiveLms {
  explicit LiveLms(int delay, int tap, double gm, int inv) {
    auto d = std::make_unique<FilterDefinition>();
    d->SetLms(1, delay, tap, 0.015, gm, inv, 0);
    thread->SetDefinition(*d);
  }
  // n samples of noise, fixed seed.
  std::vector<double> Noise(std::size_t n) {
    std::vector<double> x(n);
    for (double& v : x) v = noise(rng);
    return x;
  }
  // Filters them: the weights move as they do on noise.
  void Feed(std::vector<double> x) { probe.Core().ProcessBlock(x.data(), static_cast<int>(x.size())); }

  SimWaveDriver sim;
  std::unique_ptr<CFilter> thread = std::make_unique<CFilter>(sim, nullptr);
  CFilterProbe probe{*thread};
  std::mt19937 rng{7};
  std::normal_distribution<double> noise{0.0, 3000.0};
};

// One tick of the design dialog's timer with a live 512-tap LMS filter and
// TH up: the weights copied out of the live filter, the large response plot
// and the small spectrum panel with a new frame to compute (every 100 ms).
void BM_DesignDialogTick(benchmark::State& state) {
  LiveLms live(36, 512, 0.9993, 0);
  CFilter* thread = live.thread.get();
  const std::vector<double> block = live.Noise(8192);
  live.Feed(block);  // weights away from zero
  auto work = std::make_unique<FilterDefinition>(thread->Definition());
  thread->SetFftMode(1);
  QImage plot(440, 224, QImage::Format_RGB32);
  QImage spectrum(296, 83, QImage::Format_RGB32);
  for (auto _ : state) {
    thread->CopyCoefsTo(*work);
    DrawResponse(*work, plot, true);
    thread->Taps().Publish(TapPoint::Input, block.data(), 2048);
    DrawSpectrum(thread->TakeSpectrum(), spectrum);
    benchmark::DoNotOptimize(plot.constBits());
    benchmark::DoNotOptimize(spectrum.constBits());
  }
}
BENCHMARK(BM_DesignDialogTick)->Unit(benchmark::kMicrosecond);

// One tick of the main window's timer playing LMSAN with the OUT spectrum:
// the live weights copied out, the small response plot and the spectrum
// panel drawn over their backdrops, a new spectrum frame every other tick
// (a 2048-sample frame comes every 186 ms). The weights move between ticks
// as they do on noise; the snapshots are taken beforehand so that the
// filtering itself is not timed.
void BM_MainWindowTick(benchmark::State& state) {
  LiveLms lms(64, 96, 0.9999, 1);
  CFilter* thread = lms.thread.get();
  constexpr int kSnapshots = 16;
  std::vector<std::unique_ptr<FilterDefinition>> live;
  for (int i = 0; i < kSnapshots; ++i) {
    lms.Feed(lms.Noise(1024));
    live.push_back(std::make_unique<FilterDefinition>(thread->Definition()));
  }
  std::vector<double> frame = lms.Noise(2048);
  thread->SetFftMode(2);
  thread->SetFftWidth(2);
  QImage plot(278, 125, QImage::Format_RGB32);
  QImage spectrum(362, 120, QImage::Format_RGB32);
  auto plotBackdrop = std::make_unique<ResponseBackdrop>();
  auto spectrumBackdrop = std::make_unique<SpectrumBackdrop>();
  long tick = 0;
  for (auto _ : state) {
    DrawResponse(*live[tick % kSnapshots], plot, false, *plotBackdrop);
    if (tick % 2 == 0) {
      thread->Taps().Publish(TapPoint::Output, frame.data(), 2048);
      std::rotate(frame.begin(), frame.begin() + 300, frame.end());
    }
    DrawSpectrum(thread->TakeSpectrum(), spectrum, *spectrumBackdrop);
    benchmark::DoNotOptimize(plot.constBits());
    benchmark::DoNotOptimize(spectrum.constBits());
    ++tick;
  }
}
BENCHMARK(BM_MainWindowTick)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
