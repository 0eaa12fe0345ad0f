#include "signal/RateChange.h"

#include <cstring>

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
  FirDots(lowLine.Window(19), phase0, 19, &first, 1);
  FirDots(lowLine.Window(18), phase1, 18, &second, 1);
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
  FirDots(lowLine.Window(17), phase0, 17, &first, 1);
  FirDots(lowLine.Window(16), phase1, 16, &second, 1);
  FirDots(lowLine.Window(16), phase2, 16, &third, 1);
}

// The block forms: the line's history, then the block, in one array; each
// window is the one Process would see after its pushes, so every value is
// the same; the line then takes the block's last samples.

namespace {
template <int Capacity>
void Extend(const DelayLine<Capacity>& line, int history, const double* block, int count, double* ext) {
  std::memcpy(ext, line.Window(history), sizeof(double) * history);
  std::memcpy(ext + history, block, sizeof(double) * count);
}

template <int Capacity>
void Follow(DelayLine<Capacity>& line, const double* block, int count) {
  for (int i = count > Capacity ? count - Capacity : 0; i < count; ++i) line.Push(block[i]);
}
}  // namespace

void Decimator2::ProcessPairs(const double* in, int pairs, double* out, double* ext) {
  if (pairs <= 0) return;
  Extend(line, 36, in, 2 * pairs, ext);
  for (int k = 0; k < pairs; ++k) out[k] = DotProduct(ext + 2 * k + 1, rev, 37);
  Follow(line, in, 2 * pairs);
}

void Decimator3::ProcessGroups(const double* in, int groups, double* out, double* ext) {
  if (groups <= 0) return;
  Extend(line, 48, in, 3 * groups, ext);
  for (int k = 0; k < groups; ++k) out[k] = DotProduct(ext + 3 * k + 2, rev, 49);
  Follow(line, in, 3 * groups);
}

// The interpolators' branches see consecutive windows, so each branch runs
// as one FIR over the block (many outputs per pass), in pieces of kPiece.
constexpr int kPiece = 256;

void Interpolator2::ProcessBlock(const double* low, int count, double* out, double* ext) {
  if (count <= 0) return;
  Extend(lowLine, 18, low, count, ext);
  double first[kPiece], second[kPiece];
  for (int k0 = 0; k0 < count; k0 += kPiece) {
    const int m = count - k0 < kPiece ? count - k0 : kPiece;
    FirDots(ext + k0, phase0, 19, first, m);
    FirDots(ext + k0 + 1, phase1, 18, second, m);
    for (int k = 0; k < m; ++k) {
      out[2 * (k0 + k)] = first[k];
      out[2 * (k0 + k) + 1] = second[k];
    }
  }
  Follow(lowLine, low, count);
}

void Interpolator3::ProcessBlock(const double* low, int count, double* out, double* ext) {
  if (count <= 0) return;
  Extend(lowLine, 16, low, count, ext);
  double first[kPiece], second[kPiece], third[kPiece];
  for (int k0 = 0; k0 < count; k0 += kPiece) {
    const int m = count - k0 < kPiece ? count - k0 : kPiece;
    FirDots(ext + k0, phase0, 17, first, m);
    FirDots(ext + k0 + 1, phase1, 16, second, m);
    FirDots(ext + k0 + 1, phase2, 16, third, m);
    for (int k = 0; k < m; ++k) {
      out[3 * (k0 + k)] = first[k];
      out[3 * (k0 + k) + 1] = second[k];
      out[3 * (k0 + k) + 2] = third[k];
    }
  }
  Follow(lowLine, low, count);
}
