#include "signal/FilterCore.h"

#include <cstring>

CFilterCore::CFilterCore() : dcCut(0), overload(0) { chain.SetFilter(def_); }

void CFilterCore::Apply(const FilterDefinition& d) {
  std::lock_guard<std::mutex> guard(lock_);
  def_ = d;
  def_.tap = ClampTap(def_.tap);
  def_.lmsDelay = ClampLmsDelay(def_.lmsDelay);
  def_.ForgetWeights();
  chain.SetFilter(def_);
}

FilterDefinition CFilterCore::Definition() const {
  std::lock_guard<std::mutex> guard(lock_);
  FilterDefinition d = def_;
  std::memcpy(d.h, chain.group.filter.h, sizeof d.h);
  return d;
}

void CFilterCore::CopyCoefsTo(FilterDefinition& d) const {
  const int n = ClampTap(d.tap);
  std::lock_guard<std::mutex> guard(lock_);
  std::memcpy(d.h, chain.group.filter.h, sizeof(double) * (n + 1));
}

void CFilterCore::Snapshot(int& ratio, int& taps, double* coefs) const {
  std::lock_guard<std::mutex> guard(lock_);
  ratio = def_.overSmp;
  taps = def_.tap;
  std::memcpy(coefs, chain.group.filter.h, sizeof(double) * (taps + 1));
}

int CFilterCore::Type() const {
  std::lock_guard<std::mutex> guard(lock_);
  return def_.params.type;
}

void CFilterCore::SetExtras(const ChainExtras& e) {
  std::lock_guard<std::mutex> guard(lock_);
  chain.SetExtras(e);
}

ChainExtras CFilterCore::Extras() const {
  std::lock_guard<std::mutex> guard(lock_);
  return chain.Extras();
}

void CFilterCore::ProcessBlock(double* buffer, int count) { ProcessBlock(buffer, count, nullptr); }

int CFilterCore::ProcessBlock(double* buffer, int count, double* stereo) {
  if (!buffer || count <= 0) return 1;
  std::lock_guard<std::mutex> guard(lock_);
  bool over = false, absurd = false;
  for (int i = 0; i < count; ++i) {
    over |= IsOverload(buffer[i]);
    absurd |= IsAbsurd(buffer[i]);
  }
  if (over) overload.store(1, std::memory_order_relaxed);
  chain.SetBypass(ChainStage::DcCut, dcCut.load(std::memory_order_relaxed) == 0);
  Block b = MonoBlock(buffer, count);
  chain.Process(b);
  if (absurd) chain.ForgetBurst();
  return chain.WidenTo(b, stereo);
}

void CFilterCore::SetOutput(OutputMode mode, double balance) {
  std::lock_guard<std::mutex> guard(lock_);
  // A change of mode starts the ears afresh: no stale history heard.
  if (mode != chain.output.mode) chain.output.Reset();
  chain.output.Setup(mode, balance);
}

OutputMode CFilterCore::Output() const {
  std::lock_guard<std::mutex> guard(lock_);
  return chain.output.mode;
}

double CFilterCore::ProcessSample(double x) {
  if (IsOverload(x)) overload.store(1, std::memory_order_relaxed);
  chain.SetBypass(ChainStage::DcCut, dcCut.load(std::memory_order_relaxed) == 0);
  Block b = MonoBlock(&x, 1);
  chain.Process(b);
  return x;
}

double CFilterCore::FilterSample(double x) { return def_.IsLms() ? LmsSample(x) : FirSample(x); }
double CFilterCore::FirSample(double x) { return chain.group.filter.FirSample(x); }
double CFilterCore::LmsSample(double x) { return chain.group.filter.LmsSample(x); }
