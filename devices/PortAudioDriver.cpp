#include "devices/PortAudioDriver.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <portaudio.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <type_traits>

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

// What the stream callback works on. Shared between the device object, the
// stream and any device call still running on the worker, so that a call
// abandoned there (a server that hangs) never outlives what it touches.
struct StreamCore {
  PaStream* stream = nullptr;
  HeaderQueue queue;
  WaveCallback cb = nullptr;
  void* instance = nullptr;
  WaveDevice* owner = nullptr;
  int frameBytes = 0;
  int bits = 16;
  std::atomic<bool> paused{false};
  std::atomic<std::uint32_t> volume{0xFFFFFFFFu};
  std::atomic<bool> detached{false};  // the device is gone: report nothing

  void Report(unsigned message, WaveHeader* const* headers, int n) {
    if (detached.load()) return;
    for (int i = 0; i < n; ++i) cb(owner, message, instance, reinterpret_cast<std::uintptr_t>(headers[i]), 0);
  }

  void Capture(const char* in, int frames) {
    WaveHeader* done[kQueue];
    int nDone = 0;
    {
      std::lock_guard<std::mutex> lock(queue.m);
      int bytes = frames * frameBytes;
      while (bytes > 0 && queue.count > 0 && in) {
        WaveHeader* h = queue.items[0];
        const int k = std::min(bytes, h->bufferLength - queue.pos);
        std::memcpy(h->data + queue.pos, in, static_cast<std::size_t>(k));
        in += k;
        bytes -= k;
        queue.pos += k;
        if (queue.pos >= h->bufferLength) {
          h->bytesRecorded = h->bufferLength;
          done[nDone++] = queue.PopLocked();
        }
      }
      // Samples with no buffer queued are dropped: the reader fell behind.
    }
    Report(kWimData, done, nDone);
  }

  void Play(char* out, int frames) {
    WaveHeader* done[kQueue];
    int nDone = 0;
    const double gain = (volume.load() >> 16) / 65535.0;
    int bytes = frames * frameBytes;
    {
      std::lock_guard<std::mutex> lock(queue.m);
      while (bytes > 0 && !paused.load() && queue.count > 0) {
        WaveHeader* h = queue.items[0];
        const int k = std::min(bytes, h->bufferLength - queue.pos);
        Scale(out, h->data + queue.pos, k, gain);
        out += k;
        bytes -= k;
        queue.pos += k;
        if (queue.pos >= h->bufferLength) done[nDone++] = queue.PopLocked();
      }
    }
    // Paused or nothing queued: silence, and nothing is consumed.
    if (bytes > 0) std::memset(out, bits == 16 ? 0 : 128, static_cast<std::size_t>(bytes));
    Report(kWomDone, done, nDone);
  }

  void Scale(char* dst, const char* src, int bytes, double gain) const {
    if (gain == 1.0) {
      std::memcpy(dst, src, static_cast<std::size_t>(bytes));
      return;
    }
    if (bits == 16) {
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

  static int CaptureCallback(const void* input, void*, unsigned long frames, const PaStreamCallbackTimeInfo*,
                             PaStreamCallbackFlags, void* user) {
    static_cast<StreamCore*>(user)->Capture(static_cast<const char*>(input), static_cast<int>(frames));
    return paContinue;
  }
  static int PlayCallback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                          PaStreamCallbackFlags, void* user) {
    static_cast<StreamCore*>(user)->Play(static_cast<char*>(output), static_cast<int>(frames));
    return paContinue;
  }
};

// Stops and closes a stream; on the worker.
void StopAndClose(StreamCore& core) {
  if (!core.stream) return;
  if (Pa_IsStreamStopped(core.stream) == 0) Pa_AbortStream(core.stream);
  Pa_CloseStream(core.stream);
  core.stream = nullptr;
}

// What capture and playback share: every PortAudio call on the worker, with
// its time limit; the queue and the reports in the shared core.
template <class Direction>
class PaDevice : public Direction {
 public:
  PaDevice(DeviceCallWorker& worker, std::shared_ptr<StreamCore> core)
      : worker_(worker), core_(std::move(core)) {
    core_->owner = this;
  }
  ~PaDevice() override { Close(); }

  int Reset() override {
    // The buffers come back first, under the queue's lock, so that a stop
    // that hangs (and is abandoned) can never touch them again.
    WaveHeader* back[kQueue];
    core_->Report(kMessage(), back, core_->queue.TakeAll(back));
    auto core = core_;
    return worker_.Run([core] {
      if (core->stream && Pa_IsStreamActive(core->stream) == 1) Pa_AbortStream(core->stream);
    })
               ? 0
               : kWaveErrDeviceFailed;
  }
  int Close() override {
    if (core_->detached.exchange(true)) return 0;
    auto core = core_;
    return worker_.Run([core] { StopAndClose(*core); }) ? 0 : kWaveErrDeviceFailed;
  }

 protected:
  static constexpr unsigned kMessage() { return std::is_same_v<Direction, WaveIn> ? kWimData : kWomDone; }
  int Queue(WaveHeader* h) {
    if (!(h->flags & kWhdrPrepared)) return kWaveErrNotPrepared;
    return core_->queue.Push(h) ? 0 : kWaveErrDeviceFailed;
  }

  DeviceCallWorker& worker_;
  std::shared_ptr<StreamCore> core_;
};

class PaIn : public PaDevice<WaveIn> {
 public:
  using PaDevice::PaDevice;
  int AddBuffer(WaveHeader* h) override { return Queue(h); }
  int Start() override {
    auto core = core_;
    auto result = std::make_shared<std::atomic<int>>(kWaveErrDeviceFailed);
    const bool inTime = worker_.Run([core, result] {
      *result = core->stream ? MapError(Pa_StartStream(core->stream)) : kWaveErrDeviceFailed;
    });
    return inTime ? result->load() : kWaveErrDeviceFailed;
  }
};

class PaOut : public PaDevice<WaveOut> {
 public:
  using PaDevice::PaDevice;
  int Write(WaveHeader* h) override { return Queue(h); }
  int Pause() override {
    core_->paused = true;
    return 0;
  }
  int Restart() override {
    core_->paused = false;
    return 0;
  }
  int GetVolume(std::uint32_t* v) override {
    *v = core_->volume.load();
    return 0;
  }
  int SetVolume(std::uint32_t v) override {
    core_->volume.store(v);
    return 0;
  }
};

// Opens (and for playback starts) a stream on the default device into core;
// on the worker. The stream runs playback from the start, playing silence
// until buffers come.
int OpenStream(StreamCore& core, const WaveFormat& f, bool input) {
  PaStreamParameters p{};
  p.device = input ? Pa_GetDefaultInputDevice() : Pa_GetDefaultOutputDevice();
  if (p.device == paNoDevice) return kWaveErrNoDevice;
  const PaDeviceInfo* info = Pa_GetDeviceInfo(p.device);
  if (!info) return kWaveErrNoDevice;
  p.channelCount = f.channels;
  p.sampleFormat = f.bitsPerSample == 16 ? paInt16 : paUInt8;
  p.suggestedLatency = input ? info->defaultLowInputLatency : info->defaultLowOutputLatency;
  const PaError err = WithoutStderr([&] {
    return Pa_OpenStream(&core.stream, input ? &p : nullptr, input ? nullptr : &p, f.samplesPerSec,
                         paFramesPerBufferUnspecified, paClipOff,
                         input ? &StreamCore::CaptureCallback : &StreamCore::PlayCallback, &core);
  });
  if (err != paNoError) {
    core.stream = nullptr;
    return MapError(err);
  }
  if (!input) {
    const PaError started = Pa_StartStream(core.stream);
    if (started != paNoError) {
      StopAndClose(core);
      return MapError(started);
    }
  }
  return 0;
}

// Opens a stream through the worker. A late open, abandoned here, is closed
// there as soon as it finishes, and its device is never handed out.
template <class Device, class Base>
int OpenDevice(DeviceCallWorker& worker, const WaveFormat& format, bool input, WaveCallback callback,
               void* instance, std::unique_ptr<Base>& device) {
  auto core = std::make_shared<StreamCore>();
  core->cb = callback;
  core->instance = instance;
  core->frameBytes = format.channels * (format.bitsPerSample / 8);
  core->bits = format.bitsPerSample;
  struct Outcome {
    std::mutex m;
    bool abandoned = false;
    int rc = kWaveErrDeviceFailed;
  };
  auto outcome = std::make_shared<Outcome>();
  const bool inTime = worker.Run([core, outcome, format, input] {
    const int rc = OpenStream(*core, format, input);
    std::lock_guard<std::mutex> lock(outcome->m);
    outcome->rc = rc;
    if (outcome->abandoned) {
      core->detached = true;
      StopAndClose(*core);
    }
  });
  std::lock_guard<std::mutex> lock(outcome->m);
  if (!inTime) {
    outcome->abandoned = true;
    core->detached = true;
    return kWaveErrDeviceFailed;
  }
  if (outcome->rc != 0) return outcome->rc;
  device = std::make_unique<Device>(worker, core);
  return 0;
}

}  // namespace

PortAudioDriver::PortAudioDriver() {
  snd_lib_error_set_handler(&SilentAlsaError);
  // Never start a JACK server just to probe for one.
  ::setenv("JACK_NO_START_SERVER", "1", 0);
  initialized_ = WithoutStderr([] { return Pa_Initialize(); }) == paNoError;
}

PortAudioDriver::~PortAudioDriver() {
  // On the worker like every other call; skipped if a stuck call holds it.
  if (initialized_) worker_.Run([] { Pa_Terminate(); });
}

int PortAudioDriver::OpenInput(const WaveFormat& format, WaveCallback callback, void* instance,
                               std::unique_ptr<WaveIn>& device) {
  return initialized_ ? OpenDevice<PaIn>(worker_, format, true, callback, instance, device)
                      : kWaveErrNoDevice;
}

int PortAudioDriver::OpenOutput(const WaveFormat& format, WaveCallback callback, void* instance,
                                std::unique_ptr<WaveOut>& device) {
  return initialized_ ? OpenDevice<PaOut>(worker_, format, false, callback, instance, device)
                      : kWaveErrNoDevice;
}
