#pragma once
// Geometry and values of the frequency-response plot, without any drawing:
// the axis by oversampling ratio, the two layouts, and the curve's row for
// every pixel column.

struct ResponseAxis {
  double fs;    // rate the filter runs at, Hz
  double xmax;  // right edge of the axis, Hz
  int lines;    // vertical grid lines
  int solidEvery;
  int labelIntervals;
};

struct ResponseLayout {
  int left, right, top, bottom;
  int fontPt;
  int divisions;  // horizontal grid divisions (10 or 20 dB apart)
  int labelGap;   // level labels end this far left of `left`
  int labelDy;    // frequency labels' top below `bottom`
};

// Ratios other than 2 and 3 give the full-rate axis.
ResponseAxis AxisFor(int overSmp);
// large: the design dialog's layout; otherwise the main window's.
ResponseLayout LayoutFor(int width, int height, bool large);

constexpr int kMaxResponseColumns = 4096;

// Label j = 0..labelIntervals of the frequency axis: "%4.0lf" of its
// frequency ("   0", " 500", "2000").
void FrequencyLabel(const ResponseAxis& axis, int j, char* text, int size);
// Level label j = 1..4: "-20", "-40", "-60", "-80".
void LevelLabel(int j, char* text, int size);

// Row of the curve for each column x = left .. right-1 (rows[x - left]),
// from coefficients h[0..tap]. Rows above `top` mean gains above 0 dB.
// Evaluated by a complex Horner recurrence, four columns at a time; the
// rows agree with ResponseRowsDirect except where rounding crosses a pixel
// boundary. Allocates nothing.
// extra: per-column factors (PathMagnitudes), or null.
void ResponseRows(const double* h, int tap, const ResponseAxis& axis, const ResponseLayout& layout,
                  int* rows, const double* extra = nullptr);
// The same from one cosine and one sine per coefficient and column.
void ResponseRowsDirect(const double* h, int tap, const ResponseAxis& axis, const ResponseLayout& layout,
                        int* rows);

// |H| at hz of coefficients h[0..tap] running at fs Hz (1 for tap 0).
double ResponseMagnitude(const double* h, int tap, double fs, double hz);

// What plays besides a filter's own coefficients: at ratio 2 or 3 the rate
// change's pair of low-passes around it (the same filter down and up, so
// its magnitude squared), and the notches after it. |H| at hz (Hz at the
// full rate); 1 where nothing else is in the path.
double PathMagnitude(int overSmp, const double* notchHz, int notchCount, double hz);
// The same for every column of the plot, to multiply ResponseRows' curve
// by (extra[x - left]); false, writing nothing, when nothing else plays.
bool PathMagnitudes(int overSmp, const double* notchHz, int notchCount, const ResponseAxis& axis,
                    const ResponseLayout& layout, double* extra);
