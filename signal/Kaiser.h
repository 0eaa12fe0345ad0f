#pragma once
// Kaiser-window FIR design: every FIR filter of the program comes from here.

namespace FilterType {
enum : int { LPF = 0, HPF = 1, BPF = 2, BEF = 3, User = 4, LMS = 5 };
}

constexpr int kMaxTap = 512;             // largest tap count N; N+1 coefficients
constexpr int kCoefCount = kMaxTap + 1;  // 513

// The one tap-count rule: N taken as 0..512.
inline int ClampTap(int n) { return n < 0 ? 0 : (n > kMaxTap ? kMaxTap : n); }

// Design parameters of a filter. Frequencies in Hz, att in dB.
struct FilterParams {
  int tap;           // N: the design yields N+1 coefficients
  int type;          // FilterType
  double fs;         // rate the filter runs at: the sample rate / oversampling ratio
  double fcl;        // LPF/HPF cut-off; lower band edge of BPF/BEF
  double fch;        // upper band edge of BPF/BEF
  double att;        // stop-band attenuation; picks the window's shape
  double gain;       // pass-band gain
  double fc;         // written by the design: the prototype's cut-off
  double work[512];  // written by the design: half impulse response, [0..N/2]
};

// Modified Bessel function of the first kind, order 0, by its power series.
double BesselI0(double x);

// Kaiser beta for a stop-band attenuation in dB.
double KaiserBeta(double attDb);

// Designs params.tap+1 coefficients into coefs (which holds at least
// params.tap+1 values; params.tap is taken as 0..512). Writes params.fc and
// params.work. An odd tap count yields a filter of one coefficient less and
// coefficient N is cleared. Inputs that give no finite prototype (a zero
// bandwidth, fs not positive) give all-zero coefficients for LPF, HPF and BPF
// and pass-through for BEF.
void DesignFir(double* coefs, FilterParams& params);

// Value form of the design.
void DesignFir(double* coefs, int tap, int type, double fs, double fcl, double fch, double att, double gain);
