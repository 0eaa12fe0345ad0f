#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "signal/FilterCore.h"
#include "signal/Presets.h"
#include "support/TestUtil.h"

namespace {

// The user interface changes the live filter while the processing thread
// filters with it: every definition put in force, every copy out and flag
// write from one thread against ProcessBlock on another. Run under ThreadSanitizer in CI.
TEST(Concurrency, SetUpsWhileProcessing) {
  auto live = std::make_unique<CFilterCore>();
  auto slots = std::make_unique<FilterDefinition[]>(kUserSlotCount);
  SetDefaultUserDesigns(slots.get(), 100);
  auto d = std::make_unique<FilterDefinition>();
  auto snapshot = std::make_unique<FilterDefinition>();
  std::atomic<bool> done{false};
  std::atomic<long> blocks{0};

  std::thread audio([&] {
    std::vector<double> x = testutil::Noise(512, 20000.0, 1);
    std::vector<double> buf(512);
    while (!done.load()) {
      buf = x;
      live->ProcessBlock(buf.data(), 512);
      for (double v : buf) ASSERT_TRUE(std::isfinite(v));
      blocks.fetch_add(1);
    }
  });

  for (int round = 0; round < 400; ++round) {
    const int code = round % kPresetCount;
    *d = live->Definition();
    InstallPreset(*d, code, 400.0 + (round % 11) * 50.0, 2 + 2 * (round % 256), slots.get());
    live->Apply(*d);
    live->dcCut = round % 2;
    if (live->overload.load()) live->overload = 0;
    if (round % 7 == 0) {
      *snapshot = live->Definition();
      live->CopyCoefsTo(*snapshot);
    }
    if (round % 13 == 0) {
      *d = live->Definition();
      d->Redesign();
      live->Apply(*d);
    }
    if (round % 17 == 0) slots[round % kUserSlotCount] = live->Definition();
  }
  // Let the audio side run at least a few blocks with the last filter.
  while (blocks.load() < 10) std::this_thread::yield();
  done = true;
  audio.join();
  EXPECT_GE(blocks.load(), 10);
}

}  // namespace
