#include "design/DesignCommand.h"

#include <cmath>
#include <cstring>
#include <utility>

#include "common/TextFormat.h"
#include "signal/SampleRate.h"

const char* const kTooHighText = "The cut-off F is too high   \n";
const char* const kIncorrectText = "Incorrect data for design";

namespace {

constexpr std::size_t kMaxRememberedDir = 128;

// "%u" into an int field: no number keeps the field; a minus sign refuses.
bool ReadCount(const std::string& text, int& field) {
  const std::optional<int> v = ScanUnsigned(text);
  if (!v) return true;
  if (*v < 0) return false;
  field = *v;
  return true;
}

void ReadReal(const std::string& text, double& field) {
  if (const std::optional<double> v = ScanDouble(text)) field = *v;
}

// The OverSampling selection taken as 0..2 (ratios 1..3).
int BoundRatioIndex(int i) { return i < 0 ? 0 : (i > 2 ? 2 : i); }

// One tap is no filter: it becomes two.
int BoundTap(int n) { return n == 1 ? 2 : ClampTap(n); }

}  // namespace

double RateForRatioIndex(int ratioIndex) {
  static const double kRates[3] = {kSampleRate, kSampleRate / 2, kSampleRate / 3};
  return kRates[BoundRatioIndex(ratioIndex)];
}

DesignResult DesignFromFields(FilterDefinition& work, const DesignFields& f) {
  const int ratioIndex = BoundRatioIndex(f.ratioIndex);
  const int type = f.type < FilterType::LPF || f.type > FilterType::LMS ? FilterType::User : f.type;
  work.params.type = type;
  work.overSmp = ratioIndex + 1;
  work.params.fs = RateForRatioIndex(ratioIndex);

  if (type == FilterType::User) return DesignResult::Done;  // the coefficients stay

  // The tap count is taken into a local first so that `work.tap` never holds
  // a count its arrays cannot serve, even after a refusal.
  int tap = work.tap;
  if (!ReadCount(f.tap, tap)) return DesignResult::Incorrect;

  if (type == FilterType::LMS) {
    int delay = work.lmsDelay;
    double mu2 = work.lmsMU2, gm = work.lmsGM;
    if (!ReadCount(f.delay, delay)) return DesignResult::Incorrect;
    ReadReal(f.mu2, mu2);
    ReadReal(f.gm, gm);
    // An infinite or undefined step would make every prediction non-finite,
    // a step or leak out of range would make the weights run away.
    if (!std::isfinite(mu2) || !std::isfinite(gm) || !LmsStepAccepted(mu2) || !LmsLeakAccepted(gm))
      return DesignResult::Incorrect;
    work.lmsDelay = ClampLmsDelay(delay);
    work.lmsMU2 = mu2;
    work.lmsGM = gm;
    work.lmsInv = f.inv ? 1 : 0;
    work.lmsAGC = f.agc ? 1 : 0;
    if (tap == 0) {
      work.SetUser(1, nullptr, 0);
      return DesignResult::Done;
    }
    work.tap = BoundTap(tap);
    work.Redesign();
    return DesignResult::Done;
  }

  FilterParams& p = work.params;
  work.tap = ClampTap(tap);  // bounded at once; 1 becomes 2 below
  ReadReal(f.fcl, p.fcl);
  ReadReal(f.fch, p.fch);
  ReadReal(f.att, p.att);
  ReadReal(f.gain, p.gain);
  double limit;
  if (type == FilterType::BPF || type == FilterType::BEF) {
    if (p.fcl > p.fch) std::swap(p.fcl, p.fch);
    limit = p.fch;
  } else {
    limit = p.fcl;
    if (p.fch == 0.0) p.fch = p.fcl;
  }
  if (tap == 0) {
    work.SetUser(1, nullptr, 0);
    return DesignResult::Done;
  }
  work.tap = BoundTap(tap);
  if (!(p.fs * 0.5 > limit)) return DesignResult::TooHigh;
  auto usable = [](double v) { return v > 0.0 && std::isfinite(v); };
  if (!usable(p.fcl) || !usable(p.fch) || !usable(p.att) || !usable(p.gain) || !GainAccepted(p.gain))
    return DesignResult::Incorrect;
  // A design whose coefficients leave the double range is refused and the
  // previous coefficients stay.
  double previous[kCoefCount];
  std::memcpy(previous, work.h, sizeof previous);
  work.Redesign();
  if (!work.CoefsFinite()) {
    std::memcpy(work.h, previous, sizeof previous);
    return DesignResult::Incorrect;
  }
  return DesignResult::Done;
}

std::optional<std::string> RememberedDirectory(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash + 1 > kMaxRememberedDir) return std::nullopt;
  return path.substr(0, slash + 1);
}
