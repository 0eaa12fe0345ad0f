#pragma once
// The stages of the processing chain and the chain that runs them. Every
// stage at the full rate has one shape: set up (constructor or Setup),
// Reset clears its history, Process(Block&) runs a block in place; fixed
// arrays only, no allocation, no lock, nothing thrown. All of today's
// stages are mono: they take a block of one channel.
//
// The one special case is the filter group: the rate change down, the
// reduced-rate filter and the rate change up, with their ratio and group
// phase, sit inside FilterGroupStage, which has the common shape. Down
// gives one sample per completed group of `ratio` input samples, up gives
// the full-rate samples back, one group late.
//
// Every stage keeps per-sample order, so a block gives the same result as
// the same samples one at a time, however the blocks are split.

#include "signal/Block.h"
#include "signal/DelayLine.h"
#include "signal/FilterDefinition.h"
#include "signal/NoiseReduction.h"
#include "signal/NotchLimits.h"
#include "signal/RateChange.h"
#include "signal/StereoStage.h"

constexpr int kChainPiece = 1024;  // longest block a stage takes at once

// FIR stages take this many samples at a time into their delay line and
// compute their outputs together: a multiple of every kernel's group, with
// the line kFirChunk - 1 places longer than the filter.
constexpr int kFirChunk = 24;

constexpr double kOverloadLevel = 24576.0;  // input magnitude that counts as an overload
// The one overload rule: beyond +-24576, or not a number.
inline bool IsOverload(double x) { return x > kOverloadLevel || !(x >= -kOverloadLevel); }

constexpr double kLmsScale = 1.0 / (32768.0 * 32768.0);  // 2^-30: LMS step per 16-bit unit squared
// A prediction beyond eight times full scale comes only from weights that
// run away: they restart from zero.
constexpr double kLmsRunaway = 8.0 * 32768.0;
// The LMS update converges only while 2µ (per 16-bit unit squared, times
// kLmsScale) times the window's energy stays below 2, and above 1 its
// error already carries more noise than the input (a -12 dBFS input then
// clips): 2µ = 1 with 100 taps on such an input is about 6, and ran away
// again and again. A step that large for its input is held at the
// normalised one (1 / energy). Sets within the bound, as every preset on a
// normal input, are untouched.
constexpr double kLmsMaxLoad = 1.0;
// An input beyond this (+24 dBFS; a float file's Inf or 1e30, bounded when
// read) is no sound: the adaptive stages forget what it taught them.
constexpr double kAbsurdLevel = 16.0 * 32768.0;
inline bool IsAbsurd(double x) { return x > kAbsurdLevel || x < -kAbsurdLevel; }

// The 80 Hz high-pass in front of everything (129 coefficients).
struct DcCutStage {
  DcCutStage();
  void Reset();
  void Process(Block& b);

  DelayLine<129 + kFirChunk - 1> line;
  double h[129];
};

// Full rate to a half or a third. Process writes one sample per group
// completed in in[0..count) to low and returns how many; `phase` is the
// position in the group at the block's start.
struct RateDownStage {
  void Reset();
  int Process(const double* in, int count, int ratio, int phase, double* low);

  Decimator2 dec2;
  Decimator3 dec3;
  double held1 = 0.0, held2 = 0.0;  // the group's earlier samples
  double ext[48 + kChainPiece];     // scratch: history and block in one array
};

// The reduced-rate filter: a FIR or the LMS predictor, as set up from a
// definition. It owns the coefficients it runs, so an LMS predictor adapts
// its own weights and a definition stays a plain value. FIR and LMS share
// the input line, so switching between them keeps the history.
struct FilterStage {
  FilterStage() { Reset(); }
  // Takes the kind, tap count (0..512), LMS settings and coefficients of d;
  // an LMS predictor starts from zero weights. The lines carry over.
  void Setup(const FilterDefinition& d);
  // Clears the lines; the coefficients stay.
  void Reset();
  void Process(double* io, int count);
  double FirSample(double x);
  double LmsSample(double x);
  // An LMS predictor starts again from zero weights and empty lines.
  void RestartLms();

  bool lms = false;
  int tap = 0;       // N: h[0..N] are used, h[N] weights the newest sample
  int lmsDelay = 0;  // samples, 0..512
  int lmsInv = 0;
  int lmsAGC = 0;
  double lmsMU2 = 0.0;
  double lmsGM = 0.0;
  alignas(64) double h[kCoefCount] = {};  // FIR coefficients, or the live LMS weights
  DelayLine<kCoefCount + kFirChunk - 1> xLine;  // FIR / LMS predictor input
  DelayLine<kCoefCount> lmsLine;    // LMS decorrelation delay
  double lmsErr = 0.0;
  double lmsStep = 0.0;
  // Sum of squares of the predictor's window (tap + 1 newest inputs), kept
  // as it slides and taken afresh now and then; -1 when it must be taken.
  double lmsEnergy = -1.0;
  int lmsEnergyAge = 0;
  double lmsMagnitude = 0.0;  // sum of |weights| that made the last prediction
};

// A half or a third back to the full rate: out[0..count) from the low
// samples that RateDownStage made of the same block and phase.
struct RateUpStage {
  void Reset();
  void Process(const double* low, double* out, int count, int ratio, int phase);

  Interpolator2 int2;
  Interpolator3 int3;
  double out1 = 0.0, out2 = 0.0, out3 = 0.0;  // the last group's outputs
  double ext[18 + kChainPiece];               // scratch: history and block in one array
  double made[kChainPiece + 4];               // scratch: the groups' outputs in order
};

// Up to kMaxNotches notches at full rate (second-order sections), each at
// least 40 dB deep at its centre and kNotchWidthHz wide at -3 dB.
struct NotchStage {
  // Centres in Hz; those outside kMinNotchHz..kMaxNotchHz are dropped.
  // Keeps the histories of notches that stay where they were.
  void Setup(const double* hz, int count);
  void Reset();
  void Process(Block& b);
  struct Section {
    double hz = 0.0;
    double b1 = 0.0, a1 = 0.0, b0 = 1.0, a2 = 0.0;  // b2 = b0
    double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;
  };
  Section sections[kMaxNotches];
  int count = 0;
};

// The noise blanker: a sample far louder than the input around it, both
// before and after (kBlankerWindow samples each side, past a gap of
// kBlankerGap), is an impulse (ignition, fences, static crashes) and is
// gated out with kBlankerMargin samples either side and ramps of
// kBlankerRamp. Judged against both sides, the onset or end of a keyed tone
// or a word is never taken for one: the louder side is its own level.
constexpr int kBlankerWindow = 22;    // samples: 2 ms of level each side
constexpr int kBlankerGap = 12;       // samples left out next to the one judged (the impulse itself)
constexpr int kBlankerMargin = 3;     // samples shut either side of a loud one
constexpr int kBlankerRamp = 4;       // samples to shut or open the gate
constexpr double kBlankerRatio = 36.0;  // power over the louder side's mean: 6 x in amplitude
// Delay the blanker adds: the window after the sample judged, then room to
// shut the gate before it.
constexpr int kBlankerLook = kBlankerGap + kBlankerWindow - 1 + kBlankerMargin + kBlankerRamp;
struct BlankerStage {
  static constexpr int kRing = 128;  // > kBlankerLook + kBlankerGap + kBlankerWindow, a power of two
  BlankerStage() { Reset(); }
  void Reset();
  void Process(Block& b);
  double x[kRing];      // input (a NaN or an infinity as 0)
  double p[kRing];      // its power
  bool loud[kRing];     // judged an impulse
  long long t = -1;     // index of the newest sample
  double after = 0.0;   // power summed over the window after the sample judged
  double before = 0.0;  // and over the window before it
};

// The stages a user adds to any filter: noise reduction, the noise blanker
// and the notches.
struct ChainExtras {
  int nrLevel = 0;  // spectral noise reduction: 0 off, 1..4
  bool blanker = false;
  int notchCount = 0;
  double notchHz[kMaxNotches] = {};
};

// The filter at a half or a third of the rate, or at the full rate: rate
// change down, FIR or LMS, rate change up, as one stage of the chain.
// Blocks of any length run in pieces of kChainPiece frames.
struct FilterGroupStage {
  // The ratio and the filter of d; the lines and the group phase carry over.
  void Setup(const FilterDefinition& d);
  void Reset();
  void Process(Block& b);
  // The phase a block starting now would see after count more samples.
  static int NextPhase(int phase, int ratio, int count);

  RateDownStage down;
  FilterStage filter;
  RateUpStage up;
  int ratio = 1;  // 1, 2 or 3; others pass the samples unfiltered
  int phase = 0;  // position in the oversampling group
  alignas(64) double low[kChainPiece];

 private:
  void ProcessPiece(double* io, int count);
};

// Where each stage sits in the chain, and the order they run in.
enum class ChainStage : int { DcCut, Blanker, FilterGroup, Notches, NoiseReduction };
constexpr int kChainStageCount = 5;
constexpr ChainStage kChainOrder[kChainStageCount] = {ChainStage::DcCut, ChainStage::Blanker,
                                                      ChainStage::FilterGroup, ChainStage::Notches,
                                                      ChainStage::NoiseReduction};

// The stages in kChainOrder, each of which may be bypassed (it then keeps
// its history untouched). Blocks of any length; long ones run through all
// stages in pieces of kChainPiece frames.
struct ProcessingChain {
  void Reset();
  void Process(Block& b);
  // The output stage on the block the chain just made: with two channels in
  // force writes them to stereo (2 * b.frames samples) and returns 2; else
  // returns 1 and writes nothing. A stage that widens in place would
  // overwrite the next piece's input, so it has a buffer of its own.
  int WidenTo(const Block& b, double* stereo);
  // After an absurd burst: the histories, the LMS weights and the noise
  // estimate start afresh, as when they are switched on, instead of taking
  // seconds to unlearn it.
  void ForgetBurst();
  void SetBypass(ChainStage s, bool bypassed) { bypass[static_cast<int>(s)] = bypassed; }
  bool Bypassed(ChainStage s) const { return bypass[static_cast<int>(s)]; }
  // Puts d's filter in force; a ratio outside 1..3 bypasses the group.
  void SetFilter(const FilterDefinition& d);
  // Puts the added stages in force, bypassing those switched off; a notch
  // that stays keeps its history.
  void SetExtras(const ChainExtras& e);
  ChainExtras Extras() const;

  DcCutStage dc;
  BlankerStage blanker;
  FilterGroupStage group;
  NotchStage notches;
  NoiseReductionStage nr;
  // After all the others and into its own buffer: the two ears (WidenTo).
  StereoStage output;
  // By ChainStage: the DC cut is switched per block, the group by the
  // ratio, the rest by the extras.
  bool bypass[kChainStageCount] = {true, true, false, true, true};

 private:
  void ProcessPiece(Block& b);
};
