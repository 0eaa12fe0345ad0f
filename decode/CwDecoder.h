#pragma once
// Decodes keyed Morse on one tone of the 11025 Hz stream.
//
// Detector: the tone is mixed to 0 Hz, averaged over 32 samples and kept
// every 16th (689 Hz frames), then averaged again over 0.75 of a dit (the
// matched filter, its length following the speed). On that envelope: the
// noise (its 10th percentile, on a weak keyed signal that of the gaps the
// path holds, then the mean square of the gaps), the mark
// level (the middle of the marks, held within the envelope's 90th
// percentile, which starts it and brings it down in a fade; in a fade
// the ticks are scored at that percentile less its noise, on the way down
// and up out of a trough, and a trough's weak marks are kept).
// Key, by soft decisions: every tick (2 frames, 2.9 ms) keeps the log
// likelihood ratio of key down (Rice at the mark level, or in a fade's
// trough at the envelope's peak around the tick, down to 0.3 of it) over
// key up (Rayleigh); on a weak signal whose timing is known, over the
// tone's phase as well as the marks agree on it (von Mises, ten times as
// sure where they agree well: the mean's phase; learned from
// ticks near the mark level and followed by a loop, for a tone off the
// pitch), which a drifting tone leaves at the envelope alone.
// A semi-Markov Viterbi finds the most likely sequence of marks
// and spaces, each scored by its evidence and by the log prior of its
// length under the learned timing (dits and dahs; gaps inside characters,
// between them and between words; a broad floor for speed changes; on a
// weak signal a small bonus a mark, against weak dits lost). Ticks
// are scored two dits late (the levels by then include them; a dit and a
// half on a clear signal whose timing is known) and the key
// is taken from the best path four dits behind (six on a weak signal
// still keyed), sooner in a gap where
// every path within 5 in log likelihood of the best agrees with it (over
// 4 sigmas, the timing holding), or at once on a strong
// signal whose path ends in a gap between characters. The first marks,
// cut before the timing was known, are cut again once it is.
// Timing: marks and gaps, with glitches shorter than 0.3 dit bridged; the
// dit length and dah/dit ratio come from two-cluster splits of the last
// marks (the first from six marks in two tight clusters; a new speed from
// the last four alone when each misfits the timing held as they began,
// they split cleanly and the speed moves by a third or more; on a clear
// signal from their lengths where the envelope crosses half the level,
// which the path's priors do not draw toward the old dit, from three when
// each is far off, or from four of the last five that fit a new dit at
// the ratio held, the odd one two dahs run together; or from the short
// average when the sender sped up past what the matched filter resolves;
// while a clear signal's last marks all misfit, their characters wait for
// the marks that give the new speed). Beside them, a speed from the keying's
// structure function (how often the key differs between frames a lag
// apart, which bends at a dit and at a dah, whatever the threshold):
// fitted to the shape keyed text gives, it sets the speed before the
// first split and, on a weak signal, refuses new speeds from the marks
// far from it, draws the speed to within 20 % of it and replaces a
// speed far slower (marks run together). The character
// and word gaps from the last gaps between characters (so Farnsworth
// spacing is learned), 5 to 60 wpm. In a fade (weak, 4 dB or more under
// where it stood clear five seconds before) the spaces' spreads are
// tighter: the spacing learned still holds.
// Characters: the marks since the last sure character gap are split into
// characters by dynamic programming over the alphabet, each mark and gap
// scored by its log likelihood of being each element (log-normal durations)
// plus each symbol's prior, and a cut that turns a word fitting QSO text
// (a usual word, a callsign, a number) into one that fits none by a small
// penalty (four cuts kept per mark); the most likely sequence is printed as
// soon as the gap after it is a sure character gap (or, in a fade, as soon
// as the marks after a gap in doubt settle it as one).
// Squelch: the envelope's 90th percentile over the noise's mean (a lower
// ratio once the structure function fits keyed text); marks whose middle
// is far below the marks' level, and under 5 sigmas of the noise, are
// noise, and so is a lone weak dit with no word space after it; nothing
// prints before dits and dahs have been told apart, nor unless the
// characters fit the timing.
//
// Set up and read from one thread; Process allocates nothing.

#include <array>
#include <complex>
#include <cstdint>

struct CwSymbol {
  char text[8] = {};             // a character, a prosign ("<AR>") or " " between words
  std::int64_t startSample = 0;  // first mark's start, in samples since Reset
  std::int64_t endSample = 0;    // last mark's end
};

class CwDecoder {
 public:
  static constexpr int kDecimation = 16;
  static constexpr double kMinPitchHz = 100, kMaxPitchHz = 3000;
  static constexpr double kMinWpm = 5, kMaxWpm = 60;

  CwDecoder();
  // Tone to decode; out-of-range or non-finite values are bounded. Keeps
  // the timing and text; the detector starts over.
  void SetPitch(double hz);
  double PitchHz() const { return pitchHz_; }
  // Forgets everything except the pitch.
  void Reset();
  // Forgets everything, tunes to hz and counts samples from atSample: for
  // a decoder about to be given again the audio from there.
  void Restart(double hz, std::int64_t atSample);
  // Any block length; non-finite samples count as silence.
  void Process(const double* x, int n);

  // End of the input: decodes the marks held back (run a quarter second of
  // silence first so that the last mark has ended).
  void Flush();
  // Decoded symbols, oldest first; false when none wait. Up to 256 wait,
  // older ones are lost.
  bool Pop(CwSymbol& s);

  double Wpm() const;                                           // current speed estimate (PARIS)
  double SnrDb() const;                                         // mark over noise in 500 Hz around the tone
  bool Open() const { return open_; }                           // squelch open: a signal is being copied
  double LevelOverNoise() const { return sig_ / NoiseMean(); }  // mark level over the noise mean, amplitude
  double KeyLevel() const { return a_; }                        // envelope, for the pitch finder
  std::int64_t Samples() const { return origin_ + sample_; }
  // Samples since the last printed symbol (large when none).
  std::int64_t SamplesSincePrint() const { return sample_ - lastPrint_; }

 private:
  static constexpr int kRing = 512;      // matched filter history, frames
  static constexpr int kMaxChunk = 16;   // marks held before a forced decision
  static constexpr int kMarkWindow = 8;  // marks for the speed estimate
  static constexpr int kGapWindow = 12;  // gaps between characters
  static constexpr int kOut = 256;
  static constexpr int kTickFrames = 2;     // frames per tick of the soft decisions
  static constexpr int kTicks = 4096;       // their history (11.9 s)
  static constexpr int kMaxSegment = 1536;  // longest mark or space in one piece, ticks
  static constexpr int kDelayTicks = 64;    // most ticks (0.19 s) before the path scores one

  void Frame(std::complex<double> z);
  void Tick(double a, std::complex<double> z, double at, bool open);
  void Score(std::int64_t t, std::int64_t start, double m, double sigma);
  void Replay();
  double MarkLevel() const;
  double FadeLevel()
      const;  // the mark level a tick is scored at: the marks' level, or in a fade the envelope's
  std::int64_t Delay() const;  // ticks
  void Decide(bool down, double at, std::int64_t tick);
  // A mark's length where the envelope crosses half the level (frames;
  // 0: it does not): through the box filter that is the mark's own length
  // once it is over half the filter, whatever the path's priors make of
  // its edges.
  double HalfLevelLength(std::int64_t first, std::int64_t last, double level) const;
  bool AwaitsSpeed() const;                  // the last marks misfit the timing: their characters wait
  bool held_ = false;                        // ... and some do
  void Gap(double now);                      // the key up from the last mark's end until now (frames)
  bool LoneWeakDit() const;                  // the chunk is one weak dit that may be noise in a word space
  double Sigma() const;                      // Rayleigh parameter of the noise envelope
  double SigmaOver(double noiseMean) const;  // ... bounded by that noise mean's
  void BuildDurations();
  void DecideUpTo(std::int64_t target);
  std::int64_t Settled() const;  // the last tick every likely path agrees on
  void ResetPath();
  void KeyDown(double at);
  void KeyUp(double at);
  void CommitMark();
  void UpdateSpeed();
  // A new speed taken from the last count marks alone, each at least
  // misfit off the timing held and one worst off (log).
  bool RecentJump(int count, double misfit, double worst);
  bool FitJump();  // ... from the last few but one that fit a new dit at the ratio held
  void TakeRecent(double lnDit, const double* path, const double* half, int count);
  void Relock(double lnDit);
  void Nudge(double lnShift);
  void UpdateGaps(double gap);
  void DecodeChunk(int count = -1);  // the first count marks (all: -1); the rest wait
  double CharSure() const;           // a gap at least this long (frames) is surely between characters
  int LastSureGap() const;           // how many marks stand before the last such gap (-1: none)
  void DecodeFull();
  int SettledCut() const;  // a gap in doubt that the marks after it settle as between characters (-1: none)
  // Log likelihoods of the chunk's first n marks being a dit or a dah, and
  // of the gap before each being one inside a character or between them
  // (word: a word space).
  struct ElementScores {
    double dit[kMaxChunk], dah[kMaxChunk], intra[kMaxChunk], inter[kMaxChunk];
    bool word[kMaxChunk];
  };
  void ScoreElements(int n, ElementScores& out) const;
  void DecodeMarks(int n);
  void Emit(const char* text, double startFrame, double endFrame);
  void SetFilterLength();
  void ExactSums();
  void FastKey();
  double NoiseMean() const;
  double GapNoiseMean() const;  // the same from the gaps the path holds (keyed text: nearer the noise's)
  // The keying's structure function: mean square difference of the
  // envelope (an 8-frame average, 12 ms) between frames tau apart, over
  // the last four seconds or so; its dit from a fit of the shape keyed
  // text gives.
  static constexpr int kLags = 320, kShort = 8;
  static constexpr int kFitFrom = kShort + 4;  // lags past the noise's own correlation
  static constexpr int kCandidates = 61;       // dits fitted, 0.03 apart in log from 50 wpm down to 8
  struct Templates;
  static const Templates& ShapeTemplates();
  std::array<double, kLags + 1> structure_{};
  std::array<double, kRing> shortA_{};
  std::complex<double> sumShort_{};
  double structureWeight_ = 0;
  static constexpr int kAutoFits = 4;  // fits in a row that must agree
  std::array<double, kAutoFits> autoHist_{};
  int autoCount_ = 0;
  bool autoSure_ = false;  // the last kAutoFits fits agree
  double autoLn_ = 0;      // ... on this dit (log frames)
  int autoOff_ = 0;        // fits in a row a sure one has disagreed with the timing held
  void TrackStructure();
  void StructureFit();
  void ForgetStructure();
  void TakeSpeed(double lnDit);
  bool Clear() const;  // marks far above the noise: their lengths are sure
  bool Keyed() const;  // a mark at the signal's level lately (not a signal gone)
  bool Weak() const;   // ... its timing known, and under kWeakMarks of the noise's sigmas
  bool AutoAllows(
      double lnDit) const;  // a new speed from the marks is not against a sure one from the structure

  double pitchHz_ = 700;
  // Mixer and the first averaging.
  double phase_ = 0, phaseStep_ = 0;
  std::array<std::complex<double>, 2 * kDecimation> pre_{};
  std::array<double, 2 * kDecimation> tri_{};
  int prePos_ = 0, preCount_ = 0;
  std::int64_t sample_ = 0, origin_ = 0;  // samples since Reset; where Reset put them
  // Matched filter.
  std::array<std::complex<double>, kRing> ring_{};
  std::complex<double> sum_{};
  int ringPos_ = 0, length_ = 30, sinceExact_ = 0;
  // A second, shorter average that still resolves elements when the
  // sender speeds up past what the matched one passes.
  std::complex<double> sumFast_{};
  int lengthFast_ = 10;
  bool downFast_ = false;
  double fastStart_ = 0;
  std::array<double, 8> fastWin_{};
  int fastCount_ = 0;
  double frame_ = 0;  // frames since Reset
  // Levels (envelope units) and the key.
  double a_ = 0, noise_ = 0, sig_ = 0;
  double lnLow_ = 0;        // log of the envelope's 10th percentile (the noise)
  double lnHigh_ = 0;       // log of its 90th percentile (squelch; the mark level's floor)
  double lnHighFast_ = 0;   // the same, falling 8 dB a second (the mark level's ceiling in fades)
  double troughAt_ = -1e9;  // the last frame it stood 5 dB under the slow one (a fade's trough)
  bool down_ = false, open_ = false, carrier_ = false;
  int lowFrames_ = 0;  // frames the squelch has wanted to close
  double closedAt_ = -1e9;
  int warm_ = 0;
  // Timing, in frames; logs of lengths.
  double lnDit_, lnRatio_, lnGap_, lnChar_, lnWord_;
  double markStart_ = 0, lastUp_ = -1e9;
  double keptUp_ = -1e9;                         // the end of the last mark kept (not noise, not squelched)
  bool pending_ = false, locked_ = false;        // locked: dits and dahs told apart
  bool markWeak_ = false, pendingWeak_ = false;  // the last mark's middle far below the mark level
  double pendingStart_ = 0, pendingLen_ = 0, pendingGap_ = 0;
  double lastHalf_ = 0, pendingHalf_ = 0;  // the last mark's length at half the level (frames, 0: none)
  std::array<double, kMarkWindow> markWin_{};
  std::array<double, kMarkWindow> halfWin_{};  // the same at half the level (log; as markWin_ where none)
  std::array<double, kMarkWindow> ditWin_{}, ratioWin_{};  // the timing held as each came (log)
  std::array<bool, kMarkWindow> clearWin_{};               // ... and whether the signal stood clear
  int markCount_ = 0;
  int sinceLock_ = 0;                         // marks since the speed was last taken anew
  bool fromRecent_ = false;                   // ... by RecentJump, from a few marks
  double windowFrom_ = 0;                     // marks begun before this frame stay out of the speed window
  double candidate_ = 0, fastCandidate_ = 0;  // last splits' dit lengths (log)
  std::array<double, kGapWindow> gapWin_{};
  int gapCount_ = 0;
  // The chunk: marks since the last sure character gap, each with the gap
  // before it and its middle's level over the marks' (shares_).
  std::array<double, kMaxChunk> marks_{}, gaps_{}, starts_{}, shares_{};
  double lastShare_ = 1, pendingShare_ = 1;  // the last mark's level over the marks'
  double firstGap_ = 0;                      // the gap before the chunk's first mark, frames
  int n_ = 0;
  bool printedSinceWord_ = false, chunkGapDone_ = true;
  double chunkEnd_ = 0;
  // Soft decisions, per tick (rings of kTicks): running sum of the
  // evidence for key down, the best path's score ending in a mark or a
  // space there, the length of that last segment (negative: the segment
  // before it was of the same kind, a long carrier or pause in pieces).
  std::array<double, kTicks> evidence_{}, bestMark_{}, bestSpace_{}, tickA_{}, tickFrame_{};
  std::array<double, kTicks> tickPeak_{};  // the envelope's peak around each tick
  std::array<int, kTicks> lenMark_{}, lenSpace_{};
  std::array<bool, kTicks> tickOpen_{};                           // the squelch when each tick was heard
  bool tickIsOpen_ = false;                                       // ... for the tick being decided
  std::array<double, kMaxSegment + 1> durMark_{}, durSpace_{};    // log priors by length in ticks
  std::array<double, kMaxSegment + 2> tailMark_{}, tailSpace_{};  // their best from each length on
  int maxMark_ = 0, maxSpace_ = 0;
  double clearAt_ = -1e9,
         clearLevel_ = 0;  // the last frame the marks stood clear of the noise, their level then
  bool tight_ = false;     // a fade: weak now, well under where it stood clear a few seconds ago
  bool durDirty_ = true;
  bool replay_ = false, replayed_ = false;  // the first marks to be cut again, once
  std::array<double, kDelayTicks> delayA_{}, delayFrame_{};
  std::array<std::complex<double>, kDelayTicks> delayZ_{};
  std::array<bool, kDelayTicks> delayOpen_{};
  std::int64_t delayed_ = 0, scored_ = 0;  // ticks heard, ticks given to the path
  std::int64_t tick_ = 0, decided_ = 0;    // ticks since the path started, the last one decided
  double tickSum_ = 0;
  std::complex<double> tickSumZ_{};
  // The matched filter's output per tick, and the tone's phase over the
  // last half second of marks: a steady tone's marks share one phase, so
  // key down is scored partly coherently (as sure of the phase as the
  // marks agree on it; a drifting tone falls back to the envelope).
  std::array<std::complex<double>, kTicks> tickZ_{};
  std::complex<double> refZ_{}, refZLong_{};  // over 150 and 500 ticks
  double refMag_ = 0, refMagLong_ = 0;
  double pllPhase_ = 0, pllTurn_ = 0;  // the tone's phase (rad) and its turn per tick: a tone off the pitch
  int tickFill_ = 0;
  double noisePower_ = 0;          // mean square envelope of the noise, from the gaps
  double lnGapLow_ = 0;            // log of the 10th percentile of the envelope in the gaps
  int gapLowCount_ = 0;            // gap ticks it has seen
  double refLevel_ = 0;            // the marks' level, slow to fall (tells marks of noise)
  double lastLevel_ = 0;           // the last mark's level (not noise)
  std::int64_t lastRealTick_ = 0;  // the end of the last mark at that level
  std::int64_t lastDownTick_ = 0, downTick_ = 0;
  // The word printed so far (kWordChars: too long or a prosign in it).
  static constexpr int kWordChars = 12;
  std::array<char, kWordChars> word_{};
  int wordLen_ = 0;
  // Output.
  std::array<CwSymbol, kOut> out_{};
  int outHead_ = 0, outTail_ = 0;
  std::int64_t lastPrint_ = -(std::int64_t{1} << 40);
};
