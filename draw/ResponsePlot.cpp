#include "draw/ResponsePlot.h"

#include <algorithm>
#include <cstring>

#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QPen>

#include "draw/StepLine.h"
#include "signal/FilterDefinition.h"

namespace {

// Lines end one pixel short of their end point, as the plot always drew them.
void Line(QPainter& p, int x0, int y0, int x1, int y1) {
  if (x0 == x1 && y0 == y1) return;
  const int dx = x1 > x0 ? 1 : (x1 < x0 ? -1 : 0), dy = y1 > y0 ? 1 : (y1 < y0 ? -1 : 0);
  if (x0 == x1 || y0 == y1)
    p.drawLine(x0, y0, x1 - dx, y1 - dy);
  else
    p.drawLine(x0, y0, x1, y1);
}

// Everything but the curve: white, frame, grid, labels and the Nyquist line.
void DrawFrame(QPainter& p, const QImage& image, const ResponseAxis& axis, const ResponseLayout& l) {
  p.setRenderHint(QPainter::Antialiasing, false);
  p.fillRect(0, 0, image.width(), image.height(), Qt::white);
  QFont font = p.font();
  font.setPointSize(l.fontPt);
  p.setFont(font);
  const QFontMetrics fm(font);

  QPen pen(Qt::black);
  pen.setWidth(0);
  p.setPen(pen);
  Line(p, l.left, l.top, l.right, l.top);
  Line(p, l.right, l.top, l.right, l.bottom);
  Line(p, l.right, l.bottom, l.left, l.bottom);
  Line(p, l.left, l.bottom, l.left, l.top);

  pen.setColor(QColor(128, 128, 128));
  for (int i = 1; i < l.divisions; ++i) {
    pen.setStyle(i % 2 == 1 ? Qt::DotLine : Qt::SolidLine);
    p.setPen(pen);
    const int y = l.top + static_cast<int>(i * (l.bottom - l.top) / static_cast<double>(l.divisions));
    Line(p, l.left, y, l.right, y);
  }

  auto text = [&](int x, int top, const char* s) {
    p.drawText(x, top + fm.ascent(), QString::fromLatin1(s));
  };
  char label[32];
  for (int j = 1; j <= 4; ++j) {
    const int y = l.top + static_cast<int>(j * (l.bottom - l.top) * 0.25);
    LevelLabel(j, label, sizeof label);
    text(l.left - l.labelGap - fm.horizontalAdvance(QString::fromLatin1(label)), y - fm.height() / 2, label);
  }
  text(l.left - 6 - fm.horizontalAdvance(QStringLiteral("dB")), l.top - fm.height() / 2, "dB");

  for (int j = 1; j <= axis.lines; ++j) {
    pen.setStyle(j % axis.solidEvery == 0 ? Qt::SolidLine : Qt::DotLine);
    p.setPen(pen);
    const int x = l.left + static_cast<int>(j * (l.right - l.left) / static_cast<double>(axis.lines + 1));
    Line(p, x, l.top, x, l.bottom);
  }
  for (int j = 0; j <= axis.labelIntervals; ++j) {
    const int x =
        l.left + static_cast<int>(j * (l.right - l.left) / static_cast<double>(axis.labelIntervals));
    FrequencyLabel(axis, j, label, sizeof label);
    text(x - fm.horizontalAdvance(QString::fromLatin1(label)) / 2, l.bottom + l.labelDy, label);
  }

  pen.setColor(QColor(255, 0, 0));
  pen.setStyle(Qt::DotLine);
  p.setPen(pen);
  const int nyquist = l.left + static_cast<int>(axis.fs * 0.5 * ((l.right - l.left) / axis.xmax));
  Line(p, nyquist, l.top, nyquist, l.bottom);
}

// A level segment is the point at its start, as Line draws it.
void DrawCurve(QImage& image, const ResponseLayout& l, const int* rows) {
  PlotSteps(image, l.left, rows, l.right - l.left, qRgb(0, 0, 255), false);
}

bool Drawable(const ResponseLayout& l) {
  const int columns = l.right - l.left;
  return columns >= 1 && columns <= kMaxResponseColumns && l.bottom > l.top;
}

}  // namespace

void DrawResponse(const FilterDefinition& filter, QImage& image, bool large, const double* notchHz,
                  int notchCount) {
  const ResponseAxis axis = AxisFor(filter.overSmp);
  const ResponseLayout l = LayoutFor(image.width(), image.height(), large);
  QPainter p(&image);
  if (!Drawable(l)) {
    p.fillRect(0, 0, image.width(), image.height(), Qt::white);
    return;
  }
  DrawFrame(p, image, axis, l);
  p.end();
  int rows[kMaxResponseColumns];
  double extra[kMaxResponseColumns];
  const bool path = PathMagnitudes(filter.overSmp, notchHz, notchCount, axis, l, extra);
  ResponseRows(filter.h, ClampTap(filter.tap), axis, l, rows, path ? extra : nullptr);
  DrawCurve(image, l, rows);
}

bool DrawResponse(const FilterDefinition& filter, QImage& image, bool large, ResponseBackdrop& last,
                  const double* notchHz, int notchCount) {
  const ResponseAxis axis = AxisFor(filter.overSmp);
  const ResponseLayout l = LayoutFor(image.width(), image.height(), large);
  if (!Drawable(l)) {
    last.columns = -1;
    DrawResponse(filter, image, large, notchHz, notchCount);
    return true;
  }
  const int columns = l.right - l.left;
  int rows[kMaxResponseColumns];
  double extra[kMaxResponseColumns];
  const bool path = PathMagnitudes(filter.overSmp, notchHz, notchCount, axis, l, extra);
  ResponseRows(filter.h, ClampTap(filter.tap), axis, l, rows, path ? extra : nullptr);
  // The axis depends on the ratio only through AxisFor's three cases.
  const int ratio = filter.overSmp == 2 || filter.overSmp == 3 ? filter.overSmp : 1;
  const bool sameFrame = last.width == image.width() && last.height == image.height() && last.ratio == ratio &&
                         last.large == large && !last.image.isNull() && last.image.format() == image.format();
  if (sameFrame && last.shown == image.cacheKey() && last.columns == columns &&
      std::equal(rows, rows + columns, last.rows))
    return false;
  if (!sameFrame) {
    last.image = QImage(image.size(), image.format());
    QPainter frame(&last.image);
    DrawFrame(frame, last.image, axis, l);
    last.width = image.width();
    last.height = image.height();
    last.ratio = ratio;
    last.large = large;
  }
  // Same size and format: the backdrop's bytes are the picture's.
  std::memcpy(image.bits(), last.image.constBits(), static_cast<std::size_t>(image.sizeInBytes()));
  DrawCurve(image, l, rows);
  std::copy(rows, rows + columns, last.rows);
  last.columns = columns;
  last.shown = image.cacheKey();
  return true;
}
