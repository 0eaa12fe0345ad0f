#include "audio/SpectrumTap.h"

#include <algorithm>
#include <cstring>

SpectrumTap::SpectrumTap() : frame_(new double[kFftPoints]()) {}

void SpectrumTap::Follow(int fftMode) {
  mode_.store(fftMode);
  consumer_.Ring(TapPoint::Input)->Enable(fftMode == 1);
  consumer_.Ring(TapPoint::Output)->Enable(fftMode == 2);
}

void SpectrumTap::Assemble(TapPoint point, const TapBlock& block, const double* samples) {
  // A frame is one stretch of sound: a block lost to a full ring, or one
  // from the other point after a switch, starts it again.
  if (fill_ > 0 && (point != framePoint_ || block.number != nextNumber_)) fill_ = 0;
  framePoint_ = point;
  nextNumber_ = block.number + 1;
  // Frames start at block boundaries: what is left of the block that
  // completes one is dropped.
  const int k = std::min(block.frames, kFftPoints - fill_);
  double* to = frame_.get() + fill_;
  if (block.channels == 1) {
    std::memcpy(to, samples, sizeof(double) * k);
  } else {
    // More than one channel shows their mean.
    for (int i = 0; i < k; ++i) {
      double sum = 0.0;
      for (int c = 0; c < block.channels; ++c) sum += samples[i * block.channels + c];
      to[i] = sum / block.channels;
    }
  }
  fill_ += k;
  if (fill_ >= kFftPoints) {
    fill_ = 0;
    ready_ = true;
  }
}

void SpectrumTap::Drain() {
  const int mode = mode_.load();
  for (TapPoint point : {TapPoint::Input, TapPoint::Output}) {
    TapRing& ring = *consumer_.Ring(point);
    TapBlock block;
    const double* samples;
    while (ring.Front(block, samples)) {
      if (!ready_ && mode == static_cast<int>(point) + 1) Assemble(point, block, samples);
      ring.Pop();
    }
  }
}

void SpectrumTap::Take(int* out) {
  Drain();
  if (ready_) {
    fft_.Compute(frame_.get(), 0, kSpectrumBins - 1, 30.0, 3, levels_);
    ready_ = false;
  }
  std::memcpy(out, levels_, sizeof levels_);
}

bool SpectrumTap::TakeFailure() {
  if (fft_.inUse == 0) return false;
  fft_.inUse = 0;
  return true;
}
