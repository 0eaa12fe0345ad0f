#include "signal/Stages.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "signal/DotKernel.h"
#include "signal/SampleRate.h"

namespace {
constexpr double kPi = 3.14159265358979323846;

// Runs a FIR over a block in place, many outputs per pass over the
// coefficients. Each output is bit-identical to pushing one sample and
// taking one FirDots output, so block boundaries never change the result.
template <int Capacity>
void FirBlock(DelayLine<Capacity>& line, const double* coef, int n, double* io, int count) {
  static_assert(Capacity >= kFirChunk, "a chunk needs its spare places");
  for (int i = 0; i < count; i += kFirChunk) {
    const int m = std::min(kFirChunk, count - i);
    for (int k = 0; k < m; ++k) line.Push(io[i + k]);
    FirDots(line.Window(n, m - 1), coef, n, io + i, m);
  }
}

// One step of the oversampling group: which place of the group a sample at
// `phase` takes, and the phase after it. A phase left over from another
// ratio completes the group at once.
enum class Place { First, Second, Last };
inline Place Step(int& phase, int ratio) {
  if (phase == 0) {
    phase = 1;
    return Place::First;
  }
  if (ratio == 3 && phase == 1) {
    phase = 2;
    return Place::Second;
  }
  phase = 0;
  return Place::Last;
}

}  // namespace

// ---------------------------------------------------------------------------

DcCutStage::DcCutStage() {
  line.Clear();
  DesignFir(h, 128, FilterType::HPF, kSampleRate, 80.0, 3000.0, 30.0, 1.0);
}

void DcCutStage::Reset() { line.Clear(); }

void DcCutStage::Process(Block& b) { FirBlock(line, h, 129, b.samples, b.frames); }

// ---------------------------------------------------------------------------

void RateDownStage::Reset() {
  dec2 = Decimator2();
  dec3 = Decimator3();
  held1 = held2 = 0.0;
}

int RateDownStage::Process(const double* in, int count, int ratio, int phase, double* low) {
  int m = 0, i = 0;
  auto one = [&](double x) {
    switch (Step(phase, ratio)) {
      case Place::First:
        (ratio == 2 ? held1 : held2) = x;
        break;
      case Place::Second:
        held1 = x;
        break;
      case Place::Last:
        low[m++] = ratio == 2 ? dec2.Process(x, held1) : dec3.Process(x, held1, held2);
        break;
    }
  };
  // Up to the first group boundary, whole groups, then the rest.
  while (i < count && phase != 0) one(in[i++]);
  const int groups = (count - i) / ratio;
  if (groups > 0) {
    if (ratio == 2) {
      dec2.ProcessPairs(in + i, groups, low + m, ext);
      held1 = in[i + 2 * groups - 2];
    } else {
      dec3.ProcessGroups(in + i, groups, low + m, ext);
      held2 = in[i + 3 * groups - 3];
      held1 = in[i + 3 * groups - 2];
    }
    m += groups;
    i += ratio * groups;
  }
  while (i < count) one(in[i++]);
  return m;
}

// ---------------------------------------------------------------------------

void RateUpStage::Reset() {
  int2 = Interpolator2();
  int3 = Interpolator3();
  out1 = out2 = out3 = 0.0;
}

void RateUpStage::Process(const double* low, double* out, int count, int ratio, int phase) {
  int i = 0;
  auto one = [&]() {
    switch (Step(phase, ratio)) {
      case Place::First:
        out[i] = out2;
        break;
      case Place::Second:
        out[i] = out3;
        break;
      case Place::Last:
        if (ratio == 2)
          int2.Process(*low++, out1, out2);
        else
          int3.Process(*low++, out1, out2, out3);
        out[i] = out1;
        break;
    }
    ++i;
  };
  while (i < count && phase != 0) one();
  // Whole groups: a group's first places play the previous group's later
  // outputs, its last place the new first output.
  const int groups = (count - i) / ratio;
  if (groups > 0) {
    if (ratio == 2) {
      int2.ProcessBlock(low, groups, made, ext);
      for (int k = 0; k < groups; ++k, i += 2) {
        out[i] = out2;
        out[i + 1] = made[2 * k];
        out2 = made[2 * k + 1];
      }
      out1 = made[2 * groups - 2];
    } else {
      int3.ProcessBlock(low, groups, made, ext);
      for (int k = 0; k < groups; ++k, i += 3) {
        out[i] = out2;
        out[i + 1] = out3;
        out[i + 2] = made[3 * k];
        out2 = made[3 * k + 1];
        out3 = made[3 * k + 2];
      }
      out1 = made[3 * groups - 3];
    }
    low += groups;
  }
  while (i < count) one();
}

// ---------------------------------------------------------------------------

void FilterStage::Reset() {
  xLine.Clear();
  lmsLine.Clear();
  lmsErr = lmsStep = lmsMagnitude = 0.0;
  lmsEnergy = -1.0;
}

void FilterStage::Setup(const FilterDefinition& d) {
  lmsEnergy = -1.0;  // the tap count may change
  lmsMagnitude = 0.0;
  lms = d.IsLms();
  tap = ClampTap(d.tap);
  lmsDelay = ClampLmsDelay(d.lmsDelay);
  lmsInv = d.lmsInv;
  lmsAGC = d.lmsAGC;
  lmsMU2 = d.lmsMU2;
  lmsGM = d.lmsGM;
  if (lms)
    std::memset(h, 0, sizeof h);
  else
    std::memcpy(h, d.h, sizeof h);
}

void FilterStage::RestartLms() {
  if (!lms) return;
  std::memset(h, 0, sizeof h);
  Reset();
}

void FilterStage::Process(double* io, int count) {
  if (lms) {
    for (int i = 0; i < count; ++i) io[i] = LmsSample(io[i]);
  } else if (tap != 0) {
    FirBlock(xLine, h, tap + 1, io, count);
  }
}

double FilterStage::FirSample(double x) {
  const int n = tap;
  if (n == 0) return x;
  xLine.Push(x);
  double y;
  FirDots(xLine.Window(n + 1), h, n + 1, &y, 1);
  return y;
}

double FilterStage::LmsSample(double x) {
  const int n = tap;
  if (n == 0) return x;
  // The predictor sees the input lmsDelay+1 samples late.
  const double entering = lmsLine.Ago(lmsDelay), leaving = xLine.Ago(n);
  xLine.Push(entering);
  const double* line = xLine.Window(n + 1);
  if (lmsEnergy < 0.0 || ++lmsEnergyAge >= 8192) {
    // Afresh: after a reset or a new tap count, and against the slow drift
    // of the running sum.
    lmsEnergy = DotProduct(line, line, n + 1);
    lmsEnergyAge = 0;
  } else {
    lmsEnergy = std::max(0.0, lmsEnergy + entering * entering - leaving * leaving);
  }
  double y = DotProduct(line, h, n + 1);
  if (!(std::fabs(y) <= kLmsRunaway)) {
    // Diverged (a step size too large, or a broken input): restart the
    // weights rather than output garbage until the preset is chosen again.
    std::memset(h, 0, sizeof h);
    y = 0.0;
  }
  lmsErr = x - y;
  lmsStep = lmsErr * lmsMU2 * kLmsScale;
  if (lmsMU2 * kLmsScale * lmsEnergy > kLmsMaxLoad) lmsStep = lmsErr / lmsEnergy;
  lmsLine.Push(x);
  double magnitude = LmsUpdate(h, line, n + 1, lmsStep, lmsGM);
  if (!std::isfinite(magnitude)) {
    std::memset(h, 0, sizeof h);
    magnitude = 0.0;
  }
  if (lmsAGC != 0 && !(magnitude < 0.001)) {
    const double scaled = y / magnitude;
    // The weights just updated can be far smaller than the ones that made
    // y (with no leak they hold only this sample's step), and y over their
    // magnitude then clips; over the magnitude of the weights that made it,
    // y stays within the window's peak.
    if (std::fabs(scaled) <= 32767.0)
      y = scaled;
    else if (!(lmsMagnitude < 0.001))
      y = y / lmsMagnitude;
  }
  lmsMagnitude = magnitude;
  return lmsInv != 0 ? lmsErr : y;
}

// ---------------------------------------------------------------------------

void NotchStage::Setup(const double* hz, int n) {
  Section next[kMaxNotches];
  int k = 0;
  for (int i = 0; i < n && k < kMaxNotches; ++i) {
    const double f = hz[i];
    if (!(f >= kMinNotchHz && f <= kMaxNotchHz)) continue;
    Section s;
    for (int j = 0; j < count; ++j)
      if (sections[j].hz == f) s = sections[j];  // the same notch keeps its history
    // The cookbook notch: zeros on the unit circle at the centre (as deep
    // as the arithmetic allows), poles just inside for the width.
    const double w0 = 2.0 * kPi * f / kSampleRate;
    const double alpha = std::sin(w0) / (2.0 * (f / kNotchWidthHz));
    const double a0 = 1.0 + alpha;
    s.hz = f;
    s.b0 = 1.0 / a0;
    s.b1 = -2.0 * std::cos(w0) / a0;
    s.a1 = s.b1;
    s.a2 = (1.0 - alpha) / a0;
    next[k++] = s;
  }
  for (int i = 0; i < k; ++i) sections[i] = next[i];
  count = k;
}

void NotchStage::Reset() {
  for (Section& s : sections) s.x1 = s.x2 = s.y1 = s.y2 = 0.0;
}

void NotchStage::Process(Block& b) {
  double* io = b.samples;
  const int n = b.frames;
  for (int k = 0; k < count; ++k) {
    Section& s = sections[k];
    double x1 = s.x1, x2 = s.x2, y1 = s.y1, y2 = s.y2;
    for (int i = 0; i < n; ++i) {
      const double x = io[i];
      double y = s.b0 * (x + x2) + s.b1 * x1 - s.a1 * y1 - s.a2 * y2;
      if (!std::isfinite(y)) {
        // A NaN or an infinity must not ring on for ever: start again.
        x1 = x2 = y1 = y2 = 0.0;
        io[i] = 0.0;
        continue;
      }
      x2 = x1;
      x1 = x;
      y2 = y1;
      y1 = y;
      io[i] = y;
    }
    s.x1 = x1;
    s.x2 = x2;
    s.y1 = y1;
    s.y2 = y2;
  }
}

void BlankerStage::Reset() {
  for (int i = 0; i < kRing; ++i) {
    x[i] = p[i] = 0.0;
    loud[i] = false;
  }
  t = -1;
  after = before = 0.0;
}

void BlankerStage::Process(Block& b) {
  double* io = b.samples;
  const int n = b.frames;
  constexpr double kFloor = 16.0;  // mean power below which the sides count as this (quantisation noise)
  constexpr int kMask = kRing - 1;
  constexpr int kReach = kBlankerMargin + kBlankerRamp;
  for (int i = 0; i < n; ++i) {
    ++t;
    const double in = io[i];
    const bool finite = std::isfinite(in);
    const int now = static_cast<int>(t & kMask);
    x[now] = finite ? in : 0.0;
    p[now] = x[now] * x[now];
    // The sample judged, d, has the window after it up to now and the
    // window before it ending kBlankerGap before it; both sums slide by one.
    const long long d = t - (kBlankerGap + kBlankerWindow - 1);
    after += p[now] - p[(t - kBlankerWindow) & kMask];
    before += p[(d - kBlankerGap) & kMask] - p[(d - kBlankerGap - kBlankerWindow) & kMask];
    if (t >= kBlankerWindow && after < 0.0) after = 0.0;  // rounding never makes power negative
    if (before < 0.0) before = 0.0;
    loud[now] = !finite;  // a NaN or an infinity is gated whatever the level
    if (d >= 0) {
      const int at = static_cast<int>(d & kMask);
      const double side = std::max(std::max(after, before) / kBlankerWindow, kFloor);
      loud[at] = loud[at] || p[at] > kBlankerRatio * side;
    }
    // The output: kReach samples behind d, so the gate is shut by the time
    // a loud sample comes out.
    const long long o = d - kReach;
    if (o < 0) {
      io[i] = 0.0;  // the blanker's delay, filled with silence at the start
      continue;
    }
    int nearest = kReach + 1;
    for (int k = -kReach; k <= kReach; ++k)
      if (o + k >= 0 && loud[(o + k) & kMask]) nearest = std::min(nearest, k < 0 ? -k : k);
    double gain = 1.0;
    if (nearest <= kBlankerMargin)
      gain = 0.0;
    else if (nearest <= kReach)
      gain = static_cast<double>(nearest - kBlankerMargin) / (kBlankerRamp + 1);
    io[i] = x[o & kMask] * gain;
  }
}

// ---------------------------------------------------------------------------

void FilterGroupStage::Setup(const FilterDefinition& d) {
  ratio = d.overSmp;
  filter.Setup(d);
}

void FilterGroupStage::Reset() {
  down.Reset();
  filter.Reset();
  up.Reset();
  phase = 0;
}

void FilterGroupStage::Process(Block& b) {
  for (int done = 0; done < b.frames; done += kChainPiece) {
    const int n = b.frames - done < kChainPiece ? b.frames - done : kChainPiece;
    ProcessPiece(b.samples + done, n);
  }
}

void FilterGroupStage::ProcessPiece(double* io, int count) {
  if (ratio == 1) {
    filter.Process(io, count);
  } else if (ratio == 2 || ratio == 3) {
    const int m = down.Process(io, count, ratio, phase, low);
    filter.Process(low, m);
    up.Process(low, io, count, ratio, phase);
    phase = NextPhase(phase, ratio, count);
  }
  // Other ratios pass the samples unfiltered.
}

int FilterGroupStage::NextPhase(int phase, int ratio, int count) {
  // A phase left over from another ratio stands for the group's last place.
  const int place = phase < ratio - 1 ? phase : ratio - 1;
  return (place + count) % ratio;
}

// ---------------------------------------------------------------------------

void ProcessingChain::Reset() {
  dc.Reset();
  blanker.Reset();
  group.Reset();
  notches.Reset();
  nr.Reset();
  output.Reset();
}

void ProcessingChain::Process(Block& b) {
  for (int done = 0; done < b.frames; done += kChainPiece) {
    const int n = b.frames - done < kChainPiece ? b.frames - done : kChainPiece;
    Block piece = Frames(b, done, n);
    ProcessPiece(piece);
  }
}

void ProcessingChain::ForgetBurst() {
  // Every line still holds the burst, and would feed it to the adaptive
  // stages again: all start afresh, the designs kept.
  Reset();
  group.filter.RestartLms();
}

int ProcessingChain::WidenTo(const Block& b, double* stereo) {
  if (output.Channels() != 2 || !stereo || b.channels != 1) return 1;
  output.Process(b.samples, stereo, b.frames);
  return 2;
}

void ProcessingChain::ProcessPiece(Block& b) {
  for (const ChainStage s : kChainOrder) {
    if (Bypassed(s)) continue;
    switch (s) {
      case ChainStage::DcCut:
        dc.Process(b);
        break;
      case ChainStage::Blanker:
        blanker.Process(b);
        break;
      case ChainStage::FilterGroup:
        group.Process(b);
        break;
      case ChainStage::Notches:
        notches.Process(b);
        break;
      case ChainStage::NoiseReduction:
        nr.Process(b);
        break;
    }
  }
}

void ProcessingChain::SetFilter(const FilterDefinition& d) {
  group.Setup(d);
  SetBypass(ChainStage::FilterGroup, !RatioAccepted(d.overSmp));
}

void ProcessingChain::SetExtras(const ChainExtras& e) {
  if (e.blanker && Bypassed(ChainStage::Blanker)) blanker.Reset();
  SetBypass(ChainStage::Blanker, !e.blanker);
  notches.Setup(e.notchHz, std::clamp(e.notchCount, 0, kMaxNotches));
  SetBypass(ChainStage::Notches, notches.count == 0);
  const int level = std::clamp(e.nrLevel, 0, kNrLevels);
  // Switched on, it starts afresh; a new level keeps its noise estimate.
  if (level > 0 && Bypassed(ChainStage::NoiseReduction)) nr.Reset();
  if (level > 0) nr.SetLevel(level);
  SetBypass(ChainStage::NoiseReduction, level == 0);
}

ChainExtras ProcessingChain::Extras() const {
  ChainExtras e;
  e.blanker = !Bypassed(ChainStage::Blanker);
  e.nrLevel = Bypassed(ChainStage::NoiseReduction) ? 0 : nr.level;
  e.notchCount = notches.count;
  for (int i = 0; i < notches.count; ++i) e.notchHz[i] = notches.sections[i].hz;
  return e;
}
