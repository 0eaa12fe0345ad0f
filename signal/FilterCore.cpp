#include "signal/FilterCore.h"
#include "signal/SampleRate.h"

#include <cmath>
#include <cstring>

#include "signal/DotKernel.h"

namespace {

// Runs a FIR over a block in place, two outputs at a time. Each output is
// bit-identical to pushing one sample and taking one dot product, so block
// boundaries never change the result.
template <int Capacity>
void FirBlock(DelayLine<Capacity>& line, const double* coef, int n, double* io, int count) {
  int i = 0;
  for (; i + 2 <= count; i += 2) {
    line.Push(io[i]);
    line.Push(io[i + 1]);
    double out[2];
    DotProduct2(line.Window(n, 1), coef, n, out);
    io[i] = out[0];
    io[i + 1] = out[1];
  }
  if (i < count) {
    line.Push(io[i]);
    io[i] = DotProduct(line.Window(n), coef, n);
  }
}

inline int RatioOrOne(int overSmp) { return overSmp == 0 ? 1 : overSmp; }
inline int ClampDelay(int d) { return d < 0 ? 0 : (d > kMaxLmsDelay ? kMaxLmsDelay : d); }
}  // namespace

CFilterCore::CFilterCore() : dcCut(0), overload(0) {
  xLine.Clear();
  std::memset(h, 0, sizeof h);
  tap = 0;
  phase = 0;
  overSmp = 1;
  cur = held1 = held2 = out1 = out2 = out3 = 0.0;
  std::memset(&params, 0, sizeof params);
  params.fs = kSampleRate;
  params.fcl = 200.0;
  params.fch = 3000.0;
  params.att = 60.0;
  params.gain = 1.0;
  lmsDelay = 36;
  lmsInv = 0;
  lmsMU2 = 0.015;
  lmsGM = 0.9993;
  lmsAGC = 0;
  lmsScale = 1.0 / (32768.0 * 32768.0);
  dcLine.Clear();
  DesignFir(dcH, 128, FilterType::HPF, kSampleRate, 80.0, 3000.0, 30.0, 1.0);
  lmsLine.Clear();
  lmsErr = 0.0;
  lmsStep = 0.0;
}

// ---------------------------------------------------------------------------
// Set-up

void CFilterCore::SetUser(int ratio, const double* coefs, int n) {
  n = ClampTap(n);
  std::lock_guard<std::mutex> guard(lock_);
  if (n != 0 && coefs) std::memcpy(h, coefs, sizeof(double) * (n + 1));
  tap = n;
  overSmp = RatioOrOne(ratio);
  params.type = FilterType::User;
}

void CFilterCore::ApplyThrough() { SetUser(1, nullptr, 0); }

void CFilterCore::SetLms(int ratio, int delay, int n, double mu2, double gm, int inv, int agc) {
  n = ClampTap(n);
  std::lock_guard<std::mutex> guard(lock_);
  tap = n;
  lmsDelay = ClampDelay(delay);
  lmsMU2 = mu2;
  lmsGM = gm;
  lmsInv = inv;
  lmsAGC = agc;
  params.type = FilterType::LMS;
  overSmp = RatioOrOne(ratio);
  std::memset(h, 0, sizeof h);
}

void CFilterCore::SetDesign(int ratio, int n, int type, double fs, double fcl, double fch, double att) {
  n = ClampTap(n);
  FilterParams p;
  {
    std::lock_guard<std::mutex> guard(lock_);
    p = params;
  }
  p.type = type;
  p.tap = n;
  p.fs = fs;
  p.fcl = fcl;
  p.fch = fch;
  p.att = att;
  p.gain = 1.0;
  double designed[kCoefCount];
  DesignFir(designed, p);  // outside the lock: the audio never waits for it

  std::lock_guard<std::mutex> guard(lock_);
  params = p;
  tap = n;
  std::memcpy(h, designed, sizeof(double) * (n + 1));
  overSmp = RatioOrOne(ratio);
}

void CFilterCore::Redesign() {
  FilterParams p;
  {
    std::lock_guard<std::mutex> guard(lock_);
    tap = ClampTap(tap);
    params.tap = tap;
    if (params.type == FilterType::LMS) {
      std::memset(h, 0, sizeof h);
      return;
    }
    p = params;
  }
  double designed[kCoefCount];
  DesignFir(designed, p);

  std::lock_guard<std::mutex> guard(lock_);
  params = p;
  std::memcpy(h, designed, sizeof(double) * (p.tap + 1));
}

void CFilterCore::TakeDefinition(Definition& d) const {
  d.overSmp = overSmp;
  d.tap = ClampTap(tap);
  d.lmsInv = lmsInv;
  d.lmsDelay = lmsDelay;
  d.lmsAGC = lmsAGC;
  d.lmsMU2 = lmsMU2;
  d.lmsGM = lmsGM;
  d.params = params;
  std::memcpy(d.h, h, sizeof(double) * (d.tap + 1));
}

void CFilterCore::PutDefinition(const Definition& d) {
  overSmp = d.overSmp;
  tap = ClampTap(d.tap);
  lmsDelay = ClampDelay(d.lmsDelay);
  lmsInv = d.lmsInv;
  lmsMU2 = d.lmsMU2;
  lmsGM = d.lmsGM;
  lmsAGC = d.lmsAGC;
  params = d.params;
  if (params.type == FilterType::LMS)
    std::memset(h, 0, sizeof h);
  else
    std::memcpy(h, d.h, sizeof(double) * (tap + 1));
}

void CFilterCore::CopyFrom(const CFilterCore& src) {
  if (&src == this) {
    std::lock_guard<std::mutex> guard(lock_);
    if (params.type == FilterType::LMS) std::memset(h, 0, sizeof h);
    return;
  }
  // Never hold both locks: the source may be the live filter.
  Definition d;
  {
    std::lock_guard<std::mutex> guard(src.lock_);
    src.TakeDefinition(d);
  }
  std::lock_guard<std::mutex> guard(lock_);
  PutDefinition(d);
}

void CFilterCore::CopyCoefs(const CFilterCore& src) {
  if (&src == this) return;
  int n;
  {
    std::lock_guard<std::mutex> guard(lock_);
    n = ClampTap(tap);
  }
  double copy[kCoefCount];
  {
    std::lock_guard<std::mutex> guard(src.lock_);
    std::memcpy(copy, src.h, sizeof(double) * (n + 1));
  }
  std::lock_guard<std::mutex> guard(lock_);
  std::memcpy(h, copy, sizeof(double) * (n + 1));
}

void CFilterCore::Snapshot(int& ratio, int& taps, double* coefs) const {
  std::lock_guard<std::mutex> guard(lock_);
  ratio = overSmp;
  taps = ClampTap(tap);
  std::memcpy(coefs, h, sizeof(double) * (taps + 1));
}

// ---------------------------------------------------------------------------
// Processing

void CFilterCore::ProcessBlock(double* buffer, int count) {
  if (!buffer || count <= 0) return;
  std::lock_guard<std::mutex> guard(lock_);
  // Stage by stage over the block; every stage keeps per-sample order, so
  // the result equals ProcessSample applied sample by sample.
  bool over = false;
  for (int i = 0; i < count; ++i) over |= buffer[i] > kOverloadLevel || !(buffer[i] >= -kOverloadLevel);
  if (over) overload.store(1, std::memory_order_relaxed);

  if (dcCut.load(std::memory_order_relaxed)) FirBlock(dcLine, dcH, 129, buffer, count);

  if (overSmp == 1 && params.type != FilterType::LMS) {
    if (tap != 0) FirBlock(xLine, h, tap + 1, buffer, count);
    return;
  }
  for (int i = 0; i < count; ++i) buffer[i] = AfterDcCut(buffer[i]);
}

double CFilterCore::ProcessSample(double x) {
  if (x > kOverloadLevel || !(x >= -kOverloadLevel)) overload.store(1, std::memory_order_relaxed);
  if (dcCut.load(std::memory_order_relaxed)) {
    dcLine.Push(x);
    x = DotProduct(dcLine.Window(129), dcH, 129);
  }
  return AfterDcCut(x);
}

double CFilterCore::AfterDcCut(double x) {
  switch (overSmp) {
    case 1:
      return FilterSample(x);
    case 2:
      if (phase == 0) {
        held1 = x;
        phase = 1;
        return out2;
      }
      cur = x;
      int2.Process(FilterSample(dec2.Process(cur, held1)), out1, out2);
      phase = 0;
      return out1;
    case 3:
      if (phase == 0) {
        held2 = x;
        phase = 1;
        return out2;
      }
      if (phase == 1) {
        held1 = x;
        phase = 2;
        return out3;
      }
      cur = x;
      int3.Process(FilterSample(dec3.Process(cur, held1, held2)), out1, out2, out3);
      phase = 0;
      return out1;
    default:
      return x;
  }
}

double CFilterCore::FilterSample(double x) {
  return params.type == FilterType::LMS ? LmsSample(x) : FirSample(x);
}

double CFilterCore::FirSample(double x) {
  const int n = tap;
  if (n == 0) return x;
  xLine.Push(x);
  return DotProduct(xLine.Window(n + 1), h, n + 1);
}

double CFilterCore::LmsSample(double x) {
  const int n = tap;
  if (n == 0) return x;
  // The predictor sees the input lmsDelay+1 samples late.
  xLine.Push(lmsLine.Ago(lmsDelay));
  const double* line = xLine.Window(n + 1);
  double y = DotProduct(line, h, n + 1);
  if (!std::isfinite(y)) {
    // Diverged (a step size too large, or a broken input): restart the
    // weights rather than output garbage until the preset is chosen again.
    std::memset(h, 0, sizeof h);
    y = 0.0;
  }
  lmsErr = x - y;
  lmsStep = lmsErr * lmsMU2 * lmsScale;
  lmsLine.Push(x);
  const double magnitude = LmsUpdate(h, line, n + 1, lmsStep, lmsGM);
  if (lmsAGC != 0 && !(magnitude < 0.001)) y = y / magnitude;
  return lmsInv != 0 ? lmsErr : y;
}

const char* CFilterCore::TypeName(int type) {
  static const char* const names[] = {"LPF", "HPF", "BPF", "BEF", "UserDefine", "LMS"};
  return type >= 0 && type <= 5 ? names[type] : "?";
}
