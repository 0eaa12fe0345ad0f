#include "draw/WaterfallView.h"

#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QPen>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "design/ResponseCurve.h"
#include "signal/FilterDefinition.h"
#include "signal/SampleRate.h"

namespace {

// CIELAB (D65) to 8-bit sRGB; false when out of the gamut.
bool LabToRgb(double l, double a, double b, int rgb[3]) {
  auto finv = [](double t) {
    return t > 6.0 / 29 ? t * t * t : 3 * (6.0 / 29) * (6.0 / 29) * (t - 4.0 / 29);
  };
  const double fy = (l + 16) / 116, fx = fy + a / 500, fz = fy - b / 200;
  const double x = 0.95047 * finv(fx), y = finv(fy), z = 1.08883 * finv(fz);
  const double lin[3] = {3.2404542 * x - 1.5371385 * y - 0.4985314 * z,
                         -0.9692660 * x + 1.8760108 * y + 0.0415560 * z,
                         0.0556434 * x - 0.2040259 * y + 1.0572252 * z};
  for (int i = 0; i < 3; ++i) {
    if (lin[i] < -1e-4 || lin[i] > 1 + 1e-4) return false;  // white itself rounds a little over
    const double v = std::clamp(lin[i], 0.0, 1.0);
    const double g = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
    rgb[i] = static_cast<int>(std::lround(g * 255));
  }
  return true;
}

std::array<QRgb, 256> MakeMap() {
  // Lightness, chroma and hue (degrees) along the map: dark blue, blue,
  // teal, yellow, white. Where a colour lies outside sRGB its chroma gives
  // way, never its lightness.
  struct Stop {
    double at, l, c, h;
  };
  constexpr Stop stops[] = {{0.0, 8, 30, 285},  {0.3, 32, 60, 285}, {0.55, 55, 45, 220},
                            {0.8, 82, 80, 100}, {0.92, 92, 70, 95}, {1.0, 100, 0, 95}};
  std::array<QRgb, 256> map{};
  for (int i = 0; i < 256; ++i) {
    const double t = i / 255.0;
    int s = 0;
    while (s < 4 && t > stops[s + 1].at) ++s;
    const Stop &p = stops[s], &q = stops[s + 1];
    const double u = (t - p.at) / (q.at - p.at);
    const double l = p.l + u * (q.l - p.l), h = (p.h + u * (q.h - p.h)) * 3.141592653589793 / 180;
    double c = p.c + u * (q.c - p.c);
    int rgb[3] = {0, 0, 0};
    while (!LabToRgb(l, c * std::cos(h), c * std::sin(h), rgb) && c > 0) c = std::max(0.0, c - 0.5);
    map[i] = qRgb(rgb[0], rgb[1], rgb[2]);
  }
  return map;
}

// The floor (the noise's median) near the bottom of the map: the noise's
// speckle, mostly within 5 dB over it, stays dark blue, and a signal 10 dB
// over the noise is yellow at normal contrast.
constexpr double kFloorAt = 0.04;
constexpr double kPerDb[3] = {0.05, 0.075, 0.10};  // the map's travel per dB, by contrast
constexpr QRgb kShade = qRgb(120, 150, 190);       // mixed into the passband's columns
constexpr int kShadePercent = 22;

QRgb Mix(QRgb a, QRgb b, int percentB) {
  auto m = [&](int x, int y) { return (x * (100 - percentB) + y * percentB + 50) / 100; };
  return qRgb(m(qRed(a), qRed(b)), m(qGreen(a), qGreen(b)), m(qBlue(a), qBlue(b)));
}

}  // namespace

const QRgb* WaterfallColourMap() {
  static const std::array<QRgb, 256> map = MakeMap();
  return map.data();
}

int WaterfallColourIndex(float dbOverFloor, int contrast) {
  const double pos = kFloorAt + kPerDb[std::clamp(contrast, 0, 2)] * dbOverFloor;
  if (!(pos > 0.0)) return 0;
  return pos >= 1.0 ? 255 : static_cast<int>(pos * 255.0 + 0.5);
}

WaterfallPicture::WaterfallPicture() {
  const QRgb* map = WaterfallColourMap();
  for (int i = 0; i < 256; ++i) tinted_[i] = Mix(map[i], kShade, kShadePercent);
  SetContrast(1);
  Resize(632, 160);
}

void WaterfallPicture::Resize(int width, int height) {
  width = std::clamp(width, 1, kWfMaxColumns);
  height = std::max(height, kScaleHeight + 1);
  if (rows_.width() == width && rows_.height() == height - kScaleHeight) return;
  const WaterfallSpan span = columns_.Width() > 0 ? columns_.Span() : WaterfallSpanFor(0, 0.0);
  columns_.Set(width, span);
  rows_ = QImage(width, height - kScaleHeight, QImage::Format_RGB32);
  rows_.fill(WaterfallColourMap()[0]);
  scale_ = QImage(width, kScaleHeight, QImage::Format_RGB32);
  labels_ = QImage(width, 18, QImage::Format_ARGB32_Premultiplied);
  values_.assign(static_cast<std::size_t>(width), 0.0f);
  passband_.assign(static_cast<std::size_t>(width), 0);
  mark_.assign(static_cast<std::size_t>(width), 0);
  top_ = 0;
  MarkColumns();
}

void WaterfallPicture::SetSpan(const WaterfallSpan& span) {
  if (span.loHz == columns_.Span().loHz && span.hiHz == columns_.Span().hiHz) return;
  columns_.Set(Width(), span);
  MarkColumns();
}

void WaterfallPicture::SetContrast(int contrast) {
  contrast_ = std::clamp(contrast, 0, 2);
  drawn_ = -1;
}

void WaterfallPicture::SetMarks(double foHz, const double* notchHz, int notchCount,
                                const FilterDefinition* filter) {
  foHz_ = foHz;
  notchCount_ = std::clamp(notchCount, 0, 4);
  for (int i = 0; i < notchCount_; ++i) notchHz_[i] = notchHz[i];
  coefs_.clear();
  if (filter && filter->tap > 0 && filter->params.type != FilterType::LMS) {
    coefs_.assign(filter->h, filter->h + filter->tap + 1);
    const int ratio = filter->overSmp >= 1 && filter->overSmp <= 3 ? filter->overSmp : 1;
    filterFs_ = kSampleRate / ratio;
  }
  MarkColumns();
}

void WaterfallPicture::MarkColumns() {
  std::fill(passband_.begin(), passband_.end(), 0);
  if (!coefs_.empty()) {
    // The response within 6 dB of its highest in the band; nothing passes
    // above half the rate the filter runs at.
    const int tap = static_cast<int>(coefs_.size()) - 1;
    auto gain = [&](double hz) {
      return hz < filterFs_ / 2 ? ResponseMagnitude(coefs_.data(), tap, filterFs_, hz) : 0.0;
    };
    double peak = 0.0;
    for (int k = 0; k <= 1024; ++k) peak = std::max(peak, gain(k * kSampleRate / 2048));
    for (int x = 0; x < Width(); ++x) {
      const double g = gain(WaterfallColumnHz(x, Width(), columns_.Span()));
      passband_[static_cast<std::size_t>(x)] = peak > 0.0 && g >= peak * 0.5011872336;  // -6 dB
    }
  }
  std::fill(mark_.begin(), mark_.end(), 0);
  for (int i = 0; i < notchCount_; ++i)
    if (const int x = WaterfallColumnOf(notchHz_[i], Width(), columns_.Span()); x >= 0)
      mark_[static_cast<std::size_t>(x)] = NotchColour();
  if (foHz_ > 0.0)
    if (const int x = WaterfallColumnOf(foHz_, Width(), columns_.Span()); x >= 0)
      mark_[static_cast<std::size_t>(x)] = FoColour();
  DrawScale();
  DrawLabels();
  drawn_ = -1;
}

void WaterfallPicture::SetLabels(const std::vector<WaterfallLabel>& labels) {
  labelList_ = labels;
  DrawLabels();
}

void WaterfallPicture::DrawRow(int row, const float* line, long long number) {
  columns_.Map(line, values_.data());
  const QRgb* map = WaterfallColourMap();
  auto* out = reinterpret_cast<QRgb*>(rows_.scanLine(row));
  // The markers are dotted (two rows on, two off, moving with the lines),
  // so a trace on Fo still shows.
  const bool dot = (number & 3) < 2;
  const float* v = values_.data();
  const double perDb = kPerDb[contrast_];
  for (int x = 0, w = Width(); x < w; ++x) {
    const double pos = kFloorAt + perDb * v[x];
    const int i = pos > 0.0 ? (pos >= 1.0 ? 255 : static_cast<int>(pos * 255.0 + 0.5)) : 0;
    out[x] = passband_[static_cast<std::size_t>(x)] ? tinted_[i] : map[i];
    if (dot && mark_[static_cast<std::size_t>(x)]) out[x] = mark_[static_cast<std::size_t>(x)];
  }
}

bool WaterfallPicture::Update(const WaterfallModel& model) {
  const int height = rows_.height();
  const long long lines = model.Lines();
  if (drawn_ >= 0 && lines - drawn_ <= height) {
    if (lines == drawn_) return false;
    for (long long k = drawn_; k < lines; ++k) {
      top_ = top_ == 0 ? height - 1 : top_ - 1;
      DrawRow(top_, model.Line(k), k);
    }
    drawn_ = lines;
    return true;
  }
  // Every row again, newest at the top; rows older than the model keeps
  // stay dark.
  top_ = 0;
  const int stored = std::min(model.Stored(), height);
  for (int i = 0; i < stored; ++i) DrawRow(i, model.Line(lines - 1 - i), lines - 1 - i);
  const QRgb dark = WaterfallColourMap()[0];
  for (int i = stored; i < height; ++i)
    std::fill_n(reinterpret_cast<QRgb*>(rows_.scanLine(i)), Width(), dark);
  drawn_ = lines;
  return true;
}

void WaterfallPicture::DrawScale() {
  const int w = Width();
  scale_.fill(qRgb(24, 24, 32));
  QPainter p(&scale_);
  // The passband as a lighter bar along the scale's foot.
  for (int x = 0; x < w; ++x)
    if (passband_[static_cast<std::size_t>(x)]) p.fillRect(x, kScaleHeight - 4, 1, 4, QColor(120, 150, 190));
  const WaterfallSpan& span = columns_.Span();
  const double widthHz = span.hiHz - span.loHz;
  // Labelled ticks at least about 70 pixels apart, on round frequencies.
  double step = 10;
  for (const double s : {10.0, 20.0, 50.0, 100.0, 200.0, 500.0, 1000.0, 2000.0})
    if (s * w / widthHz >= 70) {
      step = s;
      break;
    } else {
      step = s;
    }
  QFont font;
  font.setPixelSize(10);
  p.setFont(font);
  const QFontMetrics fm(font);
  p.setPen(QColor(200, 200, 200));
  for (double hz = std::ceil(span.loHz / (step / 5)) * (step / 5); hz < span.hiHz; hz += step / 5) {
    const int x = WaterfallColumnOf(hz, w, span);
    if (x < 0) continue;
    const bool major = std::fmod(std::round(hz), step) == 0.0;
    p.drawLine(x, kScaleHeight - (major ? 6 : 3), x, kScaleHeight - 1);
    if (major) {
      const QString t = QString::number(std::lround(hz));
      const int tx = std::clamp(x - fm.horizontalAdvance(t) / 2, 0, w - fm.horizontalAdvance(t));
      p.drawText(tx, fm.ascent(), t);
    }
  }
  // Fo and the notches as solid lines down the scale.
  for (int x = 0; x < w; ++x)
    if (const QRgb m = mark_[static_cast<std::size_t>(x)]) {
      p.setPen(QColor(m));
      p.drawLine(x, 0, x, kScaleHeight - 1);
    }
}

void WaterfallPicture::DrawLabels() {
  labels_.fill(Qt::transparent);
  if (labelList_.empty()) return;
  QPainter p(&labels_);
  QFont font;
  font.setPixelSize(11);
  font.setBold(true);
  p.setFont(font);
  const QFontMetrics fm(font);
  for (const WaterfallLabel& label : labelList_) {
    const int x = WaterfallColumnOf(label.hz, Width(), columns_.Span());
    if (x < 0) continue;
    // Beside the trace, on its right, with a dark edge to read on any colour.
    const QString t = QString::fromStdString(label.text);
    const int tx = x + 4, ty = fm.ascent() + 2;
    p.setPen(QColor(0, 0, 0));
    for (const auto& [dx, dy] : {std::pair{-1, 0}, {1, 0}, {0, -1}, {0, 1}}) p.drawText(tx + dx, ty + dy, t);
    p.setPen(QColor(255, 255, 255));
    p.drawText(tx, ty, t);
  }
}
