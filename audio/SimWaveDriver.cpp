#include "audio/SimWaveDriver.h"

#include <chrono>
#include <cstring>

struct SimWaveDriver::State {
  std::mutex m;
  // Completions being reported right now; Reset and Close wait for them so
  // that no callback runs after Close returns.
  int inFlight = 0;
  std::condition_variable idle;
  void WaitIdle(std::unique_lock<std::mutex>& lock) {
    idle.wait(lock, [&] { return inFlight == 0; });
  }
  // Capture side.
  bool inOpen = false;
  WaveIn* inDevice = nullptr;
  WaveCallback inCallback = nullptr;
  void* inInstance = nullptr;
  WaveHeader* inQueue[16] = {};
  int inCount = 0;
  bool inStarted = false;
  int inBufferBytes = 0;
  int inOpens = 0;
  int inBits = 16;
  long long captured = 0;
  std::function<std::int16_t(long long)> source;
  // Playback side.
  bool outOpen = false;
  WaveOut* outDevice = nullptr;
  WaveCallback outCallback = nullptr;
  void* outInstance = nullptr;
  WaveHeader* outQueue[16] = {};
  int outCount = 0;
  bool paused = false;
  int outBufferBytes = 0;
  int outOpens = 0;
  int outBits = 16;
  std::uint32_t volume = 0xFFFFFFFFu;
  std::vector<std::int16_t> played;
  long long playedSamples = 0;
};

namespace {

using State = SimWaveDriver::State;

void FillCapture(State& s, WaveHeader* h) {
  const int bytesPerSample = s.inBits == 16 ? 2 : 1;
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

WaveHeader* PopFront(WaveHeader** queue, int& count) {
  WaveHeader* h = queue[0];
  std::memmove(queue, queue + 1, sizeof(WaveHeader*) * (count - 1));
  --count;
  return h;
}

class SimIn : public WaveIn {
 public:
  explicit SimIn(State& s) : s_(s) {}
  int AddBuffer(WaveHeader* h) override {
    std::lock_guard<std::mutex> lock(s_.m);
    if (!(h->flags & kWhdrPrepared)) return kWaveErrNotPrepared;
    if (s_.inCount >= 16) return kWaveErrDeviceFailed;
    h->flags |= kWhdrInQueue;
    s_.inQueue[s_.inCount++] = h;
    s_.inBufferBytes = h->bufferLength;
    return 0;
  }
  int Start() override {
    std::lock_guard<std::mutex> lock(s_.m);
    s_.inStarted = true;
    return 0;
  }
  int Reset() override {
    WaveHeader* back[16];
    int n;
    WaveCallback cb;
    void* inst;
    {
      std::unique_lock<std::mutex> lock(s_.m);
      s_.inStarted = false;
      s_.WaitIdle(lock);
      n = s_.inCount;
      std::memcpy(back, s_.inQueue, sizeof(WaveHeader*) * n);
      s_.inCount = 0;
      cb = s_.inCallback;
      inst = s_.inInstance;
    }
    for (int i = 0; i < n; ++i) {
      back[i]->flags = (back[i]->flags & ~kWhdrInQueue) | kWhdrDone;
      back[i]->bytesRecorded = 0;
      cb(this, kWimData, inst, reinterpret_cast<std::uintptr_t>(back[i]), 0);
    }
    return 0;
  }
  int Close() override {
    std::unique_lock<std::mutex> lock(s_.m);
    s_.inStarted = false;
    s_.WaitIdle(lock);
    s_.inOpen = false;
    s_.inDevice = nullptr;
    s_.inCount = 0;
    return 0;
  }

 private:
  State& s_;
};

class SimOut : public WaveOut {
 public:
  explicit SimOut(State& s) : s_(s) {}
  int Write(WaveHeader* h) override {
    std::lock_guard<std::mutex> lock(s_.m);
    if (!(h->flags & kWhdrPrepared)) return kWaveErrNotPrepared;
    if (s_.outCount >= 16) return kWaveErrDeviceFailed;
    h->flags |= kWhdrInQueue;
    s_.outQueue[s_.outCount++] = h;
    return 0;
  }
  int Pause() override {
    std::lock_guard<std::mutex> lock(s_.m);
    s_.paused = true;
    return 0;
  }
  int Restart() override {
    std::lock_guard<std::mutex> lock(s_.m);
    s_.paused = false;
    return 0;
  }
  int Reset() override {
    WaveHeader* back[16];
    int n;
    WaveCallback cb;
    void* inst;
    {
      std::unique_lock<std::mutex> lock(s_.m);
      s_.paused = true;
      s_.WaitIdle(lock);
      n = s_.outCount;
      std::memcpy(back, s_.outQueue, sizeof(WaveHeader*) * n);
      s_.outCount = 0;
      cb = s_.outCallback;
      inst = s_.outInstance;
    }
    for (int i = 0; i < n; ++i) {
      back[i]->flags = (back[i]->flags & ~kWhdrInQueue) | kWhdrDone;
      cb(this, kWomDone, inst, reinterpret_cast<std::uintptr_t>(back[i]), 0);
    }
    return 0;
  }
  int Close() override {
    std::unique_lock<std::mutex> lock(s_.m);
    s_.paused = true;
    s_.WaitIdle(lock);
    s_.outOpen = false;
    s_.outDevice = nullptr;
    s_.outCount = 0;
    return 0;
  }
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
  State& s_;
};

}  // namespace

SimWaveDriver::SimWaveDriver() : state_(new State) {}

SimWaveDriver::~SimWaveDriver() {
  StopClock();
  delete state_;
}

int SimWaveDriver::OpenInput(const WaveFormat& format, WaveCallback callback, void* instance,
                             std::unique_ptr<WaveIn>& device) {
  if (int rc = inputOpenError.load()) return rc;
  if (format.formatTag != 1 || format.channels < 1) return kWaveErrBadFormat;
  std::lock_guard<std::mutex> lock(state_->m);
  auto d = std::make_unique<SimIn>(*state_);
  state_->inOpen = true;
  state_->inDevice = d.get();
  state_->inCallback = callback;
  state_->inInstance = instance;
  state_->inCount = 0;
  state_->inStarted = false;
  state_->inBits = format.bitsPerSample;
  ++state_->inOpens;
  device = std::move(d);
  return 0;
}

int SimWaveDriver::OpenOutput(const WaveFormat& format, WaveCallback callback, void* instance,
                              std::unique_ptr<WaveOut>& device) {
  if (int rc = outputOpenError.load()) return rc;
  if (format.formatTag != 1 || format.channels < 1) return kWaveErrBadFormat;
  std::lock_guard<std::mutex> lock(state_->m);
  auto d = std::make_unique<SimOut>(*state_);
  state_->outOpen = true;
  state_->outDevice = d.get();
  state_->outCallback = callback;
  state_->outInstance = instance;
  state_->outCount = 0;
  state_->paused = false;
  state_->outBits = format.bitsPerSample;
  ++state_->outOpens;
  device = std::move(d);
  return 0;
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

int SimWaveDriver::CompleteInput(int count) {
  int done = 0;
  for (; done < count; ++done) {
    WaveHeader* h;
    WaveCallback cb;
    void* inst;
    WaveIn* dev;
    {
      std::lock_guard<std::mutex> lock(state_->m);
      if (frozen || !state_->inOpen || !state_->inStarted || state_->inCount == 0) break;
      h = PopFront(state_->inQueue, state_->inCount);
      FillCapture(*state_, h);
      h->bytesRecorded = h->bufferLength;
      h->flags = (h->flags & ~kWhdrInQueue) | kWhdrDone;
      cb = state_->inCallback;
      inst = state_->inInstance;
      dev = state_->inDevice;
      ++state_->inFlight;
    }
    cb(dev, kWimData, inst, reinterpret_cast<std::uintptr_t>(h), 0);
    std::lock_guard<std::mutex> lock(state_->m);
    if (--state_->inFlight == 0) state_->idle.notify_all();
  }
  return done;
}

int SimWaveDriver::CompleteInputBurst(int count) {
  std::unique_lock<std::mutex> lock(state_->m);
  int done = 0;
  ++state_->inFlight;
  for (; done < count; ++done) {
    if (frozen || !state_->inOpen || !state_->inStarted || state_->inCount == 0) break;
    WaveHeader* h = PopFront(state_->inQueue, state_->inCount);
    FillCapture(*state_, h);
    h->bytesRecorded = h->bufferLength;
    h->flags = (h->flags & ~kWhdrInQueue) | kWhdrDone;
    state_->inCallback(state_->inDevice, kWimData, state_->inInstance, reinterpret_cast<std::uintptr_t>(h),
                       0);
  }
  if (--state_->inFlight == 0) state_->idle.notify_all();
  return done;
}

int SimWaveDriver::CompleteOutput(int count) {
  int done = 0;
  for (; done < count; ++done) {
    WaveHeader* h;
    WaveCallback cb;
    void* inst;
    WaveOut* dev;
    {
      std::lock_guard<std::mutex> lock(state_->m);
      if (frozen || !state_->outOpen || state_->paused || state_->outCount == 0) break;
      h = PopFront(state_->outQueue, state_->outCount);
      const int bytesPerSample = state_->outBits == 16 ? 2 : 1;
      const int samples = h->bufferLength / bytesPerSample;
      for (int i = 0; i < samples && state_->played.size() < state_->played.capacity(); ++i) {
        if (bytesPerSample == 2) {
          const auto lo = static_cast<unsigned char>(h->data[2 * i]);
          const auto hi = static_cast<unsigned char>(h->data[2 * i + 1]);
          state_->played.push_back(static_cast<std::int16_t>(lo | (hi << 8)));
        } else {
          state_->played.push_back(static_cast<unsigned char>(h->data[i]));
        }
      }
      state_->playedSamples += samples;
      state_->outBufferBytes = h->bufferLength;
      h->flags = (h->flags & ~kWhdrInQueue) | kWhdrDone;
      cb = state_->outCallback;
      inst = state_->outInstance;
      dev = state_->outDevice;
      ++state_->inFlight;
    }
    cb(dev, kWomDone, inst, reinterpret_cast<std::uintptr_t>(h), 0);
    std::lock_guard<std::mutex> lock(state_->m);
    if (--state_->inFlight == 0) state_->idle.notify_all();
  }
  return done;
}

void SimWaveDriver::StartClock(int periodMs) {
  StopClock();
  clockRun_ = true;
  clock_ = std::thread([this, periodMs] {
    auto next = std::chrono::steady_clock::now();
    while (clockRun_) {
      next += std::chrono::milliseconds(periodMs);
      std::this_thread::sleep_until(next);
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

int SimWaveDriver::QueuedInput() { SIM_READ(state_->inCount); }
int SimWaveDriver::QueuedOutput() { SIM_READ(state_->outCount); }
bool SimWaveDriver::InputIsOpen() { SIM_READ(state_->inOpen); }
bool SimWaveDriver::OutputIsOpen() { SIM_READ(state_->outOpen); }
bool SimWaveDriver::OutputPlaying() { SIM_READ(state_->outOpen && !state_->paused); }
int SimWaveDriver::InputBufferBytes() { SIM_READ(state_->inBufferBytes); }
int SimWaveDriver::OutputBufferBytes() { SIM_READ(state_->outBufferBytes); }
int SimWaveDriver::InputOpens() { SIM_READ(state_->inOpens); }
int SimWaveDriver::OutputOpens() { SIM_READ(state_->outOpens); }
std::uint32_t SimWaveDriver::Volume() { SIM_READ(state_->volume); }
std::vector<std::int16_t> SimWaveDriver::Played() { SIM_READ(state_->played); }
long long SimWaveDriver::PlayedSamples() { SIM_READ(state_->playedSamples); }
