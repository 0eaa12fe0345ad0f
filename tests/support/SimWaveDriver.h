#pragma once
// A deterministic sound card for tests: the test decides when each queued
// buffer completes (by hand, or with a clock thread that completes one
// capture and one playback buffer per period), what the capture buffers hold
// and which opens fail. Playback is recorded.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "audio/WaveDevice.h"

class SimWaveDriver : public WaveDriver {
 public:
  SimWaveDriver();
  ~SimWaveDriver() override;

  int OpenInput(const DeviceRequest& request, const WaveFormat& format, WaveCallback callback, void* instance,
                std::unique_ptr<WaveIn>& device) override;
  int OpenOutput(const DeviceRequest& request, const WaveFormat& format, WaveCallback callback, void* instance,
                 std::unique_ptr<WaveOut>& device) override;
  std::vector<DeviceInfo> Devices() override {
    return {{"pulse:sim_in", "Simulated input", true, true}, {"pulse:sim_out", "Simulated output", false, true}};
  }
  std::string BackendName() const override { return "simulated"; }

  // --- what the test controls ---------------------------------------------
  // Error code the next opens return (0: they succeed).
  std::atomic<int> inputOpenError{0};
  std::atomic<int> outputOpenError{0};
  // Playback with more channels than this is refused; the channels of the
  // last playback opened.
  std::atomic<int> maxOutputChannels{2};
  std::atomic<int> lastOutputChannels{0};
  // Opens of capture tried, whether or not they succeeded.
  std::atomic<int> inputTries{0};
  // Capture content: sample number (counted over all capture since
  // construction) to sample value (16-bit: signed; 8-bit: the byte 0..255).
  // Set before the device runs.
  void SetCaptureSource(std::function<std::int16_t(long long)> source);
  // Keeps up to `samples` played samples (allocated here, never later).
  void RecordPlayback(std::size_t samples);
  // Completes up to `count` queued capture buffers; returns how many.
  int CompleteInput(int count);
  // Completes `count` capture buffers in one go: the device holds its own
  // lock across the reports, so a reader cannot take a buffer in between
  // (a deterministic overrun).
  int CompleteInputBurst(int count);
  // Plays up to `count` queued playback buffers when not paused; returns how many.
  int CompleteOutput(int count);
  // A clock thread completing one buffer per direction every periodMs; a
  // period it woke too late for is not made up.
  void StartClock(int periodMs);
  void StopClock();
  // Devices that are not there: their opens fail with kWaveErrNoDevice.
  void SetAbsent(std::vector<std::string> ids);
  // What the last open of a direction asked for.
  DeviceRequest LastRequest(bool input);
  // While frozen the devices complete nothing (a stuck or unplugged card).
  std::atomic<bool> frozen{false};
  // Playback that buffers on its own (a sound server): it says when it runs
  // dry (ReportRunningDry) instead of an empty queue meaning a gap. Set
  // before the output opens.
  std::atomic<bool> reportsStarvation{false};
  void ReportRunningDry();
  // Playback says it cut a backlog that stood (as a sound server's does).
  void CutPlayback();

  // --- what the test reads ------------------------------------------------
  int QueuedInput();
  int QueuedOutput();
  bool InputIsOpen();
  bool OutputIsOpen();
  bool OutputPlaying();
  int InputBufferBytes();   // size of the last capture buffer queued
  int OutputBufferBytes();  // size of the last playback buffer played
  int InputOpens();
  int OutputOpens();
  std::uint32_t Volume();
  // Played samples (16-bit: signed values; 8-bit: the bytes 0..255).
  std::vector<std::int16_t> Played();
  long long PlayedSamples();

  struct State;

 private:
  int Complete(bool input, int count, bool holdLock);
  bool Absent(const DeviceRequest& request, bool input);
  std::vector<std::string> absent_;
  DeviceRequest lastInput_, lastOutput_;
  State* state_;
  std::thread clock_;
  std::atomic<bool> clockRun_{false};
};
