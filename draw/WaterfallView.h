#pragma once
// Draws the waterfall pane's pictures from the model's lines: the rows (a
// ring image, one new row per line, newest at the top), the frequency scale
// along the top, and the labels the window may set. The pane's paint
// handler only copies them. Fo, the notches and the filter's passband are
// drawn into the rows, so nothing is blended when the pane is painted.
// UI thread; a new line allocates nothing.

#include <QImage>
#include <QRgb>
#include <string>
#include <vector>

#include "signal/SampleRate.h"
#include "spectrum/Waterfall.h"

struct FilterDefinition;

// 256 colours, dark blue to yellow and white, lightness rising all the way
// (CIELAB L* 8 to 100).
const QRgb* WaterfallColourMap();
// The map's index for a level dB over the floor: the floor dark (index 10),
// 10 dB over it bright (index 201 at normal contrast). contrast 0 low,
// 1 normal, 2 high.
int WaterfallColourIndex(float dbOverFloor, int contrast);

// A call sign or any text beside a trace.
struct WaterfallLabel {
  double hz = 0.0;
  std::string text;  // UTF-8
};

class WaterfallPicture {
 public:
  static constexpr int kScaleHeight = 16;  // pixels along the top

  WaterfallPicture();
  // The pane's size: the scale, then the rows below it.
  void Resize(int width, int height);
  void SetSpan(const WaterfallSpan& span);
  // Fo and notches; the passband of filter (null: none), the columns whose
  // response is within 6 dB of the filter's highest over the band.
  void SetMarks(double foHz, const double* notchHz, int notchCount, const FilterDefinition* filter);
  void SetContrast(int contrast);
  void SetLabels(const std::vector<WaterfallLabel>& labels);

  // Draws the lines the model finished since the last call (every row
  // again after a change above). True when a picture changed.
  bool Update(const WaterfallModel& model);

  int Width() const { return columns_.Width(); }
  const WaterfallColumns& Columns() const { return columns_; }
  // The rows: row Top() holds the newest line, the rows below it older
  // ones, wrapping around at the bottom.
  const QImage& Rows() const { return rows_; }
  int Top() const { return top_; }
  const QImage& Scale() const { return scale_; }
  // Transparent but for the labels, to be copied over the top of the rows;
  // HasLabels false when there are none.
  const QImage& Labels() const { return labels_; }
  bool HasLabels() const { return !labelList_.empty(); }
  // Whether column x is in the passband (tests, the scale).
  bool InPassband(int x) const { return x >= 0 && x < Width() && passband_[x]; }
  QRgb FoColour() const { return qRgb(0, 200, 255); }
  QRgb NotchColour() const { return qRgb(255, 64, 64); }

 private:
  void DrawRow(int row, const float* line, long long number);
  void DrawScale();
  void DrawLabels();
  void MarkColumns();

  WaterfallColumns columns_;
  QImage rows_, scale_, labels_;
  int top_ = 0;
  long long drawn_ = -1;  // the model's Lines() when last drawn; -1: draw every row again
  int contrast_ = 1;
  double foHz_ = 0.0;
  int notchCount_ = 0;
  double notchHz_[4] = {};
  std::vector<WaterfallLabel> labelList_;
  std::vector<float> values_;  // a line by column
  std::vector<char> passband_;
  std::vector<QRgb> mark_;     // 0: none, else the colour of a marker in the column
  QRgb tinted_[256];           // the map as shaded in the passband
  std::vector<double> coefs_;  // the filter whose passband is shaded; empty: none
  double filterFs_ = kSampleRate;
};
