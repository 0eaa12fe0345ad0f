#pragma once
// Draws the spectrum panel into an image the caller owns and then shows.

#include "spectrum/SpectrumModel.h"

class QImage;

// The image's size is taken at each call (362 x 120 in the main window,
// 296 x 83 in the design dialog). Draws only: the snapshot was taken first.
void DrawSpectrum(const SpectrumSnapshot& s, QImage& image);
