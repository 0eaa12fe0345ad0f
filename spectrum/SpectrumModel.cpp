#include "spectrum/SpectrumModel.h"

const SpectrumWidth& SpectrumWidthFor(int fftWidth) {
  static const SpectrumWidth widths[4] = {
      {"1K", 187, 100.0, 10, true},
      {"2K", 373, 200.0, 10, true},
      {"3K", 559, 500.0, 6, false},
      {"4K", 744, 500.0, 8, false},
  };
  return widths[fftWidth >= 0 && fftWidth <= 2 ? fftWidth : 3];
}
