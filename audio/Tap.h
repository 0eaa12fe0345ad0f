#pragma once
// Taps: the engine hands every block it captures (before filtering) and
// every block it plays (after) to any number of consumers (the spectrum, the
// recorder, a decoder), each through lock-free single-producer
// single-consumer rings of its own. The engine's thread only copies: a
// consumer whose ring is full loses that whole block, counted, and the audio
// never waits for it. Each consumer drains its rings on a thread of its own
// or from the UI's timer.
//
// Threads:
// - one publisher at a time (the engine's loop) calls TapHub::Publish;
// - any other thread may Add or Remove a consumer while it publishes;
//   Remove waits, for at most the one Publish call in progress, until the
//   publisher has left the consumer, never the other way round;
// - one thread per ring pops from it (Front, Pop); Enable and the counts
//   are for any thread.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

enum class TapPoint { Input = 0, Output = 1 };  // before and after the filter

struct TapBlock {
  std::uint64_t number = 0;  // running count of the blocks published at its point, from 0
  int frames = 0;
  int channels = 1;  // samples interleaved frame by frame
  int Samples() const { return frames * channels; }
};

// Whole blocks in order, each stored in one piece. Samples are doubles in
// 16-bit units, as the engine holds them.
class TapRing {
 public:
  // Room for capacitySamples samples and maxBlocks blocks, each rounded up to
  // a power of two; maxBlocks 0: as many as the smallest blocks (64 frames)
  // fill. Allocates here only. Starts disabled.
  explicit TapRing(int capacitySamples, int maxBlocks = 0);
  TapRing(const TapRing&) = delete;
  TapRing& operator=(const TapRing&) = delete;

  // Publisher: copies the block whole, or counts it dropped and returns
  // false when there is no room. Never waits, never allocates.
  bool Push(const TapBlock& block, const double* samples);

  // Consumer: the oldest block and its samples (Samples() of them, valid
  // until Pop); false when empty.
  bool Front(TapBlock& block, const double*& samples) const;
  // Consumer: frees the oldest block.
  void Pop();
  // Consumer, while its consumer is registered with no hub: empties the
  // ring and clears the drop count.
  void Reset();

  // Whether the publisher copies into this ring now; any thread.
  void Enable(bool on) { enabled_.store(on, std::memory_order_release); }
  bool Enabled() const { return enabled_.load(std::memory_order_acquire); }
  // Blocks dropped for want of room since the last Reset.
  long Dropped() const { return dropped_.load(std::memory_order_relaxed); }
  int CapacitySamples() const { return static_cast<int>(sampleMask_ + 1); }

 private:
  struct Slot {
    TapBlock block;
    std::uint64_t start = 0;  // where its samples begin, in samples pushed (wrapped by the mask)
  };

  const std::uint64_t sampleMask_, slotMask_;
  std::unique_ptr<double[]> samples_;
  std::unique_ptr<Slot[]> slots_;
  // Running counts: samples and blocks written (publisher) and freed
  // (consumer). A block that would run past the end starts again at 0 and
  // the skipped samples count as written.
  std::atomic<std::uint64_t> sampleHead_{0}, slotHead_{0};
  std::atomic<std::uint64_t> sampleTail_{0}, slotTail_{0};
  std::atomic<long> dropped_{0};
  std::atomic<bool> enabled_{false};
};

// One consumer: a ring for each point it asked for.
class TapConsumer {
 public:
  // Ring sizes in samples; 0 leaves that point out. maxBlocks as TapRing
  // takes it. Rings start disabled.
  TapConsumer(int inputSamples, int outputSamples, int maxBlocks = 0);
  TapConsumer(const TapConsumer&) = delete;
  TapConsumer& operator=(const TapConsumer&) = delete;
  // Null for a point not asked for.
  TapRing* Ring(TapPoint point) const { return rings_[static_cast<int>(point)].get(); }

 private:
  std::unique_ptr<TapRing> rings_[2];
};

// The registered consumers and the publisher's side.
class TapHub {
 public:
  static constexpr int kMaxConsumers = 8;

  TapHub();
  TapHub(const TapHub&) = delete;
  TapHub& operator=(const TapHub&) = delete;

  // Registers c, its rings set up (true at once when it is registered
  // already); false when all slots are taken. Any thread but the
  // publisher's; never waits.
  bool Add(TapConsumer& c);
  // Unregisters c: once it returns the publisher never touches c again, and
  // c may be freed. Any thread but the publisher's; waits only while a
  // Publish call is in progress. Does nothing for a consumer not registered.
  void Remove(TapConsumer& c);

  // The publisher: copies frames x channels samples into the enabled ring
  // at point of every registered consumer, numbered in turn. Never waits,
  // never allocates.
  void Publish(TapPoint point, const double* samples, int frames, int channels = 1);
  // Blocks published at point so far; any thread.
  std::uint64_t Published(TapPoint point) const {
    return published_[static_cast<int>(point)].load(std::memory_order_relaxed);
  }

 private:
  std::array<std::atomic<TapConsumer*>, kMaxConsumers> slots_;
  // Odd while the publisher is inside Publish: Remove waits for it to move on.
  std::atomic<std::uint64_t> publishing_{0};
  std::atomic<std::uint64_t> published_[2] = {};
};
