// The conversion between a device's own rate and ours, as a device
// callback runs it: time per block, and the delay it adds each way: what
// the converter holds back in steady state (input taken and not yet given
// out), counted in frames through buffers of 8 frames.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "devices/DeviceStream.h"

namespace {

constexpr int kBlock = 512;

struct Side {
  DeviceStream io;
  std::vector<char> data[4];
  WaveHeader headers[4];
  long frames = 0;  // program frames handed back whole
  Side(int rateHz, bool capture, int headerFrames) {
    std::string error;
    io.Setup(WaveFormat{}, rateHz, capture, &Done, this, error);
    for (int i = 0; i < 4; ++i) {
      data[i].assign(2 * static_cast<std::size_t>(headerFrames), 0);
      headers[i].data = data[i].data();
      headers[i].bufferLength = 2 * headerFrames;
      headers[i].flags = kWhdrPrepared;
      io.Push(&headers[i]);
    }
  }
  static void Done(WaveDevice*, unsigned, void* self, std::uintptr_t p, std::uintptr_t) {
    auto* side = static_cast<Side*>(self);
    auto* h = reinterpret_cast<WaveHeader*>(p);
    side->frames += h->bufferLength / 2;
    side->io.Push(h);
  }
};

// Device -> program: a second of device frames in, what came out short.
double CaptureDelayMs(int rateHz) {
  Side side(rateHz, true, 8);
  std::vector<std::int16_t> in(48, 1000);
  long fed = 0;
  while (fed < rateHz) {
    side.io.Capture(reinterpret_cast<const char*>(in.data()), 48);
    fed += 48;
  }
  return fed * 1000.0 / rateHz - side.frames * 1000.0 / 11025.0;
}

// Program -> device: a second of device frames out, what was taken ahead.
double PlaybackDelayMs(int rateHz) {
  Side side(rateHz, false, 8);
  std::vector<std::int16_t> out(48);
  long made = 0;
  while (made < rateHz) {
    side.io.Play(reinterpret_cast<char*>(out.data()), 48);
    made += 48;
  }
  return side.frames * 1000.0 / 11025.0 - made * 1000.0 / rateHz;
}

// One block of ours each way, with the device at rateHz.
void BM_DeviceConversion(benchmark::State& state) {
  const int rateHz = static_cast<int>(state.range(0));
  Side capture(rateHz, true, kBlock), playback(rateHz, false, kBlock);
  const int deviceFrames = static_cast<int>(std::lround(kBlock * static_cast<double>(rateHz) / 11025.0));
  std::vector<std::int16_t> device(static_cast<std::size_t>(deviceFrames));
  for (int i = 0; i < deviceFrames; ++i)
    device[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(8000 * std::sin(0.05 * i));
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    capture.io.Capture(reinterpret_cast<const char*>(device.data()), deviceFrames);
    playback.io.Play(reinterpret_cast<char*>(device.data()), deviceFrames);
    benchmark::DoNotOptimize(device.data());
  }
  const double blockMs = kBlock * 1000.0 / 11025.0;
  state.counters["capture_delay_ms"] = CaptureDelayMs(rateHz);
  state.counters["playback_delay_ms"] = PlaybackDelayMs(rateHz);
  // Share of one core spent converting in real time: time per block over the block's duration.
  const double msPerBlock =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() /
      static_cast<double>(state.iterations());
  state.counters["core_percent"] = 100.0 * msPerBlock / blockMs;
  state.SetLabel("block 512 each way");
}
BENCHMARK(BM_DeviceConversion)->Arg(44100)->Arg(48000)->Arg(96000);

}  // namespace
