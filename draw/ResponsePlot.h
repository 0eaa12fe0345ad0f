#pragma once
// Draws the magnitude response of a filter's coefficients into an image the
// caller owns: the design dialog's large layout or the main window's small
// one, from a definition (for a live LMS filter, one taken at one instant
// with its weights). User-interface thread only; allocates nothing.

struct FilterDefinition;
class QImage;

void DrawResponse(const FilterDefinition& filter, QImage& image, bool large);
