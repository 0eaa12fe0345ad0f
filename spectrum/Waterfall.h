#pragma once
// The waterfall's model, without pixels: Hann-windowed frames of 2048
// samples, overlapping by 75 % or more, averaged into lines of levels in dB
// over a noise floor tracked along the band and over time; a ring of the
// last lines; and the mapping between the pane's columns and Hz at a zoom.
// One thread (the window's); all memory is taken at construction.

#include <memory>

#include "spectrum/RealFft.h"

constexpr int kWfPoints = 2048;             // 186 ms at 11025 Hz, bins 5.38 Hz apart
constexpr int kWfBins = kWfPoints / 2 + 1;  // 0..5512.5 Hz
constexpr int kWfMaxLines = 600;            // the ring: the tallest pane's rows
constexpr int kWfMaxColumns = 4096;         // the widest pane

// Where a tone frequency sits on the pane: loHz at the left edge of column
// 0, hiHz at the right edge of the last.
struct WaterfallSpan {
  double loHz = 0.0;
  double hiHz = 0.0;
};
// zoomHz 0: the whole band; else that width centred on foHz, moved inside
// the band when it would run past an end.
WaterfallSpan WaterfallSpanFor(int zoomHz, double foHz);
// The centre of column x of width columns, in Hz, and the column holding hz
// (-1 when it is off the pane).
double WaterfallColumnHz(int x, int width, const WaterfallSpan& span);
int WaterfallColumnOf(double hz, int width, const WaterfallSpan& span);

class WaterfallModel {
 public:
  WaterfallModel();
  WaterfallModel(const WaterfallModel&) = delete;
  WaterfallModel& operator=(const WaterfallModel&) = delete;

  // Lines per second, 2..50 (bounded); a change starts the line in progress
  // again.
  void SetSpeed(int linesPerSecond);
  int Speed() const { return speed_; }
  // Frames in each line: enough that frames overlap by at least 75 %.
  int FramesPerLine() const { return framesPerLine_; }

  // Consecutive samples (16-bit units; a NaN or an infinity counts as 0).
  // Returns the lines it finished.
  int Feed(const double* samples, int count);
  // The sound broke off (a lost block, another source): the next frame
  // starts from the next sample. The lines and the floor stay.
  void Restart();

  // Lines finished so far; line k (Lines() - Stored() <= k < Lines()) holds
  // kWfBins levels in dB over the noise floor.
  long long Lines() const { return lines_; }
  int Stored() const { return lines_ < kWfMaxLines ? static_cast<int>(lines_) : kWfMaxLines; }
  const float* Line(long long k) const { return ring_.get() + (k % kWfMaxLines) * kWfBins; }
  // The floor in dB (0 dB: a bin power of 1 in 16-bit units squared) by bin.
  const float* Floor() const { return floor_.get(); }

 private:
  void Frame();
  void FinishLine();

  RealFft fft_{kWfPoints};
  std::unique_ptr<double[]> window_, history_, work_, power_, sum_;
  std::unique_ptr<float[]> level_, floor_, ring_;
  float blockFloor_[(kWfBins + 15) / 16] = {};  // the floor's stretches of 16 bins, dB
  int speed_ = 10;
  int framesPerLine_ = 1;
  long long fed_ = 0;      // samples since the last restart
  long long frames_ = 0;   // frames since the last restart
  long long nextEnd_ = 0;  // fed_ at which the next frame is complete
  int inLine_ = 0;         // frames summed into the line in progress
  long long lines_ = 0;
  bool floorSet_ = false;
};

// How a line's levels become the columns of a pane: a column narrower than
// a bin shows, at its centre, the parabola (in dB) through the higher of the
// two bins beside it and that bin's neighbours; a wider one the highest of its bins and of the peaks
// (parabola vertices) that fall in it, so a tone shows at full level in
// the column of its frequency at any zoom.
class WaterfallColumns {
 public:
  // width 1..kWfMaxColumns (bounded).
  void Set(int width, const WaterfallSpan& span);
  int Width() const { return width_; }
  const WaterfallSpan& Span() const { return span_; }
  // out[x] for x < Width().
  void Map(const float* line, float* out) const;

 private:
  int width_ = 0;
  WaterfallSpan span_;
  double binLo_[kWfMaxColumns] = {};  // the column's left edge, in bins
  double binHi_[kWfMaxColumns] = {};
};
