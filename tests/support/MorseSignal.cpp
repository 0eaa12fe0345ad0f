#include "support/MorseSignal.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "decode/MorseTable.h"
#include "signal/SampleRate.h"

namespace {

std::vector<std::string> Tokens(const std::string& text) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '<') {
      const std::size_t close = text.find('>', i);
      if (close != std::string::npos) {
        out.push_back(text.substr(i, close - i + 1));
        i = close;
        continue;
      }
    }
    out.push_back(std::string(1, text[i]));
  }
  return out;
}

}  // namespace

std::vector<double> MorseEnvelope(const std::vector<MorsePart>& parts, const MorseKeying& keying,
                                  std::vector<SentChar>* sent) {
  std::mt19937 rng(keying.seed);
  std::uniform_real_distribution<double> uni(-1, 1);
  auto vary = [&](double seconds) { return seconds * (1 + keying.jitter * uni(rng)); };
  struct Mark {
    double start, end;
  };
  std::vector<Mark> marks;
  double t = keying.leadS;
  bool first = true;
  for (const MorsePart& p : parts) {
    const double dit = 1.2 / p.wpm;
    double charGap = 3 * dit, wordGap = 7 * dit;
    if (p.spacingWpm > 0 && p.spacingWpm < p.wpm) {
      const double extra = (60 * p.wpm - 37.2 * p.spacingWpm) / (p.spacingWpm * p.wpm);
      charGap = 3 * extra / 19;
      wordGap = 7 * extra / 19;
    }
    bool wordStart = true;
    for (const std::string& token : Tokens(p.text)) {
      if (token == " ") {
        wordStart = true;
        continue;
      }
      const char* code = MorseCodeOf(token);
      if (!code) continue;
      if (!first) t += vary(wordStart ? wordGap : charGap);
      first = wordStart = false;
      SentChar c{token, std::llround(t * kSampleRate), 0, p.wpm};
      for (const char* e = code; *e; ++e) {
        if (e != code) t += vary(dit);
        const double len = vary(*e == '.' ? dit : keying.ratio * dit);
        marks.push_back({t, t + len});
        t += len;
      }
      c.end = std::llround(t * kSampleRate);
      if (sent) sent->push_back(c);
    }
  }
  const std::size_t total = static_cast<std::size_t>((t + keying.tailS) * kSampleRate);
  std::vector<double> env(total, 0.0);
  const double rise = keying.riseMs / 1000;
  for (const Mark& m : marks) {
    const std::size_t a = static_cast<std::size_t>(m.start * kSampleRate);
    const std::size_t b = std::min(total, static_cast<std::size_t>((m.end + rise) * kSampleRate) + 1);
    for (std::size_t i = a; i < b; ++i) {
      const double s = i / kSampleRate;
      double g = 1;
      if (s < m.start + rise) g = 0.5 - 0.5 * std::cos(M_PI * std::max(0.0, s - m.start) / rise);
      if (s > m.end) g = std::min(g, 0.5 + 0.5 * std::cos(M_PI * std::min(1.0, (s - m.end) / rise)));
      env[i] = std::max(env[i], g);
    }
  }
  return env;
}

void AddKeyedTone(std::vector<double>& out, const std::vector<double>& env, double pitchHz, double amp, double fadeHz,
                  double fadeDepthDb, std::int64_t offset) {
  if (out.size() < env.size() + offset) out.resize(env.size() + offset, 0.0);
  for (std::size_t i = 0; i < env.size(); ++i) {
    if (env[i] == 0) continue;
    const double t = i / kSampleRate;
    double g = amp * env[i];
    if (fadeDepthDb > 0) g *= std::pow(10.0, -fadeDepthDb / 20 * 0.5 * (1 - std::cos(2 * M_PI * fadeHz * t)));
    out[i + offset] += g * std::sin(2 * M_PI * pitchHz * t);
  }
}

void AddNoise(std::vector<double>& out, double amp, double snrDb, std::uint32_t seed, bool bandLimited) {
  // Carrier power amp^2/2 over sigma^2 * 500 / (fs/2).
  const double sigma = std::sqrt(amp * amp / 2 / std::pow(10.0, snrDb / 10) * (kSampleRate / 2) / 500);
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(0, sigma);
  if (!bandLimited) {
    for (double& v : out) v += g(rng);
    return;
  }
  // Two second-order sections (high-pass 300 Hz, low-pass 2700 Hz), both
  // Butterworth, whose gain in the middle of the band is 1.
  struct Biquad {
    double b0, b1, b2, a1, a2, z1 = 0, z2 = 0;
    double Run(double x) {
      const double y = b0 * x + z1;
      z1 = b1 * x - a1 * y + z2;
      z2 = b2 * x - a2 * y;
      return y;
    }
  };
  auto make = [](double fc, bool high) {
    const double w = 2 * M_PI * fc / kSampleRate, c = std::cos(w), al = std::sin(w) / std::sqrt(2.0);
    const double a0 = 1 + al;
    Biquad q{};
    if (high)
      q = {(1 + c) / 2 / a0, -(1 + c) / a0, (1 + c) / 2 / a0, -2 * c / a0, (1 - al) / a0};
    else
      q = {(1 - c) / 2 / a0, (1 - c) / a0, (1 - c) / 2 / a0, -2 * c / a0, (1 - al) / a0};
    return q;
  };
  Biquad hp = make(300, true), lp = make(2700, false);
  for (double& v : out) v += lp.Run(hp.Run(g(rng)));
}

std::string MorseText(const std::vector<MorsePart>& parts) {
  std::string text;
  for (const MorsePart& p : parts) {
    std::string t;
    bool space = false;
    for (char c : p.text) {
      if (c == ' ') {
        space = !t.empty();
        continue;
      }
      if (space) t += ' ';
      space = false;
      t += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (!text.empty() && !t.empty()) text += ' ';
    text += t;
  }
  return text;
}
