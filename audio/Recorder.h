#pragma once
// Recording what the user hears (and, as a choice, what came in) to files.
// The audio thread only copies blocks into lock-free rings (Push: never
// waits, never allocates); a writer thread of its own writes them through
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

enum class RecordFormat { Wav, Flac };  // 16-bit mono at the program's rate

struct RecordingStatus {
  bool active = false;
  std::string outputFile;  // the file of what is heard
  std::string inputFile;   // the file of the input ("" when not recorded)
  long long frames = 0;    // frames written of the output
  long dropped = 0;        // blocks dropped because the writer fell behind
};

class Recorder {
 public:
  Recorder();
  ~Recorder();  // stops a recording in progress
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Starts recording into outputFile (and inputFile when not empty); false,
  // with the reason, when a file cannot be created. Any thread but the
  // audio thread.
  bool Start(const std::string& outputFile, const std::string& inputFile, RecordFormat format,
             std::string& error);
  // Writes what is left in the rings, closes the files and returns.
  void Stop();

  // Audio thread: one block, doubles in 16-bit units, converted as playback
  // converts them.
  void PushOutput(const double* block, int count) { Push(out_, block, count); }
  void PushInput(const double* block, int count) { Push(in_, block, count); }

  RecordingStatus Status() const;
  // For tests: the writer waits while held, as behind a disk that stalls.
  void HoldWriter(bool hold) { holdWriter_.store(hold); }
  // The message that stopped the recording, once; "" when none.
  std::string TakeError();

 private:
  // A single-producer single-consumer ring of 16-bit samples.
  struct Ring {
    static constexpr int kCapacity = 1 << 17;  // about 12 s at 11025 Hz
    std::unique_ptr<std::int16_t[]> data{new std::int16_t[kCapacity]};
    std::atomic<std::uint64_t> head{0};  // written by the audio thread
    std::atomic<std::uint64_t> tail{0};  // written by the writer
    std::atomic<bool> enabled{false};
    std::atomic<long> dropped{0};
  };
  struct File;

  static void Push(Ring& ring, const double* block, int count);
  void Write();                        // the writer thread's body
  bool Drain(Ring& ring, File& file);  // false on a write error

  Ring out_, in_;
  std::unique_ptr<File> outFile_, inFile_;
  std::thread writer_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> holdWriter_{false};
  std::atomic<bool> active_{false};
  std::atomic<long long> frames_{0};
  mutable std::mutex m_;  // guards the texts below
  std::string outputName_, inputName_, error_;
};
