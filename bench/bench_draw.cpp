// Speed of the response plot: the dialog redraws it every 100 ms for a live
// LMS filter, up to 392 columns by 513 coefficients.

#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <QImage>
#include <memory>
#include <random>
#include <vector>

#include "design/ResponseCurve.h"
#include "design/ResponsePlot.h"
#include "signal/FilterCore.h"

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
  auto f = std::make_unique<CFilterCore>();
  f->SetUser(1, h.data(), 512);
  QImage image(440, 224, QImage::Format_RGB32);
  for (auto _ : state) {
    DrawResponse(*f, image, true);
    benchmark::DoNotOptimize(image.constBits());
  }
}
BENCHMARK(BM_DrawResponseLarge513)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
