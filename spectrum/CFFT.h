#pragma once
// CFFT: one frame of 2048 samples to smoothed logarithmic display levels.
// Hann window, 2048-point real DFT, bin power in decades above a floor about
// 100 dB below full scale, exponential smoothing across frames.

constexpr int kFftPoints = 2048;

class CFFT {
 public:
  CFFT();
  virtual ~CFFT();
  CFFT(const CFFT&) = delete;
  CFFT& operator=(const CFFT&) = delete;

  // Transforms frame (2048 samples, overwritten) and writes
  // out[k] = trunc(scale * level of bin k) for k = first..last (0..1023).
  // avg >= 2 smooths: each frame weighs 1/avg against the history. Returns at
  // once while inUse is set; a frame holding a NaN or an infinity leaves
  // inUse at 1 (the caller then switches the spectrum off) and changes
  // nothing else.
  void Compute(double* frame, int first, int last, double scale, int avg, int* out);

  // Level of bin b (1..1023) for a squared magnitude p, as Compute keeps it.
  static double Level(double p);

  int inUse = 0;
  int smoothing = 0;
  int avgCount = 1;
  double* w;         // twiddles: 512 complex of the 1024-point transform, then 1024 of the real split
  double* window;    // Hann window, 2048
  double* logPower;  // [2b] smoothed level of bin b, b = 1..1023; other entries 0
  int* ip;           // bit-reversal permutation of the 1024-point transform

 private:
  void Transform(double* a);  // in place: 1024 complex points
  void PowerStep(const double* a);
  void Update(int i, double p);
};
