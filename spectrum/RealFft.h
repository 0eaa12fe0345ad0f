#pragma once
// A real FFT of a fixed power-of-two size, for the waterfall: the power of
// bins 0..N/2 of N real samples, through an N/2-point complex transform and
// the split that turns it into the real one. Tables are made once; Power
// allocates nothing.

#include <memory>

class RealFft {
 public:
  // points: a power of two, 8..65536.
  explicit RealFft(int points);
  RealFft(const RealFft&) = delete;
  RealFft& operator=(const RealFft&) = delete;

  int Points() const { return n_; }
  // power[k] = |X[k]|^2 for k = 0..N/2, X the DFT of x[0..N-1]; x is
  // overwritten.
  void Power(double* x, double* power) const;

 private:
  void Transform(double* a) const;  // in place: N/2 complex points, interleaved

  int n_;
  std::unique_ptr<double[]> twiddle_;  // e^(-2 pi i m / (N/2)), m < N/4, then e^(-2 pi i k / N), k < N/2
  std::unique_ptr<int[]> reversed_;    // bit reversal of the N/2-point transform
};
