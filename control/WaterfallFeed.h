#pragma once
// The waterfall's own tap: every block of the input (or of the output,
// while the spectrum's switch is on OUT), in order, into the waterfall's
// model. Drained from the window's timer; the engine only copies blocks
// into its ring and never waits for it. A block lost to a full ring, or a
// change of source, starts the frames again.

#include "audio/Tap.h"
#include "spectrum/Waterfall.h"

class CFilter;

class WaterfallFeed {
 public:
  // Per point: about 3 s at 11025 Hz, so a timer held up by a dialog for a
  // moment still finds every block.
  static constexpr int kRingSamples = 1 << 15;

  WaterfallFeed() = default;
  ~WaterfallFeed() { Detach(); }
  WaterfallFeed(const WaterfallFeed&) = delete;
  WaterfallFeed& operator=(const WaterfallFeed&) = delete;

  // Registers with the engine's taps (false when all its slots are taken);
  // Detach before the engine goes.
  bool Attach(CFilter& engine);
  void Detach();
  bool Attached() const { return engine_ != nullptr; }
  // While off, the engine copies nothing for it.
  void SetActive(bool on);

  // UI thread: every block waiting, into the model; the lines it finished.
  int Drain();

  WaterfallModel& Model() { return model_; }
  TapConsumer& Consumer() { return consumer_; }

 private:
  void Follow();

  TapConsumer consumer_{kRingSamples, kRingSamples};
  WaterfallModel model_;
  CFilter* engine_ = nullptr;
  bool active_ = true;
  TapPoint point_ = TapPoint::Input;
  bool haveNext_ = false;
  std::uint64_t nextNumber_ = 0;  // the block that continues the stream
};
