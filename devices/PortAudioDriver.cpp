#include "devices/PortAudioDriver.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <portaudio.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr int kQueue = 8;

void SilentAlsaError(const char*, int, const char*, int, const char*, ...) {}

// Runs fn with file descriptor 2 pointed at /dev/null: JACK and ALSA print
// their probing to stderr while PortAudio starts.
template <class Fn>
auto WithoutStderr(Fn fn) {
  std::fflush(stderr);
  const int saved = ::dup(2);
  const int null = ::open("/dev/null", O_WRONLY);
  if (saved >= 0 && null >= 0) ::dup2(null, 2);
  auto result = fn();
  if (saved >= 0) {
    ::dup2(saved, 2);
    ::close(saved);
  }
  if (null >= 0) ::close(null);
  return result;
}

int MapError(PaError err) {
  switch (err) {
    case paNoError:
      return 0;
    case paInvalidDevice:
    case paDeviceUnavailable:
      return kWaveErrNoDevice;
    case paInvalidSampleRate:
    case paSampleFormatNotSupported:
    case paInvalidChannelCount:
      return kWaveErrBadFormat;
    default:
      return kWaveErrDeviceFailed;
  }
}

// A queue of headers shared by the caller and the stream callback.
struct HeaderQueue {
  std::mutex m;
  WaveHeader* items[kQueue] = {};
  int count = 0;
  int pos = 0;  // bytes done in the front header

  bool Push(WaveHeader* h) {
    std::lock_guard<std::mutex> lock(m);
    if (count == kQueue) return false;
    items[count++] = h;
    return true;
  }
  // Removes the front header (caller holds m).
  WaveHeader* PopLocked() {
    WaveHeader* h = items[0];
    std::memmove(items, items + 1, sizeof(WaveHeader*) * (count - 1));
    --count;
    pos = 0;
    return h;
  }
  int TakeAll(WaveHeader** out) {
    std::lock_guard<std::mutex> lock(m);
    const int n = count;
    std::memcpy(out, items, sizeof(WaveHeader*) * n);
    count = 0;
    pos = 0;
    return n;
  }
};

// What capture and playback share: the stream, the header queue, and the
// reports to CWave (always made without holding the queue's lock).
template <class Direction, unsigned kMessage>
class PaDevice : public Direction {
 public:
  PaDevice(WaveCallback cb, void* instance, int frameBytes)
      : cb_(cb), instance_(instance), frameBytes_(frameBytes) {}
  ~PaDevice() override { CloseStream(); }

  int Reset() override {
    if (stream_ && Pa_IsStreamActive(stream_) == 1) Pa_AbortStream(stream_);
    WaveHeader* back[kQueue];
    Report(back, queue_.TakeAll(back));
    return 0;
  }
  int Close() override {
    CloseStream();
    return 0;
  }

 protected:
  int OpenStream(const WaveFormat& f, bool input, PaStreamCallback* callback) {
    PaStreamParameters p{};
    p.device = input ? Pa_GetDefaultInputDevice() : Pa_GetDefaultOutputDevice();
    if (p.device == paNoDevice) return kWaveErrNoDevice;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(p.device);
    if (!info) return kWaveErrNoDevice;
    p.channelCount = f.channels;
    p.sampleFormat = f.bitsPerSample == 16 ? paInt16 : paUInt8;
    p.suggestedLatency = input ? info->defaultLowInputLatency : info->defaultLowOutputLatency;
    const PaError err = WithoutStderr([&] {
      return Pa_OpenStream(&stream_, input ? &p : nullptr, input ? nullptr : &p, f.samplesPerSec,
                           paFramesPerBufferUnspecified, paClipOff, callback, this);
    });
    if (err != paNoError) stream_ = nullptr;
    return MapError(err);
  }
  int Queue(WaveHeader* h) {
    if (!(h->flags & kWhdrPrepared)) return kWaveErrNotPrepared;
    return queue_.Push(h) ? 0 : kWaveErrDeviceFailed;
  }
  void Report(WaveHeader* const* headers, int n) {
    for (int i = 0; i < n; ++i)
      cb_(this, kMessage, instance_, reinterpret_cast<std::uintptr_t>(headers[i]), 0);
  }
  void CloseStream() {
    if (!stream_) return;
    if (Pa_IsStreamStopped(stream_) == 0) Pa_AbortStream(stream_);
    Pa_CloseStream(stream_);
    stream_ = nullptr;
  }

  PaStream* stream_ = nullptr;
  WaveCallback cb_;
  void* instance_;
  int frameBytes_;
  HeaderQueue queue_;
};

class PaIn : public PaDevice<WaveIn, kWimData> {
 public:
  using PaDevice::PaDevice;
  int Open(const WaveFormat& f) { return OpenStream(f, true, &PaIn::Callback); }
  int AddBuffer(WaveHeader* h) override { return Queue(h); }
  int Start() override { return stream_ ? MapError(Pa_StartStream(stream_)) : kWaveErrDeviceFailed; }

 private:
  static int Callback(const void* input, void*, unsigned long frames, const PaStreamCallbackTimeInfo*,
                      PaStreamCallbackFlags, void* user) {
    static_cast<PaIn*>(user)->Capture(static_cast<const char*>(input), static_cast<int>(frames));
    return paContinue;
  }

  void Capture(const char* in, int frames) {
    WaveHeader* done[kQueue];
    int nDone = 0;
    {
      std::lock_guard<std::mutex> lock(queue_.m);
      int bytes = frames * frameBytes_;
      while (bytes > 0 && queue_.count > 0 && in) {
        WaveHeader* h = queue_.items[0];
        const int k = std::min(bytes, h->bufferLength - queue_.pos);
        std::memcpy(h->data + queue_.pos, in, static_cast<std::size_t>(k));
        in += k;
        bytes -= k;
        queue_.pos += k;
        if (queue_.pos >= h->bufferLength) {
          h->bytesRecorded = h->bufferLength;
          done[nDone++] = queue_.PopLocked();
        }
      }
      // Samples with no buffer queued are dropped: the reader fell behind.
    }
    Report(done, nDone);
  }
};

class PaOut : public PaDevice<WaveOut, kWomDone> {
 public:
  PaOut(WaveCallback cb, void* instance, int frameBytes, int bits)
      : PaDevice(cb, instance, frameBytes), bits_(bits) {}

  int Open(const WaveFormat& f) {
    if (int rc = OpenStream(f, false, &PaOut::Callback)) return rc;
    // The stream runs from the start, playing silence until buffers come.
    const PaError err = Pa_StartStream(stream_);
    if (err != paNoError) CloseStream();
    return MapError(err);
  }
  int Write(WaveHeader* h) override { return Queue(h); }
  int Pause() override {
    paused_ = true;
    return 0;
  }
  int Restart() override {
    paused_ = false;
    return 0;
  }
  int GetVolume(std::uint32_t* v) override {
    *v = volume_.load();
    return 0;
  }
  int SetVolume(std::uint32_t v) override {
    volume_.store(v);
    return 0;
  }

 private:
  static int Callback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                      PaStreamCallbackFlags, void* user) {
    static_cast<PaOut*>(user)->Play(static_cast<char*>(output), static_cast<int>(frames));
    return paContinue;
  }

  void Play(char* out, int frames) {
    WaveHeader* done[kQueue];
    int nDone = 0;
    const double gain = (volume_.load() >> 16) / 65535.0;
    int bytes = frames * frameBytes_;
    {
      std::lock_guard<std::mutex> lock(queue_.m);
      while (bytes > 0 && !paused_.load() && queue_.count > 0) {
        WaveHeader* h = queue_.items[0];
        const int k = std::min(bytes, h->bufferLength - queue_.pos);
        Scale(out, h->data + queue_.pos, k, gain);
        out += k;
        bytes -= k;
        queue_.pos += k;
        if (queue_.pos >= h->bufferLength) done[nDone++] = queue_.PopLocked();
      }
    }
    // Paused or nothing queued: silence, and nothing is consumed.
    if (bytes > 0) std::memset(out, bits_ == 16 ? 0 : 128, static_cast<std::size_t>(bytes));
    Report(done, nDone);
  }

  void Scale(char* dst, const char* src, int bytes, double gain) const {
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

  int bits_;
  std::atomic<bool> paused_{false};
  std::atomic<std::uint32_t> volume_{0xFFFFFFFFu};
};

}  // namespace

PortAudioDriver::PortAudioDriver() {
  snd_lib_error_set_handler(&SilentAlsaError);
  // Never start a JACK server just to probe for one.
  ::setenv("JACK_NO_START_SERVER", "1", 0);
  initialized_ = WithoutStderr([] { return Pa_Initialize(); }) == paNoError;
}

PortAudioDriver::~PortAudioDriver() {
  if (initialized_) Pa_Terminate();
}

int PortAudioDriver::OpenInput(const WaveFormat& format, WaveCallback callback, void* instance,
                               std::unique_ptr<WaveIn>& device) {
  if (!initialized_) return kWaveErrNoDevice;
  auto d = std::make_unique<PaIn>(callback, instance, format.channels * (format.bitsPerSample / 8));
  if (int rc = d->Open(format)) return rc;
  device = std::move(d);
  return 0;
}

int PortAudioDriver::OpenOutput(const WaveFormat& format, WaveCallback callback, void* instance,
                                std::unique_ptr<WaveOut>& device) {
  if (!initialized_) return kWaveErrNoDevice;
  auto d = std::make_unique<PaOut>(callback, instance, format.channels * (format.bitsPerSample / 8),
                                   format.bitsPerSample);
  if (int rc = d->Open(format)) return rc;
  device = std::move(d);
  return 0;
}
