#include "support/SimWaveDriver.h"

#include <chrono>
#include <cstring>

namespace {

constexpr int kSimQueue = 16;

// One direction of the card.
struct Side {
  bool open = false;
  WaveDevice* device = nullptr;
  WaveCallback callback = nullptr;
  void* instance = nullptr;
  WaveHeader* queue[kSimQueue] = {};
  int count = 0;
  bool running = false;  // capture started / playback not paused
  int bufferBytes = 0;
  int opens = 0;
  int bits = 16;

  WaveHeader* PopFront() {
    WaveHeader* h = queue[0];
    std::memmove(queue, queue + 1, sizeof(WaveHeader*) * (count - 1));
    --count;
    return h;
  }
};

}  // namespace

struct SimWaveDriver::State {
  std::mutex m;
  std::atomic<long> cuts{0};  // playback's cuts, as Cuts() reports them
  // Completions being reported right now; Reset and Close wait for them so
  // that no callback runs after Close returns.
  int inFlight = 0;
  std::condition_variable idle;
  void WaitIdle(std::unique_lock<std::mutex>& lock) {
    idle.wait(lock, [&] { return inFlight == 0; });
  }
  Side in, out;
  long long captured = 0;
  std::function<std::int16_t(long long)> source;
  std::uint32_t volume = 0xFFFFFFFFu;
  std::vector<std::int16_t> played;
  long long playedSamples = 0;
};

namespace {

using State = SimWaveDriver::State;

void FillCapture(State& s, WaveHeader* h) {
  const int bytesPerSample = s.in.bits == 16 ? 2 : 1;
  const int samples = h->bufferLength / bytesPerSample;
  for (int i = 0; i < samples; ++i) {
    const int v = s.source ? s.source(s.captured) : (bytesPerSample == 2 ? 0 : 128);
    ++s.captured;
    if (bytesPerSample == 2) {
      h->data[2 * i] = static_cast<char>(v & 0xFF);
      h->data[2 * i + 1] = static_cast<char>((v >> 8) & 0xFF);
    } else {
      h->data[i] = static_cast<char>(v & 0xFF);
    }
  }
}

void RecordPlayed(State& s, const WaveHeader* h) {
  const int bytesPerSample = s.out.bits == 16 ? 2 : 1;
  const int samples = h->bufferLength / bytesPerSample;
  for (int i = 0; i < samples && s.played.size() < s.played.capacity(); ++i) {
    if (bytesPerSample == 2) {
      const auto lo = static_cast<unsigned char>(h->data[2 * i]);
      const auto hi = static_cast<unsigned char>(h->data[2 * i + 1]);
      s.played.push_back(static_cast<std::int16_t>(lo | (hi << 8)));
    } else {
      s.played.push_back(static_cast<unsigned char>(h->data[i]));
    }
  }
  s.playedSamples += samples;
}

// What both directions do the same way: queueing, reset and close.
template <class Direction, unsigned kMessage>
class SimDevice : public Direction {
 public:
  SimDevice(State& s, Side State::*side) : s_(s), side_(side) {}
  int Reset() override {
    WaveHeader* back[kSimQueue];
    int n;
    WaveCallback cb;
    void* inst;
    {
      std::unique_lock<std::mutex> lock(s_.m);
      Me().running = false;
      s_.WaitIdle(lock);
      n = Me().count;
      std::memcpy(back, Me().queue, sizeof(WaveHeader*) * n);
      Me().count = 0;
      cb = Me().callback;
      inst = Me().instance;
    }
    for (int i = 0; i < n; ++i) {
      back[i]->flags = (back[i]->flags & ~kWhdrInQueue) | kWhdrDone;
      back[i]->bytesRecorded = 0;
      cb(this, kMessage, inst, reinterpret_cast<std::uintptr_t>(back[i]), 0);
    }
    return 0;
  }
  int Close() override {
    std::unique_lock<std::mutex> lock(s_.m);
    Me().running = false;
    s_.WaitIdle(lock);
    Me().open = false;
    Me().device = nullptr;
    Me().count = 0;
    return 0;
  }

 protected:
  Side& Me() { return s_.*side_; }
  int Queue(WaveHeader* h) {
    std::lock_guard<std::mutex> lock(s_.m);
    if (!(h->flags & kWhdrPrepared)) return kWaveErrNotPrepared;
    if (Me().count >= kSimQueue) return kWaveErrDeviceFailed;
    h->flags |= kWhdrInQueue;
    Me().queue[Me().count++] = h;
    return 0;
  }
  State& s_;

 private:
  Side State::*side_;
};

class SimIn : public SimDevice<WaveIn, kWimData> {
 public:
  explicit SimIn(State& s) : SimDevice(s, &State::in) {}
  int AddBuffer(WaveHeader* h) override {
    const int rc = Queue(h);
    std::lock_guard<std::mutex> lock(s_.m);
    if (rc == 0) s_.in.bufferBytes = h->bufferLength;
    return rc;
  }
  int Start() override {
    std::lock_guard<std::mutex> lock(s_.m);
    s_.in.running = true;
    return 0;
  }
};

class SimOut : public SimDevice<WaveOut, kWomDone> {
 public:
  SimOut(State& s, bool reportsStarvation) : SimDevice(s, &State::out), reportsStarvation_(reportsStarvation) {}
  bool ReportsStarvation() const override { return reportsStarvation_; }
  long Cuts() const override { return s_.cuts.load(); }
  int Write(WaveHeader* h) override { return Queue(h); }
  int Pause() override { return SetRunning(false); }
  int Restart() override { return SetRunning(true); }
  int GetVolume(std::uint32_t* v) override {
    std::lock_guard<std::mutex> lock(s_.m);
    *v = s_.volume;
    return 0;
  }
  int SetVolume(std::uint32_t v) override {
    std::lock_guard<std::mutex> lock(s_.m);
    s_.volume = v;
    return 0;
  }

 private:
  int SetRunning(bool running) {
    std::lock_guard<std::mutex> lock(s_.m);
    s_.out.running = running;
    return 0;
  }
  const bool reportsStarvation_;
};

template <class Device, class Handle>
int OpenSide(State& s, Side& side, const WaveFormat& format, WaveCallback callback, void* instance,
             bool runningAtOpen, std::unique_ptr<Handle>& device, auto... deviceArgs) {
  if (format.formatTag != 1 || format.channels < 1) return kWaveErrBadFormat;
  std::lock_guard<std::mutex> lock(s.m);
  auto d = std::make_unique<Device>(s, deviceArgs...);
  side.open = true;
  side.device = d.get();
  side.callback = callback;
  side.instance = instance;
  side.count = 0;
  side.running = runningAtOpen;
  side.bits = format.bitsPerSample;
  ++side.opens;
  device = std::move(d);
  return 0;
}

}  // namespace

SimWaveDriver::SimWaveDriver() : state_(new State) {}

SimWaveDriver::~SimWaveDriver() {
  StopClock();
  delete state_;
}

bool SimWaveDriver::Absent(const DeviceRequest& request, bool input) {
  std::lock_guard<std::mutex> lock(state_->m);
  (input ? lastInput_ : lastOutput_) = request;
  for (const std::string& id : absent_)
    if (id == request.id) return true;
  return false;
}

void SimWaveDriver::SetAbsent(std::vector<std::string> ids) {
  std::lock_guard<std::mutex> lock(state_->m);
  absent_ = std::move(ids);
}

DeviceRequest SimWaveDriver::LastRequest(bool input) {
  std::lock_guard<std::mutex> lock(state_->m);
  return input ? lastInput_ : lastOutput_;
}

int SimWaveDriver::OpenInput(const DeviceRequest& request, const WaveFormat& format, WaveCallback callback,
                             void* instance, std::unique_ptr<WaveIn>& device) {
  inputTries.fetch_add(1);
  if (Absent(request, true)) return kWaveErrNoDevice;
  if (int rc = inputOpenError.load()) return rc;
  return OpenSide<SimIn>(*state_, state_->in, format, callback, instance, false, device);
}

int SimWaveDriver::OpenOutput(const DeviceRequest& request, const WaveFormat& format, WaveCallback callback,
                              void* instance, std::unique_ptr<WaveOut>& device) {
  if (Absent(request, false)) return kWaveErrNoDevice;
  if (int rc = outputOpenError.load()) return rc;
  if (format.channels > maxOutputChannels.load()) return kWaveErrBadFormat;
  lastOutputChannels.store(format.channels);
  return OpenSide<SimOut>(*state_, state_->out, format, callback, instance, true, device,
                          reportsStarvation.load());
}

void SimWaveDriver::CutPlayback() { state_->cuts.fetch_add(1); }

void SimWaveDriver::ReportRunningDry() {
  WaveCallback cb;
  void* inst;
  WaveDevice* dev;
  {
    std::unique_lock<std::mutex> lock(state_->m);
    if (!state_->out.open) return;
    cb = state_->out.callback;
    inst = state_->out.instance;
    dev = state_->out.device;
    ++state_->inFlight;
  }
  cb(dev, kWomStarved, inst, 0, 0);
  std::lock_guard<std::mutex> lock(state_->m);
  if (--state_->inFlight == 0) state_->idle.notify_all();
}

void SimWaveDriver::SetCaptureSource(std::function<std::int16_t(long long)> source) {
  std::lock_guard<std::mutex> lock(state_->m);
  state_->source = std::move(source);
}

void SimWaveDriver::RecordPlayback(std::size_t samples) {
  std::lock_guard<std::mutex> lock(state_->m);
  state_->played.clear();
  state_->played.reserve(samples);
}

int SimWaveDriver::CompleteInput(int count) { return Complete(true, count, false); }

int SimWaveDriver::CompleteInputBurst(int count) { return Complete(true, count, true); }

int SimWaveDriver::CompleteOutput(int count) { return Complete(false, count, false); }

int SimWaveDriver::Complete(bool input, int count, bool holdLock) {
  State& s = *state_;
  Side& side = input ? s.in : s.out;
  const unsigned message = input ? kWimData : kWomDone;
  std::unique_lock<std::mutex> lock(s.m);
  ++s.inFlight;
  int done = 0;
  for (; done < count; ++done) {
    if (frozen || !side.open || !side.running || side.count == 0) break;
    WaveHeader* h = side.PopFront();
    if (input) {
      FillCapture(s, h);
      h->bytesRecorded = h->bufferLength;
    } else {
      RecordPlayed(s, h);
      side.bufferBytes = h->bufferLength;
    }
    h->flags = (h->flags & ~kWhdrInQueue) | kWhdrDone;
    WaveCallback cb = side.callback;
    void* inst = side.instance;
    WaveDevice* dev = side.device;
    // A burst keeps the lock across its reports, so the reader cannot take
    // a buffer in between.
    if (!holdLock) lock.unlock();
    cb(dev, message, inst, reinterpret_cast<std::uintptr_t>(h), 0);
    if (!holdLock) lock.lock();
  }
  if (--s.inFlight == 0) s.idle.notify_all();
  return done;
}

void SimWaveDriver::StartClock(int periodMs) {
  StopClock();
  clockRun_ = true;
  clock_ = std::thread([this, periodMs] {
    const auto period = std::chrono::milliseconds(periodMs);
    auto next = std::chrono::steady_clock::now();
    while (clockRun_) {
      next += period;
      std::this_thread::sleep_until(next);
      // Woken more than a period late (the machine itself stopped, as a
      // virtual machine's host now and then stops it): go on from now
      // rather than run the missed periods back to back, a burst that
      // overran the capture ring of a loop stopped as long.
      const auto now = std::chrono::steady_clock::now();
      if (now - next > period) next = now;
      CompleteInput(1);
      CompleteOutput(1);
    }
  });
}

void SimWaveDriver::StopClock() {
  clockRun_ = false;
  if (clock_.joinable()) clock_.join();
}

#define SIM_READ(expr)                         \
  std::lock_guard<std::mutex> lock(state_->m); \
  return expr

int SimWaveDriver::QueuedInput() { SIM_READ(state_->in.count); }
int SimWaveDriver::QueuedOutput() { SIM_READ(state_->out.count); }
bool SimWaveDriver::InputIsOpen() { SIM_READ(state_->in.open); }
bool SimWaveDriver::OutputIsOpen() { SIM_READ(state_->out.open); }
bool SimWaveDriver::OutputPlaying() { SIM_READ(state_->out.open && state_->out.running); }
int SimWaveDriver::InputBufferBytes() { SIM_READ(state_->in.bufferBytes); }
int SimWaveDriver::OutputBufferBytes() { SIM_READ(state_->out.bufferBytes); }
int SimWaveDriver::InputOpens() { SIM_READ(state_->in.opens); }
int SimWaveDriver::OutputOpens() { SIM_READ(state_->out.opens); }
std::uint32_t SimWaveDriver::Volume() { SIM_READ(state_->volume); }
std::vector<std::int16_t> SimWaveDriver::Played() { SIM_READ(state_->played); }
long long SimWaveDriver::PlayedSamples() { SIM_READ(state_->playedSamples); }
