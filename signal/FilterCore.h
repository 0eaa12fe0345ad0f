#pragma once
// CFilterCore: the live filter. It holds the definition in force, a plain
// value, and the processing chain's running state (delay lines, rate-change
// histories, phase, and the filter stage's coefficients, which an LMS
// predictor adapts as it runs). Fixed size; never allocates.
//
// Threads: the processing thread calls ProcessBlock; the user interface
// calls Apply, Definition, CopyCoefsTo and Snapshot and writes dcCut at the
// same time. Each takes the object's lock only to copy a finished
// definition in or out, and ProcessBlock holds it for one block, so a change
// lands between two blocks and no sample sees half a definition. The
// per-sample operations (ProcessSample and below) take no lock: callers that
// use them directly serialise themselves.

#include <atomic>
#include <mutex>

#include "signal/FilterDefinition.h"
#include "signal/Stages.h"

class CFilterCore {
 public:
  CFilterCore();
  CFilterCore(const CFilterCore&) = delete;
  CFilterCore& operator=(const CFilterCore&) = delete;

  // Puts a definition in force in one step; an LMS definition starts from
  // zero weights. The chain's histories carry over, LMS lines included.
  void Apply(const FilterDefinition& d);
  // The definition in force, with the live LMS weights in `h`.
  FilterDefinition Definition() const;
  // Copies h[0..d.tap] of the filter in force into d, e.g. live LMS weights.
  void CopyCoefsTo(FilterDefinition& d) const;
  // Reads overSmp, tap and h[0..tap] at one instant (coefs holds 513), so a
  // plot of the live filter never sees half an adaptation step.
  void Snapshot(int& ratio, int& taps, double* coefs) const;
  int Type() const;
  // Noise reduction, the noise blanker and the notches, put in force
  // between two blocks.
  void SetExtras(const ChainExtras& e);
  ChainExtras Extras() const;

  // --- processing ---------------------------------------------------------
  // Filters count samples in place (doubles in 16-bit units).
  void ProcessBlock(double* buffer, int count);
  // The same, and with two output channels in force (SetOutput) also writes
  // them to stereo (2 * count samples); returns the channels it made, 1 or 2.
  int ProcessBlock(double* buffer, int count, double* stereo);
  // Mono (the default), binaural or pan with its balance, put in force
  // between two blocks.
  void SetOutput(OutputMode mode, double balance);
  OutputMode Output() const;
  int OutputChannels() const { return Output() == OutputMode::Mono ? 1 : 2; }
  double ProcessSample(double x);
  double FilterSample(double x);  // at the reduced rate: FIR or LMS
  double FirSample(double x);
  double LmsSample(double x);

  ProcessingChain chain;      // running state
  // 80 Hz high-pass in front, set by the UI; read at each block, 0 bypasses
  // the DC cut stage.
  std::atomic<int> dcCut;
  std::atomic<int> overload;  // set on an input beyond +-24576, cleared by the display

 private:
  FilterDefinition def_;  // guarded by lock_
  mutable std::mutex lock_;
};
