#pragma once
// A deliberately plain model of the live filter chain, written from its
// description rather than from the production code: shift registers moved
// element by element, sums accumulated one term at a time from the oldest
// sample, and the rate-change filters computed as full-rate FIRs over the
// input (decimators) and over the zero-stuffed signal (interpolators)
// instead of in polyphase form. Tests and benchmarks compare CFilterCore
// against it.

#include <cmath>
#include <cstring>

#include "signal/FilterCore.h"

class LiteralFilter {
 public:
  // Takes the definition (and the fixed filters' coefficients) of `f`.
  explicit LiteralFilter(const CFilterCore& core) {
    const FilterDefinition f = core.Definition();
    overSmp = f.overSmp;
    tap = f.tap;
    type = f.params.type;
    lmsDelay = f.lmsDelay;
    lmsInv = f.lmsInv;
    lmsAGC = f.lmsAGC;
    lmsMU2 = f.lmsMU2;
    lmsGM = f.lmsGM;
    dcCut = core.dcCut.load() != 0;
    std::memcpy(h, f.h, sizeof h);
    std::memcpy(dcH, core.chain.dc.h, sizeof dcH);
    std::memcpy(dec2, core.chain.group.down.dec2.coef, sizeof dec2);
    std::memcpy(int2, core.chain.group.up.int2.coef, sizeof int2);
    std::memcpy(dec3, core.chain.group.down.dec3.coef, sizeof dec3);
    std::memcpy(int3, core.chain.group.up.int3.coef, sizeof int3);
  }

  double ProcessSample(double x) {
    if (x > 24576.0 || !(x >= -24576.0)) overload = 1;
    if (dcCut) {
      for (int i = 0; i < 128; ++i) dcLine[i] = dcLine[i + 1];
      dcLine[128] = x;
      double s = 0.0;
      for (int i = 0; i <= 128; ++i) s += dcLine[i] * dcH[i];
      x = s;
    }
    if (overSmp == 1) return Filter(x);
    if (overSmp == 2) {
      if (phase == 0) {
        held1 = x;
        phase = 1;
        return out2;
      }
      Push(dHist2, 37, held1);
      Push(dHist2, 37, x);
      const double y = Filter(Fir(dHist2, dec2, 37));
      Push(iHist2, 37, y);
      out1 = Fir(iHist2, int2, 37);
      Push(iHist2, 37, 0.0);
      out2 = Fir(iHist2, int2, 37);
      phase = 0;
      return out1;
    }
    if (overSmp == 3) {
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
      Push(dHist3, 49, held2);
      Push(dHist3, 49, held1);
      Push(dHist3, 49, x);
      const double y = Filter(Fir(dHist3, dec3, 49));
      Push(iHist3, 49, y);
      out1 = Fir(iHist3, int3, 49);
      Push(iHist3, 49, 0.0);
      out2 = Fir(iHist3, int3, 49);
      Push(iHist3, 49, 0.0);
      out3 = Fir(iHist3, int3, 49);
      phase = 0;
      return out1;
    }
    return x;
  }

  double h[513];
  int overload = 0;

 private:
  // hist[n-1] is the newest sample; coef[0] weights it.
  static void Push(double* hist, int n, double x) {
    for (int i = 0; i < n - 1; ++i) hist[i] = hist[i + 1];
    hist[n - 1] = x;
  }
  static double Fir(const double* hist, const double* coef, int n) {
    double s = 0.0;
    for (int j = n - 1; j >= 0; --j) s += hist[n - 1 - j] * coef[j];
    return s;
  }

  double Filter(double x) {
    const int n = tap;
    if (n == 0) return x;
    if (type != 5) {
      for (int i = 0; i < n; ++i) xLine[i] = xLine[i + 1];
      xLine[n] = x;
      double s = 0.0;
      for (int i = 0; i <= n; ++i) s += xLine[i] * h[i];
      return s;
    }
    const int d = lmsDelay;
    for (int i = 0; i < n; ++i) xLine[i] = xLine[i + 1];
    xLine[n] = lmsLine[0];
    double y = 0.0;
    for (int i = 0; i <= n; ++i) y += xLine[i] * h[i];
    const double err = x - y;
    const double step = err * lmsMU2 * (1.0 / 1073741824.0);
    for (int i = 0; i < d; ++i) lmsLine[i] = lmsLine[i + 1];
    lmsLine[d] = x;
    for (int i = 0; i <= n; ++i) h[i] = step * xLine[i] + h[i] * lmsGM;
    if (lmsAGC) {
      double s = 0.0;
      for (int i = 0; i <= n; ++i) s += std::fabs(h[i]);
      if (!(s < 0.001)) y = y / s;
    }
    return lmsInv ? err : y;
  }

  int overSmp, tap, type, lmsDelay, lmsInv, lmsAGC;
  double lmsMU2, lmsGM;
  bool dcCut;
  double dcH[129], dec2[37], int2[37], dec3[49], int3[49];
  double xLine[513] = {}, lmsLine[513] = {}, dcLine[129] = {};
  double dHist2[37] = {}, iHist2[37] = {}, dHist3[49] = {}, iHist3[49] = {};
  int phase = 0;
  double held1 = 0, held2 = 0, out1 = 0, out2 = 0, out3 = 0;
};
