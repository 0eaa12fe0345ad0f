#include "draw/StepLine.h"

#include <algorithm>

#include <QPainter>
#include <QPen>

namespace {

bool ThirtyTwoBits(QImage::Format f) {
  return f == QImage::Format_RGB32 || f == QImage::Format_ARGB32 || f == QImage::Format_ARGB32_Premultiplied;
}

void PlotThroughPainter(QImage& image, int x0, const int* ys, int count, QRgb colour, bool levelPairs) {
  QPainter p(&image);
  QPen pen{QColor(colour)};
  pen.setWidth(0);
  p.setPen(pen);
  if (count == 1) p.drawPoint(x0, ys[0]);
  for (int i = 1; i < count; ++i) {
    const int x = x0 + i - 1, a = ys[i - 1], b = ys[i];
    if (a == b && !levelPairs)
      p.drawPoint(x, a);
    else
      p.drawLine(x, a, x + 1, b);
  }
}

}  // namespace

void PlotSteps(QImage& image, int x0, const int* ys, int count, QRgb colour, bool levelPairs) {
  if (count <= 0 || image.isNull()) return;
  if (!ThirtyTwoBits(image.format())) {
    PlotThroughPainter(image, x0, ys, count, colour, levelPairs);
    return;
  }
  const int width = image.width(), height = image.height();
  const qsizetype stride = image.bytesPerLine() / 4;
  quint32* const bits = reinterpret_cast<quint32*>(image.bits());
  // Rows from `from` to `to` (inclusive, any order) of column x.
  const auto column = [&](int x, int from, int to) {
    if (x < 0 || x >= width) return;
    int lo = std::max(std::min(from, to), 0), hi = std::min(std::max(from, to), height - 1);
    for (quint32* p = bits + lo * stride + x; lo <= hi; ++lo, p += stride) *p = colour;
  };
  if (count == 1) column(x0, ys[0], ys[0]);
  for (int i = 1; i < count; ++i) {
    const int x = x0 + i - 1, a = ys[i - 1], b = ys[i];
    if (a == b) {
      column(x, a, a);
      if (levelPairs) column(x + 1, a, a);
      continue;
    }
    column(x, a, b > a ? b - 1 : b + 1);
    column(x + 1, b, b);
  }
}
