// Speed of the live filter chain. Items are input samples: the live path
// needs kSampleRateHz per second, the target is 1000 times that on one core.

#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

#include "signal/DotKernel.h"
#include "signal/FilterCore.h"
#include "signal/Presets.h"
#include "signal/SampleRate.h"
#include "signal/Stages.h"
#include "support/LiteralFilter.h"
#include "support/TestUtil.h"

namespace {

constexpr int kBlock = 512;

enum Mode { kProduction = 0, kPortable = 1, kLiteral = 2 };

std::vector<double> Input() {
  std::mt19937 rng(1);
  std::uniform_real_distribution<double> d(-20000.0, 20000.0);
  std::vector<double> x(kBlock * 64);
  for (double& v : x) v = d(rng);
  return x;
}

// args: preset code, preset tap, HPF on, mode
void BM_ProcessBlock(benchmark::State& state) {
  const int code = static_cast<int>(state.range(0));
  const int tap = static_cast<int>(state.range(1));
  const bool hpf = state.range(2) != 0;
  const Mode mode = static_cast<Mode>(state.range(3));
  static FilterDefinition slots[kUserSlotCount];
  auto def = std::make_unique<FilterDefinition>();
  InstallPreset(*def, code, 700.0, tap, slots);
  auto f = std::make_unique<CFilterCore>();
  f->Apply(*def);
  f->dcCut = hpf ? 1 : 0;
  ForcePortableKernel(mode == kPortable);
  auto literal = std::make_unique<LiteralFilter>(*f);
  const std::vector<double> input = Input();
  std::vector<double> buf(kBlock);
  std::size_t at = 0;
  for (auto _ : state) {
    std::copy(input.begin() + at, input.begin() + at + kBlock, buf.begin());
    at = (at + kBlock) % input.size();
    if (mode == kLiteral) {
      for (double& v : buf) v = literal->ProcessSample(v);
    } else {
      f->ProcessBlock(buf.data(), kBlock);
    }
    benchmark::DoNotOptimize(buf.data());
  }
  ForcePortableKernel(false);
  state.SetItemsProcessed(state.iterations() * kBlock);
  std::string label = PresetCaption(code);
  if (hpf) label += "+HPF";
  label += " tap ";
  label += std::to_string(def->tap);
  label += ' ';
  label += mode == kLiteral ? "literal" : mode == kPortable ? "portable" : DotKernelName();
  state.SetLabel(label);
  // Multiply-adds of the filter stage alone, per nanosecond.
  const double stageMacs = (def->tap + 1.0) / (def->overSmp >= 1 && def->overSmp <= 3 ? def->overSmp : 1);
  state.counters["stage_MAC_per_ns"] =
      benchmark::Counter(stageMacs * state.iterations() * kBlock * 1e-9, benchmark::Counter::kIsRate);
}

void PresetArgs(benchmark::internal::Benchmark* b) {
  for (int mode : {kProduction, kPortable, kLiteral}) {
    b->Args({0, 100, 0, mode});   // TH
    b->Args({6, 100, 0, mode});   // NS16
    b->Args({12, 512, 0, mode});  // BP70 at 512 taps
    b->Args({27, 100, 0, mode});  // 2.7K at 100 taps
    b->Args({27, 512, 0, mode});  // 2.7K at 512 taps: the 513-tap FIR stage
    b->Args({23, 100, 0, mode});  // LMSBP
    b->Args({24, 100, 0, mode});  // LMSB2
    b->Args({25, 100, 0, mode});  // LMSNS
    b->Args({26, 100, 0, mode});  // LMSAN
    b->Args({7, 100, 0, mode});   // BP500
    b->Args({7, 100, 1, mode});   // BP500 with the HPF
  }
}
BENCHMARK(BM_ProcessBlock)->Apply(PresetArgs);

// The 513-term dot product over a delay line on its own.
void BM_DotProduct513(benchmark::State& state) {
  ForcePortableKernel(state.range(0) != 0);
  std::vector<double> a(1026, 0.5), b(513, 0.25);
  int off = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(DotProduct(a.data() + off, b.data(), 513));
    off = (off + 1) & 255;
  }
  state.SetLabel(DotKernelName());
  ForcePortableKernel(false);
  state.counters["MAC_per_ns"] =
      benchmark::Counter(513.0 * state.iterations() * 1e-9, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DotProduct513)->Arg(0)->Arg(1);

void BM_DesignFir512(benchmark::State& state) {
  std::vector<double> h(kCoefCount);
  for (auto _ : state) {
    DesignFir(h.data(), 512, FilterType::BPF, 3675.0, 665.0, 735.0, 60.0, 1.0);
    benchmark::DoNotOptimize(h.data());
  }
}
BENCHMARK(BM_DesignFir512);

}  // namespace

namespace {
// Label, kernel choice back to automatic, and the 513-tap rate.
void FinishFir513(benchmark::State& state) {
  state.SetLabel(DotKernelName());
  ForcePortableKernel(false);
  state.SetItemsProcessed(state.iterations() * kBlock);
  state.counters["MAC_per_ns"] =
      benchmark::Counter(513.0 * kBlock * state.iterations() * 1e-9, benchmark::Counter::kIsRate);
}

// The FIR stage alone one sample at a time (FirSample at 513 taps): the
// reference the block path matches bit for bit, one chain of additions long.
void BM_FirStage513(benchmark::State& state) {
  ForcePortableKernel(state.range(0) != 0);
  auto f = std::make_unique<CFilterCore>();
  testutil::SetDesign(*f, 1, 512, FilterType::BPF, kSampleRate, 200.0, 2700.0, 60.0);
  const std::vector<double> input = Input();
  std::size_t at = 0;
  double sink = 0.0;
  for (auto _ : state) {
    for (int i = 0; i < kBlock; ++i) sink += f->FirSample(input[at + i]);
    at = (at + kBlock) % input.size();
  }
  benchmark::DoNotOptimize(sink);
  FinishFir513(state);
}
BENCHMARK(BM_FirStage513)->Arg(0)->Arg(1);

// The FIR stage as the chain runs it: a block of 512 through 513 taps, eight
// outputs per pass over the coefficients (four with the portable kernel).
// Arg: 0 the chosen kernel, 1 the portable one.
void BM_FirBlock513(benchmark::State& state) {
  ForcePortableKernel(state.range(0) != 0);
  auto d = std::make_unique<FilterDefinition>();
  d->SetDesign(1, 512, FilterType::BPF, kSampleRate, 200.0, 2700.0, 60.0);
  auto stage = std::make_unique<FilterStage>();
  stage->Setup(*d);
  const std::vector<double> input = Input();
  std::vector<double> buf(kBlock);
  std::size_t at = 0;
  for (auto _ : state) {
    std::copy(input.begin() + at, input.begin() + at + kBlock, buf.begin());
    at = (at + kBlock) % input.size();
    stage->Process(buf.data(), kBlock);
    benchmark::DoNotOptimize(buf.data());
  }
  FinishFir513(state);
}
BENCHMARK(BM_FirBlock513)->Arg(0)->Arg(1);
}  // namespace

BENCHMARK_MAIN();
