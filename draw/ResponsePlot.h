#pragma once
// Draws the magnitude response of a filter's coefficients into an image the
// caller owns: the design dialog's large layout or the main window's small
// one, from a definition (for a live LMS filter, one taken at one instant
// with its weights). User-interface thread only; allocates nothing.

#include <QImage>

#include "design/ResponseCurve.h"

struct FilterDefinition;

// What plays: the filter's coefficients, the rate change around them (at
// ratio 2 or 3) and the notches (notchHz[0..notchCount)) after them.
void DrawResponse(const FilterDefinition& filter, QImage& image, bool large, const double* notchHz = nullptr,
                  int notchCount = 0);

// What the last drawing into one image left there: the frame, grid and
// labels (drawn once, copied under each curve) and the curve's rows, so a
// live LMS plot that has not moved by a pixel is neither drawn nor shown.
struct ResponseBackdrop {
  QImage image;
  int width = 0, height = 0, ratio = -1;
  bool large = false;
  int columns = -1;
  qint64 shown = 0;  // the image's cacheKey after the last drawing: anything else drew there since
  int rows[kMaxResponseColumns];
};

// The same picture as above; returns false, drawing nothing, when the image
// already shows it.
bool DrawResponse(const FilterDefinition& filter, QImage& image, bool large, ResponseBackdrop& last,
                  const double* notchHz = nullptr, int notchCount = 0);
