#include "design/ResponseCurve.h"

#include <cmath>
#include <cstdio>

#include "common/VectorState.h"
#include "signal/RateChange.h"
#include "signal/SampleRate.h"
#include "signal/Stages.h"

namespace {

constexpr double kOmegaConst = 6.283185307;  // 2 pi to ten digits, as the plot always used
constexpr double kDbPerNeper = 8.685888;

constexpr double kMaxLevel = 400.0;  // +320 dB: far above the frame, still a sane row

int RowFor(double m, const ResponseLayout& l) {
  if (m == 0.0) m = 1.0e-38;
  double level = kDbPerNeper * std::log(std::fabs(m)) + 80.0;
  if (level < 0.0) level = 0.0;
  // An infinite or undefined magnitude (coefficients near the double range)
  // plots at the top bound instead of overflowing the row.
  if (!(level <= kMaxLevel)) level = kMaxLevel;
  return l.bottom - static_cast<int>((l.bottom - l.top) * level * 0.0125);
}

}  // namespace

void FrequencyLabel(const ResponseAxis& axis, int j, char* text, int size) {
  std::snprintf(text, static_cast<std::size_t>(size), "%4.0lf", j * axis.xmax / axis.labelIntervals);
}

void LevelLabel(int j, char* text, int size) {
  std::snprintf(text, static_cast<std::size_t>(size), "-%2u", 20u * static_cast<unsigned>(j));
}

ResponseAxis AxisFor(int overSmp) {
  if (overSmp == 2) return {kSampleRate / 2, 3000.0, 14, 5, 3};
  if (overSmp == 3) return {kSampleRate / 3, 2000.0, 19, 5, 4};
  return {kSampleRate, 6000.0, 11, 4, 3};
}

ResponseLayout LayoutFor(int width, int height, bool large) {
  if (large) return {32, width - 16, 16, height - 24, 8, 8, 6, 6};
  return {24, width - 12, 8, height - 16, 6, 4, 3, 3};
}

void ResponseRowsDirect(const double* h, int tap, const ResponseAxis& axis, const ResponseLayout& layout,
                        int* rows) {
  ClearUpperVectorState();
  const double omega = kOmegaConst / axis.fs;
  const double df = axis.xmax / (layout.right - layout.left);
  double f = 0.0;
  for (int x = layout.left; x < layout.right; ++x) {
    double m = 1.0;
    if (tap != 0) {
      double re = 0.0, im = 0.0;
      for (int k = 0; k <= tap; ++k) re += h[k] * std::cos(omega * f * k);
      for (int k = 1; k <= tap; ++k) im -= h[k] * std::sin(omega * f * k);
      m = std::sqrt(re * re + im * im);
    }
    rows[x - layout.left] = RowFor(m, layout);
    f += df;
  }
}

void ResponseRows(const double* h, int tap, const ResponseAxis& axis, const ResponseLayout& layout,
                  int* rows, const double* extra) {
  ClearUpperVectorState();  // runs on the window thread, after Qt's drawing
  const double omega = kOmegaConst / axis.fs;
  const double df = axis.xmax / (layout.right - layout.left);
  const int columns = layout.right - layout.left;
  // The frequencies advance by repeated addition, as the direct form does.
  double f = 0.0;
  constexpr int kLanes = 4;
  for (int x0 = 0; x0 < columns; x0 += kLanes) {
    double cr[kLanes], ci[kLanes], ar[kLanes], ai[kLanes];
    for (int j = 0; j < kLanes; ++j) {
      // z^-1 = e^(-i theta); Horner: H = (((h[N] z^-1 + h[N-1]) z^-1 + ...) + h[0]).
      const double theta = omega * f;
      cr[j] = std::cos(theta);
      ci[j] = -std::sin(theta);
      ar[j] = h[tap];
      ai[j] = 0.0;
      f += df;
    }
    for (int k = tap - 1; k >= 0; --k) {
      const double hk = h[k];
      for (int j = 0; j < kLanes; ++j) {
        const double r = ar[j] * cr[j] - ai[j] * ci[j] + hk;
        ai[j] = ar[j] * ci[j] + ai[j] * cr[j];
        ar[j] = r;
      }
    }
    for (int j = 0; j < kLanes && x0 + j < columns; ++j) {
      double m = tap == 0 ? 1.0 : std::sqrt(ar[j] * ar[j] + ai[j] * ai[j]);
      if (extra) m *= extra[x0 + j];
      rows[x0 + j] = RowFor(m, layout);
    }
  }
}

double PathMagnitude(int overSmp, const double* notchHz, int notchCount, double hz) {
  double m = 1.0;
  if (overSmp == 2 || overSmp == 3) {
    // The rate pair's own low-pass, built as the running ones are.
    static const Decimator2 d2;
    static const Decimator3 d3;
    const double d = overSmp == 2 ? ResponseMagnitude(d2.coef, 36, kSampleRate, hz)
                                  : ResponseMagnitude(d3.coef, 48, kSampleRate, hz);
    m *= d * d;
  }
  if (notchCount > 0) {
    NotchStage notches;
    notches.Setup(notchHz, notchCount);
    const double w = 6.283185307179586 * hz / kSampleRate;
    const double c1 = std::cos(w), s1 = std::sin(w), c2 = std::cos(2 * w), s2 = std::sin(2 * w);
    for (int k = 0; k < notches.count; ++k) {
      const NotchStage::Section& s = notches.sections[k];
      // (b0 + b1 z^-1 + b0 z^-2) / (1 + a1 z^-1 + a2 z^-2) at z = e^(i w).
      const double nr = s.b0 + s.b1 * c1 + s.b0 * c2, ni = -(s.b1 * s1 + s.b0 * s2);
      const double dr = 1.0 + s.a1 * c1 + s.a2 * c2, di = -(s.a1 * s1 + s.a2 * s2);
      m *= std::sqrt((nr * nr + ni * ni) / (dr * dr + di * di));
    }
  }
  return m;
}

bool PathMagnitudes(int overSmp, const double* notchHz, int notchCount, const ResponseAxis& axis,
                    const ResponseLayout& layout, double* extra) {
  if (overSmp != 2 && overSmp != 3 && notchCount <= 0) return false;
  const double df = axis.xmax / (layout.right - layout.left);
  double f = 0.0;  // the columns' frequencies, advanced as ResponseRows does
  for (int x = 0; x < layout.right - layout.left; ++x, f += df)
    extra[x] = PathMagnitude(overSmp, notchHz, notchCount, f);
  return true;
}

double ResponseMagnitude(const double* h, int tap, double fs, double hz) {
  if (tap <= 0) return 1.0;
  // Horner in z^-1 = e^(-i theta), as ResponseRows.
  const double theta = 6.283185307179586 * hz / fs;
  const double cr = std::cos(theta), ci = -std::sin(theta);
  double ar = h[tap], ai = 0.0;
  for (int k = tap - 1; k >= 0; --k) {
    const double r = ar * cr - ai * ci + h[k];
    ai = ar * ci + ai * cr;
    ar = r;
  }
  return std::sqrt(ar * ar + ai * ai);
}
