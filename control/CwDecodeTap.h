#pragma once
// The live CW decoder: a tap consumer whose thread drains the engine's input
// (or output) into a CwDecoder (and, when asked, the skimmer) and keeps the
// text for the window. The engine only copies blocks into the ring; a full
// ring drops a block, counted, and never delays the audio.
//
// Threads: Start/Stop and the setters from the UI thread; the drain thread
// of its own; Read/TakeText from any thread.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/Tap.h"
#include "decode/CwDecoder.h"
#include "decode/CwSkimmer.h"

// What the waterfall shows beside a skimmed trace: its last callsign-like
// word (a prefix, a digit, letters; "/P" and the like allowed), else the
// last 12 characters of its text.
std::string SkimmerLabel(const std::string& text);

struct CwDecodeStatus {
  bool active = false;
  bool open = false;  // squelch open: a signal is being copied
  double wpm = 0, snrDb = 0, pitchHz = 0;
  long dropped = 0;   // blocks lost because the thread fell behind
};

class CwDecodeTap {
 public:
  explicit CwDecodeTap(TapHub& taps);
  ~CwDecodeTap();  // stops
  CwDecodeTap(const CwDecodeTap&) = delete;
  CwDecodeTap& operator=(const CwDecodeTap&) = delete;

  // Registers with the hub at point and starts the thread; false, with the
  // reason, when every tap slot is taken.
  bool Start(TapPoint point, std::string& error);
  void Stop();
  bool Active() const { return active_.load(); }

  // Fo, or where tracking starts; track: follow the strongest keyed tone
  // within 100 Hz of it.
  void SetPitch(double hz) { foHz_.store(hz); }
  void SetTrack(bool on) { track_.store(on); }
  void SetSkimmer(bool on) { skim_.store(on); }

  CwDecodeStatus Read() const;
  // Text decoded since the last call.
  std::string TakeText();
  // The skimmer's signals as they stand (empty while it is off).
  std::vector<CwSignal> Signals() const;

 private:
  void Run();

  static constexpr int kRingSamples = 1 << 15;  // about 3 s at 11025 Hz
  TapHub& taps_;
  TapConsumer consumer_{kRingSamples, kRingSamples};
  TapPoint point_ = TapPoint::Input;
  std::thread thread_;
  std::atomic<bool> stopping_{false}, active_{false}, track_{false}, skim_{false};
  std::atomic<double> foHz_{700};
  // Written by the thread, read by any.
  std::atomic<bool> open_{false};
  std::atomic<double> wpm_{0}, snrDb_{0}, pitchHz_{0};
  mutable std::mutex m_;  // guards the text and the signals
  std::string text_;
  std::vector<CwSignal> signals_;
};
