#include "audio/Recorder.h"

#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "common/Pcm16.h"
#include "signal/SampleRate.h"

namespace {
constexpr int kWriteChunk = 4096;     // samples per write
constexpr int kPollMs = 20;           // the writer's pace
constexpr int kFolderCheckMs = 1000;  // how often the folder's presence is checked
}  // namespace

struct Recorder::File {
  SNDFILE* sf = nullptr;
  std::string path;
  ~File() {
    if (sf) sf_close(sf);
  }
};

Recorder::Recorder() = default;

Recorder::~Recorder() { Stop(); }

namespace {
std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> OpenForWriting(const std::string& path, RecordFormat format,
                                                           std::string& error) {
  SF_INFO info{};
  info.samplerate = kSampleRateHz;
  info.channels = 1;
  info.format = (format == RecordFormat::Flac ? SF_FORMAT_FLAC : SF_FORMAT_WAV) | SF_FORMAT_PCM_16;
  SNDFILE* sf = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!sf) error = "cannot create " + path + ": " + sf_strerror(nullptr);
  return {sf, sf_close};
}
}  // namespace

bool Recorder::Start(const std::string& outputFile, const std::string& inputFile, RecordFormat format,
                     std::string& error) {
  Stop();
  auto out = OpenForWriting(outputFile, format, error);
  if (!out) return false;
  decltype(out) in(nullptr, sf_close);
  if (!inputFile.empty()) {
    in = OpenForWriting(inputFile, format, error);
    if (!in) {
      out.reset();
      std::remove(outputFile.c_str());
      return false;
    }
  }
  outFile_ = std::make_unique<File>();
  outFile_->sf = out.release();
  outFile_->path = outputFile;
  if (in) {
    inFile_ = std::make_unique<File>();
    inFile_->sf = in.release();
    inFile_->path = inputFile;
  }
  {
    std::lock_guard<std::mutex> lock(m_);
    outputName_ = outputFile;
    inputName_ = inputFile;
    error_.clear();
  }
  for (Ring* r : {&out_, &in_}) {
    r->tail.store(r->head.load());
    r->dropped.store(0);
  }
  frames_ = 0;
  stopping_ = false;
  active_ = true;
  out_.enabled.store(true, std::memory_order_release);
  in_.enabled.store(inFile_ != nullptr, std::memory_order_release);
  writer_ = std::thread([this] { Write(); });
  return true;
}

void Recorder::Stop() {
  out_.enabled = false;
  in_.enabled = false;
  stopping_ = true;
  if (writer_.joinable()) writer_.join();
  outFile_.reset();  // closing completes the header
  inFile_.reset();
  active_ = false;
}

void Recorder::Push(Ring& ring, const double* block, int count) {
  if (!ring.enabled.load(std::memory_order_acquire) || count <= 0) return;
  const std::uint64_t head = ring.head.load(std::memory_order_relaxed);
  const std::uint64_t tail = ring.tail.load(std::memory_order_acquire);
  if (head - tail + static_cast<std::uint64_t>(count) > Ring::kCapacity) {
    ring.dropped.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  for (int i = 0; i < count; ++i) ring.data[(head + i) & (Ring::kCapacity - 1)] = SampleToPcm16(block[i]);
  ring.head.store(head + count, std::memory_order_release);
}

bool Recorder::Drain(Ring& ring, File& file) {
  std::int16_t chunk[kWriteChunk];
  for (;;) {
    const std::uint64_t tail = ring.tail.load(std::memory_order_relaxed);
    const std::uint64_t head = ring.head.load(std::memory_order_acquire);
    const int n = static_cast<int>(std::min<std::uint64_t>(head - tail, kWriteChunk));
    if (n == 0) return true;
    for (int i = 0; i < n; ++i) chunk[i] = ring.data[(tail + i) & (Ring::kCapacity - 1)];
    ring.tail.store(tail + n, std::memory_order_release);
    if (sf_write_short(file.sf, chunk, n) != n) {
      std::lock_guard<std::mutex> lock(m_);
      error_ = "Recording stopped: cannot write " + file.path + " (" + sf_strerror(file.sf) + ")";
      return false;
    }
    if (&ring == &out_) frames_ += n;
  }
}

void Recorder::Write() {
  auto lastCheck = std::chrono::steady_clock::now();
  for (;;) {
    const bool last = stopping_.load();
    if (holdWriter_.load() && !last) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
      continue;
    }
    bool ok = Drain(out_, *outFile_) && (!inFile_ || Drain(in_, *inFile_));
    const auto now = std::chrono::steady_clock::now();
    if (ok && now - lastCheck >= std::chrono::milliseconds(kFolderCheckMs)) {
      lastCheck = now;
      // Writes to a file whose folder was removed still succeed and are
      // lost with it: a recording into a vanished folder stops.
      struct stat st;
      for (File* f : {outFile_.get(), inFile_.get()}) {
        if (f && ::stat(f->path.c_str(), &st) != 0) {
          std::lock_guard<std::mutex> lock(m_);
          error_ = "Recording stopped: " + f->path + " is gone (was its folder removed?)";
          ok = false;
        }
      }
    }
    if (!ok) {
      out_.enabled = false;
      in_.enabled = false;
      active_ = false;
      // The files keep what was written; closing them (in Stop) completes
      // their headers.
      for (File* f : {outFile_.get(), inFile_.get()})
        if (f) sf_write_sync(f->sf);
      return;
    }
    if (last) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
}

RecordingStatus Recorder::Status() const {
  RecordingStatus s;
  s.active = active_.load();
  s.frames = frames_.load();
  s.dropped = out_.dropped.load() + in_.dropped.load();
  std::lock_guard<std::mutex> lock(m_);
  s.outputFile = outputName_;
  s.inputFile = inputName_;
  return s;
}

std::string Recorder::TakeError() {
  std::lock_guard<std::mutex> lock(m_);
  std::string e;
  e.swap(error_);
  return e;
}
