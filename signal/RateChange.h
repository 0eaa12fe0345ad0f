#pragma once
// Fixed polyphase low-pass filters that let a filter run at one half or one
// third of 11025 Hz. Each keeps its own history, which survives every change
// of the filter definition.

struct Decimator2 {
  double lineA[19];  // newest sample of each pair; [18] newest
  double lineB[18];  // older sample of each pair
  double coef[37];   // 2900 Hz low-pass at 11025 Hz, 70 dB, gain 1
  Decimator2();
  // One filtered value per pair: v the newer sample, u the older.
  double Process(double v, double u);
};

struct Interpolator2 {
  double lowLine[19];
  double coef[37];  // as Decimator2's, gain 2 for the stuffed zeros
  Interpolator2();
  // Two full-rate outputs per reduced-rate input, in time order.
  void Process(double y, double& first, double& second);
};

struct Decimator3 {
  double lineA[17];  // newest of each group of three
  double lineB[16];  // middle
  double lineC[16];  // oldest
  double coef[49];   // 1300 Hz low-pass at 11025 Hz, 70 dB, gain 1
  Decimator3();
  double Process(double v, double u, double w);
};

struct Interpolator3 {
  double lowLine[17];
  double coef[49];  // as Decimator3's, gain 3
  Interpolator3();
  void Process(double y, double& first, double& second, double& third);
};
