#include "devices/PortAudioDriver.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <portaudio.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "devices/DeviceStream.h"
#include "devices/OpenOnWorker.h"
#include "devices/RealtimeThread.h"
#include "devices/StreamDevice.h"

namespace {

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

// What the stream callback works on; see DeviceStream.
struct StreamCore {
  PaStream* stream = nullptr;
  DeviceStream io;
  std::string description;

  static int CaptureCallback(const void* input, void*, unsigned long frames, const PaStreamCallbackTimeInfo*,
                             PaStreamCallbackFlags, void* user) {
    RaiseToRealtimeOnce(kDeviceThreadPriority);
    auto* core = static_cast<StreamCore*>(user);
    core->io.Capture(static_cast<const char*>(input), static_cast<int>(frames));
    return paContinue;
  }
  static int PlayCallback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                          PaStreamCallbackFlags, void* user) {
    RaiseToRealtimeOnce(kDeviceThreadPriority);
    static_cast<StreamCore*>(user)->io.Play(static_cast<char*>(output), static_cast<int>(frames));
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
class PaDevice : public StreamDevice<Direction, StreamCore> {
 public:
  using StreamDevice<Direction, StreamCore>::StreamDevice;
  ~PaDevice() override { Close(); }

  int Reset() override {
    // The buffers come back first, under the queue's lock, so that a stop
    // that hangs (and is abandoned) can never touch them again.
    core_->io.ReturnAll(kMessage());
    auto core = core_;
    return worker_.Run([core] {
      if (core->stream && Pa_IsStreamActive(core->stream) == 1) Pa_AbortStream(core->stream);
    })
               ? 0
               : kWaveErrDeviceFailed;
  }
  int Close() override {
    if (core_->io.detached.exchange(true)) return 0;
    auto core = core_;
    return worker_.Run([core] { StopAndClose(*core); }) ? 0 : kWaveErrDeviceFailed;
  }

 protected:
  using StreamDevice<Direction, StreamCore>::core_;
  using StreamDevice<Direction, StreamCore>::worker_;
  using StreamDevice<Direction, StreamCore>::kMessage;
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
    core_->io.paused = true;
    return 0;
  }
  int Restart() override {
    core_->io.paused = false;
    return 0;
  }
  int GetVolume(std::uint32_t* v) override {
    *v = core_->io.volume.load();
    return 0;
  }
  int SetVolume(std::uint32_t v) override {
    core_->io.volume.store(v);
    return 0;
  }
};

constexpr const char* kPrefix = "alsa:";

// The device an id names (empty: the default), or paNoDevice.
PaDeviceIndex FindDevice(const std::string& id, bool input) {
  if (id.empty()) return input ? Pa_GetDefaultInputDevice() : Pa_GetDefaultOutputDevice();
  if (id.rfind(kPrefix, 0) != 0) return paNoDevice;
  const std::string name = id.substr(std::strlen(kPrefix));
  const int count = Pa_GetDeviceCount();
  for (int i = 0; i < count; ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (info && name == info->name && (input ? info->maxInputChannels : info->maxOutputChannels) > 0)
      return i;
  }
  return paNoDevice;
}

// Opens (and for playback starts) a stream into core; on the worker. The
// device runs at the program's rate where it takes it, else (or when asked)
// at its own rate with conversion. Playback runs from the start, playing
// silence until buffers come.
int OpenStream(StreamCore& core, const DeviceRequest& request, const WaveFormat& f, bool input,
               WaveCallback callback, void* instance) {
  PaStreamParameters p{};
  p.device = FindDevice(request.id, input);
  if (p.device == paNoDevice) return kWaveErrNoDevice;
  const PaDeviceInfo* info = Pa_GetDeviceInfo(p.device);
  if (!info) return kWaveErrNoDevice;
  p.channelCount = f.channels;
  p.sampleFormat = f.bitsPerSample == 16 ? paInt16 : paUInt8;
  p.suggestedLatency = input ? info->defaultLowInputLatency : info->defaultLowOutputLatency;
  int rate = request.rateHz > 0 ? request.rateHz : f.samplesPerSec;
  auto supported = [&](int hz) {
    return WithoutStderr([&] {
             return Pa_IsFormatSupported(input ? &p : nullptr, input ? nullptr : &p, hz);
           }) == paFormatIsSupported;
  };
  if (!supported(rate)) {
    // Hardware that runs only at its own rate (44.1 or 48 kHz): convert.
    const int own = static_cast<int>(info->defaultSampleRate);
    if (own > 0 && own != rate && DeviceStream::Convertible(f) && supported(own)) rate = own;
  }
  if (rate != f.samplesPerSec) p.sampleFormat = paInt16;
  std::string error;
  if (!core.io.Setup(f, rate, input, callback, instance, error)) return kWaveErrBadFormat;
  // Without a sound server nothing matches the playback card's clock to the
  // capture card's: the stream does it, by converting at a rate that keeps
  // CWave's queue where it settled.
  if (!input && DeviceStream::Convertible(f) &&
      !core.io.FollowClock(request.blockFrames > 0 ? request.blockFrames : f.samplesPerSec / 50, error))
    return kWaveErrBadFormat;
  core.description = info->name;
  const PaError err = WithoutStderr([&] {
    return Pa_OpenStream(&core.stream, input ? &p : nullptr, input ? nullptr : &p, rate,
                         paFramesPerBufferUnspecified, paClipOff,
                         input ? &StreamCore::CaptureCallback : &StreamCore::PlayCallback, &core);
  });
  if (err != paNoError) {
    core.stream = nullptr;
    return MapError(err);
  }
  if (const PaStreamInfo* si = Pa_GetStreamInfo(core.stream))
    core.io.latencyUs = static_cast<long>(1e6 * (input ? si->inputLatency : si->outputLatency));
  if (!input) {
    const PaError started = Pa_StartStream(core.stream);
    if (started != paNoError) {
      StopAndClose(core);
      return MapError(started);
    }
  }
  return 0;
}

// See OpenOnWorker.
template <class Device, class Base>
int OpenDevice(DeviceCallWorker& worker, const DeviceRequest& request, const WaveFormat& format, bool input,
               WaveCallback callback, void* instance, std::unique_ptr<Base>& device) {
  return OpenOnWorker<Device>(
      worker, std::make_shared<StreamCore>(), [](StreamCore&, auto fn) { fn(); },
      [request, format, input, callback, instance](StreamCore& core) {
        return OpenStream(core, request, format, input, callback, instance);
      },
      [](StreamCore& core) { StopAndClose(core); }, device);
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

int PortAudioDriver::OpenInput(const DeviceRequest& request, const WaveFormat& format, WaveCallback callback,
                               void* instance, std::unique_ptr<WaveIn>& device) {
  return initialized_ ? OpenDevice<PaIn>(worker_, request, format, true, callback, instance, device)
                      : kWaveErrNoDevice;
}

int PortAudioDriver::OpenOutput(const DeviceRequest& request, const WaveFormat& format, WaveCallback callback,
                                void* instance, std::unique_ptr<WaveOut>& device) {
  return initialized_ ? OpenDevice<PaOut>(worker_, request, format, false, callback, instance, device)
                      : kWaveErrNoDevice;
}

std::vector<DeviceInfo> PortAudioDriver::Devices() {
  auto list = std::make_shared<std::vector<DeviceInfo>>();
  if (!initialized_) return {};
  const bool inTime = worker_.Run([list] {
    const int count = Pa_GetDeviceCount();
    const PaDeviceIndex defIn = Pa_GetDefaultInputDevice(), defOut = Pa_GetDefaultOutputDevice();
    for (int input = 1; input >= 0; --input)
      for (int i = 0; i < count; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (!info || (input ? info->maxInputChannels : info->maxOutputChannels) <= 0) continue;
        const PaHostApiInfo* api = Pa_GetHostApiInfo(info->hostApi);
        DeviceInfo d;
        d.id = std::string(kPrefix) + info->name;
        d.description = std::string(info->name) + (api ? std::string(" (") + api->name + ")" : std::string());
        d.input = input != 0;
        d.isDefault = i == (input ? defIn : defOut);
        list->push_back(std::move(d));
      }
  });
  return inTime ? *list : std::vector<DeviceInfo>{};
}
