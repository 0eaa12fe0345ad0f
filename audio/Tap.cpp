#include "audio/Tap.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <thread>

#include "signal/SampleRate.h"

namespace {
std::uint64_t RoundUp(int n) { return std::bit_ceil(static_cast<std::uint64_t>(std::max(n, 1))); }
}  // namespace

TapRing::TapRing(int capacitySamples, int maxBlocks)
    : sampleMask_(RoundUp(capacitySamples) - 1),
      slotMask_(RoundUp(maxBlocks > 0 ? maxBlocks : capacitySamples / kMinBlock + 1) - 1),
      samples_(new double[sampleMask_ + 1]()),
      slots_(new Slot[slotMask_ + 1]) {}

bool TapRing::Push(const TapBlock& block, const double* samples) {
  const std::uint64_t n = static_cast<std::uint64_t>(block.Samples());
  const std::uint64_t capacity = sampleMask_ + 1;
  const std::uint64_t head = sampleHead_.load(std::memory_order_relaxed);
  const std::uint64_t slot = slotHead_.load(std::memory_order_relaxed);
  // A block is stored in one piece so that the consumer reads it in place:
  // one that would run past the end starts again at the beginning.
  const std::uint64_t offset = head & sampleMask_;
  const std::uint64_t start = offset + n > capacity ? head + (capacity - offset) : head;
  if (n > capacity || start + n - sampleTail_.load(std::memory_order_acquire) > capacity ||
      slot - slotTail_.load(std::memory_order_acquire) > slotMask_) {
    dropped_.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  std::memcpy(samples_.get() + (start & sampleMask_), samples, sizeof(double) * n);
  slots_[slot & slotMask_] = {block, start};
  sampleHead_.store(start + n, std::memory_order_relaxed);
  slotHead_.store(slot + 1, std::memory_order_release);
  return true;
}

bool TapRing::Front(TapBlock& block, const double*& samples) const {
  const std::uint64_t tail = slotTail_.load(std::memory_order_relaxed);
  if (slotHead_.load(std::memory_order_acquire) == tail) return false;
  const Slot& s = slots_[tail & slotMask_];
  block = s.block;
  samples = samples_.get() + (s.start & sampleMask_);
  return true;
}

void TapRing::Pop() {
  const std::uint64_t tail = slotTail_.load(std::memory_order_relaxed);
  if (slotHead_.load(std::memory_order_acquire) == tail) return;
  const Slot& s = slots_[tail & slotMask_];
  // Frees the samples skipped in front of the block too.
  sampleTail_.store(s.start + static_cast<std::uint64_t>(s.block.Samples()), std::memory_order_release);
  slotTail_.store(tail + 1, std::memory_order_release);
}

void TapRing::Reset() {
  sampleHead_.store(0);
  slotHead_.store(0);
  sampleTail_.store(0);
  slotTail_.store(0);
  dropped_.store(0);
}

TapConsumer::TapConsumer(int inputSamples, int outputSamples, int maxBlocks) {
  if (inputSamples > 0) rings_[0] = std::make_unique<TapRing>(inputSamples, maxBlocks);
  if (outputSamples > 0) rings_[1] = std::make_unique<TapRing>(outputSamples, maxBlocks);
}

TapHub::TapHub() {
  for (auto& s : slots_) s.store(nullptr);
}

bool TapHub::Add(TapConsumer& c) {
  for (auto& s : slots_)
    if (s.load() == &c) return true;
  for (auto& s : slots_) {
    TapConsumer* expected = nullptr;
    if (s.compare_exchange_strong(expected, &c)) return true;
  }
  return false;
}

void TapHub::Remove(TapConsumer& c) {
  for (auto& s : slots_) {
    TapConsumer* expected = &c;
    if (!s.compare_exchange_strong(expected, nullptr)) continue;
    // Sequentially consistent, as in Publish: either the publisher's next
    // look at the slot finds it empty, or it is inside Publish now (odd)
    // and may still hold c until it leaves.
    const std::uint64_t inside = publishing_.load();
    if (inside & 1) {
      while (publishing_.load() == inside) std::this_thread::yield();
    }
    return;
  }
}

void TapHub::Publish(TapPoint point, const double* samples, int frames, int channels) {
  if (frames <= 0 || channels <= 0) return;
  const int p = static_cast<int>(point);
  const TapBlock block{published_[p].load(std::memory_order_relaxed), frames, channels};
  published_[p].store(block.number + 1, std::memory_order_relaxed);
  publishing_.fetch_add(1);
  for (auto& s : slots_) {
    TapConsumer* c = s.load();
    if (!c) continue;
    TapRing* ring = c->Ring(point);
    if (ring && ring->Enabled()) ring->Push(block, samples);
  }
  publishing_.fetch_add(1);
}
