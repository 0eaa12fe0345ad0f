#pragma once
// What the spectrum panel shows, apart from pixels: the width table and
// what one drawing takes from the processing thread.

#include "signal/NotchLimits.h"

struct SpectrumWidth {
  const char* label;
  int bins;              // N: bins across the panel
  double stepHz;         // grid step
  int lines;             // grid lines 1..lines
  bool solidEveryFifth;  // solid at i = 5 and 10; otherwise at even i
  bool Solid(int i) const { return solidEveryFifth ? i % 5 == 0 : i % 2 == 0; }
};

// fftWidth 0..3 ("1K".."4K"); any other value draws as 3.
const SpectrumWidth& SpectrumWidthFor(int fftWidth);

constexpr int kSpectrumBins = 745;  // bins 0..744: the widest panel's

// What one drawing of a spectrum panel shows, copied out of the engine.
struct SpectrumSnapshot {
  int levels[kSpectrumBins] = {};  // display levels by bin, 0..255 fill the panel
  int width = 2;                   // fftWidth at the time
  bool trace = false;              // fftMode is not OFF
  const char* warning = nullptr;   // "Lost", "Over" or nullptr
  // Markers the window adds: the tone frequency Fo and the notches, in Hz
  // (0 or fewer: none).
  double foHz = 0.0;
  int notchCount = 0;
  double notchHz[kMaxNotches] = {};
};

// Where a frequency falls on a panel imageWidth pixels wide at fftWidth,
// and back: the trace's own scale (bin b at x = b * (width-1) / bins, bin b
// is b * 11025 / 2048 Hz).
double SpectrumXToHz(int x, int imageWidth, int fftWidth);
int SpectrumHzToX(double hz, int imageWidth, int fftWidth);
