#pragma once
// Keyed Morse of known text at 11025 Hz, for the decoder's tests and
// benchmark: machine or hand timing, speed changes, Farnsworth spacing,
// fading, and white noise at a stated SNR (key-down carrier power over the
// noise power in 500 Hz around the tone).

#include <cstdint>
#include <string>
#include <vector>

struct MorsePart {
  std::string text;        // letters, digits, punctuation, prosigns as "<AR>"; ' ' between words
  double wpm = 20;         // character speed
  double spacingWpm = 0;   // Farnsworth: overall speed of the spacing; 0 for none
};

struct MorseKeying {
  double ratio = 3;        // dah over dit
  double jitter = 0;       // each element and gap times 1 + uniform(-jitter, jitter)
  double riseMs = 4;       // raised-cosine edges
  double leadS = 0.5, tailS = 1.0;  // silence before and after
  std::uint32_t seed = 1;
};

struct SentChar {
  std::string text;
  std::int64_t start = 0, end = 0;  // samples
  double wpm = 0;
};

// The key's envelope, 0..1, and the characters sent (spaces omitted).
std::vector<double> MorseEnvelope(const std::vector<MorsePart>& parts, const MorseKeying& keying,
                                  std::vector<SentChar>* sent = nullptr);
// Adds a tone keyed by env, of amplitude amp (16-bit units), into out
// (grown as needed); fadeDepthDb > 0 fades it at fadeHz, that deep.
void AddKeyedTone(std::vector<double>& out, const std::vector<double>& env, double pitchHz, double amp,
                  double fadeHz = 0, double fadeDepthDb = 0, std::int64_t offset = 0);
// White noise at snrDb for a carrier of amplitude amp; bandLimited passes
// it through 300..2700 Hz first (its level in 500 Hz at the tone kept).
void AddNoise(std::vector<double>& out, double amp, double snrDb, std::uint32_t seed, bool bandLimited = false);
// The whole text of the parts, words separated by single spaces.
std::string MorseText(const std::vector<MorsePart>& parts);
