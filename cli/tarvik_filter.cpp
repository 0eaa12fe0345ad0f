// tarvik-filter: runs a Tarvik preset or filter definition over a recording,
// with exactly the arithmetic of the live path.

#include <fcntl.h>
#include <limits.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/IniFile.h"
#include "common/MessageBox.h"
#include "common/Pcm16.h"
#include "common/ReplacingFile.h"
#include "common/TextFormat.h"
#include "control/Session.h"
#include "decode/CwDecoder.h"
#include "decode/CwSkimmer.h"
#include "signal/FilterCore.h"
#include "signal/Presets.h"
#include "signal/RateConverter.h"
#include "signal/SampleRate.h"
#include "signal/Settings.h"

namespace {

constexpr int kRate = kSampleRateHz;
constexpr int kBlock = 8192;  // the live path's largest block
// Input rates taken: below 1 kHz nothing of the band survives, and the
// converter's buffers grow with the ratio.
constexpr int kMinInputRate = 1000;
constexpr int kMaxInputRate = 768000;
constexpr int kMaxInputChannels = 1024;
// A declared length beyond this (about 3 years at 96 kHz) is taken as
// unknown: streams declare the largest length their header can hold.
constexpr long long kMaxKnownFrames = 1LL << 43;

const char* const kUsage =
    "usage: tarvik-filter [options] [--] INPUT OUTPUT\n"
    "       tarvik-filter [options] -o DIR [--] INPUT...\n"
    "\n"
    "Filters a recording (any format libsndfile reads; mixed to mono and\n"
    "converted to %d Hz) through a Tarvik preset or filter definition and\n"
    "writes 16-bit mono WAV at %d Hz (RF64 when it passes 4 GiB).\n"
    "\n"
    "  --preset NAME    preset by its button caption (default TH); see --list-presets\n"
    "  --fo HZ          tone frequency of the NS and BP presets, %d..%d (default %d)\n"
    "  --tap N          tap count of the BP and voice presets, even, 2..512 (default 100)\n"
    "  --hpf            put the 80 Hz high-pass in front of the filter\n"
    "  --nr LEVEL       spectral noise reduction after the filter, 1 (mild) to 4\n"
    "  --nb             the noise blanker in front of the filter (clicks, crashes)\n"
    "  --binaural       two channels, the right ear 90 degrees from the left, for\n"
    "                   listening on headphones (5 ms of delay)\n"
    "  --balance B      two channels, the same in both at a balance B, -1 (left)\n"
    "                   to 1 (right)\n"
    "  --notch HZ       a notch at HZ (50..5400) after the filter; up to four\n"
    "  --def FILE       use the filter of a .def file instead of a preset\n"
    "  --settings FILE  take Fo, Tap, HPF, the selected preset and the user\n"
    "                   slots from a Tarvik.ini (options given as well win)\n"
    "  --partial        keep what a damaged or cut input holds instead of failing\n"
    "  --threads N      cores to filter on (default: all; LMS, the blanker and\n"
    "                   notches run on one per file)\n"
    "  -o, --output-dir DIR  write INPUT... into DIR as NAME.wav, files in parallel\n"
    "  --list-presets   list the presets and exit\n"
    "\n"
    "       tarvik-filter --decode [--fo HZ] [--track] [--timestamps] INPUT\n"
    "       tarvik-filter --skim INPUT\n"
    "  --decode         print the Morse (CW) keyed on the tone at Fo as text\n"
    "                   (no output file); speed found by itself, 5 to 60 wpm\n"
    "  --track          with --decode: follow the strongest keyed tone within\n"
    "                   100 Hz of Fo\n"
    "  --timestamps     with --decode: one line per word, with its start (s)\n"
    "  --skim           decode every keyed tone in 200..1500 Hz (up to 16); one\n"
    "                   line per signal: pitch Hz, speed wpm, SNR dB, text\n"
    "  --quiet          no progress and no summary\n"
    "  --help           this text\n"
    "  --version        the version\n";

const char* const kPresetHelp[kPresetCount] = {
    "through: no filtering",
    "comb, 4 periods around Fo",
    "comb, 6 periods around Fo",
    "comb, 8 periods around Fo",
    "comb, 10 periods around Fo",
    "comb, 12 periods around Fo",
    "comb, 16 periods around Fo",
    "band-pass Fo +-250 Hz",
    "band-pass Fo +-200 Hz",
    "band-pass Fo +-150 Hz",
    "band-pass Fo +-100 Hz",
    "band-pass Fo +-50 Hz",
    "band-pass Fo +-35 Hz",
    "user slot 1 (from --settings, else its default design)",
    "user slot 2",
    "user slot 3",
    "user slot 4",
    "user slot 5",
    "user slot 6",
    "voice band-pass 200..2400 Hz",
    "voice band-pass 200..2200 Hz",
    "voice band-pass 200..2000 Hz",
    "voice band-pass 200..1800 Hz",
    "LMS tone peaking",
    "LMS tone peaking, normalised",
    "LMS noise reduction",
    "LMS automatic notch",
    "voice band-pass 200..2700 Hz",
    "voice band-pass 200..2500 Hz",
};

struct Options {
  std::string preset;
  std::string def;
  std::string settings;
  std::string fo;
  std::string tap;
  bool hpf = false;
  bool nb = false;
  bool binaural = false;
  std::string balance;  // "": as the settings say
  int nr = -1;  // -1: as the settings say (off without them)
  std::vector<double> notches;
  bool quiet = false;
  bool partial = false;
  int threads = 0;  // 0: one per core
  std::vector<std::string> inputs;
  std::string output;
  std::string outputDir;  // -o DIR: several inputs, outputs named after them
  bool decode = false;     // print the Morse on the tone at Fo, no output file
  bool timestamps = false;
  bool track = false;
  bool skim = false;  // every keyed tone at once
};

std::string Message(const char* fmt, const std::string& a = std::string(),
                    const std::string& b = std::string()) {
  char text[4096];
  std::snprintf(text, sizeof text, fmt, a.c_str(), b.c_str());
  return text;
}

int Fail(const char* fmt, const std::string& a = std::string(), const std::string& b = std::string()) {
  std::fprintf(stderr, "tarvik-filter: %s\n", Message(fmt, a, b).c_str());
  return 1;
}

int UsageError(const std::string& what) {
  std::fprintf(stderr, "tarvik-filter: %s\n(tarvik-filter --help shows the options)\n", what.c_str());
  return 2;
}

bool WholeNumber(const std::string& text, double& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtod(text.c_str(), &end);
  return !text.empty() && end && *end == '\0' && errno == 0 && std::isfinite(value);
}

struct SndCloser {
  void operator()(SNDFILE* f) const { sf_close(f); }
};
using SndFile = std::unique_ptr<SNDFILE, SndCloser>;

// Reads the input mixed to mono in 16-bit units at its own rate.
class MonoReader {
 public:
  bool Open(const std::string& path, std::string& error) {
    std::memset(&info_, 0, sizeof info_);
    // Our own descriptor, so that a stream can be read on past a placeholder
    // length where libsndfile stops.
    fd_ = path == "-" ? ::dup(0) : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    stream_ = fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode);
    file_.reset(fd_ >= 0 ? sf_open_fd(fd_, SFM_READ, &info_, SF_TRUE) : nullptr);
    if (!file_) {
      error = fd_ < 0 ? std::strerror(errno) : sf_strerror(nullptr);
      // libsndfile closes the descriptor it was given only once it opened.
      if (fd_ >= 0) ::close(fd_);
      fd_ = -1;
      if (stream_) error += " (from a pipe; FLAC and CAF can be read only from a file)";
      return false;
    }
    if (info_.channels < 1 || info_.samplerate < 1) {
      error = "no audio in the file";
      return false;
    }
    // Checked before anything is sized by them.
    if (info_.samplerate < kMinInputRate || info_.samplerate > kMaxInputRate) {
      error = "unsupported sample rate " + std::to_string(info_.samplerate) + " Hz (" +
              std::to_string(kMinInputRate) + " to " + std::to_string(kMaxInputRate) + " Hz are taken)";
      return false;
    }
    if (info_.channels > kMaxInputChannels) {
      error = "too many channels (" + std::to_string(info_.channels) + ")";
      return false;
    }
    buf_.resize(static_cast<std::size_t>(kBlock) * info_.channels);
    read_ = 0;
    if (stream_ && LogHas("pipe seek")) {
      error = "this format cannot be read from a pipe: give it as a file";
      return false;
    }
    headerCut_ = !stream_ && HeaderDeclaresMore();
    // A stream's header declares either its true length or a placeholder
    // (0, or about 2 or 4 GiB and more) written before the length was known.
    const long long bytes = info_.frames * BytesPerFrame();
    placeholder_ = stream_ && (info_.frames <= 0 || bytes >= 0x7F000000LL || info_.frames > kMaxKnownFrames);
    // W64 from a pipe: libsndfile takes the length as unknown though the
    // data chunk declares it (with its 24-byte header, padded to 8 bytes).
    if (placeholder_ && (info_.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_W64) {
      const std::string log = Log();
      const std::size_t at = log.rfind("\ndata : ");
      const long long declared = at == std::string::npos ? 0 : std::strtoll(log.c_str() + at + 8, nullptr, 10);
      if (declared > 31 && declared < 0x7F000000LL) {
        info_.frames = (declared - 24 - 7) / BytesPerFrame();
        placeholder_ = false;
      }
    }
    rawFormat_ = placeholder_ ? RawFormat() : 0;
    return true;
  }
  int Rate() const { return info_.samplerate; }
  // Frames the file declares; -1 when unknown (a stream).
  long long Frames() const {
    return !stream_ && info_.frames > 0 && info_.frames <= kMaxKnownFrames ? info_.frames : -1;
  }
  long long FramesRead() const { return read_; }
  // After the last Read: true when fewer frames came than the file (or a
  // stream's header) declares.
  bool CutShort() const {
    return headerCut_ || (Frames() > 0 && read_ < Frames()) || (stream_ && !placeholder_ && read_ < info_.frames);
  }
  // Returns frames read into out (up to max), 0 at the end, -1 on error.
  int Read(double* out, int max) {
    sf_count_t n = rawOnly_ ? 0 : sf_readf_double(file_.get(), buf_.data(), max);
    if (n < 0) return -1;
    if (n == 0 && rawFormat_ != 0 && sf_error(file_.get()) == SF_ERR_NO_ERROR) {
      rawOnly_ = true;
      n = ReadRaw(max);
      if (n < 0) return -1;
    }
    const int ch = info_.channels;
    for (sf_count_t i = 0; i < n; ++i) {
      double sum = 0.0;
      for (int c = 0; c < ch; ++c) sum += buf_[i * ch + c];
      double x = sum / ch * 32768.0;
      // A broken float file must not poison the filter's state.
      if (!(x == x))
        x = 0.0;
      else if (x > 1e9)
        x = 1e9;
      else if (x < -1e9)
        x = -1e9;
      out[i] = x;
    }
    if (n == 0 && sf_error(file_.get()) != SF_ERR_NO_ERROR) return -1;
    read_ += n;
    return static_cast<int>(n);
  }

 private:
  std::string Log() {
    char log[8192] = {};
    sf_command(file_.get(), SFC_GET_LOG_INFO, log, sizeof log - 1);
    return log;
  }
  bool LogHas(const char* text) { return Log().find(text) != std::string::npos; }

  // A file cut short: libsndfile shortens the length to what is there and
  // says so in its log, in every format alike ("data : N (should be M)",
  // " SSND : ...", "  Data Size : ...", "riff : ..."). M a byte short of N
  // is a missing pad byte, not a cut.
  bool HeaderDeclaresMore() {
    const std::string log = Log();
    for (std::size_t at = 0; (at = log.find("(should be ", at)) != std::string::npos; ++at) {
      const std::size_t colon = log.rfind(':', at), lineStart = log.rfind('\n', at);
      if (colon == std::string::npos || (lineStart != std::string::npos && colon < lineStart)) continue;
      const long long declared = std::strtoll(log.c_str() + colon + 1, nullptr, 10);
      const long long there = std::strtoll(log.c_str() + at + 11, nullptr, 10);
      if (there < declared - 1) return true;
    }
    return false;
  }

  long long BytesPerFrame() const {
    switch (info_.format & SF_FORMAT_SUBMASK) {
      case SF_FORMAT_PCM_S8:
      case SF_FORMAT_PCM_U8: return info_.channels;
      case SF_FORMAT_PCM_16: return 2LL * info_.channels;
      case SF_FORMAT_PCM_24: return 3LL * info_.channels;
      case SF_FORMAT_PCM_32:
      case SF_FORMAT_FLOAT: return 4LL * info_.channels;
      case SF_FORMAT_DOUBLE: return 8LL * info_.channels;
      default: return 1;
    }
  }

  // What the samples after a placeholder length are, for the containers
  // whose sound runs to the end of the stream (0: not read on).
  int RawFormat() const {
    const int major = info_.format & SF_FORMAT_TYPEMASK;
    const bool little = major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX || major == SF_FORMAT_RF64;
    const bool big = major == SF_FORMAT_AIFF || major == SF_FORMAT_AU;
    if (!little && !big) return 0;
    const int sub = info_.format & SF_FORMAT_SUBMASK;
    if (sub != SF_FORMAT_PCM_16 && sub != SF_FORMAT_PCM_24 && sub != SF_FORMAT_PCM_32 && sub != SF_FORMAT_FLOAT)
      return 0;
    return sub | (little ? SF_ENDIAN_LITTLE : SF_ENDIAN_BIG);
  }

  // Reads on from the descriptor where libsndfile stopped at a placeholder
  // length, decoding as libsndfile would (scaled to +-1).
  sf_count_t ReadRaw(int max) {
    const int ch = info_.channels;
    const int width = static_cast<int>(BytesPerFrame()) / ch;
    raw_.resize(static_cast<std::size_t>(max) * ch * width + static_cast<std::size_t>(rawHeld_));
    std::size_t have = static_cast<std::size_t>(rawHeld_);
    const std::size_t want = static_cast<std::size_t>(max) * ch * width;
    while (have < want) {
      const ssize_t got = ::read(fd_, raw_.data() + have, want - have);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return -1;
      if (got == 0) break;
      have += static_cast<std::size_t>(got);
    }
    const sf_count_t frames = static_cast<sf_count_t>(have / (static_cast<std::size_t>(ch) * width));
    const bool little = (rawFormat_ & SF_FORMAT_ENDMASK) == SF_ENDIAN_LITTLE;
    const int sub = rawFormat_ & SF_FORMAT_SUBMASK;
    for (sf_count_t i = 0; i < frames * ch; ++i) {
      const unsigned char* b = reinterpret_cast<const unsigned char*>(raw_.data()) + i * width;
      std::uint32_t u = 0;
      for (int k = 0; k < width; ++k) u |= static_cast<std::uint32_t>(b[little ? k : width - 1 - k]) << (8 * k);
      double v;
      if (sub == SF_FORMAT_FLOAT) {
        float f;
        std::memcpy(&f, &u, sizeof f);
        v = f;
      } else {
        const int shift = 32 - 8 * width;
        v = static_cast<double>(static_cast<std::int32_t>(u << shift)) / 2147483648.0;
      }
      buf_[static_cast<std::size_t>(i)] = v;
    }
    // A part frame waits for the rest.
    const std::size_t used = static_cast<std::size_t>(frames) * ch * width;
    rawHeld_ = static_cast<long>(have - used);
    std::memmove(raw_.data(), raw_.data() + used, static_cast<std::size_t>(rawHeld_));
    return frames;
  }

  long long read_ = 0;
  bool stream_ = false;
  bool headerCut_ = false;
  bool placeholder_ = false;
  int rawFormat_ = 0;
  bool rawOnly_ = false;
  int fd_ = -1;  // closed by libsndfile
  std::vector<char> raw_;
  long rawHeld_ = 0;
  SF_INFO info_{};
  SndFile file_;
  std::vector<double> buf_;
};

// Progress on stderr, at most ten times a second: a bar when the length is
// known, else a spinner with the seconds done.
class Progress {
 public:
  Progress(bool show, long long total) : show_(show), total_(total) {}
  void Update(long long done) {
    if (!show_) return;
    auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    if (total_ <= 0) {
      static const char kSpin[] = "|/-\\";
      std::fprintf(stderr, "\r[%c] %.1f s", kSpin[spin_++ % 4], static_cast<double>(done) / kRate);
      std::fflush(stderr);
      drawn_ = true;
      return;
    }
    const int width = 40;
    double f = static_cast<double>(done) / total_;
    if (f > 1.0) f = 1.0;
    int filled = static_cast<int>(f * width);
    std::fprintf(stderr, "\r[%.*s%*s] %3d%%", filled, "########################################",
                 width - filled, "", static_cast<int>(f * 100.0));
    std::fflush(stderr);
    drawn_ = true;
  }
  void Finish() {
    if (drawn_) std::fprintf(stderr, "\r%*s\r", 48, "");
  }

 private:
  bool show_;
  long long total_;
  bool drawn_ = false;
  unsigned spin_ = 0;
  std::chrono::steady_clock::time_point last_{};
};

// Blocks of input samples handed from the reading thread to the filter, so
// that decoding, rate conversion and filtering overlap.
class BlockQueue {
 public:
  void Push(std::vector<double> block) {
    std::unique_lock<std::mutex> lock(m_);
    space_.wait(lock, [&] { return q_.size() < kDepth || abandoned_; });
    if (abandoned_) return;
    q_.push_back(std::move(block));
    ready_.notify_one();
  }
  // Ends the stream; a non-empty error says why it ended early.
  void Finish(std::string error = std::string()) {
    std::lock_guard<std::mutex> lock(m_);
    finished_ = true;
    error_ = std::move(error);
    ready_.notify_one();
  }
  // The consumer gives up: the producer stops at its next block.
  void Abandon() {
    std::lock_guard<std::mutex> lock(m_);
    abandoned_ = true;
    space_.notify_one();
  }
  bool Abandoned() {
    std::lock_guard<std::mutex> lock(m_);
    return abandoned_;
  }
  // False at the end of the stream.
  bool Pop(std::vector<double>& block) {
    std::unique_lock<std::mutex> lock(m_);
    ready_.wait(lock, [&] { return !q_.empty() || finished_; });
    if (q_.empty()) return false;
    block = std::move(q_.front());
    q_.pop_front();
    space_.notify_one();
    return true;
  }
  std::string Error() {
    std::lock_guard<std::mutex> lock(m_);
    return error_;
  }

 private:
  static constexpr std::size_t kDepth = 8;
  std::mutex m_;
  std::condition_variable ready_, space_;
  std::deque<std::vector<double>> q_;
  bool finished_ = false, abandoned_ = false;
  std::string error_;
};

// Reads, mixes and converts the whole input into the queue.
void Produce(MonoReader& reader, RateConverter* converter, bool partial, BlockQueue& queue) {
  std::vector<double> in(kBlock);
  std::vector<double> out(converter ? static_cast<std::size_t>(converter->MaxOutput()) : 0);
  std::string error;
  bool ended = false;
  while (!ended) {
    if (queue.Abandoned()) return queue.Finish();
    int n = reader.Read(in.data(), kBlock);
    if (n < 0) {
      if (!partial)
        return queue.Finish("the input is damaged after " + std::to_string(reader.FramesRead()) +
                            " frames (--partial keeps what comes before):");
      n = 0;
    }
    if (n == 0 && reader.CutShort() && !partial)
      return queue.Finish("the input ends after " + std::to_string(reader.FramesRead()) +
                          " frames, before the length it declares (--partial keeps them):");
    ended = n == 0;
    if (!converter) {
      if (n > 0) queue.Push(std::vector<double>(in.begin(), in.begin() + n));
      continue;
    }
    const double* next = in.data();
    long left = n;
    long made;
    do {
      long used = 0;
      made = converter->Convert(next, left, ended, out.data(), used, error);
      if (made < 0) return queue.Finish("cannot convert the rate: " + error);
      if (made > 0) queue.Push(std::vector<double>(out.begin(), out.begin() + made));
      next += used;
      left -= used;
    } while (left > 0 || (ended && made > 0));
  }
  queue.Finish();
}

// The temporary output, removed if SIGINT, SIGTERM or SIGHUP ends the run.
// The temporary outputs being written (one per file at work), removed if
// SIGINT, SIGTERM or SIGHUP ends the run. A slot is claimed before its path
// is written and published after, so the handler reads whole paths only.
constexpr int kTempSlots = 256;
char gTempPath[kTempSlots][PATH_MAX + 1];
std::atomic<int> gTempState[kTempSlots];  // 0 free, 1 being written, 2 in use

extern "C" void RemoveTempsAndDie(int sig) {
  for (int i = 0; i < kTempSlots; ++i)
    if (gTempState[i].load() == 2) ::unlink(gTempPath[i]);
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

// Returns the slot to release when the file is done, or -1.
int RemoveOnSignal(const std::string& tempPath) {
  if (tempPath.empty() || tempPath.size() > PATH_MAX) return -1;
  for (int i = 0; i < kTempSlots; ++i) {
    int expected = 0;
    if (!gTempState[i].compare_exchange_strong(expected, 1)) continue;
    std::memcpy(gTempPath[i], tempPath.c_str(), tempPath.size() + 1);
    gTempState[i].store(2);
    static std::once_flag installed;
    std::call_once(installed, [] {
      for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::signal(sig, RemoveTempsAndDie);
    });
    return i;
  }
  return -1;
}

void ReleaseTemp(int slot) {
  if (slot >= 0) gTempState[slot].store(0);
}

// A chain without adaptive stages remembers a finite past: the DC cut's
// 129 samples, the decimator's 49, and 3 x (513 + 17 + 2) through the FIR
// and the interpolator at a third of the rate. A fresh chain fed that much
// of what came before a sample starts from the state one sequential pass
// has there, provided it starts on a group boundary of the rate change. So
// consecutive pieces run on all cores, each after such a warm-up, and give
// every output exactly as one pass does.
constexpr int kWarmup = 4200;    // samples, more than the chain remembers
constexpr int kPiece = 1 << 17;  // about 12 s at 11025 Hz
constexpr int kWarmupAlign = 6;  // groups of 2 and of 3 start together

class PieceFilter {
 public:
  PieceFilter(const FilterDefinition& d, bool dcCut, int threads, BlockQueue& out)
      : def_(d), dcCut_(dcCut), out_(out) {
    for (int t = 0; t < threads; ++t) workers_.emplace_back([this] { Work(); });
  }
  ~PieceFilter() { Finish(); }

  // Input samples in order, in blocks of any size.
  void Add(const std::vector<double>& block) {
    std::size_t at = 0;
    while (at < block.size()) {
      const std::size_t n = std::min(block.size() - at, static_cast<std::size_t>(kPiece) - current_.size());
      current_.insert(current_.end(), block.begin() + static_cast<std::ptrdiff_t>(at),
                      block.begin() + static_cast<std::ptrdiff_t>(at + n));
      at += n;
      if (static_cast<int>(current_.size()) == kPiece) Submit();
    }
  }
  // Filters what is left and hands every output on, in order.
  void Finish() {
    if (finished_) return;
    finished_ = true;
    if (!current_.empty()) Submit();
    {
      std::lock_guard<std::mutex> lock(m_);
      stop_ = true;
      ready_.notify_all();
    }
    for (std::thread& t : workers_) t.join();
    EmitDone(true);
  }

 private:
  struct Piece {
    std::vector<double> warm, data;
    bool done = false;
  };

  void Submit() {
    auto piece = std::make_shared<Piece>();
    // The warm-up starts kWarmup or a few more samples back, on a multiple
    // of kWarmupAlign counted from the first sample, as the phase of one
    // sequential pass does.
    const long long start = consumed_;
    long long from = start - kWarmup;
    if (from < 0) from = 0;
    from -= from % kWarmupAlign;
    piece->warm.assign(tail_.end() - (start - from), tail_.end());
    piece->data = std::move(current_);
    current_.clear();
    current_.reserve(kPiece);
    consumed_ += static_cast<long long>(piece->data.size());
    // Keep the last samples for the next piece's warm-up.
    tail_.insert(tail_.end(), piece->data.begin(), piece->data.end());
    const std::size_t keep = kWarmup + kWarmupAlign;
    if (tail_.size() > keep) tail_.erase(tail_.begin(), tail_.end() - static_cast<std::ptrdiff_t>(keep));
    {
      std::unique_lock<std::mutex> lock(m_);
      order_.push_back(piece);
      todo_.push_back(piece);
      ready_.notify_one();
    }
    // At most two pieces per worker in flight: memory stays bounded.
    EmitDone(false);
  }

  void EmitDone(bool all) {
    for (;;) {
      std::shared_ptr<Piece> front;
      {
        std::unique_lock<std::mutex> lock(m_);
        if (order_.empty()) return;
        const bool mustWait = all || order_.size() > 2 * workers_.size();
        if (!order_.front()->done) {
          if (!mustWait) return;
          finished_one_.wait(lock, [&] { return order_.front()->done; });
        }
        front = order_.front();
        order_.pop_front();
      }
      out_.Push(std::move(front->data));
    }
  }

  void Work() {
    for (;;) {
      std::shared_ptr<Piece> piece;
      {
        std::unique_lock<std::mutex> lock(m_);
        ready_.wait(lock, [&] { return stop_ || !todo_.empty(); });
        if (todo_.empty()) return;
        piece = todo_.front();
        todo_.pop_front();
      }
      // A fresh chain for every piece.
      auto core = std::make_unique<CFilterCore>();
      core->Apply(def_);
      core->dcCut.store(dcCut_ ? 1 : 0);
      for (std::vector<double>* part : {&piece->warm, &piece->data})
        for (std::size_t done = 0; done < part->size(); done += kBlock)
          core->ProcessBlock(part->data() + done,
                             static_cast<int>(std::min<std::size_t>(kBlock, part->size() - done)));
      piece->warm.clear();
      std::lock_guard<std::mutex> lock(m_);
      piece->done = true;
      finished_one_.notify_all();
    }
  }

  const FilterDefinition def_;
  const bool dcCut_;
  BlockQueue& out_;
  std::vector<std::thread> workers_;
  std::vector<double> current_, tail_;
  long long consumed_ = 0;
  bool finished_ = false;
  std::mutex m_;
  std::condition_variable ready_, finished_one_;
  std::deque<std::shared_ptr<Piece>> todo_, order_;
  bool stop_ = false;
};

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool ParseArgs(int argc, char** argv, Options& o, int& exitCode) {
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool hasValue = false;
    if (arg.rfind("--", 0) == 0) {
      std::size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
        hasValue = true;
      }
    }
    auto takeValue = [&](std::string& into) {
      if (!hasValue) {
        if (i + 1 >= argc) {
          exitCode = UsageError(arg + " needs a value");
          return false;
        }
        value = argv[++i];
      }
      into = value;
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      std::printf(kUsage, kRate, kRate, static_cast<int>(kFoMinHz), static_cast<int>(kFoMaxHz),
                  static_cast<int>(kDefaultFoHz));
      exitCode = 0;
      return false;
    } else if (arg == "--version") {
      std::printf("tarvik-filter %s\n", TARVIK_VERSION);
      exitCode = 0;
      return false;
    } else if (arg == "--list-presets") {
      for (int code = 0; code < kPresetCount; ++code)
        std::printf("%-6s  %s\n", PresetCaption(code), kPresetHelp[code]);
      exitCode = 0;
      return false;
    } else if (arg == "--preset") {
      if (!takeValue(o.preset)) return false;
    } else if (arg == "--fo") {
      if (!takeValue(o.fo)) return false;
    } else if (arg == "--tap") {
      if (!takeValue(o.tap)) return false;
    } else if (arg == "--def") {
      if (!takeValue(o.def)) return false;
    } else if (arg == "--settings") {
      if (!takeValue(o.settings)) return false;
    } else if (arg == "--hpf") {
      o.hpf = true;
    } else if (arg == "--nr") {
      std::string level;
      if (!takeValue(level)) return false;
      double v;
      if (!WholeNumber(level, v) || v != std::floor(v) || v < 0 || v > kNrLevels) {
        exitCode = UsageError("--nr must be a level from 0 (off) to 4, not '" + level + "'");
        return false;
      }
      o.nr = static_cast<int>(v);
    } else if (arg == "--nb") {
      o.nb = true;
    } else if (arg == "--binaural") {
      o.binaural = true;
    } else if (arg == "--balance") {
      if (!takeValue(o.balance)) return false;
    } else if (arg == "--notch") {
      std::string hz;
      if (!takeValue(hz)) return false;
      double v;
      if (!WholeNumber(hz, v) || !(v >= kMinNotchHz && v <= kMaxNotchHz)) {
        exitCode = UsageError("--notch must be a number of Hz from 50 to 5400, not '" + hz + "'");
        return false;
      }
      if (o.notches.size() == kMaxNotches) {
        exitCode = UsageError("at most four notches");
        return false;
      }
      o.notches.push_back(v);
    } else if (arg == "--decode") {
      o.decode = true;
    } else if (arg == "--timestamps") {
      o.timestamps = true;
    } else if (arg == "--track") {
      o.track = true;
    } else if (arg == "--skim") {
      o.skim = true;
    } else if (arg == "--quiet" || arg == "-q") {
      o.quiet = true;
    } else if (arg == "--partial") {
      o.partial = true;
    } else if (arg == "-o" || arg == "--output-dir") {
      if (!takeValue(o.outputDir)) return false;
    } else if (arg == "--threads") {
      std::string n;
      if (!takeValue(n)) return false;
      double t;
      if (!WholeNumber(n, t) || t != std::floor(t) || t < 1 || t > 256) {
        exitCode = UsageError("--threads must be a whole number from 1 to 256, not '" + n + "'");
        return false;
      }
      o.threads = static_cast<int>(t);
    } else if (arg == "--") {
      for (++i; i < argc; ++i) positional.push_back(argv[i]);
    } else if (arg.size() > 1 && arg[0] == '-') {
      exitCode = UsageError("unknown option " + arg);
      return false;
    } else {
      positional.push_back(arg);
    }
  }
  if (o.threads == 0) o.threads = std::max(1u, std::thread::hardware_concurrency());
  if ((o.timestamps || o.track) && !o.decode) {
    exitCode = UsageError(std::string(o.track ? "--track" : "--timestamps") + " goes with --decode");
    return false;
  }
  if (o.decode && o.skim) {
    exitCode = UsageError("give either --decode or --skim");
    return false;
  }
  if (o.decode || o.skim) {
    if (positional.size() != 1 || !o.outputDir.empty()) {
      exitCode = UsageError(std::string(o.skim ? "--skim" : "--decode") +
                            " takes one INPUT and writes the text to standard output");
      return false;
    }
    if (!o.preset.empty() || !o.def.empty() || !o.tap.empty() || o.nb || o.nr > 0 || !o.notches.empty() || o.hpf) {
      exitCode = UsageError("the decoder listens to the input as it is; filter options do not apply");
      return false;
    }
    if (o.skim && !o.fo.empty()) {
      exitCode = UsageError("--skim looks at 200..1500 Hz; --fo does not apply");
      return false;
    }
    o.inputs = positional;
    return true;
  }
  if (!o.outputDir.empty()) {
    if (positional.empty()) {
      exitCode = UsageError("give the INPUT files to write into " + o.outputDir);
      return false;
    }
    // Made when missing, one level as mkdir makes it.
    struct stat st;
    if (::stat(o.outputDir.c_str(), &st) != 0 && errno == ENOENT && ::mkdir(o.outputDir.c_str(), 0777) != 0) {
      exitCode = Fail("cannot create the directory %s: %s", o.outputDir, std::strerror(errno));
      return false;
    }
    if (::stat(o.outputDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      exitCode = UsageError(o.outputDir + " is not a directory");
      return false;
    }
    o.inputs = positional;
    return true;
  }
  if (positional.size() != 2) {
    exitCode = UsageError("give one INPUT and one OUTPUT file (or -o DIR and INPUT files)");
    return false;
  }
  o.inputs = {positional[0]};
  o.output = positional[1];
  return true;
}

// Sets up the filter from the options; returns an exit code, 0 when ready.
// What the ears hear, as the live path puts it in force.
struct OutputChoice {
  OutputMode mode = OutputMode::Mono;
  double balance = 0.0;
  int Channels() const { return mode == OutputMode::Mono ? 1 : 2; }
};

int SetUpFilter(const Options& o, FilterDefinition& chosen, bool& dcCut, ChainExtras& extras,
                OutputChoice& output) {
  if (o.binaural && !o.balance.empty()) return UsageError("give either --binaural or --balance, not both");
  if (!o.def.empty() && !o.preset.empty()) return UsageError("give either --preset or --def, not both");
  if (!o.def.empty() && (!o.fo.empty() || !o.tap.empty()))
    return UsageError("--fo and --tap set up presets; they do not apply with --def");

  // The options stand in for the settings file's values they name, then the
  // window's own mapping makes the chain.
  Settings settings;
  static FilterDefinition def;
  static FilterDefinition slots[kUserSlotCount];
  SetDefaultUserDesigns(slots, kDefaultPresetTap);
  if (!o.settings.empty()) {
    if (::access(o.settings.c_str(), R_OK) != 0) return Fail("cannot read settings file %s", o.settings);
    IniFile ini(o.settings);
    if (ini.TooLarge()) return Fail("%s is larger than 1 MB: not a settings file", o.settings);
    ReadSettings(ini, settings, slots);
  }

  if (!o.fo.empty()) {
    double fo;
    if (!WholeNumber(o.fo, fo) || !FoAccepted(fo))
      return UsageError("--fo must be a number of Hz from " + std::to_string(static_cast<int>(kFoMinHz)) +
                        " to " + std::to_string(static_cast<int>(kFoMaxHz)) + ", not '" + o.fo + "'");
    settings.fo = fo;
  }
  if (!o.tap.empty()) {
    double t;
    if (!WholeNumber(o.tap, t) || t != std::floor(t) || !PresetTapAccepted(static_cast<int>(t)))
      return UsageError("--tap must be an even number from 2 to 512, not '" + o.tap + "'");
    settings.presetTap = static_cast<int>(t);
  }
  if (!o.preset.empty()) {
    settings.select = PresetCodeFromName(o.preset);
    if (settings.select < 0)
      return UsageError("unknown preset '" + o.preset + "' (tarvik-filter --list-presets lists them)");
  }
  if (o.hpf) settings.dcCut = 1;
  if (o.nr >= 0) settings.noiseReduction = o.nr;
  if (o.nb) settings.noiseBlanker = 1;
  if (!o.notches.empty()) settings.notches = o.notches;
  if (o.binaural) settings.output = static_cast<int>(OutputMode::Binaural);
  if (!o.balance.empty()) {
    double b;
    if (!WholeNumber(o.balance, b) || !BalanceAccepted(b))
      return UsageError("--balance must be a number from -1 (left) to 1 (right), not '" + o.balance + "'");
    settings.output = static_cast<int>(OutputMode::Pan);
    settings.balance = b;
  }

  if (!o.def.empty()) {
    if (::access(o.def.c_str(), R_OK) != 0) return Fail("cannot read filter definition %s", o.def);
    IniFile ini(o.def);
    if (ini.TooLarge()) return Fail("%s is larger than 1 MB: not a filter definition", o.def);
    if (!ini.Read("UserSetup", "Type"))
      return Fail("%s holds no filter definition (no [UserSetup] Type)", o.def);
    if (!def.ReadIni(ini, -1)) return Fail("%s holds an invalid filter definition", o.def);
  } else {
    InstallSelected(settings, slots, def);
  }
  chosen = def;
  dcCut = settings.dcCut != 0;
  extras = ExtrasFor(settings);
  output.mode = static_cast<OutputMode>(settings.output);
  output.balance = settings.balance;
  return 0;
}

// Replaces what fd holds with the header of a WAV file of no samples.
bool WriteEmptyWav(int fd, int channels) {
  unsigned char h[44] = {'R', 'I', 'F', 'F', 36, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0,
                         1,   0,   1,   0,   0,  0, 0, 0, 0,   0,   0,   0,   2,   0,   16,  0,   'd', 'a', 't', 'a'};
  const unsigned rate = kRate, bytesPerSecond = kRate * 2 * channels;
  h[22] = static_cast<unsigned char>(channels);
  h[32] = static_cast<unsigned char>(2 * channels);
  for (int i = 0; i < 4; ++i) {
    h[24 + i] = static_cast<unsigned char>(rate >> (8 * i));
    h[28 + i] = static_cast<unsigned char>(bytesPerSecond >> (8 * i));
  }
  return ::ftruncate(fd, 0) == 0 && ::pwrite(fd, h, sizeof h, 0) == static_cast<ssize_t>(sizeof h);
}

// What one file's run adds to the totals.
struct FileResult {
  std::string error;  // "" when the file was written
  long long samples = 0, overloads = 0;
  int threads = 1;
};

// Filters input into output; progress (may be null) gets the samples done.
FileResult FilterFile(const Options& o, const FilterDefinition& def, bool dcCut, const ChainExtras& extras,
                      const OutputChoice& ears,
                      const std::string& input,
                      const std::string& output, int cores, std::atomic<long long>* done,
                      std::atomic<long long>* expectedTotal) {
  FileResult result;
  if (SameFile(input, output)) {
    result.error = Message("OUTPUT %s is the INPUT file; choose another name", output);
    return result;
  }
  MonoReader reader;
  std::string error;
  if (!reader.Open(input, error)) {
    result.error = Message("cannot read %s: %s", input, error);
    return result;
  }

  RateConverter converter;
  const bool resample = reader.Rate() != kRate;
  if (resample && !converter.Open(reader.Rate(), kRate, kBlock, RateConverter::Quality::Best, error)) {
    result.error = Message("cannot convert the rate of %s: %s", input, error);
    return result;
  }

  // The output replaces OUTPUT only when complete.
  ReplacingFile outFile;
  if (!outFile.Open(output, error)) {
    result.error = Message("cannot write %s: %s", output, error);
    return result;
  }
  const int tempSlot = RemoveOnSignal(outFile.TempPath());
  // A plain WAV when the output surely stays below 4 GiB; past that WAV's
  // 32-bit sizes would wrap, so a long or unknown length gets RF64 (which
  // falls back to a WAV header if it ends up short after all).
  const double ratio = static_cast<double>(kRate) / reader.Rate();
  const long long expected = reader.Frames() > 0 ? static_cast<long long>(reader.Frames() * ratio) : -1;
  if (expectedTotal) {
    if (expected < 0)
      expectedTotal->store(-1);
    else if (expectedTotal->load() >= 0)
      expectedTotal->fetch_add(expected);
  }
  const int channels = ears.Channels();
  const bool mayPass4GiB = expected < 0 || expected + 1024 > (0xFFFFFFFFLL - 1024) / (2 * channels);
  SF_INFO outInfo{};
  outInfo.samplerate = kRate;
  outInfo.channels = channels;
  outInfo.format = (mayPass4GiB ? SF_FORMAT_RF64 : SF_FORMAT_WAV) | SF_FORMAT_PCM_16;
  SndFile out(sf_open_fd(outFile.Fd(), SFM_WRITE, &outInfo, SF_FALSE));
  auto abandon = [&](const std::string& message) {
    out.reset();
    outFile.Abandon();
    ReleaseTemp(tempSlot);
    result.error = message;
    return result;
  };
  if (!out) return abandon(Message("cannot write %s: %s", output, sf_strerror(nullptr)));
  if (mayPass4GiB) sf_command(out.get(), SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);

  // Three stages on their own threads: read and convert, filter, write.
  BlockQueue toFilter, toWrite;
  std::thread producer(Produce, std::ref(reader), resample ? &converter : nullptr, o.partial,
                       std::ref(toFilter));
  bool writeFailed = false;
  std::thread writer([&] {
    std::vector<double> block;
    std::vector<std::int16_t> pcm;
    while (toWrite.Pop(block)) {
      const int count = static_cast<int>(block.size());
      pcm.resize(block.size());
      SamplesToPcm16(block.data(), pcm.data(), count);
      if (!writeFailed && sf_write_short(out.get(), pcm.data(), count) != count) {
        writeFailed = true;
        toFilter.Abandon();
      }
    }
  });
  // An adaptive chain (LMS, noise reduction, the blanker) depends on all its
  // past, and the notches' recursions on a long one: it runs in one pass.
  result.threads =
      def.IsLms() || extras.nrLevel > 0 || extras.blanker || extras.notchCount > 0 || channels == 2 ? 1 : cores;
  std::unique_ptr<PieceFilter> pieces;
  std::unique_ptr<CFilterCore> filter;
  if (result.threads > 1) {
    pieces = std::make_unique<PieceFilter>(def, dcCut, result.threads, toWrite);
  } else {
    filter = std::make_unique<CFilterCore>();
    filter->Apply(def);
    filter->SetExtras(extras);
    filter->SetOutput(ears.mode, ears.balance);
    filter->dcCut.store(dcCut ? 1 : 0);
  }
  std::vector<double> block;
  while (toFilter.Pop(block)) {
    const int count = static_cast<int>(block.size());
    long long overloads = 0;  // a sum the compiler can vectorise
    for (int i = 0; i < count; ++i) overloads += IsOverload(block[i]) ? 1 : 0;
    result.overloads += overloads;
    result.samples += count;
    if (done) done->fetch_add(count);
    if (pieces) {
      pieces->Add(block);
      continue;
    }
    if (channels == 2) {
      std::vector<double> both(2 * block.size());
      for (int at = 0; at < count; at += kBlock)
        filter->ProcessBlock(block.data() + at, count - at < kBlock ? count - at : kBlock, both.data() + 2 * at);
      toWrite.Push(std::move(both));
      continue;
    }
    for (int at = 0; at < count; at += kBlock)
      filter->ProcessBlock(block.data() + at, count - at < kBlock ? count - at : kBlock);
    toWrite.Push(std::move(block));
  }
  if (pieces) pieces->Finish();
  toWrite.Finish();
  writer.join();
  producer.join();
  if (writeFailed) return abandon(Message("error writing %s", output));
  const std::string readError = toFilter.Error();
  if (!readError.empty()) return abandon(readError + " " + input);

  // Completing the WAV header is the last write: its failure is the file's.
  if (sf_close(out.release()) != 0) return abandon(Message("error writing %s", output));
  // libsndfile leaves an empty RF64 output that fell back to WAV with a
  // RIFF size 8 bytes short: an empty output is a plain 44-byte WAV.
  if (result.samples == 0 && !WriteEmptyWav(outFile.Fd(), channels)) return abandon(Message("error writing %s", output));
  const bool committed = outFile.Commit(error);
  ReleaseTemp(tempSlot);
  if (!committed) result.error = Message("cannot write %s: %s", output, error);
  return result;
}

// OUTPUT in DIR for an INPUT: its name with the extension .wav.
std::string OutputFor(const std::string& dir, const std::string& input) {
  std::string name = input.substr(input.rfind('/') == std::string::npos ? 0 : input.rfind('/') + 1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return (dir.empty() || dir.back() == '/' ? dir : dir + "/") + name + ".wav";
}

int Run(const Options& o) {
  FilterDefinition def;
  bool dcCut = false;
  ChainExtras extras;
  OutputChoice ears;
  if (int rc = SetUpFilter(o, def, dcCut, extras, ears)) return rc;

  std::vector<std::pair<std::string, std::string>> jobs;
  if (o.outputDir.empty()) {
    jobs.emplace_back(o.inputs[0], o.output);
  } else {
    for (const std::string& in : o.inputs) jobs.emplace_back(in, OutputFor(o.outputDir, in));
    for (std::size_t i = 0; i < jobs.size(); ++i)
      for (std::size_t j = i + 1; j < jobs.size(); ++j)
        if (jobs[i].second == jobs[j].second)
          return UsageError(jobs[i].first + " and " + jobs[j].first + " would both write " + jobs[i].second);
  }

  // Files in parallel, one per core; the cores left over split the files'
  // pieces among them.
  const int workers = std::max(1, std::min<int>(o.threads, static_cast<int>(jobs.size())));
  const int coresPerFile = std::max(1, o.threads / workers);
  std::atomic<long long> done{0}, expected{0};
  std::vector<FileResult> results(jobs.size());
  std::atomic<std::size_t> next{0};
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> pool;
  for (int w = 0; w < workers; ++w)
    pool.emplace_back([&] {
      for (std::size_t j; (j = next.fetch_add(1)) < jobs.size();)
        results[j] = FilterFile(o, def, dcCut, extras, ears, jobs[j].first, jobs[j].second, coresPerFile, &done, &expected);
    });
  // The progress line is redrawn ten times a second; the end wakes it at
  // once, so the tool never waits out a tick after the last file.
  std::mutex finishedLock;
  std::condition_variable finishedSignal;
  bool finished = false;
  std::thread progressThread([&] {
    std::unique_ptr<Progress> progress;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(finishedLock);
        if (finishedSignal.wait_for(lock, std::chrono::milliseconds(100), [&] { return finished; })) break;
      }
      const long long total = expected.load();
      if (!progress && !o.quiet && ::isatty(2) &&
          (total < 0 || total > 5LL * kRate ||
           std::chrono::steady_clock::now() - start > std::chrono::seconds(1)))
        progress = std::make_unique<Progress>(true, total);
      if (progress) progress->Update(done.load());
    }
    if (progress) progress->Finish();
  });
  for (std::thread& t : pool) t.join();
  {
    std::lock_guard<std::mutex> lock(finishedLock);
    finished = true;
  }
  finishedSignal.notify_one();
  progressThread.join();

  long long samples = 0, overloads = 0;
  int failed = 0, threads = 0;
  for (std::size_t j = 0; j < jobs.size(); ++j) {
    samples += results[j].samples;
    overloads += results[j].overloads;
    threads = std::max(threads, results[j].threads * workers);
    if (!results[j].error.empty()) {
      ++failed;
      std::fprintf(stderr, "tarvik-filter: %s\n", results[j].error.c_str());
    }
  }
  threads = std::min(threads, o.threads);
  // More threads than the machine has cores share them.
  const int cores = std::min<int>(threads, std::max(1u, std::thread::hardware_concurrency()));
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!o.quiet && failed < static_cast<int>(jobs.size())) {
    std::string files;
    if (jobs.size() > 1) files = std::to_string(jobs.size() - failed) + " files, ";
    std::fprintf(stderr,
                 "tarvik-filter: %s%lld samples, %.1f s of audio in %.2f s on %d core%s%s, %lld input samples "
                 "overloaded\n",
                 files.c_str(), samples, static_cast<double>(samples) / kRate, wall, cores, cores == 1 ? "" : "s",
                 threads > cores ? (" (" + std::to_string(threads) + " threads)").c_str() : "", overloads);
  }
  if (failed > 0 && jobs.size() > 1)
    std::fprintf(stderr, "tarvik-filter: %d of %zu files failed (named above)\n", failed, jobs.size());
  return failed > 0 ? 1 : 0;
}

// Prints the Morse keyed on the tone at Fo, as it is decoded: the text, or
// with --timestamps one line per word with its start in seconds.
int Decode(const Options& o) {
  double foHz = kDefaultFoHz;
  if (!o.fo.empty() && (!WholeNumber(o.fo, foHz) || !FoAccepted(foHz)))
    return UsageError("--fo must be a number of Hz from " + std::to_string(static_cast<int>(kFoMinHz)) + " to " +
                      std::to_string(static_cast<int>(kFoMaxHz)) + ", not '" + o.fo + "'");
  const std::string& input = o.inputs[0];
  MonoReader reader;
  std::string error;
  if (!reader.Open(input, error)) return Fail("cannot read %s: %s", input, error);
  RateConverter converter;
  const bool resample = reader.Rate() != kRate;
  if (resample && !converter.Open(reader.Rate(), kRate, kBlock, RateConverter::Quality::Best, error))
    return Fail("cannot convert the rate of %s: %s", input, error);
  BlockQueue queue;
  std::thread producer([&] { Produce(reader, resample ? &converter : nullptr, o.partial, queue); });

  CwTracker tracker;  // as the live decoder runs it (control/CwDecodeTap.cpp)
  tracker.SetFo(foHz);
  tracker.SetTrack(o.track);
  CwDecoder& decoder = tracker.Decoder();
  CwSkimmer skimmer;
  auto process = [&](const double* x, int n) {
    if (o.skim)
      skimmer.Process(x, n);
    else
      tracker.Process(x, n);
  };
  std::string word;
  std::int64_t wordStart = 0;
  bool space = false;  // a word space waits for the next word
  auto drain = [&] {
    CwSymbol s;
    while (decoder.Pop(s)) {
      if (!o.timestamps) {
        if (s.text[0] == ' ') {
          space = true;
          continue;
        }
        if (space) std::fputs(" ", stdout);
        space = false;
        std::fputs(s.text, stdout);
        continue;
      }
      if (s.text[0] == ' ') {
        if (!word.empty()) std::printf("%10.2f %s\n", static_cast<double>(wordStart) / kRate, word.c_str());
        word.clear();
        continue;
      }
      if (word.empty()) wordStart = s.startSample;
      word += s.text;
    }
    std::fflush(stdout);
  };
  std::vector<double> block;
  while (queue.Pop(block)) {
    process(block.data(), static_cast<int>(block.size()));
    drain();
  }
  producer.join();
  // Silence after the end lets the last character and word close.
  const std::vector<double> silence(kRate / 4, 0.0);
  process(silence.data(), static_cast<int>(silence.size()));
  if (o.skim)
    skimmer.Flush();
  else
    decoder.Flush();
  drain();
  if (o.skim) {
    for (const CwSignal& sig : skimmer.Signals())
      if (!sig.text.empty())
        std::printf("%7.1f Hz %5.1f wpm %6.1f dB  %s\n", sig.pitchHz, sig.wpm, sig.snrDb, sig.text.c_str());
    const std::string failure = queue.Error();
    if (!failure.empty()) return Fail("%s %s", failure, input);
    return 0;
  }
  if (o.timestamps && !word.empty()) std::printf("%10.2f %s\n", static_cast<double>(wordStart) / kRate, word.c_str());
  if (!o.timestamps) std::fputs("\n", stdout);
  std::fflush(stdout);
  const std::string failure = queue.Error();
  if (!failure.empty()) return Fail("%s %s", failure, input);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  int exitCode = 0;
  if (!ParseArgs(argc, argv, o, exitCode)) return exitCode;
  if (o.decode || o.skim) return Decode(o);
  return Run(o);
}
