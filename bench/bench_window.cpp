// The main window's share of a core: the real window (offscreen platform)
// on the simulated card running at the sound's own pace (a block of 512
// frames every 46 ms) for ten seconds, the spectrum on OUT, with and
// without the waterfall at 10 lines a second. The whole process is
// counted (the window's thread, the engine's, the card's clock), and the
// window's thread alone.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>

#include <QApplication>
#include <QButtonGroup>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <cmath>
#include <memory>
#include <random>

#include "app/MainWindow.h"
#include "app/WaterfallPane.h"
#include "support/SimWaveDriver.h"

namespace {

double ProcessSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

std::int16_t Signal(long long n) {
  static std::mt19937 rng(4);
  static std::normal_distribution<double> noise(0.0, 300.0);
  return static_cast<std::int16_t>(noise(rng) + 900 * std::sin(6.283185307179586 * 700 * n / 11025.0));
}

// The event loop as the program runs it, for ms.
void Serve(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

void BM_WindowCoreShare(benchmark::State& state) {
  const bool waterfall = state.range(0) != 0;
  double process = 0, thread = 0, seconds = 0, lines = 0;
  for (auto _ : state) {
    QTemporaryDir dir;
    SimWaveDriver sim;
    sim.SetCaptureSource(Signal);
    const std::string place = QDir(dir.path()).absolutePath().toStdString() + "/";
    auto w = std::make_unique<TMainWnd>(sim, place + "Tarvik.ini", place, TMainWnd::Language::English);
    w->show();
    w->FormPaint();
    sim.StartClock(46);
    w->ApplySelect(11);  // BP100
    w->session->SetFftMode(2);
    w->session->SetWaterfall(waterfall);
    w->session->SetWfSpeed(10);
    Serve(2000);  // settled
    const long long l0 = w->waterfall->Feed().Model().Lines();
    const double p0 = ProcessSeconds(), t0 = ThreadSeconds();
    QElapsedTimer clock;
    clock.start();
    Serve(10000);
    seconds = clock.elapsed() / 1000.0;
    process = ProcessSeconds() - p0;
    thread = ThreadSeconds() - t0;
    lines = static_cast<double>(w->waterfall->Feed().Model().Lines() - l0);
    sim.StartClock(2);
    w->close();
    w.reset();
    sim.StopClock();
  }
  state.counters["process_core_pct"] = 100 * process / seconds;
  state.counters["window_thread_pct"] = 100 * thread / seconds;
  state.counters["waterfall_lines_per_s"] = lines / seconds;
  state.SetLabel(waterfall ? "spectrum OUT, waterfall on" : "spectrum OUT, waterfall off");
}
BENCHMARK(BM_WindowCoreShare)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
