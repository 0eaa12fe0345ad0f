#pragma once
// CWave: the capture and playback device pair, each with a ring of 4
// buffers, turned into two blocking calls. ReadInput waits for the next
// captured buffer, WriteOutput queues a block for playback and waits while
// all 4 are queued. A direction that loses its ring (overrun, underrun, a
// 2000 ms time-out) closes itself and reports failure; the caller recovers.
//
// Threads: one thread makes all opens, reads, writes and closes; the device
// reports completions on its own thread through InputDone / OutputDone;
// GetVolume and SetVolume may come from any thread.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "audio/Event.h"
#include "audio/WaveDevice.h"

// Error codes of the device pair (others are the device's own).
constexpr int kWaveErrNoMemory = 100;
constexpr int kWaveErrInputClosed = 111;
constexpr int kWaveErrOverrun = 112;
constexpr int kWaveErrInputTimeout = 113;
constexpr int kWaveErrOutputClosed = 114;
constexpr int kWaveErrUnderrun = 115;
constexpr int kWaveErrOutputTimeout = 116;

constexpr int kWaveRing = 4;
constexpr int kWaveTimeoutMs = 2000;
// The first buffer after an open may take longer: a sound server's device
// that had no client asking for a short latency (a null sink recorded or
// played at the default) runs up to 2 s ahead, and takes or gives the new
// stream's first buffer only when it next wakes. Waiting just kWaveTimeoutMs
// then failed every reopen the same way, for minutes.
constexpr int kWaveFirstBufferMs = kWaveTimeoutMs + 2500;

class CWave {
 public:
  explicit CWave(WaveDriver& driver);
  virtual ~CWave();
  CWave(const CWave&) = delete;
  CWave& operator=(const CWave&) = delete;

  // frames: frames per buffer. 0 on success, else an error code (the
  // direction is then closed). 0 frames tries the device and closes it.
  int OpenInput(const WaveFormat& format, int frames);
  // Fills frames*channels doubles (16-bit units) from the next captured
  // buffer; returns frames, or -1 (lastError says why).
  int ReadInput(double* destination, int frames);
  void CloseInput();

  int OpenOutput(const WaveFormat& format, int frames);
  // Queues frames*channels doubles for playback; returns frames, or -1.
  // 0 frames flushes, drains and closes the output.
  int WriteOutput(const double* source, int frames);
  // Waits until everything queued has played: lastError, or 116.
  int DrainOutput();
  // Plays out what is queued first (up to the time-out) unless drain is
  // false, then closes.
  void CloseOutput(bool drain = true);

  // The playback volume word (0xFFFF full per channel); 0x8000 when closed.
  std::uint32_t GetVolume();
  // 1 when it reached the open device, 0 when the output is closed.
  int SetVolume(std::uint32_t volume);

  // Device completion callbacks (any thread).
  static void InputDone(WaveDevice* device, unsigned message, void* instance, std::uintptr_t p1,
                        std::uintptr_t p2);
  static void OutputDone(WaveDevice* device, unsigned message, void* instance, std::uintptr_t p1,
                         std::uintptr_t p2);

  int LastError() const { return lastError.load(); }
  // How long the first buffer after an open may take (ms, at least
  // kWaveFirstBufferMs): longer while reopens keep failing the same way.
  void SetFirstBufferPatience(int ms) { firstBufferMs_.store(ms < kWaveFirstBufferMs ? kWaveFirstBufferMs : ms); }
  bool InputOpen() const { return inOpen.load() != 0; }
  bool OutputOpen() const { return outOpen.load() != 0; }
  // Playback buffers queued and not yet handed back.
  int QueuedOutput();
  // Captured buffers filled and not yet read: the delay a reader that fell
  // behind keeps.
  int CapturedWaiting();
  // The devices the opens ask for (the opener's thread sets them).
  DeviceRequest inRequest;
  DeviceRequest outRequest;
  // For tests: whether the reader or writer waits for the device.
  bool InputWaiting();
  bool OutputWaiting();

  // Ring state; the indices and flags are guarded by `lock`.
  AutoResetEvent inEvent;
  AutoResetEvent outEvent;
  int inWaiting = 0;
  int inOverrun = 0;
  int outWaiting = 0;
  int outUnderrun = 0;
  int outSaysStarved = 0;  // the playback device reports running dry itself
  int inStarted = 0;       // a buffer was filled since the open
  int outStarted = 0;      // a buffer came back since the open
  int inDone = 0;
  int inNext = 0;
  int outNext = 0;
  int outDone = 0;
  std::mutex lock;
  std::atomic<int> inOpen{0};
  std::atomic<int> outOpen{0};
  int outPaused = 0;
  int inFrameBytes = 0;
  int outFrameBytes = 0;
  std::atomic<int> lastError{0};
  int inBufferBytes = 0;
  int outBufferBytes = 0;
  int inPos = 0;
  int outPos = 0;
  std::unique_ptr<WaveIn> inHandle;
  std::unique_ptr<WaveOut> outHandle;
  WaveFormat outFormat;
  WaveFormat inFormat;
  WaveHeader* inHeaders[kWaveRing] = {};
  WaveHeader* outHeaders[kWaveRing] = {};

 private:
  void FreeHeaders(WaveHeader** headers, WaveDevice* device);
  void OnInputDone();
  void OnOutputDone();
  void OnOutputStarved();

  WaveDriver& driver_;
  std::atomic<int> firstBufferMs_{kWaveFirstBufferMs};
  // Held by SetVolume/GetVolume and while the playback handle is installed
  // or released, so a volume change never reaches a released device.
  std::mutex volumeLock_;
};
