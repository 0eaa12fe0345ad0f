#pragma once
// Recording what the user hears (and, as a choice, what came in) to files.
// A tap consumer: the engine only copies blocks into its rings (never
// waits, never allocates); a writer thread of its own drains them through
// libsndfile. A ring that is full drops the whole block and counts it, so a
// slow disk never delays the audio. A write that fails (a full disk) or a
// folder that vanishes stops the recording with a message, and the files
// keep a valid header for what was written.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "audio/Tap.h"

enum class RecordFormat { Wav, Flac };  // 16-bit at the program's rate

struct RecordingStatus {
  bool active = false;
  std::string outputFile;  // the file of what is heard
  std::string inputFile;   // the file of the input ("" when not recorded)
  long long frames = 0;    // frames written of the output
  long dropped = 0;        // blocks dropped because the writer fell behind
};

class Recorder {
 public:
  // Records what taps publishes; registers with it only while recording.
  explicit Recorder(TapHub& taps);
  ~Recorder();  // stops a recording in progress
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Starts recording into outputFile (and inputFile when not empty); false,
  // with the reason, when a file cannot be created or every tap slot is
  // taken. Any thread but the audio thread.
  // outputChannels: 2 records the two ears of binaural or pan listening.
  bool Start(const std::string& outputFile, const std::string& inputFile, RecordFormat format,
             std::string& error, int outputChannels = 1);
  // Unregisters, writes what is left in the rings, closes the files and
  // returns.
  void Stop();

  RecordingStatus Status() const;
  // For tests: the writer waits while held, as behind a disk that stalls.
  void HoldWriter(bool hold) { holdWriter_.store(hold); }
  // The message that stopped the recording, once; "" when none.
  std::string TakeError();

 private:
  struct File;
  static std::unique_ptr<File> OpenForWriting(const std::string& path, RecordFormat format, int channels,
                                              std::string& error);

  void Write();                           // the writer thread's body
  bool Drain(TapRing& ring, File& file);  // false on a write error
  void EnableRings(bool output, bool input);

  static constexpr int kRingSamples = 1 << 17;  // per point: about 12 s at 11025 Hz
  TapHub& taps_;
  TapConsumer consumer_{kRingSamples, kRingSamples};
  std::unique_ptr<File> outFile_, inFile_;
  std::thread writer_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> holdWriter_{false};
  std::atomic<bool> active_{false};
  std::atomic<long long> frames_{0};
  mutable std::mutex m_;  // guards the texts below
  std::string outputName_, inputName_, error_;
};
