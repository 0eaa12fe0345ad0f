#include "draw/SpectrumView.h"

#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QPen>

#include "signal/SampleRate.h"

void DrawSpectrum(const SpectrumSnapshot& s, QImage& image) {
  const int w1 = image.width() - 1, h1 = image.height() - 1;
  if (w1 < 1 || h1 < 1) return;
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing, false);
  // Every pixel but the rightmost column.
  p.fillRect(0, 0, w1, image.height(), Qt::black);

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
    const int x = SpectrumHzToX(hz, image.width(), s.width);
    if (x < 0 || x >= w1) return;
    QPen m(colour);
    m.setWidth(0);
    p.setPen(m);
    p.drawLine(x, 0, x, h1 - 1);
  };
  marker(s.foHz, QColor(0, 200, 255));
  for (int i = 0; i < s.notchCount && i < 4; ++i) marker(s.notchHz[i], QColor(255, 64, 64));
  if (!s.trace) return;

  pen.setColor(Qt::white);
  pen.setStyle(Qt::SolidLine);
  p.setPen(pen);
  QPoint previous;
  for (int x = 0; x < w1; ++x) {
    const int bin = (x * row.bins) / w1;
    int d = (s.levels[bin] * h1) / 256;
    if (d >= h1) d = h1 - 1;
    const QPoint point(x, h1 - d);
    if (x == 0)
      p.drawPoint(point);
    else
      p.drawLine(previous, point);
    previous = point;
  }
}
