#pragma once
// Draws the magnitude response of a filter's coefficients into an image the
// caller owns: the design dialog's large layout or the main window's small
// one. Reads the filter at one instant, so a live LMS filter can be drawn
// while it adapts. User-interface thread only; allocates nothing.

class CFilterCore;
class QImage;

void DrawResponse(const CFilterCore& filter, QImage& image, bool large);
