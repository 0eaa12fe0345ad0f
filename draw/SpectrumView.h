#pragma once
// Draws the spectrum panel into an image the caller owns and then shows.

#include <QImage>

#include "spectrum/SpectrumModel.h"

// The image's size is taken at each call (362 x 120 in the main window,
// 296 x 83 in the design dialog). Draws only: the snapshot was taken first.
void DrawSpectrum(const SpectrumSnapshot& s, QImage& image);

// The panel under the trace (black, grid, markers, warning) as last drawn,
// copied under each new trace instead of drawn again: the dotted grid
// lines are most of the drawing's cost.
struct SpectrumBackdrop {
  QImage image;
  SpectrumSnapshot key;  // the fields the backdrop depends on
  // The last picture drawn over it, and the image it went into: the panel
  // is redrawn ten times a second, a new spectrum comes about five times.
  SpectrumSnapshot shown;
  qint64 shownKey = 0;
};

// The same picture as above, drawn over a backdrop kept between calls.
// Returns false, drawing nothing, when the image already shows this picture
// (nothing else drew there since).
bool DrawSpectrum(const SpectrumSnapshot& s, QImage& image, SpectrumBackdrop& backdrop);
