#include "devices/PulseDriver.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <type_traits>

#include "devices/ClockFollower.h"
#include "devices/DeviceStream.h"
#include "devices/OpenOnWorker.h"
#include "devices/RealtimeThread.h"
#include "devices/StreamDevice.h"

namespace {

constexpr const char* kPrefix = "pulse:";
// Captured sound left with the server while the reader has no free buffer
// (see Read): four blocks of 64 frames, less than a block of 512.
constexpr std::size_t kHeldMs = 25;

}  // namespace

// The main loop and the connection; outlives every stream and every call
// abandoned on the worker (they hold it).
struct PulseDriver::Shared {
  pa_threaded_mainloop* loop = nullptr;
  pa_context* context = nullptr;
  std::atomic<long> events{0};
  std::atomic<bool> started{false};
  std::mutex namesLock;
  std::map<std::string, std::string> descriptions;  // source and sink names -> descriptions

  Shared() {
    loop = pa_threaded_mainloop_new();
    // Queued before the thread starts: the loop's event lists may only be
    // touched by its own thread once it runs (queuing it later without the
    // lock corrupted them: a libpulse assertion aborted the process). Its
    // record is freed only when it has run, so wait for that (the loop's
    // first turn, well under a millisecond).
    if (loop)
      pa_threaded_mainloop_once_unlocked(
          loop,
          [](pa_threaded_mainloop*, void* self) {
            RaiseToRealtime(kDeviceThreadPriority);
            static_cast<Shared*>(self)->started.store(true);
          },
          this);
    if (loop && pa_threaded_mainloop_start(loop) < 0) {
      pa_threaded_mainloop_free(loop);
      loop = nullptr;
    }
    for (int i = 0; loop && !started.load() && i < 1000; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~Shared() {
    if (!loop) return;
    pa_threaded_mainloop_lock(loop);
    DropContext();
    pa_threaded_mainloop_unlock(loop);
    pa_threaded_mainloop_stop(loop);
    pa_threaded_mainloop_free(loop);
  }

  // Caller holds the loop's lock.
  void DropContext() {
    if (!context) return;
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_set_subscribe_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
    context = nullptr;
  }

  static void Signal(pa_context*, void* user) {
    pa_threaded_mainloop_signal(static_cast<Shared*>(user)->loop, 0);
  }
  static void OnEvent(pa_context*, pa_subscription_event_type_t, uint32_t, void* user) {
    static_cast<Shared*>(user)->events.fetch_add(1);
  }

  // A ready connection, made again when the server went away; caller holds
  // the loop's lock. May wait on the server: run it on the worker.
  bool EnsureContext() {
    if (!loop) return false;
    if (context && pa_context_get_state(context) == PA_CONTEXT_READY) return true;
    DropContext();
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Tarvik");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "io.github.tarvik.Tarvik");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ICON_NAME, "io.github.tarvik.Tarvik");
    context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop), "Tarvik", props);
    pa_proplist_free(props);
    if (!context) return false;
    pa_context_set_state_callback(context, &Signal, this);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      DropContext();
      return false;
    }
    for (;;) {
      const pa_context_state_t st = pa_context_get_state(context);
      if (st == PA_CONTEXT_READY) break;
      if (!PA_CONTEXT_IS_GOOD(st)) {
        DropContext();
        return false;
      }
      pa_threaded_mainloop_wait(loop);
    }
    pa_context_set_subscribe_callback(context, &OnEvent, this);
    pa_operation* op = pa_context_subscribe(
        context,
        static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE |
                                            PA_SUBSCRIPTION_MASK_SERVER),
        nullptr, nullptr);
    if (op) pa_operation_unref(op);
    return true;
  }

  // Waits for an operation; caller holds the loop's lock.
  void Wait(pa_operation* op) {
    if (!op) return;
    while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(loop);
    pa_operation_unref(op);
  }

  // The server's sources and sinks; caller holds the loop's lock.
  std::vector<DeviceInfo> List() {
    struct Gather {
      Shared* self;
      std::vector<DeviceInfo> inputs, outputs;
      std::string defaultSource, defaultSink;
    } g{this, {}, {}, {}, {}};
    auto server = [](pa_context*, const pa_server_info* i, void* user) {
      auto* g = static_cast<Gather*>(user);
      if (i) {
        g->defaultSource = i->default_source_name ? i->default_source_name : "";
        g->defaultSink = i->default_sink_name ? i->default_sink_name : "";
      }
      pa_threaded_mainloop_signal(g->self->loop, 0);
    };
    auto source = [](pa_context*, const pa_source_info* i, int eol, void* user) {
      auto* g = static_cast<Gather*>(user);
      if (!eol && i)
        g->inputs.push_back(
            {std::string(kPrefix) + i->name, i->description ? i->description : i->name, true, false});
      pa_threaded_mainloop_signal(g->self->loop, 0);
    };
    auto sink = [](pa_context*, const pa_sink_info* i, int eol, void* user) {
      auto* g = static_cast<Gather*>(user);
      if (!eol && i)
        g->outputs.push_back(
            {std::string(kPrefix) + i->name, i->description ? i->description : i->name, false, false});
      pa_threaded_mainloop_signal(g->self->loop, 0);
    };
    Wait(pa_context_get_server_info(context, server, &g));
    Wait(pa_context_get_source_info_list(context, source, &g));
    Wait(pa_context_get_sink_info_list(context, sink, &g));
    std::vector<DeviceInfo> all;
    std::lock_guard<std::mutex> names(namesLock);
    for (auto* list : {&g.inputs, &g.outputs})
      for (DeviceInfo& d : *list) {
        const std::string name = d.id.substr(std::strlen(kPrefix));
        d.isDefault = name == (d.input ? g.defaultSource : g.defaultSink);
        descriptions[name] = d.description;
        all.push_back(d);
      }
    return all;
  }

  std::string Describe(const std::string& name) {
    std::lock_guard<std::mutex> names(namesLock);
    auto it = descriptions.find(name);
    return it == descriptions.end() ? name : it->second;
  }
};

namespace {

using Shared = PulseDriver::Shared;

// One stream and what its callbacks work on.
struct PulseStream {
  std::shared_ptr<Shared> shared;
  pa_stream* stream = nullptr;
  DeviceStream io;
  bool input = true;
  std::string description;
  // Playback: the rate the server plays the stream at follows the capture
  // clock (see ClockFollower); nominalHz is what the stream was opened at.
  ClockFollower follower;
  int nominalHz = 0;
  int appliedHz = 0;
  int blockFrames = 0;  // program frames
  // Playback: the server asked while the queue had nothing to give; until
  // the next write.
  bool waiting = false;
  // Capture: the server holds sound the reader had no buffer for; the next
  // buffer given back takes it at once.
  std::atomic<bool> holding{false};

  // Caller holds the loop's lock.
  void Disconnect() {
    if (!stream) return;
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_write_callback(stream, nullptr, nullptr);
    pa_stream_set_underflow_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    stream = nullptr;
  }

  void NoteLatency() {
    pa_usec_t usec = 0;
    int negative = 0;
    if (pa_stream_get_latency(stream, &usec, &negative) == 0)
      io.latencyUs = negative ? 0 : static_cast<long>(usec);
  }

  // Writes what the queue holds, up to what the server takes. Paused
  // (before the first blocks) it writes silence, so the device keeps
  // running as a sound card does; Start flushes that silence, so none of it
  // waits ahead of the sound. Running with nothing to give (the loop a
  // little late) it writes nothing: the server still holds sound, and the
  // next Write fills. Silence written then was a gap, and a lost block,
  // where the server had not run dry at all.
  // Loop's lock held.
  void Fill() {
    if (!stream || pa_stream_get_state(stream) != PA_STREAM_READY) return;
    // Before the size is reckoned: what was cut is not there to write.
    if (const long excess = follower.TakeExcess()) io.DropQueued(excess);
    const std::size_t frameBytes = static_cast<std::size_t>(io.DeviceFrameBytes());
    std::size_t frames = pa_stream_writable_size(stream) / frameBytes;
    if (frames == 0) return;
    const int playable = io.PlayableFrames();
    if (playable == 0 && !io.paused.load()) {
      waiting = true;
      return;
    }
    waiting = false;
    if (playable > 0 && static_cast<std::size_t>(playable) < frames)
      frames = static_cast<std::size_t>(playable);
    void* buffer = nullptr;
    std::size_t bytes = frames * frameBytes;
    if (pa_stream_begin_write(stream, &buffer, &bytes) < 0 || !buffer) return;
    frames = bytes / frameBytes;
    if (!io.paused.load()) ApplyRate(follower.Note(io.QueuedFrames(), static_cast<int>(frames)));
    io.Play(static_cast<char*>(buffer), static_cast<int>(frames));
    pa_stream_write(stream, buffer, frames * frameBytes, nullptr, 0, PA_SEEK_RELATIVE);
    NoteLatency();
  }

  // Loop's lock held; the server resamples the stream to the new rate.
  void ApplyRate(int hz) {
    if (hz == appliedHz || hz <= 0) return;
    // The stream's clock is read at the new rate only from the next timing
    // update on; until then its latency would count up from the change.
    auto refresh = [](pa_stream* s, int, void*) {
      if (pa_operation* op = pa_stream_update_timing_info(s, nullptr, nullptr)) pa_operation_unref(op);
    };
    if (pa_operation* op =
            pa_stream_update_sample_rate(stream, static_cast<std::uint32_t>(hz), refresh, nullptr))
      pa_operation_unref(op);
    appliedHz = hz;
  }

  // Drops what the server holds (silence written while paused) and writes
  // the queue. Loop's lock held.
  void Start() {
    if (!stream || pa_stream_get_state(stream) != PA_STREAM_READY) return;
    if (pa_operation* op = pa_stream_flush(stream, nullptr, nullptr)) pa_operation_unref(op);
    // The level held so far is gone with the flush: measure it anew.
    ApplyRate(nominalHz);
    follower.Start(nominalHz, blockFrames);
    Fill();
  }

  static void OnState(pa_stream*, void* user) {
    pa_threaded_mainloop_signal(static_cast<PulseStream*>(user)->shared->loop, 0);
  }
  // Takes what the server captured as far as the reader's free buffers hold
  // it. The rest waits with the server, up to kHeldMs, until the reader
  // gives a buffer back: a server that stalled hands over several blocks at
  // once, and a ring of four small blocks took them as an overrun (a lost
  // block and both devices reopened) though the loop was keeping up. A
  // loop that falls further behind still overruns. The delay a stall adds
  // this way ends up in the playback queue, where the follower cuts it once
  // it stands (see Fill).
  // Loop's lock held.
  void Read() {
    if (!stream) return;
    const std::size_t frameBytes = static_cast<std::size_t>(io.DeviceFrameBytes());
    const std::size_t heldMax = frameBytes * static_cast<std::size_t>(io.DeviceRateHz()) * kHeldMs / 1000;
    bool held = false;
    while (pa_stream_readable_size(stream) > 0) {
      const void* data = nullptr;
      std::size_t bytes = 0;
      if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
      const int frames = static_cast<int>(bytes / frameBytes);
      if (frames > io.CaptureRoomFrames() && pa_stream_readable_size(stream) <= heldMax) {
        held = true;
        break;
      }
      // A hole (data null) is silence.
      io.Capture(static_cast<const char*>(data), frames);
      pa_stream_drop(stream);
    }
    holding = held;
    NoteLatency();
  }
  static void OnRead(pa_stream*, std::size_t, void* user) { static_cast<PulseStream*>(user)->Read(); }
  static void OnWrite(pa_stream*, std::size_t, void* user) { static_cast<PulseStream*>(user)->Fill(); }
  // The server played silence for want of sound: a lost block (and both
  // devices reopened) when it had asked and the queue had nothing (the loop
  // fell behind), not when only this thread was late to write what the
  // queue held: a sink without a clock runs dry that way again and again
  // after a restart, and counting it reopened the devices in a loop.
  static void OnUnderflow(pa_stream*, void* user) {
    auto* self = static_cast<PulseStream*>(user);
    if (self->waiting) self->io.NoteDeviceDry();
  }

  // Opens the stream; on the worker, loop's lock held.
  int Open(const DeviceRequest& request, const WaveFormat& format, WaveCallback callback, void* instance) {
    if (!shared->EnsureContext()) return kWaveErrNoDevice;
    std::string name;
    if (!request.id.empty()) {
      if (request.id.rfind(kPrefix, 0) != 0) return kWaveErrNoDevice;
      name = request.id.substr(std::strlen(kPrefix));
    }
    const int rate = request.rateHz > 0 ? request.rateHz : format.samplesPerSec;
    std::string error;
    if (!io.Setup(format, rate, input, callback, instance, error)) return kWaveErrBadFormat;
    pa_sample_spec sampleFormat{};  // libpulse's own type name
    sampleFormat.format = io.DeviceFrameBytes() == 1 ? PA_SAMPLE_U8 : PA_SAMPLE_S16LE;
    sampleFormat.rate = static_cast<std::uint32_t>(rate);
    sampleFormat.channels = static_cast<std::uint8_t>(format.channels);
    stream = pa_stream_new(shared->context, input ? "Tarvik input" : "Tarvik output", &sampleFormat, nullptr);
    if (!stream) return kWaveErrBadFormat;
    pa_stream_set_state_callback(stream, &OnState, this);
    // About one block in the server each way: the capture fragment is one
    // block; playback holds one block (12 ms at least, below), taken from
    // CWave's queue of three, so a block that comes a little late never
    // empties that queue.
    const std::uint32_t block =
        static_cast<std::uint32_t>(io.DeviceFrameBytes()) *
        static_cast<std::uint32_t>(request.blockFrames > 0 ? static_cast<long long>(request.blockFrames) *
                                                                 rate / format.samplesPerSec
                                                           : rate / 50);
    // Playback holds at least 12 ms all the same: a server that renders
    // a 5.8 ms block at once ran dry whenever this thread woke 6 ms late,
    // and each time the silence it played was added to the delay for good
    // (9 times in 30 s at 64 frames; with 12 ms seldom, for 3 ms more delay).
    const std::uint32_t playbackFloor =
        static_cast<std::uint32_t>(io.DeviceFrameBytes()) * static_cast<std::uint32_t>(rate * 12LL / 1000);
    pa_buffer_attr attr;
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = input ? static_cast<std::uint32_t>(-1) : std::max(block, playbackFloor);
    // Playback that ran dry waits to fill up again (the default). Playing on
    // instead (no prebuffering) now and then stalled the test server's
    // playback for two seconds after running dry.
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = input ? block : static_cast<std::uint32_t>(-1);
    int flags = PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_INTERPOLATE_TIMING;
    // A named device is the user's choice: never follow the server's moves.
    if (!name.empty()) flags |= PA_STREAM_DONT_MOVE;
    int rc;
    if (input) {
      pa_stream_set_read_callback(stream, &OnRead, this);
      rc = pa_stream_connect_record(stream, name.empty() ? nullptr : name.c_str(), &attr,
                                    static_cast<pa_stream_flags_t>(flags));
    } else {
      pa_stream_set_write_callback(stream, &OnWrite, this);
      pa_stream_set_underflow_callback(stream, &OnUnderflow, this);
      io.paused = true;
      flags |= PA_STREAM_VARIABLE_RATE;
      nominalHz = appliedHz = rate;
      blockFrames = request.blockFrames > 0 ? request.blockFrames : format.samplesPerSec / 50;
      follower.Start(rate, blockFrames);
      follower.EnableCuts(true);
      rc = pa_stream_connect_playback(stream, name.empty() ? nullptr : name.c_str(), &attr,
                                      static_cast<pa_stream_flags_t>(flags), nullptr, nullptr);
    }
    if (rc < 0) {
      Disconnect();
      return kWaveErrNoDevice;
    }
    for (;;) {
      const pa_stream_state_t st = pa_stream_get_state(stream);
      if (st == PA_STREAM_READY) break;
      if (!PA_STREAM_IS_GOOD(st)) {
        const int err = pa_context_errno(shared->context);
        Disconnect();
        return err == PA_ERR_NOENTITY                                ? kWaveErrNoDevice
               : err == PA_ERR_NOTSUPPORTED || err == PA_ERR_INVALID ? kWaveErrBadFormat
                                                                     : kWaveErrDeviceFailed;
      }
      pa_threaded_mainloop_wait(shared->loop);
    }
    if (const char* actual = pa_stream_get_device_name(stream)) {
      description = shared->Describe(actual);
      if (description == actual) {
        shared->List();  // a device not listed yet
        description = shared->Describe(actual);
      }
    }
    return 0;
  }
};

// Runs fn with the loop's lock held.
template <class Fn>
void Locked(Shared& shared, Fn fn) {
  pa_threaded_mainloop_lock(shared.loop);
  fn();
  pa_threaded_mainloop_unlock(shared.loop);
}

template <class Direction>
class PulseDevice : public StreamDevice<Direction, PulseStream> {
 public:
  using StreamDevice<Direction, PulseStream>::StreamDevice;
  ~PulseDevice() override { Close(); }

  int Reset() override {
    // Under the loop's lock: a callback in flight finishes first, so nothing
    // is reported after the buffers came back.
    Locked(*core_->shared, [&] { core_->io.ReturnAll(kMessage()); });
    return 0;
  }
  int Close() override {
    if (core_->io.detached.exchange(true)) return 0;
    auto core = core_;
    return worker_.Run([core] { Locked(*core->shared, [&] { core->Disconnect(); }); }) ? 0
                                                                                       : kWaveErrDeviceFailed;
  }

 protected:
  using StreamDevice<Direction, PulseStream>::core_;
  using StreamDevice<Direction, PulseStream>::worker_;
  using StreamDevice<Direction, PulseStream>::kMessage;
};

class PulseIn : public PulseDevice<WaveIn> {
 public:
  using PulseDevice::PulseDevice;
  int AddBuffer(WaveHeader* h) override {
    const int rc = Queue(h);
    if (rc == 0 && core_->holding.load()) Locked(*core_->shared, [&] { core_->Read(); });
    return rc;
  }
  int Start() override { return 0; }  // records from the open on
};

class PulseOut : public PulseDevice<WaveOut> {
 public:
  using PulseDevice::PulseDevice;
  // The loop's lock is taken only for as long as libpulse's own calls; the
  // server is not waited for.
  int Write(WaveHeader* h) override {
    const int rc = Queue(h);
    if (rc == 0 && !core_->io.paused.load()) Locked(*core_->shared, [&] { core_->Fill(); });
    return rc;
  }
  // Paused, the stream plays silence (see Fill); restarted, the sound
  // replaces what silence the server still holds.
  int Pause() override {
    core_->io.paused = true;
    return 0;
  }
  int Restart() override {
    core_->io.paused = false;
    Locked(*core_->shared, [&] { core_->Start(); });
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

// Opened and, when late, closed with the loop's lock held; see OpenOnWorker.
template <class Device, class Base>
int OpenDevice(DeviceCallWorker& worker, const std::shared_ptr<Shared>& shared, bool input,
               const DeviceRequest& request, const WaveFormat& format, WaveCallback callback, void* instance,
               std::unique_ptr<Base>& device) {
  if (!shared->loop) return kWaveErrNoDevice;
  auto core = std::make_shared<PulseStream>();
  core->shared = shared;
  core->input = input;
  return OpenOnWorker<Device>(
      worker, std::move(core), [](PulseStream& stream, auto fn) { Locked(*stream.shared, fn); },
      [request, format, callback, instance](PulseStream& stream) {
        return stream.Open(request, format, callback, instance);
      },
      [](PulseStream& stream) { stream.Disconnect(); }, device);
}

}  // namespace

PulseDriver::PulseDriver() : shared_(std::make_shared<Shared>()) {
  if (!shared_->loop) return;
  auto shared = shared_;
  auto ok = std::make_shared<std::atomic<bool>>(false);
  if (worker_.Run([shared, ok] { Locked(*shared, [&] { *ok = shared->EnsureContext(); }); }))
    connected_ = *ok;
}

PulseDriver::~PulseDriver() {
  // The connection goes with the last holder of the shared state: a call
  // still stuck on the worker keeps it until it ends.
  auto shared = std::move(shared_);
  worker_.Run([shared] { Locked(*shared, [&] { shared->DropContext(); }); });
}

int PulseDriver::OpenInput(const DeviceRequest& request, const WaveFormat& format, WaveCallback callback,
                           void* instance, std::unique_ptr<WaveIn>& device) {
  return OpenDevice<PulseIn>(worker_, shared_, true, request, format, callback, instance, device);
}

int PulseDriver::OpenOutput(const DeviceRequest& request, const WaveFormat& format, WaveCallback callback,
                            void* instance, std::unique_ptr<WaveOut>& device) {
  return OpenDevice<PulseOut>(worker_, shared_, false, request, format, callback, instance, device);
}

std::vector<DeviceInfo> PulseDriver::Devices() {
  if (!shared_->loop) return {};
  auto shared = shared_;
  auto list = std::make_shared<std::vector<DeviceInfo>>();
  const bool inTime = worker_.Run([shared, list] {
    Locked(*shared, [&] {
      if (shared->EnsureContext()) *list = shared->List();
    });
  });
  return inTime ? *list : std::vector<DeviceInfo>{};
}

long PulseDriver::DeviceEvents() const { return shared_ ? shared_->events.load() : 0; }
