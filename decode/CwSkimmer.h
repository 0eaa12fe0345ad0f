#pragma once
// Finding keyed tones, and decoding all of them at once.
//
// CwToneFinder: a bank of Goertzel filters (10.8 Hz wide, every 93 ms) over
// a band; for each bin the level held over its keying (fast up, about 3 s
// down) and its noise (the bin's level a low percentile holds), so a keyed
// tone stands out while its key is up too.
// CwSkimmer: up to 16 decoders, each on a tone the finder shows in 200 to
// 1500 Hz; a tone is taken up once it stands 12 dB over its noise, and let
// go after 30 s of printing nothing with its tone gone.
//
// One thread; all memory is taken at construction.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "decode/CwDecoder.h"

class CwToneFinder {
 public:
  static constexpr int kBlock = 1024;  // samples per look
  static constexpr int kMaxBins = 160;
  // Bins every stepHz from loHz to hiHz (at most kMaxBins).
  void Setup(double loHz, double hiHz, double stepHz);
  void Reset();
  // True when a look has ended in this call's samples (then the levels are new).
  bool Process(const double* x, int n);
  int Bins() const { return bins_; }
  double BinHz(int k) const { return loHz_ + k * stepHz_; }
  // Held level over noise of bin k, dB.
  double ProminenceDb(int k) const;
  // The last look's level over noise of bin k, dB.
  double LevelDb(int k) const;
  // Held level of bin k, dB (of the finder's own unit): to compare bins.
  double HeldDb(int k) const;
  // The bin standing out most within [loHz, hiHz] and its pitch, refined
  // between bins; false when none stands minDb over its noise.
  bool Strongest(double loHz, double hiHz, double minDb, double& pitchHz) const;

 private:
  double loHz_ = 200, stepHz_ = 10;
  static constexpr int kSettleLooks = 8;  // looks (0.75 s) before any tone is shown
  int bins_ = 0, count_ = 0, looks_ = 0;
  std::array<double, kMaxBins> coef_{}, s1_{}, s2_{}, held_{}, lnNoise_{}, lnLast_{};
  double lnFloor_ = -1e300;
  bool started_ = false;
};

// One decoder at Fo or, tracking, on the strongest keyed tone within
// 100 Hz of it (moved when that tone is 10 dB over its noise and 8 Hz or
// more away); the live decoder and the offline tool both run this.
class CwTracker {
 public:
  static constexpr double kSpanHz = 100;
  CwTracker();
  ~CwTracker();
  // Fo moved: the decoder goes there (and tracking starts from there).
  void SetFo(double hz);
  void SetTrack(bool on);
  void Process(const double* x, int n);
  CwDecoder& Decoder() { return decoder_; }

 private:
  CwDecoder decoder_;
  CwToneFinder finder_;
  double foHz_ = 700;
  bool track_ = false;
  // The last samples: a move that finds a tone the decoder has copied
  // nothing of gives them to it again, so that its first characters (sent
  // before the finder had seen the tone) are copied too.
  static constexpr int kHistory = 1 << 15;  // about 3 s
  std::unique_ptr<double[]> history_;
  std::int64_t sample_ = 0;
};

struct CwSignal {
  double pitchHz = 0, wpm = 0, snrDb = 0;
  std::string text;  // the last characters printed
};

class CwSkimmer {
 public:
  static constexpr int kChannels = 16;
  static constexpr double kLoHz = 200, kHiHz = 1500;
  CwSkimmer();
  void Reset();
  // Any block length; non-finite samples count as silence.
  void Process(const double* x, int n);
  // End of the input: each decoder's held marks (see CwDecoder::Flush).
  void Flush();
  // The signals being decoded, lowest pitch first (found, with no text yet,
  // too); speed and SNR as they were at each one's last character.
  std::vector<CwSignal> Signals() const;

 private:
  struct Channel {
    bool used = false;
    CwDecoder decoder;
    std::array<char, 1024> text{};  // last characters, oldest first, NUL-padded
    std::int64_t lastHeard = 0;     // sample when its tone last stood out
    std::int64_t lastKeyed = 0;     // sample when its tone was last heard keyed down
    double wpm = 0, snrDb = 0;      // at the last character
  };
  void Look();
  void Take(Channel& ch);

  CwToneFinder finder_;
  std::unique_ptr<Channel[]> channels_;
  // The last samples, replayed to a channel when it is set up so that it
  // copies from the tone's first characters.
  static constexpr int kHistory = 1 << 15;  // about 3 s
  std::unique_ptr<double[]> history_;
  std::int64_t sample_ = 0;
};
