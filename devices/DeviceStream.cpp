#include "devices/DeviceStream.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "common/Pcm16.h"

bool DeviceStream::Setup(const WaveFormat& format, int deviceRateHz, bool capture, WaveCallback callback,
                         void* instance, std::string& error) {
  cb_ = callback;
  instance_ = instance;
  fed_ = false;
  channels_ = format.channels;
  frameBytes_ = format.channels * (format.bitsPerSample / 8);
  bits_ = format.bitsPerSample;
  deviceRateHz_ = deviceRateHz > 0 ? deviceRateHz : format.samplesPerSec;
  followedHz_ = deviceRateHz_;
  following_ = followerRunning_ = false;
  converting_ = deviceRateHz_ != format.samplesPerSec;
  if (!converting_) return true;
  if (!Convertible(format)) {
    error = "only 16-bit mono or stereo sound can be converted";
    return false;
  }
  return OpenConverter(capture, format.samplesPerSec, error);
}

bool DeviceStream::FollowClock(int blockFrames, std::string& error) {
  if (bits_ != 16 || channels_ < 1 || channels_ > kMaxChannels) {
    error = "only 16-bit mono or stereo sound can follow a clock";
    return false;
  }
  if (!converting_ && !OpenConverter(false, kSampleRateHz, error)) return false;
  converting_ = following_ = true;
  followerRunning_ = false;
  followBlock_ = blockFrames;
  return true;
}

double DeviceStream::PlaybackRatio() const {
  // Played at followedHz_ instead of the device's rate: the queue goes
  // faster by that much.
  return static_cast<double>(deviceRateHz_) / kSampleRateHz * deviceRateHz_ / followedHz_;
}

bool DeviceStream::OpenConverter(bool capture, int programRateHz, std::string& error) {
  // Medium quality: flat to 90 % of the lower Nyquist frequency (4.96 kHz at
  // the program's rate) with a filter short enough to add about 2 ms.
  const double from = capture ? deviceRateHz_ : programRateHz;
  const double to = capture ? programRateHz : deviceRateHz_;
  for (int c = 0; c < channels_; ++c)
    if (!converters_[c].Open(from, to, kChunk, RateConverter::Quality::Medium, error)) return false;
  chunkOut_ = static_cast<std::size_t>(std::max<long>(converters_[0].MaxOutput(), kChunk));
  const std::size_t channels = static_cast<std::size_t>(channels_);
  in_.reset(new double[channels * kChunk]);
  out_.reset(new double[channels * chunkOut_]);
  bytes_.reset(new char[2 * channels * chunkOut_]);
  outCount_ = outPos_ = 0;
  return true;
}

long DeviceStream::ConvertChannels(long offset, long frames, long& used) {
  long got = -1;
  for (int c = 0; c < channels_; ++c) {
    long usedHere = 0;
    std::string error;  // empty: no allocation unless the converter fails
    const long gotHere = converters_[c].Convert(in_.get() + static_cast<std::size_t>(c) * kChunk + offset,
                                                frames, false, Converted(c), usedHere, error);
    // Same counts in, same ratio: every channel's converter gives the same.
    if (gotHere < 0 || (c > 0 && (gotHere != got || usedHere != used))) return -1;
    got = gotHere;
    used = usedHere;
  }
  return got;
}

bool DeviceStream::Push(WaveHeader* h) {
  std::lock_guard<std::mutex> lock(m_);
  if (count_ == kQueue) return false;
  items_[count_++] = h;
  return true;
}

bool DeviceStream::HasQueued() {
  std::lock_guard<std::mutex> lock(m_);
  return count_ > 0 && !paused.load();
}

long DeviceStream::QueuedFrames() {
  std::lock_guard<std::mutex> lock(m_);
  long bytes = -pos_;
  for (int i = 0; i < count_; ++i) bytes += items_[i]->bufferLength;
  return count_ > 0 ? bytes / frameBytes_ : 0;
}

int DeviceStream::PlayableFrames() {
  if (paused.load()) return 0;
  long bytes = 0;
  {
    std::lock_guard<std::mutex> lock(m_);
    for (int i = 0; i < count_; ++i) bytes += items_[i]->bufferLength;
    bytes -= pos_;
  }
  const long programFrames = bytes / frameBytes_;
  if (!converting_) return static_cast<int>(programFrames);
  // Play may ask for one program frame more than it needs: promise that
  // much less, so a write never runs into silence.
  const double ratio = PlaybackRatio();
  const long device = static_cast<long>(programFrames * ratio - std::ceil(ratio)) - 2;
  return static_cast<int>(std::max<long>(0, device) + (outCount_ - outPos_));
}

int DeviceStream::CaptureRoomFrames() {
  long bytes = 0;
  {
    std::lock_guard<std::mutex> lock(m_);
    // The buffer the reader has just given back may still count as unread
    // on its side until it moves on: two, not one, stay queued.
    for (int i = 0; i + 2 < count_; ++i) bytes += items_[i]->bufferLength;
    if (count_ > 2) bytes -= pos_;
  }
  const long programFrames = bytes / frameBytes_;
  if (!converting_) return static_cast<int>(programFrames);
  // The converter may give a frame or two more than the ratio says.
  const double programPerDevice = static_cast<double>(kSampleRateHz) / deviceRateHz_;
  return static_cast<int>(std::max<long>(0, static_cast<long>((programFrames - 4) / programPerDevice)));
}

WaveHeader* DeviceStream::PopLocked() {
  WaveHeader* h = items_[0];
  std::memmove(items_, items_ + 1, sizeof(WaveHeader*) * static_cast<std::size_t>(count_ - 1));
  --count_;
  pos_ = 0;
  return h;
}

void DeviceStream::ReturnAll(unsigned message) {
  WaveHeader* back[kQueue];
  int n;
  {
    std::lock_guard<std::mutex> lock(m_);
    n = count_;
    std::memcpy(back, items_, sizeof(WaveHeader*) * static_cast<std::size_t>(n));
    count_ = 0;
    pos_ = 0;
  }
  Report(message, back, n);
}

void DeviceStream::Report(unsigned message, WaveHeader* const* headers, int n) {
  if (detached.load()) return;
  for (int i = 0; i < n; ++i)
    cb_(owner_, message, instance_, reinterpret_cast<std::uintptr_t>(headers[i]), 0);
}

void DeviceStream::Store(const char* in, int bytes, WaveHeader** done, int& nDone) {
  std::lock_guard<std::mutex> lock(m_);
  while (bytes > 0 && count_ > 0 && nDone < kQueue) {
    WaveHeader* h = items_[0];
    const int k = std::min(bytes, h->bufferLength - pos_);
    if (in) {
      std::memcpy(h->data + pos_, in, static_cast<std::size_t>(k));
      in += k;
    } else {
      std::memset(h->data + pos_, bits_ == 16 ? 0 : 128, static_cast<std::size_t>(k));
    }
    bytes -= k;
    pos_ += k;
    if (pos_ >= h->bufferLength) {
      h->bytesRecorded = h->bufferLength;
      done[nDone++] = PopLocked();
    }
  }
  // Samples with no buffer queued are dropped: the reader fell behind.
}

void DeviceStream::Capture(const char* in, int frames) {
  WaveHeader* done[kQueue];
  int nDone = 0;
  if (!converting_) {
    Store(in, frames * frameBytes_, done, nDone);
  } else {
    while (frames > 0) {
      const int n = std::min(frames, kChunk);
      // Interleaved frames in, one run of kChunk per channel for the
      // converters.
      for (int i = 0; i < n; ++i)
        for (int c = 0; c < channels_; ++c) {
          std::int16_t s = 0;
          if (in) std::memcpy(&s, in + 2 * (channels_ * i + c), 2);
          in_[static_cast<std::size_t>(c) * kChunk + static_cast<std::size_t>(i)] = s;
        }
      if (in) in += frameBytes_ * n;
      frames -= n;
      long offset = 0;
      while (offset < n) {
        long used = 0;
        const long got = ConvertChannels(offset, n - offset, used);
        if (got < 0 || (used == 0 && got == 0)) break;
        offset += used;
        for (long i = 0; i < got; ++i)
          for (int c = 0; c < channels_; ++c) {
            const std::uint16_t s =
                static_cast<std::uint16_t>(SampleToPcm16(Converted(c)[static_cast<std::size_t>(i)]));
            const long at = 2 * (channels_ * i + c);
            bytes_[at] = static_cast<char>(s & 0xFF);
            bytes_[at + 1] = static_cast<char>(s >> 8);
          }
        Store(bytes_.get(), static_cast<int>(frameBytes_ * got), done, nDone);
      }
    }
  }
  Report(kWimData, done, nDone);
}

int DeviceStream::Take(char* out, int bytes, WaveHeader** done, int& nDone) {
  const double gain = (volume.load() >> 16) / 65535.0;
  int taken = 0;
  std::lock_guard<std::mutex> lock(m_);
  while (bytes > 0 && !paused.load() && count_ > 0 && nDone < kQueue) {
    WaveHeader* h = items_[0];
    const int k = std::min(bytes, h->bufferLength - pos_);
    if (out) {
      Scale(out, h->data + pos_, k, gain);
      out += k;
    }
    bytes -= k;
    taken += k;
    pos_ += k;
    if (pos_ >= h->bufferLength) done[nDone++] = PopLocked();
  }
  return taken;
}

int DeviceStream::Play(char* out, int frames) {
  WaveHeader* done[kQueue];
  int nDone = 0;
  int fromQueue = 0;
  bool dry = false;
  if (!converting_) {
    const int bytes = frames * frameBytes_;
    const int taken = Take(out, bytes, done, nDone);
    dry = taken < bytes;
    // Paused or nothing queued: silence, and nothing is consumed.
    if (taken < bytes)
      std::memset(out + taken, bits_ == 16 ? 0 : 128, static_cast<std::size_t>(bytes - taken));
    fromQueue = taken / frameBytes_;
  } else {
    if (following_) {
      // Starts over after every pause: the level to hold is the new start's.
      if (paused.load()) {
        followerRunning_ = false;
      } else {
        if (!followerRunning_) follower_.Start(deviceRateHz_, followBlock_);
        followerRunning_ = true;
        followedHz_ = follower_.Note(QueuedFrames(), frames);
      }
      if (!followerRunning_) followedHz_ = deviceRateHz_;
      for (int c = 0; c < channels_; ++c) converters_[c].SetRatio(PlaybackRatio());
    }
    const double ratio = PlaybackRatio();
    int filled = 0;
    for (int guard = 0; filled < frames && guard < 64; ++guard) {
      if (outPos_ < outCount_) {
        const int k = static_cast<int>(std::min<long>(frames - filled, outCount_ - outPos_));
        for (int i = 0; i < k; ++i)
          for (int c = 0; c < channels_; ++c) {
            const std::int16_t s = SampleToPcm16(Converted(c)[static_cast<std::size_t>(outPos_ + i)]);
            std::memcpy(out + 2 * (channels_ * (filled + i) + c), &s, 2);
          }
        outPos_ += k;
        filled += k;
        continue;
      }
      // Program frames for what is still missing (one more for the filter's
      // phase); a queue that cannot give them gives silence.
      const int want = std::clamp(static_cast<int>(std::ceil((frames - filled) / ratio)) + 1, 1, kChunk);
      const int taken = Take(bytes_.get(), frameBytes_ * want, done, nDone);
      // The one frame more asked for the filter's phase may be missing
      // without a gap.
      dry = dry || taken < frameBytes_ * (want - 1);
      fromQueue += static_cast<int>(taken / frameBytes_ * ratio);
      for (int i = 0; i < want; ++i)
        for (int c = 0; c < channels_; ++c) {
          std::int16_t s = 0;
          if (frameBytes_ * i < taken) std::memcpy(&s, bytes_.get() + frameBytes_ * i + 2 * c, 2);
          in_[static_cast<std::size_t>(c) * kChunk + static_cast<std::size_t>(i)] = s;
        }
      long used = 0;
      const long got = ConvertChannels(0, want, used);
      if (got < 0) break;
      outCount_ = got;
      outPos_ = 0;
    }
    if (filled < frames)
      std::memset(out + frameBytes_ * filled, 0, static_cast<std::size_t>(frameBytes_) * (frames - filled));
  }
  Report(kWomDone, done, nDone);
  if (paused.load()) return fromQueue;
  if (dry && fed_ && !detached.load()) cb_(owner_, kWomStarved, instance_, 0, 0);
  if (fromQueue > 0) fed_ = true;
  return fromQueue;
}

void DeviceStream::DropQueued(long frames) {
  WaveHeader* done[kQueue];
  int nDone = 0;
  if (Take(nullptr, static_cast<int>(std::clamp<long>(frames * frameBytes_, 0, 1L << 30)), done, nDone) > 0)
    cuts.fetch_add(1);
  Report(kWomDone, done, nDone);
}

void DeviceStream::NoteDeviceDry() {
  if (!fed_ || paused.load() || detached.load()) return;
  cb_(owner_, kWomStarved, instance_, 0, 0);
}

void DeviceStream::Scale(char* dst, const char* src, int bytes, double gain) const {
  if (gain == 1.0) {
    std::memcpy(dst, src, static_cast<std::size_t>(bytes));
    return;
  }
  if (bits_ == 16) {
    for (int i = 0; i + 1 < bytes; i += 2) {
      std::int16_t s;
      std::memcpy(&s, src + i, 2);
      s = static_cast<std::int16_t>(s * gain);  // |gain| <= 1: stays in range
      std::memcpy(dst + i, &s, 2);
    }
  } else {
    for (int i = 0; i < bytes; ++i)
      dst[i] = static_cast<char>(128 + static_cast<int>((static_cast<unsigned char>(src[i]) - 128) * gain));
  }
}
