#include "spectrum/RealFft.h"

#include <cmath>
#include <utility>

namespace {
constexpr double kTwoPi = 6.283185307179586;
}

RealFft::RealFft(int points)
    : n_(points), twiddle_(new double[points / 2 + points]), reversed_(new int[points / 2]) {
  const int half = n_ / 2;
  for (int m = 0; m < half / 2; ++m) {
    twiddle_[2 * m] = std::cos(kTwoPi * m / half);
    twiddle_[2 * m + 1] = -std::sin(kTwoPi * m / half);
  }
  double* split = twiddle_.get() + half;
  for (int k = 0; k < half; ++k) {
    split[2 * k] = std::cos(kTwoPi * k / n_);
    split[2 * k + 1] = -std::sin(kTwoPi * k / n_);
  }
  for (int i = 0; i < half; ++i) {
    int r = 0;
    for (int bit = 1, rb = half >> 1; bit < half; bit <<= 1, rb >>= 1)
      if (i & bit) r |= rb;
    reversed_[i] = r;
  }
}

void RealFft::Transform(double* a) const {
  const int half = n_ / 2;
  for (int i = 0; i < half; ++i) {
    const int j = reversed_[i];
    if (j > i) {
      std::swap(a[2 * i], a[2 * j]);
      std::swap(a[2 * i + 1], a[2 * j + 1]);
    }
  }
  for (int len = 2; len <= half; len <<= 1) {
    const int h = len >> 1, step = half / len;
    for (int start = 0; start < half; start += len) {
      for (int m = 0; m < h; ++m) {
        const double wr = twiddle_[2 * m * step], wi = twiddle_[2 * m * step + 1];
        double* u = a + 2 * (start + m);
        double* v = a + 2 * (start + m + h);
        const double tr = v[0] * wr - v[1] * wi, ti = v[0] * wi + v[1] * wr;
        v[0] = u[0] - tr;
        v[1] = u[1] - ti;
        u[0] += tr;
        u[1] += ti;
      }
    }
  }
}

void RealFft::Power(double* x, double* power) const {
  // z[j] = x[2j] + i x[2j+1]; its transform Z gives the real DFT as
  // X[k] = E[k] + e^(-2 pi i k/N) O[k], E = (Z[k] + conj Z[N/2-k]) / 2,
  // O = (Z[k] - conj Z[N/2-k]) / 2i.
  const int half = n_ / 2;
  Transform(x);
  const double* split = twiddle_.get() + half;
  power[0] = (x[0] + x[1]) * (x[0] + x[1]);
  power[half] = (x[0] - x[1]) * (x[0] - x[1]);
  for (int k = 1; k < half; ++k) {
    const double zr = x[2 * k], zi = x[2 * k + 1];
    const double cr = x[2 * (half - k)], ci = -x[2 * (half - k) + 1];
    const double er = 0.5 * (zr + cr), ei = 0.5 * (zi + ci);
    const double dr = 0.5 * (zr - cr), di = 0.5 * (zi - ci);
    const double orr = di, oi = -dr;
    const double tr = split[2 * k], ti = split[2 * k + 1];
    const double xr = er + tr * orr - ti * oi, xi = ei + tr * oi + ti * orr;
    power[k] = xr * xr + xi * xi;
  }
}
