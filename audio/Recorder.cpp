#include "audio/Recorder.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

namespace {
// A FLAC encoder writes each frame in one call and, when a write fails
// (a full disk, a file-size limit), stops with a frame half written, so the
// file no longer decodes to its end. Written through this, a write that
// fails is taken back whole: the file ends with the last complete frame,
// after a header whose lengths stay "unknown", which is valid FLAC.
struct FrameFile {
  int fd = -1;
  static FrameFile& Of(void* user) { return *static_cast<FrameFile*>(user); }
  static sf_count_t Length(void* user) {
    struct stat st;
    return ::fstat(Of(user).fd, &st) == 0 ? st.st_size : -1;
  }
  static sf_count_t Seek(sf_count_t offset, int whence, void* user) {
    return ::lseek(Of(user).fd, offset, whence);
  }
  static sf_count_t Read(void* ptr, sf_count_t count, void* user) {
    const ssize_t n = ::read(Of(user).fd, ptr, static_cast<std::size_t>(count));
    return n < 0 ? 0 : n;
  }
  static sf_count_t Tell(void* user) { return ::lseek(Of(user).fd, 0, SEEK_CUR); }
  static sf_count_t Write(const void* ptr, sf_count_t count, void* user) {
    const int fd = Of(user).fd;
    const off_t start = ::lseek(fd, 0, SEEK_CUR);
    const char* p = static_cast<const char*>(ptr);
    sf_count_t done = 0;
    while (done < count) {
      const ssize_t n = ::write(fd, p + done, static_cast<std::size_t>(count - done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (start >= 0 && ::ftruncate(fd, start) == 0) ::lseek(fd, start, SEEK_SET);
        return 0;
      }
      done += n;
    }
    return done;
  }
  static SF_VIRTUAL_IO Io() { return {Length, Seek, Read, Write, Tell}; }
};
}  // namespace

struct Recorder::File {
  SNDFILE* sf = nullptr;
  std::string path;
  int channels = 1;
  std::unique_ptr<FrameFile> frames;  // FLAC only
  ~File() {
    if (sf) sf_close(sf);
    if (frames && frames->fd >= 0) ::close(frames->fd);
  }
};

Recorder::Recorder(TapHub& taps) : taps_(taps) {}

Recorder::~Recorder() { Stop(); }

std::unique_ptr<Recorder::File> Recorder::OpenForWriting(const std::string& path, RecordFormat format,
                                                         int channels, std::string& error) {
  SF_INFO info{};
  info.samplerate = kSampleRateHz;
  info.channels = channels;
  info.format = (format == RecordFormat::Flac ? SF_FORMAT_FLAC : SF_FORMAT_WAV) | SF_FORMAT_PCM_16;
  auto file = std::make_unique<File>();
  file->path = path;
  file->channels = channels;
  if (format == RecordFormat::Flac) {
    file->frames = std::make_unique<FrameFile>();
    file->frames->fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (file->frames->fd < 0) {
      error = "cannot create " + path + ": " + std::strerror(errno);
      return nullptr;
    }
    SF_VIRTUAL_IO io = FrameFile::Io();
    file->sf = sf_open_virtual(&io, SFM_WRITE, &info, file->frames.get());
  } else {
    file->sf = sf_open(path.c_str(), SFM_WRITE, &info);
  }
  if (!file->sf) {
    error = "cannot create " + path + ": " + sf_strerror(nullptr);
    return nullptr;
  }
  return file;
}

bool Recorder::Start(const std::string& outputFile, const std::string& inputFile, RecordFormat format,
                     std::string& error, int outputChannels) {
  Stop();
  outputChannels = outputChannels == 2 ? 2 : 1;
  auto out = OpenForWriting(outputFile, format, outputChannels, error);
  if (!out) {
    std::remove(outputFile.c_str());
    return false;
  }
  std::unique_ptr<File> in;
  if (!inputFile.empty()) {
    in = OpenForWriting(inputFile, format, 1, error);
    if (!in) {
      out.reset();
      std::remove(outputFile.c_str());
      std::remove(inputFile.c_str());
      return false;
    }
  }
  outFile_ = std::move(out);
  inFile_ = std::move(in);
  {
    std::lock_guard<std::mutex> lock(m_);
    outputName_ = outputFile;
    inputName_ = inputFile;
    error_.clear();
  }
  // Unregistered since Stop: the rings are ours alone.
  consumer_.Ring(TapPoint::Output)->Reset();
  consumer_.Ring(TapPoint::Input)->Reset();
  frames_ = 0;
  stopping_ = false;
  active_ = true;
  EnableRings(true, inFile_ != nullptr);
  if (!taps_.Add(consumer_)) {
    error = "cannot record: too many taps on the sound";
    EnableRings(false, false);
    active_ = false;
    for (auto* f : {&outFile_, &inFile_}) {
      if (!*f) continue;
      const std::string path = (*f)->path;
      f->reset();
      std::remove(path.c_str());
    }
    return false;
  }
  writer_ = std::thread([this] { Write(); });
  return true;
}

void Recorder::EnableRings(bool output, bool input) {
  consumer_.Ring(TapPoint::Output)->Enable(output);
  consumer_.Ring(TapPoint::Input)->Enable(input);
}

void Recorder::Stop() {
  taps_.Remove(consumer_);
  EnableRings(false, false);
  stopping_ = true;
  if (writer_.joinable()) writer_.join();
  outFile_.reset();  // closing completes the header
  inFile_.reset();
  active_ = false;
}

bool Recorder::Drain(TapRing& ring, File& file) {
  std::int16_t chunk[2 * kWriteChunk];
  TapBlock block;
  const double* samples;
  while (ring.Front(block, samples)) {
    // The file keeps the channels it was made with: a mono block (the ears
    // switched off meanwhile) goes to both, two channels to a mono file mix.
    const int fileChannels = file.channels;
    for (int done = 0; done < block.frames;) {
      const int n = std::min(block.frames - done, kWriteChunk);
      for (int i = 0; i < n; ++i) {
        const double* frame = samples + static_cast<std::ptrdiff_t>(done + i) * block.channels;
        if (fileChannels == block.channels) {
          for (int c = 0; c < fileChannels; ++c) chunk[i * fileChannels + c] = SampleToPcm16(frame[c]);
        } else if (fileChannels == 2) {
          chunk[2 * i] = chunk[2 * i + 1] = SampleToPcm16(frame[0]);
        } else {
          chunk[i] = SampleToPcm16(0.5 * (frame[0] + frame[1]));
        }
      }
      if (sf_writef_short(file.sf, chunk, n) != n) {
        std::lock_guard<std::mutex> lock(m_);
        error_ = "Recording stopped: cannot write " + file.path + " (" + sf_strerror(file.sf) + ")";
        return false;
      }
      if (&ring == consumer_.Ring(TapPoint::Output)) frames_ += n;
      done += n;
    }
    ring.Pop();
  }
  return true;
}

void Recorder::Write() {
  auto lastCheck = std::chrono::steady_clock::now();
  for (;;) {
    const bool last = stopping_.load();
    if (holdWriter_.load() && !last) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
      continue;
    }
    bool ok = Drain(*consumer_.Ring(TapPoint::Output), *outFile_) &&
              (!inFile_ || Drain(*consumer_.Ring(TapPoint::Input), *inFile_));
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
      EnableRings(false, false);
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
  s.dropped = consumer_.Ring(TapPoint::Output)->Dropped() + consumer_.Ring(TapPoint::Input)->Dropped();
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
