#include "spectrum/CFFT.h"

#include <cmath>
#include <utility>

#include "common/VectorState.h"

namespace {
constexpr int kHalf = kFftPoints / 2;  // complex points of the packed transform
constexpr double kTwoPi = 6.283185307179586;
}  // namespace

CFFT::CFFT()
    : w(new double[2 * (kHalf / 2) + 2 * kHalf]),
      window(new double[kFftPoints]),
      logPower(new double[kFftPoints]),
      ip(new int[kHalf]) {
  // Twiddles e^(-2 pi i m / 1024) for the packed transform...
  for (int m = 0; m < kHalf / 2; ++m) {
    w[2 * m] = std::cos(kTwoPi * m / kHalf);
    w[2 * m + 1] = -std::sin(kTwoPi * m / kHalf);
  }
  // ...and e^(-2 pi i k / 2048) for splitting it into the real DFT.
  double* split = w + kHalf;
  for (int k = 0; k < kHalf; ++k) {
    split[2 * k] = std::cos(kTwoPi * k / kFftPoints);
    split[2 * k + 1] = -std::sin(kTwoPi * k / kFftPoints);
  }
  for (int i = 0; i < kHalf; ++i) {
    int r = 0;
    for (int bit = 1, rb = kHalf >> 1; bit < kHalf; bit <<= 1, rb >>= 1)
      if (i & bit) r |= rb;
    ip[i] = r;
  }
  for (int i = 0; i < kFftPoints; ++i) {
    logPower[i] = 0.0;
    window[i] = 0.5 - 0.5 * std::cos(6.283185307 * i / 2047);
  }
}

CFFT::~CFFT() {
  delete[] ip;
  delete[] w;
  delete[] window;
  delete[] logPower;
}

void CFFT::Transform(double* a) {
  for (int i = 0; i < kHalf; ++i) {
    const int j = ip[i];
    if (j > i) {
      std::swap(a[2 * i], a[2 * j]);
      std::swap(a[2 * i + 1], a[2 * j + 1]);
    }
  }
  for (int len = 2; len <= kHalf; len <<= 1) {
    const int half = len >> 1, step = kHalf / len;
    for (int start = 0; start < kHalf; start += len) {
      for (int m = 0; m < half; ++m) {
        const double wr = w[2 * m * step], wi = w[2 * m * step + 1];
        double* u = a + 2 * (start + m);
        double* v = a + 2 * (start + m + half);
        const double tr = v[0] * wr - v[1] * wi, ti = v[0] * wi + v[1] * wr;
        v[0] = u[0] - tr;
        v[1] = u[1] - ti;
        u[0] += tr;
        u[1] += ti;
      }
    }
  }
}

double CFFT::Level(double p) {
  if (!(p > 0.0)) p = 0.0001;
  if (!(p < 1e60)) p = 1e60;
  return std::log10(p + 28145.8) - 4.4494132;
}

void CFFT::Update(int i, double p) {
  const double level = Level(p);
  if (smoothing == 1)
    logPower[i] = level * (1.0 / avgCount) + (1.0 - 1.0 / avgCount) * logPower[i];
  else
    logPower[i] = level;
}

void CFFT::PowerStep(const double* a) {
  // The packed transform Z of z[j] = x[2j] + i x[2j+1] gives the real DFT
  // X[k] = E[k] + e^(-2 pi i k/2048) O[k] with E = (Z[k] + conj Z[1024-k]) / 2
  // and O = (Z[k] - conj Z[1024-k]) / 2i.
  const double* split = w + kHalf;
  for (int k = 1; k < kHalf; ++k) {
    const double zr = a[2 * k], zi = a[2 * k + 1];
    const double cr = a[2 * (kHalf - k)], ci = -a[2 * (kHalf - k) + 1];
    const double er = 0.5 * (zr + cr), ei = 0.5 * (zi + ci);
    const double dr = 0.5 * (zr - cr), di = 0.5 * (zi - ci);
    const double orr = di, oi = -dr;  // (d) / i
    const double tr = split[2 * k], ti = split[2 * k + 1];
    const double xr = er + tr * orr - ti * oi, xi = ei + tr * oi + ti * orr;
    Update(2 * k, xr * xr + xi * xi);
  }
}

void CFFT::Compute(double* frame, int first, int last, double scale, int avg, int* out) {
  if (inUse != 0) return;
  ClearUpperVectorState();  // runs on the window thread, after Qt's drawing
  ++inUse;
  // A broken frame stops the analyser here, with inUse left set, where a
  // floating-point trap would have left it.
  for (int i = 0; i < kFftPoints; ++i)
    if (!std::isfinite(frame[i])) return;
  smoothing = avg >= 2 ? 1 : 0;
  avgCount = avg;
  for (int i = 0; i < kFftPoints; ++i) frame[i] *= window[i];
  Transform(frame);
  PowerStep(frame);
  if (first < 0) first = 0;
  if (last > kHalf - 1) last = kHalf - 1;
  for (int k = first; k <= last; ++k) out[k] = static_cast<int>(scale * logPower[2 * k]);
  --inUse;
}
