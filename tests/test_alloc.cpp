// The live loop allocates nothing in steady state. Its own program, since
// it replaces the global operator new.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "audio/CFilter.h"
#include "audio/Tap.h"
#include "decode/CwDecoder.h"
#include "decode/CwSkimmer.h"
#include "devices/DeviceStream.h"
#include "signal/Presets.h"
#include "support/CFilterProbe.h"
#include "support/EngineTestUtil.h"
#include "support/MorseSignal.h"
#include "support/SimWaveDriver.h"
#include "support/TestUtil.h"

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// The sanitizers bring their own operator new.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define TARVIK_COUNT_ALLOCATIONS 1
#endif

namespace {
std::atomic<bool> gCountAllocations{false};
std::atomic<long> gAllocations{0};
}  // namespace

#ifdef TARVIK_COUNT_ALLOCATIONS
void* operator new(std::size_t n) {
  if (gCountAllocations.load(std::memory_order_relaxed)) gAllocations.fetch_add(1);
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, std::align_val_t a) {
  if (gCountAllocations.load(std::memory_order_relaxed)) gAllocations.fetch_add(1);
  const std::size_t align = static_cast<std::size_t>(a);
  void* p = std::aligned_alloc(align, (n + align - 1) / align * align);
  if (!p) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t n, std::align_val_t a) { return operator new(n, a); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
#endif

namespace {

using testutil::WaitFor;

std::int16_t Tone(long long n) {
  return static_cast<std::int16_t>(8000.0 *
                                   std::sin(testutil::kTwoPi * 700.0 * static_cast<double>(n) / 11025.0));
}

TEST(CFilter, SteadyStateAllocatesNothing) {
#ifndef TARVIK_COUNT_ALLOCATIONS
  GTEST_SKIP() << "allocations are counted in the plain build";
#endif
  SimWaveDriver sim;
  TapConsumer undrained(4096, 4096);  // outlives the engine
  auto filter = std::make_unique<CFilter>(sim, nullptr);
  struct {
    SimWaveDriver& sim;
    std::unique_ptr<CFilter>& filter;
  } e{sim, filter};
  e.sim.SetCaptureSource(Tone);
  e.sim.RecordPlayback(1);
  testutil::InstallLive(*e.filter, 24, 700.0, 100);  // LMSB2
  e.filter->SetDcCut(true);
  e.filter->SetFftMode(1);  // the spectrum's input ring fills, then drops
  for (TapPoint p : {TapPoint::Input, TapPoint::Output}) undrained.Ring(p)->Enable(true);
  ASSERT_TRUE(e.filter->Taps().Add(undrained));
  e.filter->SetBufferSize(128);
  e.filter->Resume();
  ASSERT_TRUE(WaitFor([&] { return e.filter->Running(); }, 2000));
  e.sim.StartClock(12);  // about a real card's pace for 128 frames
  ASSERT_TRUE(WaitFor([&] { return e.filter->Passes() > 20; }, 5000));
  // A block the simulated card loses beside other tests reopens the devices,
  // which allocates and is not the steady state: such a window is measured again.
  long allocations = -1;
  for (int attempt = 0; attempt < 5 && allocations < 0; ++attempt) {
    const int lostBefore = e.filter->LostCount();
    gAllocations = 0;
    gCountAllocations = true;
    const long start = e.filter->Passes();
    while (e.filter->Passes() < start + 100) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    gCountAllocations = false;
    if (e.filter->LostCount() == lostBefore) allocations = gAllocations.load();
  }
  EXPECT_EQ(allocations, 0) << "-1: every window lost a block";
  EXPECT_GT(undrained.Ring(TapPoint::Output)->Dropped(), 0);
  e.filter->Stop();
  e.filter->Taps().Remove(undrained);
  e.sim.StopClock();
}

// What a real device's callback runs, converting at 48 kHz both ways.
TEST(DeviceStream, ConvertingCallbacksAllocateNothing) {
#ifndef TARVIK_COUNT_ALLOCATIONS
  GTEST_SKIP() << "allocations are counted in the plain build";
#endif
  struct Side {
    DeviceStream io;
    std::vector<char> data[4];
    WaveHeader headers[4];
    static void Done(WaveDevice*, unsigned, void* self, std::uintptr_t h, std::uintptr_t) {
      static_cast<Side*>(self)->io.Push(reinterpret_cast<WaveHeader*>(h));
    }
  } capture, playback;
  for (Side* side : {&capture, &playback}) {
    std::string error;
    ASSERT_TRUE(side->io.Setup(WaveFormat{}, 48000, side == &capture, &Side::Done, side, error)) << error;
    for (int i = 0; i < 4; ++i) {
      side->data[i].assign(1024, 1);
      side->headers[i].data = side->data[i].data();
      side->headers[i].bufferLength = 1024;
      side->headers[i].flags = kWhdrPrepared;
      side->io.Push(&side->headers[i]);
    }
  }
  std::vector<std::int16_t> device(4800, 1000);
  gAllocations = 0;
  gCountAllocations = true;
  for (int k = 0; k < 50; ++k) {
    capture.io.Capture(reinterpret_cast<const char*>(device.data()), 480 + 37 * (k % 7));
    playback.io.Play(reinterpret_cast<char*>(device.data()), 480 + 53 * (k % 5));
  }
  gCountAllocations = false;
  EXPECT_EQ(gAllocations.load(), 0);
}


// The decoders allocate nothing per block: copying, tracking and skimming
// keyed Morse in blocks of the live path's sizes.
TEST(CwDecoder, ProcessAllocatesNothing) {
  MorseKeying k;
  std::vector<double> x;
  AddKeyedTone(x, MorseEnvelope({{"CQ CQ DE W1AW W1AW K", 25}}, k), 700, 3000);
  AddKeyedTone(x, MorseEnvelope({{"TEST DE G4XYZ 5NN", 18}}, k), 950, 3000);
  AddNoise(x, 3000, 10, 7);
  auto tracker = std::make_unique<CwTracker>();
  auto skimmer = std::make_unique<CwSkimmer>();
  tracker->SetFo(720);
  tracker->SetTrack(true);
  CwSymbol s;
  int printed = 0;
  gAllocations = 0;
  gCountAllocations = true;
  for (std::size_t at = 0; at < x.size();) {
    const int n = static_cast<int>(std::min<std::size_t>(64 + 97 * (at % 7), x.size() - at));
    tracker->Process(x.data() + at, n);
    skimmer->Process(x.data() + at, n);
    while (tracker->Decoder().Pop(s)) ++printed;
    at += n;
  }
  gCountAllocations = false;
  EXPECT_EQ(gAllocations.load(), 0);
  EXPECT_GT(printed, 10) << "it copied";
}

}  // namespace
