#pragma once
// CFilter: the audio engine, and the windows' only door to the sound. A
// worker thread runs the live loop capture, filter, play, block after block,
// and recovers from device failures by reopening both devices. It owns the
// device pair and the live filter, and publishes every block before and
// after filtering to its taps (the spectrum, the recorder, any consumer
// added); the user interface changes them through the operations below
// while it runs.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "audio/CWave.h"
#include "audio/Recorder.h"
#include "audio/SpectrumTap.h"
#include "audio/Tap.h"
#include "audio/UiBridge.h"
#include "signal/FilterCore.h"
#include "signal/GainRamp.h"
#include "signal/SampleRate.h"
#include "spectrum/SpectrumModel.h"

constexpr int kBlockBufSize = kMaxBlock + 1;  // room for the largest block, in samples

class CFilter {
 public:
  // Created suspended: Run starts only with Resume. `ui` may be null (no
  // start-up call, no event serving).
  CFilter(WaveDriver& driver, UiBridge* ui);
  virtual ~CFilter();
  CFilter(const CFilter&) = delete;
  CFilter& operator=(const CFilter&) = delete;

  // --- the loop -------------------------------------------------------------
  // Starts the thread body once.
  void Resume();
  // Ends the live loop and waits for it, serving UI events meanwhile.
  // Returns at once when the body is not in its loop.
  void Stop();
  // True while the live loop runs.
  bool Running() const { return stopped_.load() == 0; }
  // True when playback could not be opened at start: the loop only captures.
  bool InputOnly() const { return inputOnly_.load() != 0; }
  // Passes of the live loop so far.
  long Passes() const { return passes_.load(std::memory_order_relaxed); }
  // Blocks lost to device failures and not yet shown by a spectrum panel.
  int LostCount() const { return lostCount_.load(); }
  // Device failures since the start (each one loses the blocks in hand).
  long LostTotal() const { return lostTotal_.load(std::memory_order_relaxed); }
  // Blocks handed to playback whole since the start.
  long BlocksPlayed() const { return blocksPlayed_.load(std::memory_order_relaxed); }

  // Frames per block, kMinBlock..kMaxBlock (others are refused). While the loop runs the
  // devices are reopened between two passes; otherwise only stored.
  void SetBufferSize(int n);
  int BufferSize() const { return bufferSize_.load(); }

  // --- devices ---------------------------------------------------------------
  // The capture and playback devices to use (ids as WaveDriver takes them)
  // and the rate to run them at. While the loop runs both are reopened
  // between two passes; otherwise only stored.
  void SetDevices(const std::string& input, const std::string& output, int deviceRateHz);
  struct DeviceStatus {
    std::string backend;
    std::string input, output;  // descriptions of the open devices
    bool inputMissing = false;  // a direction that could not be opened
    bool outputMissing = false;
    int deviceRateHz = 0;  // of the open devices (the program's when nothing converts)
    // Input to output: blocks in flight plus what the backend holds; 0 until
    // half a second has played on the devices open now.
    double delayMs = 0.0;
    int outputChannels = 1;     // of the open playback stream
    bool stereoRefused = false;  // two channels asked for, the device took one
  };
  DeviceStatus Devices() const;

  // --- the live filter ------------------------------------------------------
  // Puts a definition in force between two blocks.
  void SetDefinition(const FilterDefinition& d) { core_.Apply(d); }
  // The definition in force, with the live LMS weights.
  FilterDefinition Definition() const { return core_.Definition(); }
  // h[0..d.tap] of the filter in force, e.g. the live LMS weights.
  void CopyCoefsTo(FilterDefinition& d) const { core_.CopyCoefsTo(d); }
  int FilterType() const { return core_.Type(); }
  // Noise reduction, the noise blanker and up to four notches, on any
  // filter; put in force between two blocks.
  void SetExtras(const ChainExtras& e) { core_.SetExtras(e); }
  ChainExtras Extras() const { return core_.Extras(); }
  // The 80 Hz high-pass in front of the filter.
  void SetDcCut(bool on) { core_.dcCut.store(on ? 1 : 0); }
  // Mono, binaural or pan (balance -1..1), after everything else. Two
  // channels reopen playback with two between two passes; a device that
  // takes only one plays the mono result (DeviceStatus says so).
  void SetOutput(OutputMode mode, double balance);
  OutputMode Output() const { return core_.Output(); }
  bool DcCut() const { return core_.dcCut.load() != 0; }
  // The output lowered by attDb (0 none .. kSilenceDb silence) after the
  // filter, in 5 ms ramps: quiet while a transmitter is keyed. Any thread.
  void SetOutputAttenuation(double attDb) { outGain_.SetAttenuationDb(attDb); }
  double OutputGain() const { return outGain_.Target(); }

  // --- volume ---------------------------------------------------------------
  // The playback volume word; 1 until the device's own was taken at start.
  std::uint32_t Volume() const { return volume_.load(); }
  // Sets the word to apply when the devices open (a saved setting).
  void SetStartVolume(std::uint32_t v) { volume_.store(v); }
  // One step of 1/16 up or down on both channels, applied at once; false at
  // the end of the range or while the device's own volume is in use.
  bool VolumeUp();
  bool VolumeDown();

  // --- taps -------------------------------------------------------------------
  // Where a feature gets the sound: each block the loop captures is
  // published at TapPoint::Input before filtering and at TapPoint::Output
  // after (what is played; one channel today), in whole numbered blocks.
  // Register a TapConsumer with Taps().Add from any thread but the loop's,
  // enable the rings it drains, drain each ring from one thread of your
  // own (or the UI's timer), and Taps().Remove it before freeing it. Remove
  // waits at most for the block being published; the loop never waits for
  // a consumer, and a consumer that falls behind loses whole blocks
  // (TapRing::Dropped, and a gap in TapBlock::number). At most
  // TapHub::kMaxConsumers, the spectrum and the recorder among them.
  TapHub& Taps() { return taps_; }

  // --- spectrum ---------------------------------------------------------------
  // 0 OFF, 1 IN, 2 OUT; 0..3: 1K, 2K, 3K, 4K.
  void SetFftMode(int mode) { spectrum_.Follow(mode); }
  int FftMode() const { return spectrum_.Mode(); }
  void SetFftWidth(int width) { fftWidth_.store(width); }
  int FftWidth() const { return fftWidth_.load(); }
  // True once when the analyser met a frame holding a NaN or an infinity;
  // the caller then switches the spectrum off. UI thread.
  bool TakeSpectrumFailure() { return spectrum_.TakeFailure(); }
  // The start of every drawing of a spectrum panel (UI thread): drains the
  // spectrum's tap, computes a complete frame, and takes the "Lost"/"Over"
  // warning, counting one recovery off and clearing the overload flag.
  SpectrumSnapshot TakeSpectrum();

  // --- recording --------------------------------------------------------------
  // Records the filtered output (what is heard) into outputFile and, when
  // inputFile is not empty, the input into it; false with the reason when
  // a file cannot be created.
  // The output file has the channels of what is heard: two while the ears
  // are in force.
  bool StartRecording(const std::string& outputFile, const std::string& inputFile, RecordFormat format,
                      std::string& error) {
    return recorder_.Start(outputFile, inputFile, format, error, core_.OutputChannels());
  }
  void StopRecording() { recorder_.Stop(); }
  RecordingStatus Recording() const { return recorder_.Status(); }
  // The message that stopped a recording by itself (a full disk), once.
  std::string TakeRecordingError() { return recorder_.TakeError(); }

  // Run on the UI thread once the devices are open (volume buttons).
  std::function<void()> updateVolumeButtons;

 protected:
  virtual void Run();

 private:
  friend struct CFilterProbe;  // tests: the spectrum tap and counters

  bool Recover();  // true when both directions reopened
  // The calm retry: opens only the directions that are closed; true when
  // both are open.
  bool RetryMissing();
  // Playback with the channels the output needs, or one when the device
  // refuses two; true when open.
  bool OpenPlayback(int frames);
  // Notes what the last opens gave, for Devices(); loop thread.
  void NoteDevices(bool inOk, bool outOk);
  void NoteDelay(int frames);
  // Takes a new device choice into the next opens; true when there was one.
  bool TakeDeviceChoice();
  // Both directions with the current block size, playing out what playback
  // holds first when drain; true when capture reopened.
  bool Reopen(bool drain);
  int OpenSize() const;
  void RaisePriority();
  void NormalPriority();
  void WaitForBody();

  std::atomic<int> stopped_{1};  // 0 only while the live loop runs
  WaveFormat waveFormat_;
  CWave wave_;
  CFilterCore core_;
  GainRamp outGain_;
  TapHub taps_;  // before its consumers: they leave it when destroyed
  SpectrumTap spectrum_;
  std::atomic<int> fftWidth_{2};
  std::atomic<std::uint32_t> volume_{1};  // 1: take the device's own at start
  std::atomic<int> lostCount_{0};
  std::atomic<int> bufferSize_{kDefaultBlock};
  std::atomic<long> passes_{0};
  std::atomic<long> blocksPlayed_{0};
  // Loop thread only: reopens in a row that failed before a block went
  // through, and whether one has since the last open.
  int failedStarts_ = 0;
  bool flowing_ = false;
  long cutsSeen_ = 0;  // the playback device's cuts already counted
  std::atomic<long> lostTotal_{0};
  Recorder recorder_{taps_};
  std::atomic<int> inputOnly_{0};

  UiBridge* ui_;
  std::thread thread_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> bodyDone_{false};
  std::atomic<int> threadId_{0};
  int openSize_ = 0;  // frames per buffer the devices were last opened with
  long blocksSinceOpen_ = 0;  // loop thread: blocks played since the devices opened

  mutable std::mutex devicesLock_;  // guards the two below; never held across a device call
  DeviceRequest wantIn_, wantOut_;
  DeviceStatus status_;
  std::atomic<int> devicesWanted_{0};  // bumped by SetDevices
  int devicesOpened_ = 0;              // loop thread
  std::atomic<long> delayUs_{0};
  std::unique_ptr<double[]> blockBuf_;
  std::unique_ptr<double[]> stereoBuf_;       // the two ears of a block, interleaved
  std::atomic<int> outChannels_{1};           // of the open playback stream
  std::atomic<bool> stereoRefused_{false};
  WaveDriver& driver_;
};
