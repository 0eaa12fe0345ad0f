#include "signal/Kaiser.h"

#include <cmath>
#include <cstring>

namespace {
// The design's own value of pi (ten decimals): the coefficients users have
// saved were computed with it.
constexpr double kPi = 3.1415926535;
}  // namespace

double BesselI0(double x) {
  double sum = 1.0;
  double term = 1.0;
  int k = 1;
  do {
    ++k;
    term = term * (x * 0.5) / (k - 1);
    sum = sum + term * term;
    // An overflowing (or NaN) series would otherwise never meet the test.
    if (!std::isfinite(sum)) return sum;
  } while (term * term >= 1e-8 * sum);
  return sum;
}

double KaiserBeta(double attDb) {
  if (attDb >= 50.0) return 0.1102 * (attDb - 8.7);
  if (attDb >= 21.0) return 0.5842 * std::pow(attDb - 21.0, 0.4) + 0.07886 * (attDb - 21.0);
  return 0.0;
}

void DesignFir(double* coefs, FilterParams& p) {
  const int n = ClampTap(p.tap);
  const int m = n / 2;
  double* work = p.work;

  if (p.type == FilterType::HPF)
    p.fc = 0.5 * p.fs - p.fcl;
  else if (p.type == FilterType::LPF)
    p.fc = p.fcl;
  else
    p.fc = (p.fch - p.fcl) * 0.5;

  const double beta = KaiserBeta(p.att);
  const double i0Beta = BesselI0(beta);
  for (int i = 0; i <= m; ++i) {
    const double r = n > 0 ? 2.0 * i / n : 0.0;
    const double w = BesselI0(beta * std::sqrt(1.0 - r * r)) / i0Beta;
    if (i == 0)
      work[0] = 2.0 * p.fc / p.fs;
    else
      work[i] = std::sin(2.0 * kPi * i * p.fc / p.fs) / (kPi * i) * w;
  }

  double s = work[0];
  double half = 0.0;
  for (int i = 1; i <= m; ++i) half += work[i];
  s += 2.0 * half;
  bool finite = true;
  for (int i = 0; i <= m; ++i) {
    work[i] /= s;
    if (!std::isfinite(work[i])) finite = false;
  }
  // No usable prototype: take the limit of a vanishing pass band.
  if (!finite) std::memset(work, 0, sizeof(double) * (m + 1));

  if (p.type == FilterType::LPF) {
  } else if (p.type == FilterType::HPF) {
    for (int k = 0; k <= m; ++k) work[k] *= std::cos(k * kPi);
  } else {
    const double w0 = (p.fcl + p.fch) * kPi / p.fs;
    if (p.type == FilterType::BPF) {
      for (int k = 0; k <= m; ++k) work[k] = 2.0 * std::cos(w0 * k) * work[k];
    } else {
      work[0] = 1.0 - 2.0 * work[0];
      for (int k = 1; k <= m; ++k) work[k] = -2.0 * std::cos(w0 * k) * work[k];
    }
  }
  // A non-finite fs or band edge can still poison the modulation.
  for (int k = 0; k <= m; ++k)
    if (!std::isfinite(work[k])) work[k] = 0.0;

  for (int j = 0; j <= m; ++j) coefs[j] = work[m - j] * p.gain;
  for (int l = 1; l <= m; ++l) coefs[m + l] = work[l] * p.gain;
  // The design of an odd N has only N coefficients; the last must not keep
  // whatever an earlier filter left there.
  if (n % 2 == 1) coefs[n] = 0.0;
}

void DesignFir(double* coefs, int tap, int type, double fs, double fcl, double fch, double att, double gain) {
  FilterParams p{};
  p.tap = tap;
  p.type = type;
  p.fs = fs;
  p.fcl = fcl;
  p.fch = fch;
  p.att = att;
  p.gain = gain;
  DesignFir(coefs, p);
}
