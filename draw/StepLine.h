#pragma once
// The curves of both plots are polylines with one point per pixel column.
// Drawn here straight into the image's pixels: through QPainter each short
// segment cost more than the pixels it set (the raster engine's wide-vector
// fills stall its own code on Intel cores), and the live plots redraw ten
// times a second.

#include <QImage>
#include <QRgb>

// Joins (x0 + i, ys[i]) for i = 0..count-1 in one colour as one-pixel lines
// do: a step from row a to row b fills column x from a towards b, leaving
// out b, and sets b in column x+1. A level step sets (x, a) and, when
// levelPairs, (x+1, a). Anything outside the image is left out. Images that
// are not 32 bits a pixel are drawn through QPainter instead.
void PlotSteps(QImage& image, int x0, const int* ys, int count, QRgb colour, bool levelPairs);
