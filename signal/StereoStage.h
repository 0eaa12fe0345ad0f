#pragma once
// The last stage: the mono result to the two ears, into a buffer of its own
// (the block's samples stay the mono result, for whatever reads them).
//
// Binaural: the left ear hears the signal delayed, the right its Hilbert
// transform, so the ears differ by 90 degrees across the audio band and a
// keyed tone sits in the middle of the head while the noise, uncorrelated
// between the ears, spreads around it. A linear-phase FIR pair (odd length,
// antisymmetric Hilbert, Kaiser window): exactly 90 degrees at every
// frequency, both ears delayed alike by kHilbertDelay, levels equal within
// 0.05 dB from 150 to 3000 Hz. An all-pass pair would delay less, but only
// approximates 90 degrees and delays each frequency differently, which
// smears a keyed tone's edges.
//
// Pan: the same signal to both ears, balanced by a constant-power law whose
// middle is the mono level in each ear (so switching from mono changes
// nothing); at either end one ear is 3 dB louder and the other silent.

#include "signal/DelayLine.h"

enum class OutputMode { Mono = 0, Binaural = 1, Pan = 2 };
constexpr int kOutputModeCount = 3;
inline bool OutputModeAccepted(int mode) { return mode >= 0 && mode < kOutputModeCount; }
inline bool BalanceAccepted(double balance) { return balance >= -1.0 && balance <= 1.0; }  // false for NaN

constexpr int kHilbertTaps = 111;
constexpr int kHilbertDelay = (kHilbertTaps - 1) / 2;  // samples: 5.0 ms at 11025 Hz

struct StereoStage {
  StereoStage();  // designs the Hilbert transformer
  // balance -1 (left) .. 1 (right), used by Pan; out of range or NaN: 0.
  void Setup(OutputMode mode, double balance);
  void Reset();
  int Channels() const { return mode == OutputMode::Mono ? 1 : 2; }
  // mono[0..frames) to stereo[0..2 * frames), left and right interleaved.
  // Mono mode writes nothing.
  void Process(const double* mono, double* stereo, int frames);

  OutputMode mode = OutputMode::Mono;
  double balance = 0.0;
  double gainLeft = 1.0, gainRight = 1.0;  // Pan
  double h[kHilbertTaps];                   // h[k] weights the sample k old
  DelayLine<kHilbertTaps> line;
};
