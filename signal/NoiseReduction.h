#pragma once
// Spectral noise reduction for speech and CW at 11025 Hz, a chain stage
// after the filter. Short-time Fourier analysis of kNrFrame samples (21.8
// ms), a new frame every quarter frame, with square-root Hann windows
// (overlap-add restores the input exactly where the gain is 1; half
// overlap gave the gains half as many chances to follow a Morse element's
// edges); a noise estimate that follows slowly changing noise without
// voice detection (minimum tracking of the smoothed power over about 0.4
// s, with a speech-presence probability gating the update, MCRA-like, and
// taken up at once where the window shows noise that rose across the
// band; where noise fills the band, the probability of speech found for
// the gain also keeps weak speech out of it; each frame is learnt 10.9 ms late, and not when a later frame
// shows it began a word or a tone; digital silence neither teaches nor
// erases it; a bin may not stand far above its neighbours when its power
// hardly changes from frame to frame, so a steady tone is not taken for
// noise); a decision-directed
// a-priori SNR that follows speech onsets quickly and noise slowly; the
// probability of speech from that SNR smoothed over time, nearby bins, a
// wider band and the frame (Cohen 2001); the MMSE log-spectral-amplitude
// gain weighed by that probability against a floor set by the level
// (OM-LSA); lone peaks of gain capped against musical noise, and every
// gain held near the floor in frames without speech.
//
// Set up, Reset, Process a block, like every chain stage: fixed arrays, no allocation, no lock; a NaN or an
// infinity resets it (that sample comes out as 0) instead of spreading.
// Its own FFT: 256 points are all it needs, and a plan-based library would
// allocate where the audio path must not.

#include "signal/Block.h"

constexpr int kNrFrame = 240;  // samples per analysis frame
constexpr int kNrOverlap = 4;  // frames covering each sample
constexpr int kNrHop = kNrFrame / kNrOverlap;
constexpr int kNrFft = 256;  // the frame, zero-padded
constexpr int kNrBins = kNrFft / 2 + 1;
constexpr int kNrLevels = 4;  // 1 mild .. 4 strong; 0 off
// A level brought into 1..kNrLevels.
constexpr int BoundNrLevel(int level) { return level < 1 ? 1 : (level > kNrLevels ? kNrLevels : level); }
// Delay the stage adds, in samples: a frame (21.8 ms).
constexpr int kNrDelay = kNrFrame;

// The gain floor of a level, in dB: how far noise between words is pulled down.
double NrFloorDb(int level);

struct NoiseReductionStage {
  NoiseReductionStage() { Reset(); }
  // level 1..4 (others: 1 or 4); keeps the noise estimate.
  void SetLevel(int level);
  void Reset();
  void Process(Block& b);  // mono
  // One frame's gains from re/im; Process's part.
  void Estimate();

  int level = 2;
  double floorGain = 0.0;
  // Streaming: the last kNrFrame inputs, the overlap-add sum, the finished
  // outputs waiting to go out.
  double in[kNrFrame];
  double ola[kNrFrame];
  double ready[kNrHop];
  int fill = 0;  // inputs since the last frame
  // Per bin.
  double smoothed[kNrBins];       // smoothed noisy power
  double minimum[kNrBins];        // minimum of smoothed over the window
  double running[kNrBins];        // minimum of the sub-window in progress
  double noise[kNrBins];          // noise power estimate
  double presence[kNrBins];       // speech presence probability
  double flutter[kNrBins];        // how much the power changes from frame to frame (normalised variance)
  double above[kNrBins];          // how often the power stood far over the estimate lately (0..1)
  // The last frames' power, not yet in the noise estimate (oldest first),
  // and the weight the estimate keeps against each.
  static constexpr int kPending = kNrOverlap / 2;
  double pendingPower[kPending][kNrBins];
  double pendingWeight[kPending][kNrBins];
  double gainPrev[kNrBins];       // last frame's gain
  double snrPrev[kNrBins];        // last frame's a-posteriori SNR
  double subMin[4][kNrBins];      // minima of the last sub-windows
  double zeta[kNrBins];           // a-priori SNR smoothed over frames
  double zetaFrameLast = 0.0;     // last frame's mean of zeta
  double zetaPeak = 1.0;          // the mean zeta the frame last rose to
  int frames = 0;
  int subFrame = 0;
  // Scratch.
  double re[kNrFft], im[kNrFft];
  double gain[kNrBins];
  double capped[kNrBins];
  double xiNow[kNrBins];
};
