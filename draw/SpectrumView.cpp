#include "draw/SpectrumView.h"

#include <algorithm>
#include <cstring>

#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QPen>

#include "draw/StepLine.h"
#include "signal/SampleRate.h"

namespace {

// Black, the warning, the grid and the markers: every pixel but the
// rightmost column, which keeps what the image had.
void DrawBackdrop(QPainter& p, const SpectrumSnapshot& s, int width, int height) {
  const int w1 = width - 1, h1 = height - 1;
  p.setRenderHint(QPainter::Antialiasing, false);
  p.fillRect(0, 0, w1, height, Qt::black);

  if (s.warning) {
    QFont font = p.font();
    font.setPointSize(10);
    p.setFont(font);
    p.setPen(Qt::white);
    const QFontMetrics fm(font);
    const int x = w1 - fm.horizontalAdvance(QString::fromLatin1(s.warning)) - 3;
    p.drawText(x, fm.ascent(), QString::fromLatin1(s.warning));
  }

  const SpectrumWidth& row = SpectrumWidthFor(s.width);
  QPen pen(QColor(255, 255, 0));
  pen.setWidth(0);
  for (int i = 1; i <= row.lines; ++i) {
    pen.setStyle(row.Solid(i) ? Qt::SolidLine : Qt::DotLine);
    p.setPen(pen);
    const int x = static_cast<int>((i * row.stepHz * 2048.0 * w1) / (row.bins * kSampleRate));
    p.drawLine(x, 0, x, h1 - 1);  // the end point is not part of the line
  }
  // Thin markers: Fo (cyan), so a tone can be seen on it, and the notches (red).
  auto marker = [&](double hz, const QColor& colour) {
    if (hz <= 0.0) return;
    const int x = SpectrumHzToX(hz, width, s.width);
    if (x < 0 || x >= w1) return;
    QPen m(colour);
    m.setWidth(0);
    p.setPen(m);
    p.drawLine(x, 0, x, h1 - 1);
  };
  marker(s.foHz, QColor(0, 200, 255));
  for (int i = 0; i < s.notchCount && i < 4; ++i) marker(s.notchHz[i], QColor(255, 64, 64));
}

void DrawTrace(QImage& image, const SpectrumSnapshot& s) {
  if (!s.trace) return;
  const int width = image.width(), height = image.height();
  const int w1 = width - 1, h1 = height - 1;
  const SpectrumWidth& row = SpectrumWidthFor(s.width);
  constexpr int kBatch = 1024;
  int ys[kBatch + 1];
  // In batches that share their end points, for panels of any width.
  for (int start = 0; start < w1; start += kBatch) {
    const int count = std::min(w1 - start, kBatch + 1);
    for (int i = 0; i < count; ++i) {
      const int x = start + i;
      const int bin = (x * row.bins) / w1;
      int d = (s.levels[bin] * h1) / 256;
      if (d >= h1) d = h1 - 1;
      ys[i] = h1 - d;
    }
    PlotSteps(image, start, ys, count, qRgb(255, 255, 255), true);
  }
}

bool SameBackdrop(const SpectrumSnapshot& a, const SpectrumSnapshot& b) {
  if (a.width != b.width || a.foHz != b.foHz || a.notchCount != b.notchCount) return false;
  if ((a.warning == nullptr) != (b.warning == nullptr)) return false;
  if (a.warning && std::strcmp(a.warning, b.warning) != 0) return false;
  for (int i = 0; i < a.notchCount && i < 4; ++i)
    if (a.notchHz[i] != b.notchHz[i]) return false;
  return true;
}

}  // namespace

void DrawSpectrum(const SpectrumSnapshot& s, QImage& image) {
  if (image.width() < 2 || image.height() < 2) return;
  QPainter p(&image);
  DrawBackdrop(p, s, image.width(), image.height());
  p.end();
  DrawTrace(image, s);
}

bool DrawSpectrum(const SpectrumSnapshot& s, QImage& image, SpectrumBackdrop& backdrop) {
  const int width = image.width(), height = image.height();
  if (width < 2 || height < 2) return false;
  const bool sameBackdrop = backdrop.image.size() == image.size() && backdrop.image.format() == image.format() &&
                            SameBackdrop(backdrop.key, s);
  if (sameBackdrop && backdrop.shownKey == image.cacheKey() && backdrop.shown.trace == s.trace &&
      (!s.trace || std::equal(s.levels, s.levels + kSpectrumBins, backdrop.shown.levels)))
    return false;
  if (!sameBackdrop) {
    backdrop.image = QImage(image.size(), image.format());
    QPainter b(&backdrop.image);
    DrawBackdrop(b, s, width, height);
    backdrop.key = s;
  }
  // The last column is not the backdrop's: the trace never draws there and
  // the panel keeps what was there before.
  const qsizetype rowBytes = static_cast<qsizetype>(width - 1) * 4;
  if (image.depth() == 32) {
    for (int y = 0; y < height; ++y) std::memcpy(image.scanLine(y), backdrop.image.constScanLine(y), rowBytes);
  } else {
    QPainter p(&image);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.drawImage(QPoint(0, 0), backdrop.image, QRect(0, 0, width - 1, height));
  }
  DrawTrace(image, s);
  backdrop.shown = s;
  backdrop.shownKey = image.cacheKey();
  return true;
}
