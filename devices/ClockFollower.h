#pragma once
// Holds a playback queue at the level it settled at when the capture and
// playback clocks differ: two sound cards (the rig's codec in, headphones
// out), or two sinks of a sound server, never run at exactly the same rate.
// A drift of 0.1 % moves 11 frames a second and empties the margin of a
// 64-frame block within seconds, each time a lost block. The follower
// nudges the rate the playback stream is played at (whole Hz, within
// kMaxDeviation of the nominal rate: 0.3 % is 5 cents, 2 Hz at 700 Hz), as a
// PI controller on the queue's low level over each half second, with a
// dead band around the level held: while the level stays within it the rate
// stays put (on one clock, at the nominal rate); once it leaves, the
// controller follows until the level is back and nothing has been learned.
// Not thread-safe: the playback stream's thread (or lock) only.

class ClockFollower {
 public:
  static constexpr double kMaxDeviation = 0.003;

  // Starts over at the nominal device rate (Hz): after an open, a flush or
  // a pause. blockFrames: the program's block. Nothing is measured until
  // the queue has held sound.
  void Start(int nominalHz, int blockFrames);
  // At each playback request: queuedFrames at the program rate waiting in
  // the queue before the request, deviceFrames the request's size. Returns
  // the rate the stream should play at from now (device Hz).
  int Note(long queuedFrames, int deviceFrames);
  int Rate() const { return rate_; }
  // Program frames to cut from the queue now, once: the level stood more
  // than a block above the one held all through a window, as after a
  // server that stalled (its playback ran dry while the capture piled up).
  // The rate's nudge would take seconds a block, the delay growing with
  // each stall meanwhile. 0 when nothing stands; only for a caller that
  // cuts (EnableCuts).
  long TakeExcess() {
    const long n = excess_;
    excess_ = 0;
    return n;
  }
  void EnableCuts(bool on) { cuts_ = on; }

 private:
  long DeadBand() const;  // program frames either side of the reference
  int nominal_ = 0;
  long block_ = 1;
  int rate_ = 0;
  // The level leaves the dead band only when the second lowest of the
  // window's slices' lowest levels leaves it too: one late packet or
  // wake-up dips the queue in one slice only, and on one clock that dip
  // alone set the follower going (the rate 0.3 % off for seconds, the delay
  // moving by 3-7 ms at 64 frames), where a drift lowers every slice alike.
  // Once following, the controller holds the lowest level.
  static constexpr int kSlices = 5;
  long sliceMin_[kSlices] = {-1, -1, -1, -1, -1};  // -1: no request in that slice yet
  long windowMin_ = -1;                            // lowest queue level this window (-1: none yet)
  long windowFrames_ = 0;                          // device frames requested this window
  int windows_ = 0;                                // full windows measured since Start
  long reference_ = -1;    // the level to hold (program frames), from the second window on
  double integral_ = 0.0;  // program frames per second
  bool cuts_ = false;
  bool engaged_ = false;  // the level left the dead band: following
  int calmWindows_ = 0;   // windows in the band since it last left it
  long excess_ = 0;       // program frames to cut, until taken
};
