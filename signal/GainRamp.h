#pragma once
// A gain on the output that moves to its target in a straight ramp (5 ms by
// default, so a change never clicks): the output lowered while a
// transmitter is keyed. The target is an atomic any thread sets; Process
// runs on the audio thread, reads it once a block and steps the gain per
// sample, so a block split in two gives the same samples as whole.

#include <atomic>

// 0 dB: 1; the attenuation in dB as an amplitude; kSilenceDb and beyond
// (and NaN) give 0.
constexpr double kSilenceDb = 120.0;
double GainForAttenuationDb(double attDb);

class GainRamp {
 public:
  static constexpr double kRampMs = 5.0;

  // rateHz: samples per second; rampMs: the length of every change, > 0.
  void Setup(double rateHz, double rampMs = kRampMs);
  // The gain at the target at once, no ramp in progress (audio thread, or
  // before it runs).
  void Reset();
  // Any thread: the gain the output moves to (0..1, bounded).
  void SetTarget(double gain);
  void SetAttenuationDb(double attDb) { SetTarget(GainForAttenuationDb(attDb)); }
  double Target() const { return target_.load(std::memory_order_relaxed); }
  // The gain applied to the last sample (audio thread).
  double Gain() const { return gain_; }
  int RampSamples() const { return rampSamples_; }
  // Multiplies x[0..n) by the gain, moving it towards the target; with
  // channels 2, n frames of two interleaved samples, both at one gain.
  void Process(double* x, int n, int channels = 1);

 private:
  std::atomic<double> target_{1.0};
  double gain_ = 1.0;  // applied to the last sample
  double dest_ = 1.0;  // where the ramp in progress ends
  double step_ = 0.0;  // per sample
  int left_ = 0;       // samples of the ramp still to go
  int rampSamples_ = 55;
};
