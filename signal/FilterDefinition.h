#pragma once
// A filter definition as a value: kind, tap count, oversampling ratio, design
// and LMS parameters, coefficients. Presets, user slots, filter files and the
// design dialog make and pass these; CFilterCore puts one in force and
// nothing running ever changes one. For an LMS definition `h` holds no
// design: the filter stage starts its own weights from zero whenever it is
// put in force, and a copy of a live LMS filter carries them in `h`.

#include <cmath>
#include <string>

#include "signal/Kaiser.h"

class IniFile;

constexpr int kMaxLmsDelay = 512;  // samples

// The one LMS delay rule: taken as 0..512 samples (ClampTap, in Kaiser.h,
// is the tap-count rule).
inline int ClampLmsDelay(int d) { return d < 0 ? 0 : (d > kMaxLmsDelay ? kMaxLmsDelay : d); }

// What a file or the design dialog may set; the rest is refused.
constexpr double kMaxGain = 1.0e6;  // +120 dB pass-band gain
constexpr double kMaxLmsMU2 = 1.0;  // 2µ: beyond this the weights only run away
inline bool RatioAccepted(int overSmp) { return overSmp >= 1 && overSmp <= 3; }
inline bool GainAccepted(double gain) { return std::fabs(gain) <= kMaxGain; }
inline bool LmsStepAccepted(double mu2) { return mu2 >= 0.0 && mu2 <= kMaxLmsMU2; }
inline bool LmsLeakAccepted(double gm) { return gm >= 0.0 && gm <= 1.0; }  // Gm above 1 amplifies

struct FilterDefinition {
  FilterDefinition();

  int overSmp = 1;  // 1, 2 or 3; other values pass samples unfiltered
  int tap = 0;      // N, 0..512: h[0..N] are used, h[N] weights the newest sample
  FilterParams params;
  int lmsInv = 0;
  int lmsDelay = 36;  // 0..512
  int lmsAGC = 0;
  double lmsMU2 = 0.015;
  double lmsGM = 0.9993;
  alignas(64) double h[kCoefCount];

  bool IsLms() const { return params.type == FilterType::LMS; }

  // --- set-up -------------------------------------------------------------
  // User coefficients coefs[0..tap] (coefs may be null when tap is 0: the
  // through setting). tap is clamped to 0..512; overSmp 0 means 1.
  void SetUser(int overSmp, const double* coefs, int tap);
  void SetThrough() { SetUser(1, nullptr, 0); }
  // LMS predictor; the weights restart from zero. tap and lmsDelay are
  // clamped to 0..512.
  void SetLms(int overSmp, int lmsDelay, int tap, double lmsMU2, double lmsGM, int lmsInv, int lmsAGC);
  // Kaiser design with gain 1. fs must be the sample rate / overSmp.
  void SetDesign(int overSmp, int tap, int type, double fs, double fcl, double fch, double att);
  // Re-runs the design from params (keeping gain), or clears LMS weights.
  void Redesign();
  // Clears LMS weights: what a stored copy of a live LMS filter holds.
  void ForgetWeights();
  // True when h[0..tap] are all finite.
  bool CoefsFinite() const;

  // --- files ----------------------------------------------------------------
  // Section "User<slot+1>", or "UserSetup" for a negative slot. Missing
  // keys keep the current values. Returns false when the section breaks the
  // filter's invariants (a Type outside 0..5, OverSmp outside 1..3, a
  // designed type with Tap 0, FS not positive or a gain beyond kMaxGain, LMS
  // values outside their ranges, a non-finite number or coefficient); it
  // then loads as through.
  bool ReadIni(const IniFile& ini, int slot);
  void WriteIni(IniFile& ini, int slot) const;
  // C-array text of the coefficients, newest-sample coefficient first.
  std::string CoefFileText() const;
  // False with the text to show in `error` when the file cannot be created.
  bool WriteCoefFile(const std::string& path, std::string& error) const;

  // Type name used in coefficient files; "?" outside 0..5.
  static const char* TypeName(int type);
};
