#pragma once
// CFilter: the audio engine. A worker thread runs the live loop capture,
// filter, play, block after block, and recovers from device failures by
// reopening both devices. It owns the device pair, the live filter and the
// spectrum frame; the user interface changes the settings fields and the
// live filter's definition while it runs.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "audio/CWave.h"
#include "audio/UiBridge.h"
#include "signal/FilterCore.h"
#include "spectrum/CFFT.h"
#include "spectrum/SpectrumModel.h"

constexpr int kBlockBufSize = 8192;  // largest block, in samples
constexpr int kFftSize = 2048;       // spectrum frame, in samples

class CFilter {
 public:
  // Created suspended: Run starts only with Resume. `ui` may be null (no
  // start-up call, no event serving).
  CFilter(WaveDriver& driver, UiBridge* ui);
  virtual ~CFilter();
  CFilter(const CFilter&) = delete;
  CFilter& operator=(const CFilter&) = delete;

  // Starts the thread body once.
  void Resume();
  // Ends the live loop and waits for it, serving UI events meanwhile.
  // Returns at once when the body is not in its loop.
  void Stop();
  // Frames per block, 1..8192 (others are refused). While the loop runs the
  // devices are reopened between two passes; otherwise only stored.
  void SetBufferSize(int n);
  // Copies samples into the spectrum frame (processing thread).
  void TapSpectrum(const double* block, int count);
  // The start of every drawing of a spectrum panel (UI thread): computes a
  // waiting frame, and takes the "Lost"/"Over" warning, counting one
  // recovery off and clearing the overload flag.
  SpectrumSnapshot TakeSpectrum();

  // Run on the UI thread once the devices are open (volume buttons).
  std::function<void()> updateVolumeButtons;

  // --- fields -----------------------------------------------------------
  std::atomic<int> stopped{1};  // 0 only while the live loop runs
  WaveFormat waveFormat;
  CWave wave;
  std::atomic<int> fftReady{0};  // release by the loop, acquire by the display
  int fftFill = 0;
  std::unique_ptr<double[]> fftBuf;
  CFilterCore core;
  std::atomic<int> fftMode{0};   // 0 OFF, 1 IN, 2 OUT
  std::atomic<int> fftWidth{2};  // 0..3: 1K, 2K, 3K, 4K
  CFFT fft;
  int levels[kFftSize] = {};             // display level per FFT bin
  std::atomic<std::uint32_t> volume{1};  // 1: take the device's own at start
  std::atomic<int> lostCount{0};
  std::atomic<int> bufferSize{512};

  // For tests: passes of the live loop so far, and whether it runs input-only.
  std::atomic<long> passes{0};
  std::atomic<int> inputOnly{0};

 protected:
  virtual void Run();

 private:
  bool Recover();  // true when at least one direction reopened
  bool Reopen();   // both directions with the current block size
  int OpenSize() const;
  void RaisePriority();
  void NormalPriority();
  void WaitForBody();

  UiBridge* ui_;
  std::thread thread_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> bodyDone_{false};
  std::atomic<int> threadId_{0};
  int openSize_ = 0;  // frames per buffer the devices were last opened with
  std::unique_ptr<double[]> blockBuf_;
};
