#pragma once
// What the engine tests look at inside CFilter beyond its operations: the
// spectrum's tap, the device pair, the live filter.

#include <memory>

#include "audio/CFilter.h"
#include "signal/Presets.h"

struct CFilterProbe {
  explicit CFilterProbe(CFilter& filter) : f(filter) {}
  SpectrumTap& Spectrum() { return f.spectrum_; }
  std::atomic<int>& LostCount() { return f.lostCount_; }
  CFFT& Fft() { return f.spectrum_.Fft(); }
  CFilterCore& Core() { return f.core_; }
  CWave& Wave() { return f.wave_; }

  CFilter& f;
};

namespace testutil {
// Puts preset `code` (no user slots) in force in the engine, as the window does.
inline void InstallLive(CFilter& filter, int code, double foHz, int presetTap) {
  auto d = std::make_unique<FilterDefinition>(filter.Definition());
  InstallPreset(*d, code, foHz, presetTap, nullptr);
  filter.SetDefinition(*d);
}
}  // namespace testutil
