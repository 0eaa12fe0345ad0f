#pragma once
// CFilterCore: one complete audio filter, its definition (kind, tap count,
// oversampling ratio, design and LMS parameters, coefficients) and the state
// that sample-by-sample processing keeps between calls. Fixed size; never
// allocates.
//
// Threads: the processing thread calls ProcessBlock; the user interface calls
// the set-up operations, CopyFrom, CopyCoefs, the file operations and writes
// dcCut at the same time. Each of those takes the object's lock only to swap
// in a finished definition, and ProcessBlock holds it for one block, so a
// change lands between two blocks and no sample sees half a definition.
// The other operations (ProcessSample and below) take no lock: callers that
// use them directly serialise themselves.

#include <atomic>
#include <mutex>
#include <string>

#include "signal/DelayLine.h"
#include "signal/Kaiser.h"
#include "signal/RateChange.h"

class IniFile;

constexpr double kOverloadLevel = 24576.0;  // input magnitude that sets `overload`
constexpr int kMaxLmsDelay = 512;

class CFilterCore {
 public:
  CFilterCore();
  CFilterCore(const CFilterCore&) = delete;
  CFilterCore& operator=(const CFilterCore&) = delete;

  // --- set-up (definition only; histories carry over) ---------------------
  // User coefficients coefs[0..tap] (coefs may be null when tap is 0: the
  // through setting). tap is clamped to 0..512; overSmp 0 means 1.
  void SetUser(int overSmp, const double* coefs, int tap);
  // LMS predictor; the weights restart from zero. tap and lmsDelay are
  // clamped to 0..512.
  void SetLms(int overSmp, int lmsDelay, int tap, double lmsMU2, double lmsGM, int lmsInv, int lmsAGC);
  // Kaiser design with gain 1. fs must be the sample rate / overSmp.
  void SetDesign(int overSmp, int tap, int type, double fs, double fcl, double fch, double att);
  // Re-runs the design from params (keeping gain), or clears LMS weights.
  void Redesign();
  // Copies the definition; an LMS source gives cleared weights.
  void CopyFrom(const CFilterCore& src);
  // Copies h[0..tap] (this object's tap) from src, e.g. live LMS weights.
  void CopyCoefs(const CFilterCore& src);
  // Reads overSmp, tap and h[0..tap] at one instant (coefs holds 513), so a
  // plot of the live filter never sees half an adaptation step.
  void Snapshot(int& ratio, int& taps, double* coefs) const;

  // --- processing ---------------------------------------------------------
  // Filters count samples in place (doubles in 16-bit units).
  void ProcessBlock(double* buffer, int count);
  double ProcessSample(double x);
  double FilterSample(double x);  // at the reduced rate: FIR or LMS
  double FirSample(double x);
  double LmsSample(double x);

  // --- files ----------------------------------------------------------------
  // Section "User<slot+1>", or "UserSetup" for a negative slot. Missing
  // keys keep the current values. Returns false when the section breaks the
  // filter's invariants (a Type outside 0..5, a designed type with Tap 0 or
  // FS not positive, a non-finite number); it then loads as through.
  bool ReadIni(const IniFile& ini, int slot);
  void WriteIni(IniFile& ini, int slot) const;
  // C-array text of the coefficients, newest-sample coefficient first.
  // Shows the error box and returns false when the file cannot be created.
  bool WriteCoefFile(const std::string& path) const;
  std::string CoefFileText() const;

  // Type name used in coefficient files; "?" outside 0..5.
  static const char* TypeName(int type);

  // --- state ----------------------------------------------------------------
  // One spare place in the FIR lines lets ProcessBlock compute two outputs
  // at a time.
  DelayLine<kCoefCount + 1> xLine;  // FIR / LMS predictor input
  DelayLine<kCoefCount> lmsLine;    // LMS decorrelation delay
  DelayLine<130> dcLine;            // DC-cut high-pass input
  double dcH[129];                  // 80 Hz high-pass, 129 coefficients
  int phase;                        // position in the oversampling group
  double cur, held1, held2;
  double out1, out2, out3;
  Decimator2 dec2;
  Interpolator2 int2;
  Decimator3 dec3;
  Interpolator3 int3;
  double lmsScale;  // 2^-30 = 1/32768^2
  double lmsErr;
  double lmsStep;

  // --- definition -----------------------------------------------------------
  int overSmp;                       // 1, 2 or 3; other values pass samples unfiltered
  int tap;                           // N in force for processing, 0..512
  alignas(64) double h[kCoefCount];  // h[tap] weights the newest sample
  FilterParams params;
  int lmsInv;
  int lmsDelay;  // 0..512
  int lmsAGC;
  double lmsMU2;
  double lmsGM;

  std::atomic<int> dcCut;     // 80 Hz high-pass in front, set by the UI
  std::atomic<int> overload;  // set on an input beyond +-24576, cleared by the display

 private:
  double AfterDcCut(double x);  // rate change and filter stage of ProcessSample
  // A definition in transit between objects (copied outside any lock).
  struct Definition {
    int overSmp;
    int tap;
    int lmsInv;
    int lmsDelay;
    int lmsAGC;
    double lmsMU2;
    double lmsGM;
    FilterParams params;
    double h[kCoefCount];
  };
  void TakeDefinition(Definition& d) const;  // caller holds the lock
  void PutDefinition(const Definition& d);   // caller holds the lock
  void ApplyThrough();                       // SetUser(1, none, 0)

  mutable std::mutex lock_;
};

inline int ClampTap(int n) { return n < 0 ? 0 : (n > kMaxTap ? kMaxTap : n); }
