#pragma once
// The spectrum panels' tap: frames of 2048 samples assembled from whole,
// consecutive blocks of the point the FFT switch picks (input or output),
// turned into display levels when a panel draws. Drained from the UI side
// only: the engine copies blocks into its rings and never waits for it.

#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/Tap.h"
#include "spectrum/CFFT.h"
#include "spectrum/SpectrumModel.h"

class SpectrumTap {
 public:
  // Per point: about 3 s at 11025 Hz, four of the largest blocks, so that a
  // panel drawn every 100 ms (or late) still finds a whole frame.
  static constexpr int kRingSamples = 1 << 15;

  SpectrumTap();
  SpectrumTap(const SpectrumTap&) = delete;
  SpectrumTap& operator=(const SpectrumTap&) = delete;

  // What to register with the engine's hub.
  TapConsumer& Consumer() { return consumer_; }
  // fftMode 0 off, 1 input, 2 output: only that point's ring is filled.
  // Any thread.
  void Follow(int fftMode);
  int Mode() const { return mode_.load(); }

  // --- the UI thread ---------------------------------------------------------
  // Drains both rings into the frame being assembled; a frame once complete
  // waits for Take, and the blocks meanwhile are dropped.
  void Drain();
  // Drains, computes a complete frame into the levels, and copies the
  // levels of bins 0..kSpectrumBins-1 into out.
  void Take(int* out);
  // True once when the analyser met a frame holding a NaN or an infinity.
  bool TakeFailure();

  // What the frame holds so far (tests).
  int Fill() const { return fill_; }
  bool FrameReady() const { return ready_; }
  const double* Frame() const { return frame_.get(); }
  CFFT& Fft() { return fft_; }

 private:
  void Assemble(TapPoint point, const TapBlock& block, const double* samples);

  TapConsumer consumer_{kRingSamples, kRingSamples};
  std::atomic<int> mode_{0};
  std::unique_ptr<double[]> frame_;
  int fill_ = 0;        // samples in the frame, 0..kFftPoints
  bool ready_ = false;  // the frame is complete
  TapPoint framePoint_ = TapPoint::Input;
  std::uint64_t nextNumber_ = 0;  // the block that continues the frame
  CFFT fft_;
  int levels_[kSpectrumBins] = {};  // display level per bin
};
