#include "audio/CWave.h"

#include <cstring>
#include <new>

#include "common/Pcm16.h"

namespace {
inline int FrameBytes(const WaveFormat& f) { return f.channels * (f.bitsPerSample / 8); }
}  // namespace

CWave::CWave(WaveDriver& driver) : driver_(driver) {}

CWave::~CWave() {
  // The owner closes both directions first; a direction left open is
  // released here without playing out, so nothing leaks.
  inOpen = 0;
  outOpen = 0;
  if (inHandle) {
    inHandle->Reset();
    inHandle->Close();
  }
  FreeHeaders(inHeaders, inHandle.get());
  if (outHandle) {
    outHandle->Reset();
    outHandle->Close();
  }
  FreeHeaders(outHeaders, outHandle.get());
}

// ---------------------------------------------------------------------------
// Capture

int CWave::OpenInput(const WaveFormat& format, int frames) {
  {
    std::lock_guard<std::mutex> guard(lock);
    inWaiting = inOverrun = inDone = inNext = inStarted = 0;
  }
  inPos = 0;
  inFormat = format;
  inFrameBytes = FrameBytes(format);
  inBufferBytes = frames * inFrameBytes;
  inEvent.Clear();

  std::unique_ptr<WaveIn> device;
  DeviceRequest request = inRequest;
  request.blockFrames = frames;
  int rc = driver_.OpenInput(request, format, &CWave::InputDone, this, device);
  if (rc != 0) {
    lastError = rc;
    CloseInput();
    return rc;
  }
  inHandle = std::move(device);
  if (frames <= 0) {
    CloseInput();
    return 0;
  }
  for (int i = 0; i < kWaveRing; ++i) {
    WaveHeader* h = new (std::nothrow) WaveHeader();
    char* data = h ? new (std::nothrow) char[inBufferBytes] : nullptr;
    if (!h || !data) {
      delete h;
      lastError = kWaveErrNoMemory;
      CloseInput();
      return kWaveErrNoMemory;
    }
    h->data = data;
    h->bufferLength = inBufferBytes;
    inHeaders[i] = h;
    rc = inHandle->Prepare(h);
    if (rc == 0) rc = inHandle->AddBuffer(h);
    if (rc != 0) {
      lastError = rc;
      CloseInput();
      return rc;
    }
  }
  rc = inHandle->Start();
  if (rc != 0) {
    lastError = rc;
    CloseInput();
    return rc;
  }
  inOpen = 1;
  return 0;
}

int CWave::ReadInput(double* destination, int frames) {
  if (!inOpen) {
    lastError = kWaveErrInputClosed;
    return -1;
  }
  std::unique_lock<std::mutex> guard(lock);
  if (inOverrun) {
    guard.unlock();
    lastError = kWaveErrOverrun;
    CloseInput();
    return -1;
  }
  if (inNext == inDone) {
    inWaiting = 1;
    const int waitMs = inStarted ? kWaveTimeoutMs : firstBufferMs_.load();
    guard.unlock();
    if (!inEvent.Wait(waitMs)) {
      lastError = kWaveErrInputTimeout;
      CloseInput();
      return -1;
    }
    guard.lock();
  }
  const int next = inNext;
  guard.unlock();

  WaveHeader* h = inHeaders[next];
  const int count = frames * inFormat.channels;
  const unsigned char* src = reinterpret_cast<const unsigned char*>(h->data) + inPos;
  if (inFormat.bitsPerSample == 16) {
    for (int i = 0; i < count; ++i) {
      const std::int16_t s = static_cast<std::int16_t>(src[2 * i] | (src[2 * i + 1] << 8));
      destination[i] = s;
    }
    inPos += 2 * count;
  } else {
    for (int i = 0; i < count; ++i) destination[i] = (static_cast<int>(src[i]) - 128) * 256.0;
    inPos += count;
  }

  if (inPos >= inBufferBytes) {
    h->bytesRecorded = 0;
    inHandle->AddBuffer(h);
    inPos = 0;
    std::lock_guard<std::mutex> relock(lock);
    inNext = (inNext + 1) % kWaveRing;
  }
  return frames;
}

void CWave::FreeHeaders(WaveHeader** headers, WaveDevice* device) {
  for (int i = 0; i < kWaveRing; ++i) {
    WaveHeader* h = headers[i];
    if (!h) continue;
    if (h->data) {
      if (device && (h->flags & kWhdrPrepared)) device->Unprepare(h);
      delete[] h->data;
    }
    delete h;
    headers[i] = nullptr;
  }
}

void CWave::CloseInput() {
  inOpen = 0;
  if (inHandle) {
    inHandle->Reset();
    FreeHeaders(inHeaders, inHandle.get());
    inHandle->Close();
    inHandle.reset();
  } else {
    FreeHeaders(inHeaders, nullptr);
  }
  inEvent.Clear();
}

// ---------------------------------------------------------------------------
// Playback

int CWave::OpenOutput(const WaveFormat& format, int frames) {
  {
    std::lock_guard<std::mutex> guard(lock);
    outWaiting = outUnderrun = outNext = outDone = outStarted = 0;
  }
  outPos = 0;
  outFormat = format;
  outFrameBytes = FrameBytes(format);
  outBufferBytes = frames * outFrameBytes;
  outEvent.Clear();

  std::unique_ptr<WaveOut> device;
  DeviceRequest request = outRequest;
  request.blockFrames = frames;
  int rc = driver_.OpenOutput(request, format, &CWave::OutputDone, this, device);
  if (rc != 0) {
    lastError = rc;
    CloseOutput();
    return rc;
  }
  {
    std::lock_guard<std::mutex> guard(lock);
    outSaysStarved = device->ReportsStarvation() ? 1 : 0;
  }
  {
    std::lock_guard<std::mutex> guard(volumeLock_);
    outHandle = std::move(device);
  }
  if (frames <= 0) {
    CloseOutput();
    return 0;
  }
  rc = outHandle->Pause();
  if (rc != 0) {
    CloseOutput();
    return rc;
  }
  for (int i = 0; i < kWaveRing; ++i) {
    WaveHeader* h = new (std::nothrow) WaveHeader();
    char* data = h ? new (std::nothrow) char[outBufferBytes] : nullptr;
    if (!h || !data) {
      delete h;
      CloseOutput();
      lastError = kWaveErrNoMemory;
      return kWaveErrNoMemory;
    }
    h->data = data;
    h->bufferLength = outBufferBytes;
    outHeaders[i] = h;
    rc = outHandle->Prepare(h);
    if (rc != 0) {
      CloseOutput();
      return rc;
    }
  }
  outOpen = 1;
  outPaused = 1;
  return 0;
}

int CWave::WriteOutput(const double* source, int frames) {
  if (!outOpen) {
    lastError = kWaveErrOutputClosed;
    return -1;
  }
  bool underrun;
  {
    std::lock_guard<std::mutex> guard(lock);
    underrun = outUnderrun != 0;
  }
  if (underrun) {
    lastError = kWaveErrUnderrun;
    CloseOutput();
    return -1;
  }
  if (frames == 0) {
    CloseOutput();
    return lastError == 0 ? 0 : -1;
  }

  WaveHeader* h = outHeaders[outNext];
  const int count = frames * outFormat.channels;
  unsigned char* dst = reinterpret_cast<unsigned char*>(h->data) + outPos;
  if (outFormat.bitsPerSample == 16) {
    for (int i = 0; i < count; ++i) {
      // Saturates: an overshoot clips instead of wrapping to a full-scale click.
      const std::uint16_t s = static_cast<std::uint16_t>(SampleToPcm16(source[i]));
      dst[2 * i] = static_cast<unsigned char>(s & 0xFF);
      dst[2 * i + 1] = static_cast<unsigned char>(s >> 8);
    }
    outPos += 2 * count;
  } else {
    for (int i = 0; i < count; ++i) {
      double v = source[i] == source[i] ? source[i] + 32768.0 : 32768.0;
      if (v < 0.0) v = 0.0;
      if (v > 65535.0) v = 65535.0;
      dst[i] = static_cast<unsigned char>(static_cast<int>(v) >> 8);
    }
    outPos += count;
  }

  if (outPos >= outBufferBytes) {
    outHandle->Write(h);
    outPos = 0;
    if (outPaused && outNext >= 2) {
      outPaused = 0;
      outHandle->Restart();
    }
    std::unique_lock<std::mutex> guard(lock);
    outNext = (outNext + 1) % kWaveRing;
    if (outNext == outDone) {
      outWaiting = 1;
      const int waitMs = outStarted ? kWaveTimeoutMs : firstBufferMs_.load();
      guard.unlock();
      if (!outEvent.Wait(waitMs)) {
        lastError = kWaveErrOutputTimeout;
        CloseOutput();
        return -1;
      }
    }
  }
  return frames;
}

int CWave::DrainOutput() {
  std::unique_lock<std::mutex> guard(lock);
  while (outNext != outDone) {
    outWaiting = 1;
    guard.unlock();
    if (!outEvent.Wait(kWaveTimeoutMs)) {
      lastError = kWaveErrOutputTimeout;
      return kWaveErrOutputTimeout;
    }
    guard.lock();
  }
  return lastError;
}

void CWave::CloseOutput(bool drain) {
  outOpen = 0;
  if (outHandle) {
    // An output still paused (fewer than three buffers queued) is started
    // first: draining one that never plays would wait out the time-out.
    if (drain && outPaused) {
      outHandle->Restart();
      outPaused = 0;
    }
    if (drain && lastError == 0 && outPos > 0) {
      // A partly filled buffer is played, shortened, before closing.
      WaveHeader* h = outHeaders[outNext];
      h->bufferLength = outPos;
      outHandle->Write(h);
      std::lock_guard<std::mutex> guard(lock);
      outNext = (outNext + 1) % kWaveRing;
    }
    outPos = 0;
    if (drain) lastError = DrainOutput();
    outHandle->Reset();
    FreeHeaders(outHeaders, outHandle.get());
    outHandle->Close();
    std::lock_guard<std::mutex> guard(volumeLock_);
    outHandle.reset();
  } else {
    FreeHeaders(outHeaders, nullptr);
  }
  outEvent.Clear();
}

std::uint32_t CWave::GetVolume() {
  std::lock_guard<std::mutex> guard(volumeLock_);
  if (!outOpen || !outHandle) return 0x8000;
  std::uint32_t v = 0;
  outHandle->GetVolume(&v);
  return v;
}

int CWave::SetVolume(std::uint32_t volume) {
  std::lock_guard<std::mutex> guard(volumeLock_);
  if (!outOpen || !outHandle) return 0;
  outHandle->SetVolume(volume);
  return 1;
}

// ---------------------------------------------------------------------------
// Device callbacks

void CWave::InputDone(WaveDevice*, unsigned message, void* instance, std::uintptr_t, std::uintptr_t) {
  if (message != kWimData) return;
  static_cast<CWave*>(instance)->OnInputDone();
}

void CWave::OutputDone(WaveDevice*, unsigned message, void* instance, std::uintptr_t, std::uintptr_t) {
  if (message == kWomDone) static_cast<CWave*>(instance)->OnOutputDone();
  if (message == kWomStarved) static_cast<CWave*>(instance)->OnOutputStarved();
}

void CWave::OnOutputStarved() {
  std::lock_guard<std::mutex> guard(lock);
  outUnderrun = 1;
}

void CWave::OnInputDone() {
  std::lock_guard<std::mutex> guard(lock);
  inDone = (inDone + 1) % kWaveRing;
  inStarted = 1;
  if (inDone == inNext) inOverrun = 1;
  if (inWaiting) {
    inWaiting = 0;
    inEvent.Set();
  }
}

void CWave::OnOutputDone() {
  std::lock_guard<std::mutex> guard(lock);
  outDone = (outDone + 1) % kWaveRing;
  outStarted = 1;
  // A device that buffers on its own still plays when the queue is empty;
  // it says when it really runs dry.
  if (outDone == outNext && !outSaysStarved) outUnderrun = 1;
  if (outWaiting) {
    outWaiting = 0;
    outEvent.Set();
  }
}

int CWave::QueuedOutput() {
  std::lock_guard<std::mutex> guard(lock);
  return outOpen ? (outNext - outDone + kWaveRing) % kWaveRing : 0;
}

int CWave::CapturedWaiting() {
  std::lock_guard<std::mutex> guard(lock);
  return inOpen ? (inDone - inNext + kWaveRing) % kWaveRing : 0;
}

bool CWave::InputWaiting() {
  std::lock_guard<std::mutex> guard(lock);
  return inWaiting != 0;
}

bool CWave::OutputWaiting() {
  std::lock_guard<std::mutex> guard(lock);
  return outWaiting != 0;
}
