#pragma once
// The Morse alphabet the decoder knows: ITU letters, digits and punctuation
// and the usual prosigns, each with its elements ('.' dit, '-' dah), the
// text printed for it and a small prior (log odds against a letter) so that
// an ambiguous mark sequence leans to what QSO text holds.

#include <string_view>

struct MorseSymbol {
  const char* code;  // '.' and '-', 1 to 8 elements
  const char* text;  // one character, or a prosign as "<AR>"
  double logPrior;   // 0 for letters, below for the rarer symbols
};

constexpr int kMorseMaxElements = 8;

// The whole alphabet; codes are unique.
const MorseSymbol* MorseAlphabet(int& count);

// The code of one character or prosign ("A", "<SK>"), upper or lower case;
// nullptr when Morse has none.
const char* MorseCodeOf(std::string_view text);

// How well a word so far (upper case, n characters since the last word
// space) fits what QSO text holds: 2 when it begins one of the usual QSO
// words (CQ, DE, TU, 73, RST, 5NN, UR, ...), 1 when it begins a callsign
// (an optional digit, one or two letters, a digit, one to four letters,
// an optional /suffix) or is all digits, 0 otherwise.
int MorseWordFit(const char* word, int n);
