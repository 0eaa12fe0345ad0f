#include "signal/FilterDefinition.h"

#include <cmath>
#include <cstring>

#include "signal/SampleRate.h"

namespace {
inline int RatioOrOne(int overSmp) { return overSmp == 0 ? 1 : overSmp; }
}  // namespace

FilterDefinition::FilterDefinition() {
  std::memset(&params, 0, sizeof params);
  params.fs = kSampleRate;
  params.fcl = 200.0;
  params.fch = 3000.0;
  params.att = 60.0;
  params.gain = 1.0;
  std::memset(h, 0, sizeof h);
}

void FilterDefinition::SetUser(int ratio, const double* coefs, int n) {
  n = ClampTap(n);
  if (n != 0 && coefs) std::memcpy(h, coefs, sizeof(double) * (n + 1));
  tap = n;
  overSmp = RatioOrOne(ratio);
  params.type = FilterType::User;
}

void FilterDefinition::SetLms(int ratio, int delay, int n, double mu2, double gm, int inv, int agc) {
  tap = ClampTap(n);
  lmsDelay = ClampLmsDelay(delay);
  lmsMU2 = mu2;
  lmsGM = gm;
  lmsInv = inv;
  lmsAGC = agc;
  params.type = FilterType::LMS;
  overSmp = RatioOrOne(ratio);
  std::memset(h, 0, sizeof h);
}

void FilterDefinition::SetDesign(int ratio, int n, int type, double fs, double fcl, double fch, double att) {
  n = ClampTap(n);
  params.type = type;
  params.tap = n;
  params.fs = fs;
  params.fcl = fcl;
  params.fch = fch;
  params.att = att;
  params.gain = 1.0;
  DesignFir(h, params);
  tap = n;
  overSmp = RatioOrOne(ratio);
}

void FilterDefinition::Redesign() {
  tap = ClampTap(tap);
  params.tap = tap;
  if (IsLms()) {
    std::memset(h, 0, sizeof h);
    return;
  }
  DesignFir(h, params);
}

void FilterDefinition::ForgetWeights() {
  if (IsLms()) std::memset(h, 0, sizeof h);
}

bool FilterDefinition::CoefsFinite() const {
  for (int i = 0; i <= ClampTap(tap); ++i)
    if (!std::isfinite(h[i])) return false;
  return true;
}

const char* FilterDefinition::TypeName(int type) {
  static const char* const names[] = {"LPF", "HPF", "BPF", "BEF", "UserDefine", "LMS"};
  return type >= 0 && type <= 5 ? names[type] : "?";
}
