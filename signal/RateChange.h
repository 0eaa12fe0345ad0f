#pragma once
// Fixed polyphase low-pass filters that let a filter run at one half or one
// third of the sample rate. Each keeps its own history, which survives every change
// of the filter definition. The histories are double-written delay lines, so
// every sum is one vectorised dot product over contiguous samples.

#include "signal/DelayLine.h"

struct Decimator2 {
  DelayLine<37> line;          // full-rate input, both samples of each pair
  double coef[37];             // 2900 Hz low-pass at the full rate, 70 dB, gain 1
  alignas(64) double rev[37];  // coef reversed: rev[0] weights the oldest
  Decimator2();
  // One filtered value per pair: v the newer sample, u the older.
  double Process(double v, double u);
  // Process over `pairs` whole pairs of in (oldest first) into out, with
  // the same values; ext holds 36 + 2*pairs doubles of scratch. Reading the
  // block in place instead of the line after each push keeps the loads off
  // the samples just stored.
  void ProcessPairs(const double* in, int pairs, double* out, double* ext);
};

struct Interpolator2 {
  DelayLine<19> lowLine;                      // reduced-rate input
  double coef[37];                            // as Decimator2's, gain 2 for the stuffed zeros
  alignas(64) double phase0[19], phase1[18];  // polyphase branches, oldest first
  Interpolator2();
  // Two full-rate outputs per reduced-rate input, in time order.
  void Process(double y, double& first, double& second);
  // Process over low[0..count) into out[0..2*count); ext holds 18 + count
  // doubles of scratch.
  void ProcessBlock(const double* low, int count, double* out, double* ext);
};

struct Decimator3 {
  DelayLine<49> line;
  double coef[49];  // 1300 Hz low-pass at the full rate, 70 dB, gain 1
  alignas(64) double rev[49];
  Decimator3();
  double Process(double v, double u, double w);  // newest, middle, oldest
  // Process over `groups` whole groups of in (oldest first); ext holds
  // 48 + 3*groups doubles of scratch.
  void ProcessGroups(const double* in, int groups, double* out, double* ext);
};

struct Interpolator3 {
  DelayLine<17> lowLine;
  double coef[49];  // as Decimator3's, gain 3
  alignas(64) double phase0[17], phase1[16], phase2[16];
  Interpolator3();
  void Process(double y, double& first, double& second, double& third);
  // Process over low[0..count) into out[0..3*count); ext holds 16 + count
  // doubles of scratch.
  void ProcessBlock(const double* low, int count, double* out, double* ext);
};
