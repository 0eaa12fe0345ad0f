#include "signal/RateChange.h"

#include <cstring>

#include "signal/Kaiser.h"

namespace {
template <int N>
inline void ShiftIn(double (&line)[N], double x) {
  std::memmove(line, line + 1, sizeof(double) * (N - 1));
  line[N - 1] = x;
}
}  // namespace

Decimator2::Decimator2() {
  std::memset(lineA, 0, sizeof lineA);
  std::memset(lineB, 0, sizeof lineB);
  DesignFir(coef, 36, FilterType::LPF, 11025.0, 2900.0, 3000.0, 70.0, 1.0);
}

double Decimator2::Process(double v, double u) {
  ShiftIn(lineA, v);
  ShiftIn(lineB, u);
  // Oldest term first: lineA[0]*coef[36], lineB[0]*coef[35], lineA[1]*coef[34], ...
  double sum = lineA[0] * coef[36];
  for (int k = 17; k >= 0; --k) {
    sum += lineB[17 - k] * coef[2 * k + 1];
    sum += lineA[18 - k] * coef[2 * k];
  }
  return sum;
}

Interpolator2::Interpolator2() {
  std::memset(lowLine, 0, sizeof lowLine);
  DesignFir(coef, 36, FilterType::LPF, 11025.0, 2900.0, 3000.0, 70.0, 2.0);
}

void Interpolator2::Process(double y, double& first, double& second) {
  ShiftIn(lowLine, y);
  double a = 0.0;
  for (int k = 18; k >= 0; --k) a += lowLine[18 - k] * coef[2 * k];
  double b = 0.0;
  for (int k = 17; k >= 0; --k) b += lowLine[18 - k] * coef[2 * k + 1];
  first = a;
  second = b;
}

Decimator3::Decimator3() {
  std::memset(lineA, 0, sizeof lineA);
  std::memset(lineB, 0, sizeof lineB);
  std::memset(lineC, 0, sizeof lineC);
  DesignFir(coef, 48, FilterType::LPF, 11025.0, 1300.0, 3000.0, 70.0, 1.0);
}

double Decimator3::Process(double v, double u, double w) {
  ShiftIn(lineA, v);
  ShiftIn(lineB, u);
  ShiftIn(lineC, w);
  // Oldest first: lineA[0]*coef[48], lineC[0]*coef[47], lineB[0]*coef[46], ...
  double sum = lineA[0] * coef[48];
  for (int k = 15; k >= 0; --k) {
    sum += lineC[15 - k] * coef[3 * k + 2];
    sum += lineB[15 - k] * coef[3 * k + 1];
    sum += lineA[16 - k] * coef[3 * k];
  }
  return sum;
}

Interpolator3::Interpolator3() {
  std::memset(lowLine, 0, sizeof lowLine);
  DesignFir(coef, 48, FilterType::LPF, 11025.0, 1300.0, 3000.0, 70.0, 3.0);
}

void Interpolator3::Process(double y, double& first, double& second, double& third) {
  ShiftIn(lowLine, y);
  double a = 0.0;
  for (int k = 16; k >= 0; --k) a += lowLine[16 - k] * coef[3 * k];
  double b = 0.0;
  for (int k = 15; k >= 0; --k) b += lowLine[16 - k] * coef[3 * k + 1];
  double c = 0.0;
  for (int k = 15; k >= 0; --k) c += lowLine[16 - k] * coef[3 * k + 2];
  first = a;
  second = b;
  third = c;
}
