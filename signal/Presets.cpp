#include "signal/Presets.h"

#include <strings.h>

#include <cmath>
#include <cstring>

#include "signal/FilterDefinition.h"
#include "signal/SampleRate.h"

namespace {

const char* const kCaptions[kPresetCount] = {
    "TH",    "NS4",   "NS6",  "NS8",   "NS10",  "NS12",  "NS16",  "BP500", "BP400", "BP300",
    "BP200", "BP100", "BP70", "User1", "User2", "User3", "User4", "User5", "User6", "2.4K",
    "2.2K",  "2.0K",  "1.8K", "LMSBP", "LMSB2", "LMSNS", "LMSAN", "2.7K",  "2.5K",
};

struct CombPreset {
  int code, periods;
};
constexpr CombPreset kCombs[] = {{1, 4}, {2, 6}, {3, 8}, {4, 10}, {5, 12}, {6, 16}};

struct BandPreset {
  int code;
  double halfWidthHz;
};
// Narrow band-passes around Fo, run at a third of the rate.
constexpr BandPreset kBands[] = {{7, 250}, {8, 200}, {9, 150}, {10, 100}, {11, 50}, {12, 35}};

struct VoicePreset {
  int code, overSmp;
  double fs, fcl, fch;
};
constexpr VoicePreset kVoices[] = {
    {19, 1, kSampleRate, 200.0, 2400.0},     {20, 1, kSampleRate, 200.0, 2200.0},
    {21, 2, kSampleRate / 2, 200.0, 2000.0}, {22, 2, kSampleRate / 2, 200.0, 1800.0},
    {27, 1, kSampleRate, 200.0, 2700.0},     {28, 1, kSampleRate, 200.0, 2500.0},
};

struct LmsPreset {
  int code, overSmp, delay, tap;
  double mu2, gm;
  int inv, agc;
};
constexpr LmsPreset kLms[] = {
    {23, 2, 24, 64, 0.01, 0.9998, 0, 0},
    {24, 3, 24, 96, 0.01, 0.9999, 0, 1},
    {25, 1, 1, 64, 0.015, 0.99997, 0, 0},
    {26, 1, 64, 96, 0.015, 0.9999, 1, 0},
};

struct SlotDesign {
  int overSmp;
  double fs, fcl, fch;
};
constexpr SlotDesign kSlotDefaults[kUserSlotCount] = {
    {1, kSampleRate, 300.0, 2400.0}, {2, kSampleRate / 2, 300.0, 2000.0}, {2, kSampleRate / 2, 300.0, 1800.0},
    {1, kSampleRate, 500.0, 2400.0}, {2, kSampleRate / 2, 500.0, 2000.0}, {2, kSampleRate / 2, 500.0, 1800.0},
};

}  // namespace

double BoundFo(double foHz) {
  if (!(foHz == foHz)) return kDefaultFoHz;
  if (foHz < kFoMinHz) return kFoMinHz;
  if (foHz > kFoMaxHz) return kFoMaxHz;
  return foHz;
}

const char* PresetCaption(int code, bool japanese) {
  if (code <= 0 || code >= kPresetCount) return japanese ? "スルー" : "TH";
  return kCaptions[code];
}

int PresetCodeFromName(const std::string& name) {
  for (int code = 0; code < kPresetCount; ++code)
    if (strcasecmp(name.c_str(), kCaptions[code]) == 0) return code;
  return -1;
}

int MakeNsComb(int n, double foHz, double* coefs) {
  std::memset(coefs, 0, sizeof(double) * kCoefCount);
  int p = static_cast<int>(kSampleRate / BoundFo(foHz));
  if (p % 2 != 0) ++p;
  const double c = 1.0 / (2.0 * n);
  for (int k = 0; k < n; ++k) {
    coefs[k * p] = -c;
    coefs[k * p + p / 2] = c;
  }
  return n * p - p / 2;
}

void InstallPreset(FilterDefinition& filter, int code, double foHz, int presetTap,
                   const FilterDefinition* userSlots) {
  const double fo = BoundFo(foHz);
  for (const CombPreset& c : kCombs) {
    if (c.code != code) continue;
    double coefs[kCoefCount];
    const int n = MakeNsComb(c.periods, fo, coefs);
    filter.SetUser(1, coefs, n);
    return;
  }
  for (const BandPreset& b : kBands) {
    if (b.code != code) continue;
    filter.SetDesign(3, presetTap, FilterType::BPF, kSampleRate / 3, fo - b.halfWidthHz, fo + b.halfWidthHz,
                     60.0);
    return;
  }
  for (const VoicePreset& v : kVoices) {
    if (v.code != code) continue;
    filter.SetDesign(v.overSmp, presetTap, FilterType::BPF, v.fs, v.fcl, v.fch, 60.0);
    return;
  }
  for (const LmsPreset& l : kLms) {
    if (l.code != code) continue;
    filter.SetLms(l.overSmp, l.delay, l.tap, l.mu2, l.gm, l.inv, l.agc);
    return;
  }
  if (code >= kFirstUserPreset && code < kFirstUserPreset + kUserSlotCount && userSlots) {
    filter = userSlots[code - kFirstUserPreset];
    return;
  }
  filter.SetUser(1, nullptr, 0);
}

void SetDefaultUserDesigns(FilterDefinition* userSlots, int presetTap) {
  for (int k = 0; k < kUserSlotCount; ++k) {
    const SlotDesign& s = kSlotDefaults[k];
    userSlots[k].SetDesign(s.overSmp, presetTap, FilterType::BPF, s.fs, s.fcl, s.fch, 60.0);
  }
}
