#pragma once
// What the design dialog's DO button does to the filter being edited, apart
// from the controls: read the typed values, check them, design. Qt-free so
// that the rules are tested without a screen.

#include <optional>
#include <string>

#include "signal/FilterDefinition.h"

// The design dialog's values as the user left them in its controls.
struct DesignFields {
  int type = FilterType::LPF;  // the Type selection, a FilterType
  int ratioIndex = 0;          // the OverSampling selection: ratio - 1, 0..2
  std::string tap, fcl, fch, att, gain;
  std::string delay, mu2, gm;  // LMS
  bool inv = false, agc = false;
};

enum class DesignResult {
  Done,       // work holds the new definition
  TooHigh,    // the limit frequency reaches half the rate: kTooHighText
  Incorrect,  // a value the design cannot use: kIncorrectText
};

extern const char* const kTooHighText;
extern const char* const kIncorrectText;

// The rate a filter runs at for an OverSampling selection (0..2).
double RateForRatioIndex(int ratioIndex);

// DO on `work` (the dialog's own filter, touched by no other thread).
// Numbers are read as scanf "%u" and "%lf" would: a text without a number
// keeps the field's value, text after the number is ignored. On TooHigh or
// Incorrect `work` keeps what was read and adjusted before the check and the
// coefficients of its previous design. A tap count or LMS delay typed with a
// minus sign, a non-finite number, a gain beyond kMaxGain, 2µ outside 0..1,
// Gm outside 0..1 and a design whose coefficients are not finite are
// Incorrect; an LMS delay above 512
// becomes 512, as a tap count does.
DesignResult DesignFromFields(FilterDefinition& work, const DesignFields& fields);

// The directory part of a chosen file's path, up to and including its last
// "/", for the file dialogs to start in next time; empty when the path has
// no directory or the directory is longer than 128 characters (the previous
// one is then kept).
std::optional<std::string> RememberedDirectory(const std::string& path);
