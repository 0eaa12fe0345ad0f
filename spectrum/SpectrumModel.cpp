#include "spectrum/SpectrumModel.h"

#include <cmath>

#include "signal/SampleRate.h"

const SpectrumWidth& SpectrumWidthFor(int fftWidth) {
  static const SpectrumWidth widths[4] = {
      {"1K", 187, 100.0, 10, true},
      {"2K", 373, 200.0, 10, true},
      {"3K", 559, 500.0, 6, false},
      {"4K", 744, 500.0, 8, false},
  };
  return widths[fftWidth >= 0 && fftWidth <= 2 ? fftWidth : 3];
}

double SpectrumXToHz(int x, int imageWidth, int fftWidth) {
  const int w1 = imageWidth - 1;
  if (w1 < 1) return 0.0;
  return static_cast<double>(x) * SpectrumWidthFor(fftWidth).bins * kSampleRate / (w1 * 2048.0);
}

int SpectrumHzToX(double hz, int imageWidth, int fftWidth) {
  const int w1 = imageWidth - 1;
  return static_cast<int>(std::lround(hz * w1 * 2048.0 / (SpectrumWidthFor(fftWidth).bins * kSampleRate)));
}
