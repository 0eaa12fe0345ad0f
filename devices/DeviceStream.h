#pragma once
// What a real device's stream works on, whatever the backend: the queue of
// CWave's headers, filled (capture) or drained (playback) from the
// backend's own thread in frames of one or two interleaved channels at the
// device's rate, which is converted to and from the program's rate when the
// two differ (16-bit only; each channel alike, frame for frame). Shared
// (shared_ptr) by the device object, the backend's stream and any device
// call still running on a worker, so a call abandoned there never outlives
// what it touches.
//
// Capture and Play allocate nothing and never wait except on the queue's
// own short lock; the completion reports are made after it is released.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "audio/WaveDevice.h"
#include "devices/ClockFollower.h"
#include "signal/RateConverter.h"

class DeviceStream {
 public:
  static constexpr int kQueue = 8;
  // Frames converted in one go; the backends' callbacks are cut to it.
  static constexpr int kChunk = 1024;
  // Channels a converting stream takes (mono, stereo).
  static constexpr int kMaxChannels = 2;

  // True for a format whose rate can be converted and whose playback can
  // follow a clock: 16-bit, 1..kMaxChannels channels.
  static bool Convertible(const WaveFormat& format) {
    return format.bitsPerSample == 16 && format.channels >= 1 && format.channels <= kMaxChannels;
  }
  // format: what CWave asked for; deviceRateHz: what the device runs at.
  // Allocates the converters when the rates differ (Convertible formats
  // only). False with the reason when that cannot be.
  bool Setup(const WaveFormat& format, int deviceRateHz, bool capture, WaveCallback callback, void* instance,
             std::string& error);
  // Playback of Convertible formats only, after Setup: converts even at
  // equal rates and plays the queue a little faster or slower so that it
  // holds its level when the device's clock and the capture's differ (two
  // cards); see ClockFollower. blockFrames: the program's block. False
  // with the reason when the converters cannot be had.
  bool FollowClock(int blockFrames, std::string& error);
  // The rate the queue is played at now, in device Hz (the device's own
  // rate when not following); backend thread.
  int FollowedRateHz() const { return followedHz_; }
  void SetOwner(WaveDevice* owner) { owner_ = owner; }
  int DeviceRateHz() const { return deviceRateHz_; }
  bool Converting() const { return converting_; }
  // Bytes of one device frame (all its channels).
  int DeviceFrameBytes() const { return converting_ ? 2 * channels_ : frameBytes_; }

  // --- CWave's side ---------------------------------------------------------
  bool Push(WaveHeader* h);
  // Hands every queued header back through the callback.
  void ReturnAll(unsigned message);
  bool HasQueued();
  // Program-rate frames queued and not yet taken; any thread.
  long QueuedFrames();
  // Device frames Play can give from the queue now (0 while paused), for a
  // backend that writes only what it has; backend thread.
  int PlayableFrames();
  std::atomic<bool> paused{false};
  std::atomic<std::uint32_t> volume{0xFFFFFFFFu};
  // The device is gone: nothing is reported any more.
  std::atomic<bool> detached{false};
  // What the backend last said it holds, in microseconds.
  std::atomic<long> latencyUs{0};
  // Playback: the cuts DropQueued made so far (each a jump in the sound).
  std::atomic<long> cuts{0};

  // --- the backend's side (its stream thread) ---------------------------------
  // Device frames captured; in may be null for a hole (silence).
  void Capture(const char* in, int frames);
  // Device frames Capture can take now while two of the reader's buffers
  // stay queued: filling those too hands the reader its whole ring, an
  // overrun, though it may only be busy with a block. For a backend that
  // can leave sound with its server until a buffer comes back.
  int CaptureRoomFrames();
  // Fills frames device frames; what the queue cannot give (paused, empty)
  // is silence and consumes nothing. Returns the frames that came from the
  // queue, counted at the device's rate. Running dry after the first
  // block played (not paused) is reported as kWomStarved.
  int Play(char* out, int frames);
  // The backend ran dry on its side (a server's underflow) while the queue
  // had nothing for it: reported as kWomStarved once the first block has
  // played, unless paused. For a backend that writes only what the queue
  // holds and so never calls Play with it empty.
  void NoteDeviceDry();
  // Drops up to frames program frames from the front of the playback
  // queue, handing back the headers emptied: a cut in the sound, for a
  // backlog that stands (see ClockFollower::TakeExcess).
  void DropQueued(long frames);

 private:
  void Report(unsigned message, WaveHeader* const* headers, int n);
  // Program-rate bytes into the queue's headers.
  void Store(const char* in, int bytes, WaveHeader** done, int& nDone);
  // Program-rate bytes out of the queue, with the volume applied; returns
  // the bytes taken. A null out drops them.
  int Take(char* out, int bytes, WaveHeader** done, int& nDone);
  void Scale(char* dst, const char* src, int bytes, double gain) const;
  bool OpenConverter(bool capture, int programRateHz, std::string& error);
  // Converts frames frames of every channel's run in in_, from offset on,
  // into Converted(c); returns the frames each gave (-1 on failure) and in
  // used the frames each took.
  long ConvertChannels(long offset, long frames, long& used);
  double* Converted(int channel) { return out_.get() + static_cast<std::size_t>(channel) * chunkOut_; }
  // Device frames per program frame, as the queue is played now.
  double PlaybackRatio() const;

  mutable std::mutex m_;
  WaveHeader* items_[kQueue] = {};
  int count_ = 0;
  int pos_ = 0;  // bytes done in the front header
  WaveHeader* PopLocked();

  WaveCallback cb_ = nullptr;
  void* instance_ = nullptr;
  WaveDevice* owner_ = nullptr;
  int channels_ = 1;
  int frameBytes_ = 2;
  int bits_ = 16;
  int deviceRateHz_ = kSampleRateHz;
  bool converting_ = false;

  // Conversion state (only when converting_): one converter per channel,
  // each channel's samples in a run of their own.
  RateConverter converters_[kMaxChannels];
  std::unique_ptr<double[]> in_;   // kChunk frames a channel, either rate
  std::unique_ptr<double[]> out_;  // chunkOut_ frames a channel, converter output
  std::unique_ptr<char[]> bytes_;  // program-rate PCM, interleaved
  std::size_t chunkOut_ = 0;
  bool fed_ = false;              // playback: something was played since Setup
  bool following_ = false;        // playback follows the capture clock
  bool followerRunning_ = false;  // since the last pause
  int followBlock_ = 0;
  int followedHz_ = kSampleRateHz;
  ClockFollower follower_;
  long outCount_ = 0;  // playback: converted frames not yet played
  long outPos_ = 0;
};
