// Noise reduction measured on speech: our spectral reducer at its four
// levels beside libspeexdsp's preprocessor (-25 dB and its default -15 dB)
// on the same mixes, in one run.
//
// Material: espeak-ng sentences in two voices with pauses, at 11025 Hz,
// mixed with white, pink and 300-3000 Hz band noise at 0, 5 and 10 dB
// (speech power over its active frames against the noise's). Figures,
// averaged over the nine mixes:
//   STOI         Taal et al. 2011 (bench/Stoi.cpp), processed against clean
//   pause dB     noise left over the clean speech's pauses (output over
//                input; frames 100 ms or more from any word)
//   speech dB    level while speech is present, less what removing exactly
//                the noise would give (0: no more than the noise removed)
//   segSNR dB    improvement of the segmental SNR, 20 ms active frames
//                clipped to -10..35 dB
//   delay ms     found by correlation with the input
//   adapt s      time after white noise starts (after silence, or rising
//                20 dB out of the same noise) until the output stays
//                within 3 dB of its final attenuation
//   core %       share of one core at 11025 Hz
// Below them, references that know the noise exactly (KnownNoise): the
// classic decision-directed LSA gain in our framing, at a few weights and
// floors (NR_KNOWN="alpha:floorDb,..." sets others).
//
// usage: tarvik_bench_nr [--quick]   (needs espeak-ng on the PATH)

#include <speex/speex_preprocess.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <sndfile.h>

#include "Stoi.h"
#include "signal/FilterCore.h"
#include "signal/NoiseReduction.h"
#include "signal/Presets.h"
#include "signal/RateConverter.h"
#include "signal/Stages.h"

namespace {

constexpr double kRate = 11025.0;
using Signal = std::vector<double>;

// --- material ------------------------------------------------------------------

Signal ReadWavAt11025(const std::string& path) {
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) return {};
  std::vector<double> x(static_cast<std::size_t>(info.frames * info.channels));
  sf_readf_double(f, x.data(), info.frames);
  sf_close(f);
  Signal mono(static_cast<std::size_t>(info.frames));
  for (std::size_t i = 0; i < mono.size(); ++i) mono[i] = x[i * info.channels] * 32768.0;
  if (info.samplerate == static_cast<int>(kRate)) return mono;
  RateConverter c;
  std::string error;
  c.Open(info.samplerate, kRate, static_cast<int>(mono.size()) + 1, RateConverter::Quality::Best, error);
  Signal out(static_cast<std::size_t>(c.MaxOutput()) + 64);
  long used = 0;
  const long n = c.Convert(mono.data(), static_cast<long>(mono.size()), true, out.data(), used, error);
  out.resize(static_cast<std::size_t>(std::max<long>(n, 0)));
  return out;
}

// Sentences in two voices with pauses between them, peaking near 8000.
Signal Speech(bool quick) {
  const char* sentences[] = {
      "The station is calling on fourteen megahertz, listen for the signal.",
      "Please repeat your call sign slowly, the band is noisy tonight.",
      "Good copy here, your signal is five by seven with some fading.",
      "We will meet again on the same frequency at nine o'clock.",
      "The weather is clear and the antenna is up on the hill.",
      "Thank you for the contact, seventy three and good luck.",
  };
  const char* voices[] = {"en-us+m3", "en-gb+f3"};
  const int count = quick ? 2 : 6;
  char dir[] = "/tmp/tarvik-nr-XXXXXX";
  if (!::mkdtemp(dir)) return {};
  Signal all(static_cast<std::size_t>(1.6 * kRate), 0.0);
  for (int i = 0; i < count; ++i) {
    const std::string wav = std::string(dir) + "/s.wav";
    const std::string cmd = std::string("espeak-ng -s 150 -v ") + voices[i % 2] + " -w " + wav + " \"" +
                            sentences[i] + "\" >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) {
      std::fprintf(stderr, "tarvik_bench_nr: espeak-ng is needed (apt install espeak-ng)\n");
      std::exit(1);
    }
    const Signal s = ReadWavAt11025(wav);
    all.insert(all.end(), s.begin(), s.end());
    all.insert(all.end(), static_cast<std::size_t>((0.6 + 0.2 * (i % 3)) * kRate), 0.0);
    std::remove(wav.c_str());
  }
  ::rmdir(dir);
  double peak = 0.0;
  for (double v : all) peak = std::max(peak, std::fabs(v));
  for (double& v : all) v *= 8000.0 / peak;
  return all;
}

Signal White(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(0.0, 1.0);
  Signal x(n);
  for (double& v : x) v = g(rng);
  return x;
}

// Paul Kellet's refined filter of white noise: -3 dB per octave.
Signal Pink(std::size_t n, unsigned seed) {
  const Signal w = White(n, seed);
  Signal x(n);
  double b0 = 0, b1 = 0, b2 = 0, b3 = 0, b4 = 0, b5 = 0, b6 = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double white = w[i];
    b0 = 0.99886 * b0 + white * 0.0555179;
    b1 = 0.99332 * b1 + white * 0.0750759;
    b2 = 0.96900 * b2 + white * 0.1538520;
    b3 = 0.86650 * b3 + white * 0.3104856;
    b4 = 0.55000 * b4 + white * 0.5329522;
    b5 = -0.7616 * b5 - white * 0.0168980;
    x[i] = b0 + b1 + b2 + b3 + b4 + b5 + b6 + white * 0.5362;
    b6 = white * 0.115926;
  }
  return x;
}

// White noise through a 300-3000 Hz Kaiser band-pass: a receiver's passband.
Signal Band(std::size_t n, unsigned seed) {
  Signal x = White(n, seed);
  FilterDefinition d;
  d.SetDesign(1, 200, 2, kRate, 300.0, 3000.0, 60.0);
  CFilterCore f;
  f.Apply(d);
  for (double& v : x) v *= 1000.0;
  f.ProcessBlock(x.data(), static_cast<int>(x.size()));
  return x;
}

// 20 ms frames of the clean speech: active where within 40 dB of the loudest.
constexpr int kFrame = 220;
std::vector<bool> ActiveFrames(const Signal& clean, double rangeDb) {
  std::vector<double> e;
  for (std::size_t s = 0; s + kFrame <= clean.size(); s += kFrame) {
    double sum = 0.0;
    for (int i = 0; i < kFrame; ++i) sum += clean[s + i] * clean[s + i];
    e.push_back(sum);
  }
  const double top = *std::max_element(e.begin(), e.end());
  std::vector<bool> active(e.size());
  for (std::size_t f = 0; f < e.size(); ++f) active[f] = e[f] > top * std::pow(10.0, -rangeDb / 10.0);
  return active;
}

Signal Mix(const Signal& speech, Signal noise, double snrDb) {
  const std::vector<bool> active = ActiveFrames(speech, 40.0);
  double ps = 0.0, pn = 0.0;
  int frames = 0;
  for (std::size_t f = 0; f < active.size(); ++f)
    if (active[f]) {
      for (int i = 0; i < kFrame; ++i) ps += speech[f * kFrame + i] * speech[f * kFrame + i];
      ++frames;
    }
  ps /= frames * kFrame;
  for (double v : noise) pn += v * v;
  pn /= noise.size();
  const double k = std::sqrt(ps / pn / std::pow(10.0, snrDb / 10.0));
  Signal m(speech.size());
  for (std::size_t i = 0; i < m.size(); ++i) m[i] = speech[i] + k * noise[i];
  return m;
}

// --- processors ------------------------------------------------------------------

using Processor = std::function<Signal(const Signal&)>;

Processor Ours(int level) {
  return [level](const Signal& x) {
    NoiseReductionStage nr;
    nr.SetLevel(level);
    nr.Reset();
    Signal y = x;
    for (std::size_t at = 0; at < y.size(); at += 512) {
      Block block = MonoBlock(y.data() + at, static_cast<int>(std::min<std::size_t>(512, y.size() - at)));
      nr.Process(block);
    }
    return y;
  };
}

Processor Speex(int suppressDb) {
  return [suppressDb](const Signal& x) {
    constexpr int kSpeexFrame = 128;
    SpeexPreprocessState* st = speex_preprocess_state_init(kSpeexFrame, static_cast<int>(kRate));
    int on = 1, off = 0, level = suppressDb;
    speex_preprocess_ctl(st, SPEEX_PREPROCESS_SET_DENOISE, &on);
    speex_preprocess_ctl(st, SPEEX_PREPROCESS_SET_AGC, &off);
    speex_preprocess_ctl(st, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &level);
    Signal y(x.size(), 0.0);
    spx_int16_t frame[kSpeexFrame];
    for (std::size_t at = 0; at + kSpeexFrame <= x.size(); at += kSpeexFrame) {
      for (int i = 0; i < kSpeexFrame; ++i)
        frame[i] = static_cast<spx_int16_t>(std::clamp(x[at + i], -32768.0, 32767.0));
      speex_preprocess_run(st, frame);
      for (int i = 0; i < kSpeexFrame; ++i) y[at + i] = frame[i];
    }
    speex_preprocess_state_destroy(st);
    return y;
  };
}

// The same framing as ours (kNrFrame square-root Hann frames every kNrHop
// samples, kNrFft points) with the noise known exactly: its power spectrum
// averaged over the whole mix, the classic decision-directed a-priori SNR
// (weight alpha on the last frame's estimate) and the LSA gain, at least
// floorDb. No noise to estimate and no delay: what that gain rule can do
// at best on this material, to read the targets against.
Signal KnownNoise(const Signal& x, const Signal& noise, double alpha, double floorDb) {
  constexpr int kBins = kNrFft / 2 + 1;
  constexpr double kTwoPi = 2.0 * 3.14159265358979;
  static std::vector<double> window, cosines, sines;  // [k * kNrFrame + j]
  if (window.empty()) {
    for (int j = 0; j < kNrFrame; ++j) window.push_back(std::sin(kTwoPi / 2.0 * j / kNrFrame));
    for (int k = 0; k < kBins; ++k)
      for (int j = 0; j < kNrFrame; ++j) {
        cosines.push_back(std::cos(kTwoPi * k * j / kNrFft));
        sines.push_back(std::sin(kTwoPi * k * j / kNrFft));
      }
  }
  const long n = static_cast<long>(x.size());
  double frame[kNrFrame], re[kBins], im[kBins], power[kBins];
  auto transform = [&](const Signal& s, long at) {
    for (int j = 0; j < kNrFrame; ++j) frame[j] = at + j >= 0 && at + j < n ? s[at + j] * window[j] : 0.0;
    for (int k = 0; k < kBins; ++k) {
      double r = 0.0, i = 0.0;
      for (int j = 0; j < kNrFrame; ++j) {
        r += frame[j] * cosines[k * kNrFrame + j];
        i -= frame[j] * sines[k * kNrFrame + j];
      }
      re[k] = r;
      im[k] = i;
      power[k] = r * r + i * i;
    }
  };
  std::vector<double> psd(kBins, 0.0), last(kBins, 0.0);
  long frames = 0;
  for (long at = 0; at + kNrFrame <= n; at += kNrFrame / 2, ++frames) {
    transform(noise, at);
    for (int k = 0; k < kBins; ++k) psd[k] += power[k];
  }
  for (double& v : psd) v = std::max(v / std::max(frames, 1L), 1e-9);
  const double least = std::pow(10.0, floorDb / 20.0);
  Signal y(x.size(), 0.0);
  for (long at = kNrHop - kNrFrame; at < n; at += kNrHop) {
    transform(x, at);
    for (int k = 0; k < kBins; ++k) {
      const double gamma = power[k] / psd[k];
      const double xi =
          std::max(alpha * last[k] / psd[k] + (1.0 - alpha) * std::max(gamma - 1.0, 0.0), least * least);
      const double v = std::max(xi / (1.0 + xi) * gamma, 1e-8);
      // E1(v) as in Abramowitz and Stegun 5.1.53 and 5.1.56
      const double e1 =
          v < 1.0 ? -0.57721566 - std::log(v) +
                        v * (0.99999193 +
                             v * (-0.24991055 + v * (0.05519968 + v * (-0.00976004 + v * 0.00107857))))
                  : std::exp(-v) / v * (v * v + 2.334733 * v + 0.250621) / (v * v + 3.330657 * v + 1.681534);
      const double g = std::clamp(xi / (1.0 + xi) * std::exp(0.5 * e1), least, 1.0);
      last[k] = g * g * power[k];
      const double both = (k == 0 || k == kNrFft / 2) ? 1.0 : 2.0;  // the bin and its mirror
      re[k] *= g * both / kNrFft;
      im[k] *= g * both / kNrFft;
    }
    for (int j = 0; j < kNrFrame; ++j) {
      if (at + j < 0 || at + j >= n) continue;
      double v = 0.0;
      for (int k = 0; k < kBins; ++k)
        v += re[k] * cosines[k * kNrFrame + j] - im[k] * sines[k * kNrFrame + j];
      y[static_cast<std::size_t>(at + j)] += v * window[j] * (2.0 / kNrOverlap);
    }
  }
  return y;
}

// --- measures ------------------------------------------------------------------

// The lag (0..2000 samples) at which y best matches x.
int DelayOf(const Signal& x, const Signal& y) {
  int best = 0;
  double bestC = -1e300;
  for (int lag = 0; lag <= 2000; ++lag) {
    double c = 0.0;
    for (std::size_t i = 0; i + lag < y.size() && i < x.size(); i += 2) c += x[i] * y[i + lag];
    if (c > bestC) {
      bestC = c;
      best = lag;
    }
  }
  return best;
}

Signal Shift(const Signal& y, int lag, std::size_t n) {
  Signal out(n, 0.0);
  for (std::size_t i = 0; i < n && i + lag < y.size(); ++i) out[i] = y[i + lag];
  return out;
}

double SegSnr(const Signal& clean, const Signal& y, const std::vector<bool>& active) {
  double sum = 0.0;
  int n = 0;
  for (std::size_t f = 0; f < active.size(); ++f) {
    if (!active[f]) continue;
    double s = 0.0, e = 0.0;
    for (int i = 0; i < kFrame; ++i) {
      const double c = clean[f * kFrame + i], d = c - y[f * kFrame + i];
      s += c * c;
      e += d * d;
    }
    sum += std::clamp(10.0 * std::log10((s + 1e-9) / (e + 1e-9)), -10.0, 35.0);
    ++n;
  }
  return n ? sum / n : 0.0;
}

// Pauses: inactive frames at least 100 ms from any active one, so that
// what a reducer smears around a word's edges is not taken for noise left.
std::vector<bool> Pauses(const std::vector<bool>& active) {
  const int reach = 5;
  std::vector<bool> pause(active.size());
  for (std::size_t f = 0; f < active.size(); ++f) {
    bool quiet = true;
    for (int d = -reach; d <= reach && quiet; ++d) {
      const long g = static_cast<long>(f) + d;
      if (g >= 0 && g < static_cast<long>(active.size()) && active[static_cast<std::size_t>(g)]) quiet = false;
    }
    // The first second is the reducers' to settle (measured apart).
    pause[f] = quiet && f * kFrame >= kRate;
  }
  return pause;
}

double EnergyDb(const Signal& x, const std::vector<bool>& frames, bool want) {
  double e = 0.0;
  for (std::size_t f = 0; f < frames.size(); ++f)
    if (frames[f] == want)
      for (int i = 0; i < kFrame; ++i) e += x[f * kFrame + i] * x[f * kFrame + i];
  return 10.0 * std::log10(e + 1e-9);
}

// Seconds after white noise starts (after a second of silence, or of the
// same noise `riseDb` quieter) until the output's attenuation, over 50 ms
// windows, stays within 3 dB of its final.
double AdaptSeconds(const Processor& p, double riseDb) {
  const std::size_t n = static_cast<std::size_t>(5 * kRate), start = static_cast<std::size_t>(kRate);
  const Signal w = White(n, 99);
  const double before = riseDb > 0.0 ? 1000.0 * std::pow(10.0, -riseDb / 20.0) : 0.0;
  Signal x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = (i < start ? before : 1000.0) * w[i];
  const Signal y = p(x);
  const int lag = 240;  // both reducers delay by about this; the windows are 551
  const std::size_t win = static_cast<std::size_t>(0.05 * kRate);
  std::vector<double> att;
  for (std::size_t s = start; s + win + lag <= n; s += win) {
    double ex = 0.0, ey = 0.0;
    for (std::size_t i = 0; i < win; ++i) {
      ex += x[s + i] * x[s + i];
      ey += y[s + i + lag] * y[s + i + lag];
    }
    att.push_back(10.0 * std::log10((ey + 1e-9) / (ex + 1e-9)));
  }
  double final = 0.0;
  const std::size_t last = att.size() - 20;
  for (std::size_t k = last; k < att.size(); ++k) final += att[k];
  final /= 20.0;
  std::size_t settled = 0;
  for (std::size_t k = 0; k < att.size(); ++k)
    if (std::fabs(att[k] - final) > 3.0) settled = k + 1;
  return settled * 0.05;
}

// --- CW ------------------------------------------------------------------------------

constexpr double kTone = 700.0;  // Hz, the Morse tone and BP100's centre

// "CQ TEST" keyed at wpm with 5 ms raised-cosine edges: the key (0..1) per
// sample and the element start/end samples.
struct Keying {
  Signal key;
  std::vector<std::pair<long, long>> elements;
};
Keying Key(double wpm) {
  const char* morse[] = {"-.-.", "--.-", "", "-", ".", "...", "-"};  // C Q _ T E S T
  const double dit = 1.2 / wpm * kRate;
  const int edge = static_cast<int>(0.005 * kRate);
  Keying k;
  long at = static_cast<long>(0.8 * kRate);
  for (const char* letter : morse) {
    if (!*letter) {
      at += static_cast<long>(4 * dit);  // a word gap (7) less the letter gap that follows
      continue;
    }
    for (const char* e = letter; *e; ++e) {
      const long len = static_cast<long>((*e == '-' ? 3 : 1) * dit);
      k.elements.push_back({at, at + len});
      at += len + static_cast<long>(dit);
    }
    at += static_cast<long>(2 * dit);
  }
  k.key.assign(static_cast<std::size_t>(at + kRate), 0.0);
  for (auto [a, b] : k.elements)
    for (long i = a; i < b; ++i) {
      double v = 1.0;
      if (i - a < edge) v = 0.5 - 0.5 * std::cos(3.14159265358979 * (i - a) / edge);
      if (b - i < edge) v = 0.5 - 0.5 * std::cos(3.14159265358979 * (b - i) / edge);
      k.key[static_cast<std::size_t>(i)] = v;
    }
  return k;
}

Signal Through(const Signal& x, int nrLevel) {
  FilterDefinition d;
  InstallPreset(d, 11, kTone, 100, nullptr);  // BP100
  CFilterCore f;
  f.Apply(d);
  ChainExtras e;
  e.nrLevel = nrLevel;
  f.SetExtras(e);
  Signal y = x;
  for (std::size_t at = 0; at < y.size(); at += 512)
    f.ProcessBlock(y.data() + at, static_cast<int>(std::min<std::size_t>(512, y.size() - at)));
  return y;
}

// Element lengths (samples) from the output's envelope at half the
// key-down level: half its edge in, half out.
std::vector<long> ElementLengths(const Signal& y, int lag, const Keying& k) {
  Signal env(y.size(), 0.0);
  double e = 0.0;
  for (std::size_t i = 0; i < y.size(); ++i) env[i] = e = std::max(std::fabs(y[i]), e * 0.985);  // about 6 ms release
  double on = 0.0;
  int n = 0;
  for (auto [a, b] : k.elements)
    for (long i = a + (b - a) / 4; i < b - (b - a) / 4; ++i, ++n) on += env[static_cast<std::size_t>(i + lag)];
  const double half = 0.5 * on / n;
  std::vector<long> lengths;
  for (auto [a, b] : k.elements) {
    long start = a + lag - 200, end = b + lag + 200;
    while (start < end && env[static_cast<std::size_t>(start)] < half) ++start;
    while (end > start && env[static_cast<std::size_t>(end)] < half) --end;
    lengths.push_back(end - start);
  }
  return lengths;
}

// The largest difference in ms between the lengths and a reference's.
double WorstMs(const std::vector<long>& lengths, const std::vector<long>& reference) {
  double worst = 0.0;
  for (std::size_t i = 0; i < lengths.size(); ++i)
    worst = std::max(worst, std::fabs(static_cast<double>(lengths[i] - reference[i])) * 1000.0 / kRate);
  return worst;
}

double KeyUpPowerDb(const Signal& y, int lag, const Keying& k) {
  double sum = 0.0;
  long n = 0;
  const long guard = static_cast<long>(0.015 * kRate);
  for (std::size_t j = 0; j + 1 < k.elements.size(); ++j)
    for (long i = k.elements[j].second + guard; i < k.elements[j + 1].first - guard; ++i, ++n)
      sum += y[static_cast<std::size_t>(i + lag)] * y[static_cast<std::size_t>(i + lag)];
  return 10.0 * std::log10(sum / std::max<long>(n, 1) + 1e-9);
}

// Element lengths are measured against the key itself and against the
// clean keyed tone through BP100 (what the listener hears without noise;
// the envelope's edges already differ from the key's by a few ms there).
void CwTable(int nrLevel) {
  std::printf("\nCW: \"CQ TEST\" at 700 Hz, 5 ms edges, in noise; BP100 alone and BP100 + NR %d\n\n",
              nrLevel);
  std::printf(
      "| wpm | noise | SNR dB | noise between elements: NR's gain over BP100 dB | STOI in the tone's band, "
      "BP100 / + NR "
      "| worst element length error "
      "ms, BP100 / "
      "+ NR: against the key | against the clean tone through BP100 |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  for (const double wpm : {18.0, 25.0}) {
    const Keying k = Key(wpm);
    Signal tone(k.key.size());
    for (std::size_t i = 0; i < tone.size(); ++i)
      tone[i] = 8000.0 * k.key[i] * std::sin(2.0 * 3.14159265358979 * kTone * i / kRate);
    const int lagA = DelayOf(tone, Through(tone, 0)), lagB = lagA + kNrDelay;
    std::vector<long> key;
    for (auto [a, b] : k.elements) key.push_back(b - a);
    const Signal cleanThrough = Through(tone, 0);
    const std::vector<long> clean = ElementLengths(cleanThrough, lagA, k);
    const Signal reference = Shift(cleanThrough, lagA, tone.size());
    const struct {
      const char* name;
      Signal noise;
    } kinds[] = {
        {"white", White(tone.size(), 11)}, {"pink", Pink(tone.size(), 12)}, {"band", Band(tone.size(), 13)}};
    for (const auto& kind : kinds)
      for (const double snr : {-10.0, 0.0, 5.0}) {
        double pn = 0.0;
        for (double v : kind.noise) pn += v * v;
        pn /= kind.noise.size();
        const double scale = std::sqrt(8000.0 * 8000.0 / 2.0 / pn / std::pow(10.0, snr / 10.0));
        Signal x(tone.size());
        for (std::size_t i = 0; i < x.size(); ++i) x[i] = tone[i] + scale * kind.noise[i];
        const Signal a = Through(x, 0), b = Through(x, nrLevel);
        const std::vector<long> la = ElementLengths(a, lagA, k), lb = ElementLengths(b, lagB, k);
        std::printf("| %.0f | %s | %.0f | %.1f | %.3f / %.3f | %.1f / %.1f | %.1f / %.1f |\n", wpm, kind.name,
                    snr, KeyUpPowerDb(b, lagB, k) - KeyUpPowerDb(a, lagA, k),
                    Stoi(reference, Shift(a, lagA, tone.size()), kRate, kTone),
                    Stoi(reference, Shift(b, lagB, tone.size()), kRate, kTone), WorstMs(la, key),
                    WorstMs(lb, key), WorstMs(la, clean), WorstMs(lb, clean));
      }
  }
}

struct Row {
  const char* name;
  Processor p;
  // Instead of p, where the row needs the noise itself (the mix less the speech).
  std::function<Signal(const Signal&, const Signal&)> known = nullptr;
  double stoi = 0, pause = 0, speech = 0, seg = 0, delay = 0, adapt = 0, rise = 0, core = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  const Signal clean = Speech(quick);
  if (clean.empty()) return 1;
  const std::vector<bool> active = ActiveFrames(clean, 40.0);
  const std::vector<bool> pauses = Pauses(active);
  struct NoiseKind {
    const char* name;
    Signal noise;
  } kinds[] = {{"white", White(clean.size(), 1)}, {"pink", Pink(clean.size(), 2)}, {"band", Band(clean.size(), 3)}};
  const double snrs[] = {0.0, 5.0, 10.0};

  std::vector<Row> rows = {{"unprocessed", [](const Signal& x) { return x; }},
                           {"Tarvik NR 1", Ours(1)},
                           {"Tarvik NR 2", Ours(2)},
                           {"Tarvik NR 3", Ours(3)},
                           {"Tarvik NR 4", Ours(4)},
                           {"speex -25 dB", Speex(-25)},
                           {"speex -15 dB", Speex(-15)}};
  // Known-noise references: the mix, then the noise it holds.
  const char* knownRows = std::getenv("NR_KNOWN");  // "alpha:floorDb,..." to try others
  std::string knownSpec = knownRows ? knownRows : "0.95:-22,0.98:-22,0.99:-28";
  static std::deque<std::string> knownNames;  // the rows point into it
  for (std::size_t at = 0; at < knownSpec.size();) {
    std::size_t end = knownSpec.find(',', at);
    if (end == std::string::npos) end = knownSpec.size();
    const std::string one = knownSpec.substr(at, end - at);
    const double alpha = std::atof(one.c_str()), floorDb = std::atof(one.c_str() + one.find(':') + 1);
    char name[80];
    std::snprintf(name, sizeof name, "known noise: DD %.2f + LSA, %.0f dB", alpha, floorDb);
    knownNames.push_back(name);
    Row r{knownNames.back().c_str(), nullptr};
    r.known = [alpha, floorDb](const Signal& x, const Signal& n) { return KnownNoise(x, n, alpha, floorDb); };
    rows.push_back(r);
    at = end + 1;
  }
  int mixes = 0;
  double seconds = 0.0;
  for (const NoiseKind& k : kinds)
    for (double snr : snrs) {
      const Signal m = Mix(clean, k.noise, snr);
      const double mixSeg = SegSnr(clean, m, active);
      const double mixPause = EnergyDb(m, pauses, true), mixSpeech = EnergyDb(m, active, true);
      const double cleanSpeech = EnergyDb(clean, active, true);
      seconds += m.size() / kRate;
      ++mixes;
      for (Row& r : rows) {
        const auto t0 = std::chrono::steady_clock::now();
        Signal noiseHeld;
        if (r.known) {
          noiseHeld = m;
          for (std::size_t i = 0; i < m.size(); ++i) noiseHeld[i] -= clean[i];
        }
        const Signal out = r.known ? r.known(m, noiseHeld) : r.p(m);
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const int lag = DelayOf(m, out);
        const Signal y = Shift(out, lag, m.size());
        r.stoi += Stoi(clean, y, kRate);
        r.pause += EnergyDb(y, pauses, true) - mixPause;
        r.speech += (EnergyDb(y, active, true) - mixSpeech) - (cleanSpeech - mixSpeech);
        r.seg += SegSnr(clean, y, active) - mixSeg;
        r.delay += lag * 1000.0 / kRate;
        r.core += took;
        // NR_VERBOSE="text": each mix's figures for the rows whose name holds it.
        const char* verbose = std::getenv("NR_VERBOSE");
        if (verbose && std::strstr(r.name, verbose))
          std::fprintf(stderr, "%s, %s %g dB: STOI %.3f (mix %.3f) pauses %.1f speech %.2f segSNR %+.1f\n", r.name,
                       k.name, snr, Stoi(clean, y, kRate), Stoi(clean, m, kRate), EnergyDb(y, pauses, true) - mixPause,
                       (EnergyDb(y, active, true) - mixSpeech) - (cleanSpeech - mixSpeech),
                       SegSnr(clean, y, active) - mixSeg);
      }
    }
  std::printf("Noise reduction on %d mixes (white, pink, 300-3000 Hz band noise at 0, 5, 10 dB), %.0f s of speech each\n\n",
              mixes, clean.size() / kRate);
  std::printf(
      "| | STOI | noise in pauses dB | speech level beyond the noise removed dB | segSNR gain dB | delay ms "
      "| adapts in s, "
      "after silence / 20 dB rise | core %% |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  for (Row& r : rows) {
    const bool processing = std::strcmp(r.name, "unprocessed") != 0 && !r.known;
    r.adapt = processing ? AdaptSeconds(r.p, 0.0) : 0.0;
    r.rise = processing ? AdaptSeconds(r.p, 20.0) : 0.0;
    char adapt[40] = "-";
    if (processing) std::snprintf(adapt, sizeof adapt, "%.2f / %.2f", r.adapt, r.rise);
    char core[20] = "-";
    if (!r.known) std::snprintf(core, sizeof core, "%.2f", 100.0 * r.core / seconds);
    std::printf("| %s | %.3f | %.1f | %.2f | %.1f | %.1f | %s | %s |\n", r.name, r.stoi / mixes,
                r.pause / mixes, r.speech / mixes, r.seg / mixes, r.delay / mixes, adapt, core);
  }
  CwTable(3);
  return 0;
}
