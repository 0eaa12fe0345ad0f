// The taps on their own: whole blocks or none, numbers that show a gap,
// consumers added and removed while a publisher runs.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/Tap.h"

namespace {

// Sample i of block number k: a value no other block or position has.
double Value(std::uint64_t number, int i, int channel) {
  return static_cast<double>(number) * 100000.0 + i * 4.0 + channel;
}

void PublishNumbered(TapHub& taps, TapPoint point, int frames, int channels) {
  std::vector<double> block(static_cast<std::size_t>(frames) * channels);
  const std::uint64_t number = taps.Published(point);
  for (int i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c) block[i * channels + c] = Value(number, i, c);
  taps.Publish(point, block.data(), frames, channels);
}

// Scripts against one consumer's output ring: P publishes a block, D pops
// one, X disables the ring, E enables it again. The blocks popped and the
// drops are worked out by hand from the ring's room (samples rounded up to
// a power of two, each block in one piece) and its count of blocks.
TEST(TapRing, WholeBlocksNumberedWithTheirGaps) {
  struct Case {
    const char* name;
    int samples, maxBlocks, frames, channels;
    std::string script;
    std::vector<std::uint64_t> popped;
    long dropped;
  } cases[] = {
      {"four fit, a pop frees one", 512, 0, 128, 1, "PPPPPPDPPDDDDD", {0, 1, 2, 3, 6}, 3},
      {"a block that would wrap starts at 0", 512, 0, 200, 1, "PPPDPPDDD", {0, 1, 3}, 2},
      {"room rounded up to 512", 300, 0, 100, 1, "PPPPPPDDDDDD", {0, 1, 2, 3, 4}, 1},
      {"out of block slots", 4096, 2, 10, 1, "PPPDPDDD", {0, 1, 3}, 1},
      {"two channels take twice the room", 512, 0, 100, 2, "PPPDD", {0, 1}, 1},
      {"larger than the ring: never", 256, 0, 300, 1, "PPD", {}, 2},
      {"disabled: neither kept nor counted", 512, 0, 128, 1, "PXPPEPDD", {0, 3}, 0},
  };
  for (const Case& c : cases) {
    TapHub taps;
    TapConsumer consumer(0, c.samples, c.maxBlocks);
    TapRing& ring = *consumer.Ring(TapPoint::Output);
    ring.Enable(true);
    ASSERT_TRUE(taps.Add(consumer));
    std::vector<std::uint64_t> popped;
    for (char op : c.script) {
      if (op == 'P') PublishNumbered(taps, TapPoint::Output, c.frames, c.channels);
      if (op == 'X' || op == 'E') ring.Enable(op == 'E');
      TapBlock block;
      const double* samples = nullptr;
      if (op == 'D' && ring.Front(block, samples)) {
        popped.push_back(block.number);
        ASSERT_EQ(block.frames, c.frames) << c.name;
        ASSERT_EQ(block.channels, c.channels) << c.name;
        for (int i = 0; i < c.frames; ++i)
          for (int ch = 0; ch < c.channels; ++ch)
            ASSERT_EQ(samples[i * c.channels + ch], Value(block.number, i, ch)) << c.name;
        ring.Pop();
      }
    }
    EXPECT_EQ(popped, c.popped) << c.name;
    EXPECT_EQ(ring.Dropped(), c.dropped) << c.name;
    EXPECT_EQ(consumer.Ring(TapPoint::Input), nullptr) << c.name;
    taps.Remove(consumer);
  }
}

// A publisher that never stops while consumers are added, drained, removed
// and freed at once, over and over from two threads: every block a consumer
// sees is whole and in order, and (under the sanitizers) nothing touches a
// freed consumer. Then the slots run out at kMaxConsumers.
TEST(TapHub, AddAndRemoveWhilePublishing) {
  TapHub taps;
  std::atomic<bool> run{true};
  std::thread publisher([&] {
    std::vector<double> block(96);
    while (run.load()) {
      const std::uint64_t number = taps.Published(TapPoint::Output);
      for (int i = 0; i < 96; ++i) block[i] = Value(number, i, 0);
      taps.Publish(TapPoint::Output, block.data(), 96);
      std::this_thread::yield();
    }
  });
  std::atomic<long> seen{0};
  auto churn = [&] {
    for (int round = 0; round < 300; ++round) {
      auto consumer = std::make_unique<TapConsumer>(0, 1024);
      TapRing& ring = *consumer->Ring(TapPoint::Output);
      ring.Enable(true);
      ASSERT_TRUE(taps.Add(*consumer));
      std::uint64_t last = 0;
      bool first = true;
      for (int k = 0; k < 20; ++k) {
        TapBlock block;
        const double* samples;
        while (ring.Front(block, samples)) {
          ASSERT_TRUE(first || block.number > last);
          for (int i = 0; i < 96; ++i) ASSERT_EQ(samples[i], Value(block.number, i, 0));
          last = block.number;
          first = false;
          ring.Pop();
          seen.fetch_add(1);
        }
        std::this_thread::yield();
      }
      taps.Remove(*consumer);
    }
  };
  std::thread a(churn), b(churn);
  a.join();
  b.join();
  run = false;
  publisher.join();
  EXPECT_GT(seen.load(), 0);

  std::vector<std::unique_ptr<TapConsumer>> all;
  for (int i = 0; i <= TapHub::kMaxConsumers; ++i) {
    all.push_back(std::make_unique<TapConsumer>(64, 0));
    EXPECT_EQ(taps.Add(*all.back()), i < TapHub::kMaxConsumers) << i;
  }
  for (auto& c : all) taps.Remove(*c);
}

}  // namespace
