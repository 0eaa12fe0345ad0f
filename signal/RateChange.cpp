#include "signal/RateChange.h"

#include "signal/DotKernel.h"
#include "signal/Kaiser.h"
#include "signal/SampleRate.h"

Decimator2::Decimator2() {
  line.Clear();
  DesignFir(coef, 36, FilterType::LPF, kSampleRate, 2900.0, 3000.0, 70.0, 1.0);
  for (int j = 0; j < 37; ++j) rev[j] = coef[36 - j];
}

double Decimator2::Process(double v, double u) {
  line.Push(u);
  line.Push(v);
  // The 37-tap FIR at v's instant: coef[0] weights v.
  return DotProduct(line.Window(37), rev, 37);
}

Interpolator2::Interpolator2() {
  lowLine.Clear();
  DesignFir(coef, 36, FilterType::LPF, kSampleRate, 2900.0, 3000.0, 70.0, 2.0);
  // Window element i is the input 18-i (first) or 17-i (second) steps old.
  for (int i = 0; i < 19; ++i) phase0[i] = coef[2 * (18 - i)];
  for (int i = 0; i < 18; ++i) phase1[i] = coef[2 * (17 - i) + 1];
}

void Interpolator2::Process(double y, double& first, double& second) {
  lowLine.Push(y);
  first = DotProduct(lowLine.Window(19), phase0, 19);
  second = DotProduct(lowLine.Window(18), phase1, 18);
}

Decimator3::Decimator3() {
  line.Clear();
  DesignFir(coef, 48, FilterType::LPF, kSampleRate, 1300.0, 3000.0, 70.0, 1.0);
  for (int j = 0; j < 49; ++j) rev[j] = coef[48 - j];
}

double Decimator3::Process(double v, double u, double w) {
  line.Push(w);
  line.Push(u);
  line.Push(v);
  return DotProduct(line.Window(49), rev, 49);
}

Interpolator3::Interpolator3() {
  lowLine.Clear();
  DesignFir(coef, 48, FilterType::LPF, kSampleRate, 1300.0, 3000.0, 70.0, 3.0);
  for (int i = 0; i < 17; ++i) phase0[i] = coef[3 * (16 - i)];
  for (int i = 0; i < 16; ++i) phase1[i] = coef[3 * (15 - i) + 1];
  for (int i = 0; i < 16; ++i) phase2[i] = coef[3 * (15 - i) + 2];
}

void Interpolator3::Process(double y, double& first, double& second, double& third) {
  lowLine.Push(y);
  first = DotProduct(lowLine.Window(17), phase0, 17);
  second = DotProduct(lowLine.Window(16), phase1, 16);
  third = DotProduct(lowLine.Window(16), phase2, 16);
}
