#include "control/WaterfallFeed.h"

#include <algorithm>

#include "audio/CFilter.h"

bool WaterfallFeed::Attach(CFilter& engine) {
  if (engine_ == &engine) return true;
  Detach();
  if (!engine.Taps().Add(consumer_)) return false;
  engine_ = &engine;
  Follow();
  return true;
}

void WaterfallFeed::Detach() {
  if (!engine_) return;
  engine_->Taps().Remove(consumer_);
  engine_ = nullptr;
  consumer_.Ring(TapPoint::Input)->Reset();
  consumer_.Ring(TapPoint::Output)->Reset();
  haveNext_ = false;
}

void WaterfallFeed::SetActive(bool on) {
  active_ = on;
  Follow();
}

void WaterfallFeed::Follow() {
  // The spectrum's switch picks the source: OUT the output, IN or OFF the input.
  const TapPoint point = engine_ && engine_->FftMode() == 2 ? TapPoint::Output : TapPoint::Input;
  if (point != point_) haveNext_ = false;
  point_ = point;
  consumer_.Ring(TapPoint::Input)->Enable(active_ && engine_ && point == TapPoint::Input);
  consumer_.Ring(TapPoint::Output)->Enable(active_ && engine_ && point == TapPoint::Output);
}

int WaterfallFeed::Drain() {
  if (!engine_) return 0;
  Follow();
  int lines = 0;
  for (TapPoint point : {TapPoint::Input, TapPoint::Output}) {
    TapRing& ring = *consumer_.Ring(point);
    TapBlock block;
    const double* samples;
    while (ring.Front(block, samples)) {
      if (point == point_) {
        if (haveNext_ && block.number != nextNumber_) model_.Restart();
        haveNext_ = true;
        nextNumber_ = block.number + 1;
        if (block.channels == 1) {
          lines += model_.Feed(samples, block.frames);
        } else {
          // More than one channel shows their mean, a piece at a time.
          double mono[256];
          for (int at = 0; at < block.frames; at += 256) {
            const int n = std::min(256, block.frames - at);
            for (int i = 0; i < n; ++i) {
              double sum = 0.0;
              for (int c = 0; c < block.channels; ++c) sum += samples[(at + i) * block.channels + c];
              mono[i] = sum / block.channels;
            }
            lines += model_.Feed(mono, n);
          }
        }
      }
      ring.Pop();
    }
  }
  return lines;
}
