#pragma once
// Draws the spectrum panel into an image the caller owns and then shows.

class CFilter;
class QImage;

// The image's size is taken at each call (362 x 120 in the main window,
// 296 x 83 in the design dialog). User-interface thread only.
void DrawSpectrum(CFilter& filter, QImage& image);
