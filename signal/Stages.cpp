#include "signal/Stages.h"

#include <cmath>
#include <cstring>

#include "signal/DotKernel.h"
#include "signal/SampleRate.h"

namespace {

// Runs a FIR over a block in place, four outputs per pass over the
// coefficients. Each output is bit-identical to pushing one sample and
// taking one dot product, so block boundaries never change the result.
template <int Capacity>
void FirBlock(DelayLine<Capacity>& line, const double* coef, int n, double* io, int count) {
  static_assert(Capacity >= 4, "four outputs need three spare places");
  int i = 0;
  for (; i + 4 <= count; i += 4) {
    for (int k = 0; k < 4; ++k) line.Push(io[i + k]);
    DotProduct4(line.Window(n, 3), coef, n, io + i);
  }
  for (; i + 2 <= count; i += 2) {
    line.Push(io[i]);
    line.Push(io[i + 1]);
    double out[2];
    DotProduct2(line.Window(n, 1), coef, n, out);
    io[i] = out[0];
    io[i + 1] = out[1];
  }
  if (i < count) {
    line.Push(io[i]);
    io[i] = DotProduct(line.Window(n), coef, n);
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

void DcCutStage::Process(double* io, int count) { FirBlock(line, h, 129, io, count); }

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
  lmsErr = lmsStep = 0.0;
}

void FilterStage::Process(FilterDefinition& d, double* io, int count) {
  if (d.IsLms()) {
    for (int i = 0; i < count; ++i) io[i] = LmsSample(d, io[i]);
  } else if (d.tap != 0) {
    FirBlock(xLine, d.h, d.tap + 1, io, count);
  }
}

double FilterStage::FirSample(const FilterDefinition& d, double x) {
  const int n = d.tap;
  if (n == 0) return x;
  xLine.Push(x);
  return DotProduct(xLine.Window(n + 1), d.h, n + 1);
}

double FilterStage::LmsSample(FilterDefinition& d, double x) {
  const int n = d.tap;
  if (n == 0) return x;
  // The predictor sees the input lmsDelay+1 samples late.
  xLine.Push(lmsLine.Ago(d.lmsDelay));
  const double* line = xLine.Window(n + 1);
  double y = DotProduct(line, d.h, n + 1);
  if (!(std::fabs(y) <= kLmsRunaway)) {
    // Diverged (a step size too large, or a broken input): restart the
    // weights rather than output garbage until the preset is chosen again.
    std::memset(d.h, 0, sizeof d.h);
    y = 0.0;
  }
  lmsErr = x - y;
  lmsStep = lmsErr * d.lmsMU2 * kLmsScale;
  lmsLine.Push(x);
  double magnitude = LmsUpdate(d.h, line, n + 1, lmsStep, d.lmsGM);
  if (!std::isfinite(magnitude)) {
    std::memset(d.h, 0, sizeof d.h);
    magnitude = 0.0;
  }
  if (d.lmsAGC != 0 && !(magnitude < 0.001)) y = y / magnitude;
  return d.lmsInv != 0 ? lmsErr : y;
}

// ---------------------------------------------------------------------------

void ProcessingChain::Reset() {
  dc.Reset();
  down.Reset();
  filter.Reset();
  up.Reset();
  phase = 0;
}

void ProcessingChain::Process(FilterDefinition& d, bool dcCut, double* io, int count) {
  for (int done = 0; done < count; done += kChainPiece) {
    const int n = count - done < kChainPiece ? count - done : kChainPiece;
    ProcessPiece(d, dcCut, io + done, n);
  }
}

void ProcessingChain::ProcessPiece(FilterDefinition& d, bool dcCut, double* io, int count) {
  if (dcCut) dc.Process(io, count);
  const int ratio = d.overSmp;
  if (ratio == 1) {
    filter.Process(d, io, count);
  } else if (ratio == 2 || ratio == 3) {
    const int m = down.Process(io, count, ratio, phase, low);
    filter.Process(d, low, m);
    up.Process(low, io, count, ratio, phase);
    phase = NextPhase(phase, ratio, count);
  }
  // Other ratios pass the samples unfiltered.
}

int ProcessingChain::NextPhase(int phase, int ratio, int count) {
  // A phase left over from another ratio stands for the group's last place.
  const int place = phase < ratio - 1 ? phase : ratio - 1;
  return (place + count) % ratio;
}
