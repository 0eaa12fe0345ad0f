#include "Stoi.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <string>

#include "signal/RateConverter.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kFrame = 256, kFft = 512, kBands = 15, kSegment = 30;
constexpr double kRate = 10000.0, kDynamicRange = 40.0, kBeta = -15.0, kLowestCentre = 150.0;

std::vector<double> To10k(const std::vector<double>& x, double rateHz) {
  if (rateHz == kRate) return x;
  RateConverter c;
  std::string error;
  c.Open(rateHz, kRate, static_cast<int>(x.size()) + 1, RateConverter::Quality::Best, error);
  std::vector<double> out(static_cast<std::size_t>(c.MaxOutput()) + 64);
  long used = 0;
  long n = c.Convert(x.data(), static_cast<long>(x.size()), false, out.data(), used, error);
  std::vector<double> y(out.begin(), out.begin() + std::max<long>(n, 0));
  std::vector<double> tail(static_cast<std::size_t>(c.MaxOutput()) + 64);
  for (;;) {
    const long m = c.Convert(nullptr, 0, true, tail.data(), used, error);
    if (m <= 0) break;
    y.insert(y.end(), tail.begin(), tail.begin() + m);
  }
  y.resize(static_cast<std::size_t>(std::lround(x.size() * kRate / rateHz)));
  return y;
}

void Fft(std::vector<std::complex<double>>& a) {
  const std::size_t n = a.size();
  for (std::size_t i = 1, j = 0; i < n; ++i) {
    std::size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (std::size_t len = 2; len <= n; len <<= 1) {
    const std::complex<double> w = std::polar(1.0, -2.0 * kPi / static_cast<double>(len));
    for (std::size_t i = 0; i < n; i += len) {
      std::complex<double> wk = 1.0;
      for (std::size_t k = 0; k < len / 2; ++k) {
        const std::complex<double> u = a[i + k], v = a[i + k + len / 2] * wk;
        a[i + k] = u + v;
        a[i + k + len / 2] = u - v;
        wk *= w;
      }
    }
  }
}

std::vector<double> Hann() {
  // The periodic window the reference uses: hanning(N+2) without its ends.
  std::vector<double> w(kFrame);
  for (int i = 0; i < kFrame; ++i) w[i] = 0.5 - 0.5 * std::cos(2.0 * kPi * (i + 1) / (kFrame + 1));
  return w;
}

// Drops the frames where the clean signal is more than 40 dB below its
// loudest frame, from both, and puts the rest back together by overlap-add.
void RemoveSilence(std::vector<double>& x, std::vector<double>& y) {
  const std::vector<double> w = Hann();
  const int hop = kFrame / 2;
  std::vector<int> starts;
  std::vector<double> energy;
  for (int s = 0; s + kFrame <= static_cast<int>(x.size()); s += hop) {
    double e = 0.0;
    for (int i = 0; i < kFrame; ++i) e += (w[i] * x[s + i]) * (w[i] * x[s + i]);
    starts.push_back(s);
    energy.push_back(20.0 * std::log10(std::sqrt(e) + 1e-30));
  }
  if (starts.empty()) return;
  const double top = *std::max_element(energy.begin(), energy.end());
  std::vector<double> xs, ys;
  int kept = 0;
  for (std::size_t f = 0; f < starts.size(); ++f) {
    if (energy[f] <= top - kDynamicRange) continue;
    const std::size_t at = static_cast<std::size_t>(kept) * hop;
    if (xs.size() < at + kFrame) {
      xs.resize(at + kFrame, 0.0);
      ys.resize(at + kFrame, 0.0);
    }
    for (int i = 0; i < kFrame; ++i) {
      xs[at + i] += w[i] * x[starts[f] + i];
      ys[at + i] += w[i] * y[starts[f] + i];
    }
    ++kept;
  }
  x.swap(xs);
  y.swap(ys);
}

// Band envelopes: [band][frame].
std::vector<std::vector<double>> Bands(const std::vector<double>& x) {
  const std::vector<double> w = Hann();
  const int hop = kFrame / 2;
  // One-third octave band edges in DFT bins.
  int lo[kBands], hi[kBands];
  for (int b = 0; b < kBands; ++b) {
    const double centre = kLowestCentre * std::pow(2.0, b / 3.0);
    const double f1 = centre * std::pow(2.0, -1.0 / 6.0), f2 = centre * std::pow(2.0, 1.0 / 6.0);
    lo[b] = static_cast<int>(std::lround(f1 / kRate * kFft));
    hi[b] = static_cast<int>(std::lround(f2 / kRate * kFft));
  }
  std::vector<std::vector<double>> env(kBands);
  std::vector<std::complex<double>> a(kFft);
  for (int s = 0; s + kFrame <= static_cast<int>(x.size()); s += hop) {
    std::fill(a.begin(), a.end(), 0.0);
    for (int i = 0; i < kFrame; ++i) a[i] = w[i] * x[s + i];
    Fft(a);
    for (int b = 0; b < kBands; ++b) {
      double p = 0.0;
      for (int k = lo[b]; k < hi[b]; ++k) p += std::norm(a[k]);
      env[b].push_back(std::sqrt(p));
    }
  }
  return env;
}

}  // namespace

double Stoi(const std::vector<double>& clean, const std::vector<double>& processed, double rateHz,
            double bandHz) {
  std::vector<double> x = To10k(clean, rateHz), y = To10k(processed, rateHz);
  const std::size_t n = std::min(x.size(), y.size());
  x.resize(n);
  y.resize(n);
  RemoveSilence(x, y);
  const auto X = Bands(x), Y = Bands(y);
  const int frames = X.empty() ? 0 : static_cast<int>(X[0].size());
  const double clip = 1.0 + std::pow(10.0, -kBeta / 20.0);
  // The one band whose edges hold bandHz, or all of them.
  int first = 0, last = kBands - 1;
  if (bandHz > 0.0) {
    first = last = std::clamp(static_cast<int>(std::floor(3.0 * std::log2(bandHz / kLowestCentre) + 0.5)), 0,
                              kBands - 1);
  }
  double sum = 0.0;
  int count = 0;
  for (int m = kSegment; m <= frames; ++m)
    for (int b = first; b <= last; ++b) {
      double nx = 0.0, ny = 0.0;
      for (int i = m - kSegment; i < m; ++i) {
        nx += X[b][i] * X[b][i];
        ny += Y[b][i] * Y[b][i];
      }
      const double alpha = std::sqrt(nx / (ny + 1e-30));
      double seg[kSegment], ref[kSegment], mx = 0.0, my = 0.0;
      for (int i = 0; i < kSegment; ++i) {
        ref[i] = X[b][m - kSegment + i];
        seg[i] = std::min(alpha * Y[b][m - kSegment + i], clip * ref[i]);
        mx += ref[i];
        my += seg[i];
      }
      mx /= kSegment;
      my /= kSegment;
      double sxy = 0.0, sxx = 0.0, syy = 0.0;
      for (int i = 0; i < kSegment; ++i) {
        sxy += (ref[i] - mx) * (seg[i] - my);
        sxx += (ref[i] - mx) * (ref[i] - mx);
        syy += (seg[i] - my) * (seg[i] - my);
      }
      sum += sxy / (std::sqrt(sxx * syy) + 1e-30);
      ++count;
    }
  return count ? sum / count : 0.0;
}
