#pragma once
// The 29 one-click filters. Selection codes 0..28 are what the settings file
// stores as "Select"; the codes are not in screen order.

#include <string>

struct FilterDefinition;

constexpr int kPresetCount = 29;
constexpr int kUserSlotCount = 6;
constexpr int kFirstUserPreset = 13;  // codes 13..18 are User1..User6

// Fo bounds in Hz. From 335 Hz every comb fits in 513 coefficients (the
// 16-period comb needs a period of at most 32 samples); up to 1587 Hz the
// widest band-pass (Fo +- 250 Hz at a third of the rate) stays below its Nyquist
// frequency, 1837.5 Hz.
constexpr double kFoMinHz = 335.0;
constexpr double kFoMaxHz = 1587.0;
constexpr double kDefaultFoHz = 700.0;
constexpr int kDefaultPresetTap = 100;

inline bool FoAccepted(double foHz) { return foHz >= kFoMinHz && foHz <= kFoMaxHz; }
// Fo brought inside the accepted range (NaN gives the default).
double BoundFo(double foHz);
// A preset tap count: even, 2..512.
inline bool PresetTapAccepted(int tap) { return tap >= 2 && tap <= 512 && tap % 2 == 0; }
// A typed tap count as the box takes it: made even, and no bits above 14, so
// 101 gives 100 (then PresetTapAccepted decides).
inline int PresetTapFromTyped(unsigned typed) { return static_cast<int>(typed & 0x7FFEu); }

// Button caption of a code; code 0 is "TH" in English and "スルー" in Japanese.
// Codes outside 0..28 give the through caption.
const char* PresetCaption(int code, bool japanese = false);
// Code of a caption (English captions, any letter case), or -1.
int PresetCodeFromName(const std::string& name);

// Builds the NS comb of n periods around foHz into coefs (513 values, cleared
// first) and returns its tap count N = n*p - p/2, p the even period in samples.
int MakeNsComb(int n, double foHz, double* coefs);

// Makes `filter` preset `code` with the given Fo and tap count (fields the
// preset does not set keep their values); user slots come from
// userSlots[0..5]. Codes outside 0..28 give through.
void InstallPreset(FilterDefinition& filter, int code, double foHz, int presetTap,
                   const FilterDefinition* userSlots);

// The default band-pass designs of the six user slots.
void SetDefaultUserDesigns(FilterDefinition* userSlots, int presetTap);
