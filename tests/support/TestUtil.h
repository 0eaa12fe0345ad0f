#pragma once
// Helpers shared by the tests: signals, measured gains, temporary files and
// a recorder for message boxes.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/MessageBox.h"
#include "signal/FilterCore.h"

namespace testutil {

constexpr double kTwoPi = 6.283185307179586;

// Runs a chain stage over io[0..count) as one mono block.
template <class Stage>
void ProcessMono(Stage& stage, double* io, int count) {
  Block b = MonoBlock(io, count);
  stage.Process(b);
}

inline std::vector<double> Noise(int n, double amplitude, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> dist(-amplitude, amplitude);
  std::vector<double> v(n);
  for (double& x : v) x = dist(rng);
  return v;
}

inline std::vector<double> Sine(int n, double hz, double amplitude, double rate = 11025.0) {
  std::vector<double> v(n);
  for (int i = 0; i < n; ++i) v[i] = amplitude * std::sin(kTwoPi * hz * i / rate);
  return v;
}

// Amplitude of the hz component of x[from..], by correlation over whole
// periods as far as they fit (an independent measurement of a response).
inline double ToneAmplitude(const std::vector<double>& x, int from, double hz, double rate = 11025.0) {
  double c = 0.0, s = 0.0;
  int n = static_cast<int>(x.size()) - from;
  const double period = rate / hz;
  n = static_cast<int>(std::floor(n / period) * period);
  for (int i = 0; i < n; ++i) {
    const double ph = kTwoPi * hz * (from + i) / rate;
    c += x[from + i] * std::cos(ph);
    s += x[from + i] * std::sin(ph);
  }
  return 2.0 * std::sqrt(c * c + s * s) / n;
}

// Changes of the live filter's definition, as the windows make them: take
// the definition in force, change it, put it back in force.
inline void SetUser(CFilterCore& f, int ratio, const double* coefs, int tap) {
  FilterDefinition d = f.Definition();
  d.SetUser(ratio, coefs, tap);
  f.Apply(d);
}
inline void SetLms(CFilterCore& f, int ratio, int delay, int tap, double mu2, double gm, int inv, int agc) {
  FilterDefinition d = f.Definition();
  d.SetLms(ratio, delay, tap, mu2, gm, inv, agc);
  f.Apply(d);
}
inline void SetDesign(CFilterCore& f, int ratio, int tap, int type, double fs, double fcl, double fch,
                      double att) {
  FilterDefinition d = f.Definition();
  d.SetDesign(ratio, tap, type, fs, fcl, fch, att);
  f.Apply(d);
}

// Steady-state gain of `filter` at hz, measured by running a sine through it.
inline double MeasuredGain(CFilterCore& filter, double hz, int samples = 22050, int settle = 4000) {
  std::vector<double> x = Sine(samples, hz, 10000.0);
  filter.ProcessBlock(x.data(), static_cast<int>(x.size()));
  return ToneAmplitude(x, settle, hz) / 10000.0;
}

// The same for a definition, put in force in a fresh filter.
inline double MeasuredGain(const FilterDefinition& d, double hz, int samples = 22050, int settle = 4000) {
  auto filter = std::make_unique<CFilterCore>();
  filter->Apply(d);
  return MeasuredGain(*filter, hz, samples, settle);
}

inline double Db(double gain) { return 20.0 * std::log10(gain); }

// A fresh directory for one test, removed at the end.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/tarvik-test-XXXXXX";
    const char* d = ::mkdtemp(tmpl);
    path_ = d ? d : "/tmp";
  }
  ~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (std::system(cmd.c_str()) != 0) {
    }
  }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

inline std::string ReadText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

inline void WriteText(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary);
  f << text;
}

// Records every box instead of showing it; answers questions with `answer`.
class BoxRecorder : public MessageBoxHandler {
 public:
  BoxRecorder() { previous_ = SetMessageBoxHandler(this); }
  ~BoxRecorder() override { SetMessageBoxHandler(previous_); }
  bool Show(MessageKind kind, const std::string& caption, const std::string& text) override {
    boxes.push_back({kind, caption, text});
    return answer;
  }
  struct Box {
    MessageKind kind;
    std::string caption, text;
  };
  std::vector<Box> boxes;
  bool answer = false;

 private:
  MessageBoxHandler* previous_;
};

}  // namespace testutil
