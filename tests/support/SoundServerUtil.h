#pragma once
// Helpers for tests against the private PulseAudio server that
// tools/pulse-server.sh starts: tarvik_in (played into: Tarvik's capture)
// and tarvik_out (Tarvik's playback, recorded from its monitor).

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/TestUtil.h"

extern char** environ;

namespace soundtest {

constexpr double kLevel = 8000.0;

inline bool ServerReachable() { return std::system("pactl info >/dev/null 2>&1") == 0; }

#define REQUIRE_SOUND_SERVER()                                                                 \
  do {                                                                                         \
    if (!std::getenv("TARVIK_SOUND_SERVER")) {                                                 \
      if (std::getenv("CI")) FAIL() << "CI runs these tests with a private PulseAudio server"; \
      GTEST_SKIP() << "no private sound server (run through tools/build.sh test)";             \
    }                                                                                          \
    ASSERT_TRUE(ServerReachable()) << "the private PulseAudio server does not answer";         \
  } while (0)

// A child process running a shell command line.
class Process {
 public:
  explicit Process(const std::string& command) {
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    if (posix_spawn(&pid_, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = -1;
  }
  ~Process() { Stop(); }
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

// The machine's own stops, seen from a thread at the highest real-time
// priority that sleeps 1 ms at a time. A virtual machine whose host is
// busy elsewhere stops everything in it, the sound server included: in
// calm hours that thread woke at most 5 to 8 ms late a few times a test;
// in stormy ones more than 5 ms late 35 to 190 times a minute and more
// than 10 ms late 11 to 38 times, when a minute at 64 frames lost 3 to 23
// blocks with Tarvik's threads idle. A real-time figure measured then says
// nothing about Tarvik: a test prints it and is not judged (Stormy). In a
// calmer run a block lost in a stop of more than 10 ms (more than half of
// what three 64-frame blocks bridge) is the machine's (Count).
class MachineStops {
 public:
  MachineStops() : start_(std::chrono::steady_clock::now()) {
    thread_ = std::thread([this] {
      sched_param p{};
      p.sched_priority = sched_get_priority_max(SCHED_FIFO);
      realtime_ = pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0;
      auto last = std::chrono::steady_clock::now();
      while (run_.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const auto now = std::chrono::steady_clock::now();
        const double late = std::chrono::duration<double, std::milli>(now - last).count() - 1.0;
        last = now;
        if (late > kLongMs) stops_.fetch_add(1);
        if (late > kShortMs) shortStops_.fetch_add(1);
        if (late > worst_.load()) worst_.store(late);
      }
    });
  }
  ~MachineStops() {
    run_.store(false);
    thread_.join();
  }
  // Stops of more than 10 ms so far, less `own` the test made itself.
  int Count(int own = 0) const { return std::max(0, stops_.load() - own); }
  // Stops of more than 5 ms so far: at 64 frames (5.8 ms a block) each can
  // leave a backlog that is cut, and a cut counts as a lost block.
  int ShortCount() const { return shortStops_.load(); }
  double WorstMs() const { return worst_.load(); }
  // More than 10 stops of more than 5 ms a minute (and more than two), or
  // more than 4 of more than 10 ms.
  bool Stormy(int own = 0) const {
    const double minutes =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count() / 60.0;
    return std::max(0, shortStops_.load() - own) > std::max(2.0, 10.0 * minutes) ||
           Count(own) > std::max(1.0, 4.0 * minutes);
  }
  std::string Describe(int own = 0) const {
    char text[200];
    std::snprintf(
        text, sizeof text,
        "the machine stopped %d times for more than %.0f ms, %d for more than %.0f ms (at most %.1f ms)%s",
        std::max(0, shortStops_.load() - own), kShortMs, Count(own), kLongMs, WorstMs(),
        realtime_.load() ? "" : ", watched without real-time priority");
    return text;
  }

 private:
  static constexpr double kShortMs = 5.0;
  static constexpr double kLongMs = 10.0;
  const std::chrono::steady_clock::time_point start_;
  std::atomic<bool> run_{true};
  std::atomic<bool> realtime_{false};
  std::atomic<int> stops_{0};
  std::atomic<int> shortStops_{0};
  std::atomic<double> worst_{0.0};
  std::thread thread_;
};

inline void WriteRaw(const std::string& path, const std::vector<double>& x) {
  std::vector<std::int16_t> pcm(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) pcm[i] = static_cast<std::int16_t>(x[i]);
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(pcm.data()), static_cast<std::streamsize>(pcm.size() * 2));
}

inline std::vector<double> ReadRaw(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::vector<double> x(bytes.size() / 2);
  for (std::size_t i = 0; i < x.size(); ++i) {
    std::int16_t s;
    std::memcpy(&s, bytes.data() + 2 * i, 2);
    x[i] = s;
  }
  return x;
}

inline std::vector<double> Tones(double seconds, bool both) {
  const int n = static_cast<int>(seconds * 11025);
  std::vector<double> x(n);
  for (int i = 0; i < n; ++i) {
    const double t = i / 11025.0;
    x[i] = kLevel * std::sin(testutil::kTwoPi * 700.0 * t);
    if (both) x[i] += kLevel * std::sin(testutil::kTwoPi * 1500.0 * t);
  }
  return x;
}

inline std::string Player(const std::string& raw, const std::string& sink = "tarvik_in", int rate = 11025) {
  return "exec pacat --playback -d " + sink + " --rate=" + std::to_string(rate) +
         " --channels=1 --format=s16le --latency-msec=60 '" + raw + "' 2>/dev/null";
}

inline std::string Recorder(const std::string& raw, const std::string& sink = "tarvik_out") {
  return "exec parec -d " + sink + ".monitor --rate=11025 --channels=1 --format=s16le --latency-msec=20 > '" + raw +
         "' 2>/dev/null";
}

// A tone at `rate` Hz of `hz`, `seconds` long.
inline std::vector<double> Tone(double seconds, double hz, int rate = 11025, double level = kLevel) {
  std::vector<double> x(static_cast<std::size_t>(seconds * rate));
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = level * std::sin(testutil::kTwoPi * hz * i / rate);
  return x;
}

inline void Sleep(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

inline std::vector<double> Slice(const std::vector<double>& x, double fromS, double toS) {
  const std::size_t a = static_cast<std::size_t>(fromS * 11025), b = static_cast<std::size_t>(toS * 11025);
  if (b > x.size() || a >= b) return {};
  return std::vector<double>(x.begin() + a, x.begin() + b);
}

// A tone through a sound server may come out up to 0.3 % off its frequency
// (playback follows the capture clock): the strongest of seven probes
// across that span.
inline double ToneAmplitudeNear(const std::vector<double>& w, double hz) {
  double amplitude = 0.0;
  for (int k = -3; k <= 3; ++k) amplitude = std::max(amplitude, testutil::ToneAmplitude(w, 0, hz * (1.0 + 0.001 * k)));
  return amplitude;
}

// The half second, among the last two before `end` seconds, where the tone
// is strongest: a scheduling stall of the server or of a sanitized build
// (no loss counted, a moment of silence recorded) must not read as a
// filter that lost its level.
inline std::vector<double> SteadiestHalfSecond(const std::vector<double>& x, double end, double hz) {
  std::vector<double> best;
  double bestLevel = -1.0;
  for (double from = end - 2.0; from + 0.5 <= end + 1e-9; from += 0.25) {
    std::vector<double> w = Slice(x, from, from + 0.5);
    const double level = w.empty() ? -1.0 : ToneAmplitudeNear(w, hz);
    if (level > bestLevel) {
      bestLevel = level;
      best = std::move(w);
    }
  }
  return best;
}

}  // namespace soundtest
