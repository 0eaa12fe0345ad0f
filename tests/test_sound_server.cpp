// The engine against a real sound server: a private PulseAudio daemon that
// tools/pulse-server.sh starts with two null sinks. Tarvik captures the
// monitor of tarvik_in (where the test plays) and plays into tarvik_out
// (whose monitor the test records). In CI a missing server is a failure.

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audio/CFilter.h"
#include "devices/RealtimeThread.h"
#include "devices/SoundDriver.h"
#include "signal/Presets.h"
#include "support/CFilterProbe.h"
#include "support/EngineTestUtil.h"
#include "support/SoundServerUtil.h"
#include "support/TestUtil.h"

namespace {

using testutil::Db;
using testutil::TempDir;
using testutil::ToneAmplitude;
using testutil::WaitFor;
using namespace soundtest;

// Regression: libpulse's thread was asked for its real-time priority after
// it had started, from another thread without the loop's lock; once (under
// AddressSanitizer) the loop ran the request before it was fully queued and
// libpulse aborted the process. Queued before the start, the request's
// record is freed only once it has run: made and dropped in quick
// succession, the driver neither aborts nor leaks (the sanitizer runs).
TEST(SoundServer, DriverMadeAndDroppedAgainAndAgain) {
  REQUIRE_SOUND_SERVER();
  for (int i = 0; i < 200; ++i) {
    SoundDriver driver;
    ASSERT_TRUE(driver.Usable()) << "round " << i;
  }
}

// Regression: a server request that found the playback queue empty was
// answered with silence and reported as running dry, though the server
// still held sound: a loop a millisecond or two late cost a lost block
// (both devices reopened) and a gap. Here one block is queued at a time,
// each 2 ms after the last came back, with the server still playing the
// one before: nothing may be reported dry.
TEST(SoundServer, PlaybackLateByLessThanABlockIsNotDry) {
  REQUIRE_SOUND_SERVER();
  constexpr int kFrames = 64;
  struct Counts {
    std::mutex m;
    std::condition_variable cv;
    int done = 0;
    int starved = 0;
  } counts;
  auto callback = [](WaveDevice*, unsigned message, void* instance, std::uintptr_t, std::uintptr_t) {
    auto* c = static_cast<Counts*>(instance);
    std::lock_guard<std::mutex> lock(c->m);
    if (message == kWomDone) ++c->done;
    if (message == kWomStarved) ++c->starved;
    c->cv.notify_all();
  };
  std::vector<char> pcm(2 * kFrames);
  for (int i = 0; i < kFrames; ++i) {
    const auto s = static_cast<std::int16_t>(kLevel * std::sin(2.0 * M_PI * 700.0 * i / kSampleRateHz));
    std::memcpy(&pcm[2 * static_cast<std::size_t>(i)], &s, 2);
  }
  WaveHeader header;  // outlives the device, which may still hold it
  header.data = pcm.data();
  header.bufferLength = static_cast<int>(pcm.size());
  SoundDriver driver;
  std::unique_ptr<WaveOut> out;
  DeviceRequest request;
  request.blockFrames = kFrames;
  ASSERT_EQ(driver.OpenOutput(request, WaveFormat{}, callback, &counts, out), 0);
  out->Prepare(&header);
  out->Pause();
  out->Write(&header);
  out->Restart();
  int expected = 0;
  for (int round = 0; round < 400; ++round) {
    {
      std::unique_lock<std::mutex> lock(counts.m);
      ++expected;
      ASSERT_TRUE(counts.cv.wait_for(lock, std::chrono::seconds(2), [&] { return counts.done >= expected; }))
          << "round " << round;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    out->Write(&header);
  }
  out->Reset();
  out->Close();
  std::printf("%d blocks, %d reported dry\n", expected, counts.starved);
  // Answered with silence, nearly every block was reported dry; a busy
  // machine may really run dry now and then (17 of 400 with four busy
  // loops per core).
  EXPECT_LE(counts.starved, 100);
}

// Regression: a server that stalls hands over the blocks it held all at
// once; at 64 frames four of them filled the capture ring, an overrun (a
// lost block and both devices reopened) though the reader kept up. What
// the ring cannot take now waits with the server. Here the reader is late
// by 28 ms (five blocks) every 50 blocks: nothing may be lost (all 20 were
// overruns before).
TEST(SoundServer, CaptureLateByFiveBlocksLosesNothing) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "real time is not promised under the sanitizers";
#endif
  REQUIRE_SOUND_SERVER();
  constexpr int kFrames = 64;
  SoundDriver driver;
  CWave wave(driver);
  ASSERT_EQ(wave.OpenInput(WaveFormat{}, kFrames), 0);
  double block[kFrames];
  int overruns = 0;
  MachineStops stops;
  for (int i = 0; i < 1000; ++i) {
    if (i % 50 == 49) std::this_thread::sleep_for(std::chrono::milliseconds(28));
    if (wave.ReadInput(block, kFrames) < 0) {
      ++overruns;
      ASSERT_EQ(wave.OpenInput(WaveFormat{}, kFrames), 0);
    }
  }
  wave.CloseInput();
  std::printf("%d overruns of 20 late reads; %s\n", overruns, stops.Describe().c_str());
  // A stop of the machine on top of a late read is more than the ring
  // bridges (failed so once in CI, one overrun in a stormy hour).
  if (stops.Stormy()) GTEST_SKIP() << "not judged: the machine itself stopped too often";
  EXPECT_LE(overruns, stops.Count()) << "of 20 late reads";
}

TEST(SoundServer, Bp300PassesTheToneAndRejectsTheOther) {
  REQUIRE_SOUND_SERVER();
  TempDir dir;
  WriteRaw(dir.File("in.raw"), Tones(10.0, true));
  SoundDriver driver;
  ASSERT_TRUE(driver.Usable());
  auto filter = std::make_unique<CFilter>(driver, nullptr);
  testutil::InstallLive(*filter, 9, 700.0, 100);  // BP300
  filter->Resume();
  ASSERT_TRUE(WaitFor([&] { return filter->Running(); }, 10000))
      << "the loop did not start; device error " << CFilterProbe(*filter).Wave().LastError();

  MachineStops stops;
  Process recorder(soundtest::Recorder(dir.File("out.raw")));
  Process player(Player(dir.File("in.raw")));
  Sleep(1.0);
  const int lostAfterOneSecond = filter->LostCount();
  Sleep(5.0);
  const int lostAtEnd = filter->LostCount();
  recorder.Stop();
  player.Stop();
  filter->Stop();
  filter.reset();
  std::printf("losses in the first second %d, after it %d; %s\n", lostAfterOneSecond,
              lostAtEnd - lostAfterOneSecond, stops.Describe().c_str());

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Real time is not promised under the sanitizers' several-fold slowdown.
  // On a shared two-core runner one scheduling stall of more than four
  // blocks (186 ms) now and then is the machine, not the loop; a fault in
  // the rings or a clock mismatch loses again and again.
  EXPECT_LE(lostAtEnd - lostAfterOneSecond, 2 + stops.Count()) << "losses after the first second";
#else
  (void)lostAtEnd;
  (void)lostAfterOneSecond;
#endif
  // The steadiest half second of the last two before the recorder stopped.
  const std::vector<double> all = ReadRaw(dir.File("out.raw"));
  const double seconds = all.size() / 11025.0;
  ASSERT_GE(seconds, 2.5) << "recorded only " << seconds << " s";
  const std::vector<double> rec = SteadiestHalfSecond(all, seconds - 0.25, 700.0);
  const double a700 = ToneAmplitudeNear(rec, 700.0), a1500 = ToneAmplitudeNear(rec, 1500.0);
  EXPECT_NEAR(Db(a700 / kLevel), 0.0, 3.0) << "700 Hz passes";
  EXPECT_LT(Db(a1500 / a700), -40.0) << "1500 Hz is rejected";
}

// Binaural listening through the server: the sink gets two channels, the
// ears at one level and in quadrature (their product averages to nothing).
TEST(SoundServer, BinauralPlaysTwoEarsInQuadrature) {
  REQUIRE_SOUND_SERVER();
  TempDir dir;
  WriteRaw(dir.File("in.raw"), Tone(8.0, 700.0));
  SoundDriver driver;
  ASSERT_TRUE(driver.Usable());
  auto filter = std::make_unique<CFilter>(driver, nullptr);
  testutil::InstallLive(*filter, 9, 700.0, 100);  // BP300
  filter->SetOutput(OutputMode::Binaural, 0.0);
  filter->Resume();
  ASSERT_TRUE(WaitFor([&] { return filter->Running(); }, 10000));
  Process recorder("exec parec -d tarvik_out.monitor --rate=11025 --channels=2 --format=s16le --latency-msec=20 > '" +
                   dir.File("out.raw") + "' 2>/dev/null");
  Process player(Player(dir.File("in.raw")));
  Sleep(5.0);
  recorder.Stop();
  player.Stop();
  EXPECT_EQ(filter->Devices().outputChannels, 2);
  EXPECT_FALSE(filter->Devices().stereoRefused);
  filter->Stop();
  filter.reset();
  const std::vector<double> all = ReadRaw(dir.File("out.raw"));
  ASSERT_GE(all.size(), 2u * 3 * 11025) << "recorded too little";
  // Two seconds from the middle, split into the ears.
  std::vector<double> left, right;
  for (std::size_t i = 2 * 11025 * 2; i + 1 < 2 * 11025 * 4 && i + 1 < all.size(); i += 2) {
    left.push_back(all[i]);
    right.push_back(all[i + 1]);
  }
  double ll = 0.0, rr = 0.0, lr = 0.0;
  for (std::size_t i = 0; i < left.size(); ++i) {
    ll += left[i] * left[i];
    rr += right[i] * right[i];
    lr += left[i] * right[i];
  }
  ASSERT_GT(ll, 0.0) << "silence";
  EXPECT_NEAR(Db(std::sqrt(rr / ll)), 0.0, 0.5) << "both ears at one level";
  EXPECT_LT(std::fabs(lr / std::sqrt(ll * rr)), 0.1) << "90 degrees apart";
  // A stall of the server or the machine leaves a moment of silence in both
  // ears alike (the checks above hold through it): the level is read in the
  // steadiest half second of the recording's last two.
  std::vector<double> wholeLeft;
  for (std::size_t i = 0; i < all.size(); i += 2) wholeLeft.push_back(all[i]);
  const double seconds = wholeLeft.size() / 11025.0;
  const std::vector<double> steady = SteadiestHalfSecond(wholeLeft, seconds - 0.25, 700.0);
  std::printf("binaural: the tone at %.2f dB over two seconds, %.2f dB in the steadiest half second\n",
              Db(ToneAmplitudeNear(left, 700.0) / kLevel), Db(ToneAmplitudeNear(steady, 700.0) / kLevel));
  EXPECT_NEAR(Db(ToneAmplitudeNear(steady, 700.0) / kLevel), 0.0, 3.0) << "the tone passes";
}

TEST(SoundServer, LoopRecoversWhenTheServerRestarts) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // PortAudio 19.6's ALSA host loops forever inside its capture thread when
  // the server vanishes under a stream; only cancelling that thread (which
  // Pa_AbortStream does) ends it, and the sanitizers' stdio interceptors
  // are no cancellation points, so the abort never returns here.
  GTEST_SKIP() << "not under the sanitizers (PortAudio's capture thread cannot be cancelled there)";
#endif
  REQUIRE_SOUND_SERVER();
  const char* top = TARVIK_SOURCE_DIR;
  TempDir dir;
  WriteRaw(dir.File("in.raw"), Tones(30.0, false));
  SoundDriver driver;
  ASSERT_TRUE(driver.Usable());
  auto filter = std::make_unique<CFilter>(driver, nullptr);
  filter->Resume();
  ASSERT_TRUE(WaitFor([&] { return filter->Running(); }, 10000));
  {
    Process player(Player(dir.File("in.raw")));
    Sleep(1.5);
    ASSERT_EQ(std::system((std::string("bash '") + top + "/tools/pulse-server.sh' restart").c_str()), 0);
  }
  ASSERT_TRUE(WaitFor([&] { return filter->LostCount() > 0; }, 15000)) << "the failure was noticed";

  // Once the loop has its devices back, it plays again.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  bool playing = false;
  double a700 = 0.0;
  while (!playing && std::chrono::steady_clock::now() < deadline) {
    const std::string out = dir.File("out.raw");
    Process recorder(soundtest::Recorder(out));
    Process player(Player(dir.File("in.raw")));
    Sleep(3.0);
    recorder.Stop();
    const std::vector<double> rec = ReadRaw(out);
    if (rec.size() > 11025) {
      a700 = ToneAmplitudeNear(Slice(rec, rec.size() / 11025.0 - 1.0, rec.size() / 11025.0), 700.0);
      playing = Db(a700 / kLevel) > -3.0;
    }
  }
  filter->Stop();
  filter.reset();
  EXPECT_TRUE(playing) << "last 700 Hz level " << Db(a700 / kLevel) << " dB";
}

// Regression: after a server restart recovery usually took 1.9 s but now
// and then 8 or 27 s, the loop waiting inside device calls that wait on the
// server without limit, and draining an output whose server was gone. Each
// restart here must have sound flowing again within 3 s of the server
// answering.
TEST(SoundServer, SoundReturnsWithinSecondsOfEachRestart) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "not under the sanitizers (PortAudio's capture thread cannot be cancelled there)";
#endif
  REQUIRE_SOUND_SERVER();
  const std::string script = std::string("bash '") + TARVIK_SOURCE_DIR + "/tools/pulse-server.sh' ";
  SoundDriver driver;
  ASSERT_TRUE(driver.Usable());
  auto filter = std::make_unique<CFilter>(driver, nullptr);
  filter->Resume();
  ASSERT_TRUE(WaitFor([&] { return filter->Running(); }, 10000));
  ASSERT_TRUE(WaitFor([&] { return filter->BlocksPlayed() > 10; }, 5000)) << "plays";
  // Six in CI; TARVIK_SOUND_RESTARTS asks for more (the note's 20).
  const char* asked = std::getenv("TARVIK_SOUND_RESTARTS");
  const int kRestarts = asked ? std::max(1, std::atoi(asked)) : 6;
  double worst = 0.0;
  for (int k = 0; k < kRestarts; ++k) {
    ASSERT_EQ(std::system((script + "stop").c_str()), 0);
    Sleep(0.3 + 0.2 * (k % 3));  // the loop meets the gap at different points
    ASSERT_EQ(std::system((script + "start").c_str()), 0);
    const auto up = std::chrono::steady_clock::now();
    const long before = filter->BlocksPlayed();
    const bool back = WaitFor([&] { return filter->BlocksPlayed() >= before + 10; }, 10000);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - up).count();
    worst = std::max(worst, s);
    std::printf("restart %d: sound back %.2f s after the server answered\n", k + 1, s);
    EXPECT_TRUE(back) << "restart " << k + 1;
    EXPECT_LE(s, 3.0) << "restart " << k + 1;
  }
  std::printf("worst of %d restarts: %.2f s\n", kRestarts, worst);
  EXPECT_GT(filter->LostCount(), 0) << "the gaps were counted";
  filter->Stop();
}

// Regression: with the devices chosen by name on two null sinks and no
// clock on either (a "virtual cable" set-up), the output's monitor recorded
// at the default latency and the receiver playing at it too, 5 of 16
// server restarts left Tarvik reopening both devices every 2 s for minutes,
// silent: such a sink renders up to 2 s ahead, and the first block after a
// reopen waited past a fixed device time-out. Every restart must have
// sound flowing again within 3 s of the server answering, and staying.
TEST(SoundServer, SoundReturnsAfterRestartsOnSinksWithoutAClock) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "not under the sanitizers (PortAudio's capture thread cannot be cancelled there)";
#endif
  REQUIRE_SOUND_SERVER();
  const std::string script = std::string("bash '") + TARVIK_SOURCE_DIR + "/tools/pulse-server.sh' ";
  struct ClocksBack {
    std::string script;
    ~ClocksBack() {
      unsetenv("TARVIK_PULSE_CLOCKS");
      std::system((script + "restart").c_str());
    }
  } clocksBack{script};
  setenv("TARVIK_PULSE_CLOCKS", "tarvik_rig tarvik_phones_card", 1);
  ASSERT_EQ(std::system((script + "restart").c_str()), 0);
  TempDir dir;
  WriteRaw(dir.File("in.raw"), Tones(5.0, false));
  // Clients at the server's default latency, started anew after each
  // restart (they end with the server).
  auto clients = [&] {
    return std::make_unique<Process>(
        "exec parec -d tarvik_out.monitor --rate=11025 --channels=1 --format=s16le >/dev/null 2>&1 & "
        "while pacat --playback -d tarvik_in --rate=11025 --channels=1 --format=s16le '" +
        dir.File("in.raw") + "' 2>/dev/null; do :; done");
  };
  SoundDriver driver;
  ASSERT_TRUE(driver.Usable());
  auto filter = std::make_unique<CFilter>(driver, nullptr);
  filter->SetDevices("pulse:tarvik_in.monitor", "pulse:tarvik_out", 0);
  filter->SetBufferSize(512);  // where the loop was seen
  auto running = clients();
  filter->Resume();
  ASSERT_TRUE(WaitFor([&] { return filter->Running(); }, 10000));
  ASSERT_TRUE(WaitFor([&] { return filter->BlocksPlayed() > 10; }, 5000)) << "plays";
  const char* asked = std::getenv("TARVIK_SOUND_RESTARTS");
  const int kRestarts = asked ? std::max(1, std::atoi(asked)) : 20;
  double worst = 0.0;
  int failed = 0;
  for (int k = 0; k < kRestarts; ++k) {
    running.reset();
    ASSERT_EQ(std::system((script + "stop").c_str()), 0);
    Sleep(0.3 + 0.2 * (k % 3));
    ASSERT_EQ(std::system((script + "start").c_str()), 0);
    const auto up = std::chrono::steady_clock::now();
    if (k % 2) Sleep(0.7);  // the clients come back before Tarvik, or after
    running = clients();
    // Back: from the first moment after which a whole second plays at
    // least half its blocks and loses none.
    const double blocksPerSecond = 11025.0 / filter->BufferSize();
    struct Point {
      double t;
      long played, lost;
    };
    std::vector<Point> points;
    double s = -1.0;
    while (s < 0.0 && (points.empty() || points.back().t < 12.0)) {
      points.push_back({std::chrono::duration<double>(std::chrono::steady_clock::now() - up).count(),
                        filter->BlocksPlayed(), filter->LostTotal()});
      for (const Point& p : points)
        if (points.back().t - p.t >= 1.0 && points.back().lost == p.lost &&
            points.back().played - p.played >= blocksPerSecond / 2) {
          s = p.t;
          break;
        }
      Sleep(0.05);
    }
    worst = std::max(worst, s < 0.0 ? 99.0 : s);
    std::printf("restart %d: sound back %.2f s after the server answered\n", k + 1, s);
    if (s < 0.0 || s > 3.0) ++failed;
  }
  std::printf("worst of %d restarts: %.2f s\n", kRestarts, worst);
  EXPECT_EQ(failed, 0) << "restarts not back within 3 s";
  filter->Stop();
}

// The modules of a stereo null sink whose left channel is one device and
// right channel another, unloaded however the test ends.
class MeasuringSink {
 public:
  MeasuringSink() {
    Load("module-null-sink sink_name=tarvik_meas rate=44100 channels=2 channel_map=front-left,front-right");
    for (const char* side : {"left", "right"})
      Load(std::string("module-remap-sink sink_name=tarvik_meas_") + side[0] +
           " master=tarvik_meas channels=1 channel_map=mono remix=no master_channel_map=front-" + side);
    Load(
        "module-remap-source source_name=tarvik_meas_in master=tarvik_meas.monitor channels=1 "
        "channel_map=mono remix=no master_channel_map=front-left");
  }
  ~MeasuringSink() {
    for (auto it = modules_.rbegin(); it != modules_.rend(); ++it)
      std::system(("pactl unload-module " + *it + " >/dev/null 2>&1").c_str());
  }
  bool Loaded() const { return modules_.size() == 4; }

 private:
  void Load(const std::string& args) {
    FILE* p = popen(("pactl load-module " + args + " 2>/dev/null").c_str(), "r");
    if (!p) return;
    char id[32] = {};
    if (std::fgets(id, sizeof id, p) && std::atoi(id) > 0) modules_.push_back(std::to_string(std::atoi(id)));
    pclose(p);
  }
  std::vector<std::string> modules_;
};

// Onsets (ms): the first loud sample after 10 ms of quiet.
std::vector<double> Onsets(const std::vector<double>& x) {
  std::vector<double> onsets;
  long last = -100000;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (std::fabs(x[i]) < 3000.0) continue;
    if (static_cast<long>(i) - last > 110) onsets.push_back(static_cast<double>(i) * 1000.0 / 11025.0);
    last = static_cast<long>(i);
  }
  return onsets;
}

// Sound in to sound out through the real server, on one clock: a stereo
// sink whose left channel Tarvik captures (and the bursts are played into)
// and whose right channel Tarvik plays into, so one recording of it holds
// each burst and, a delay later, Tarvik's copy, in the same mix. (Bursts
// sent to two sinks through a combined sink were measured against each
// other only as well as that sink kept its two outputs together, and it
// lost bursts under load.) The delay shown is printed beside the measured
// one. Guards against a change that adds device-side buffering (the buffer
// protocol itself is three blocks).
TEST(SoundServer, DelayFromInputToOutput) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "real time is not promised under the sanitizers";
#endif
  REQUIRE_SOUND_SERVER();
  struct Case {
    int block;
    double maxMs;  // today about 23 and 147 (targets 25 and 150); the bound leaves room for a busy runner
  } cases[] = {{64, 30.0}, {512, 165.0}};
  TempDir dir;
  // A 5 ms burst every 0.5 s, at the server's rate.
  std::vector<double> bursts(static_cast<std::size_t>(4.0 * 11025));
  for (int k = 0; k < 8; ++k)
    for (int i = 0; i < 55; ++i)
      bursts[static_cast<std::size_t>(k * 5512 + i)] =
          20000.0 * std::sin(testutil::kTwoPi * 1000.0 * i / 11025.0);
  WriteRaw(dir.File("bursts.raw"), bursts);
  MeasuringSink sink;
  ASSERT_TRUE(sink.Loaded());
  // The sink's clock, as the other sinks have theirs (see the server's script).
  Process clock(
      "exec pacat --playback -d tarvik_meas --rate=11025 --channels=1 --format=s16le "
      "--latency-msec=20 /dev/zero 2>/dev/null");
  int judged = 0;
  for (const Case& c : cases) {
    SoundDriver driver;
    ASSERT_TRUE(driver.Usable());
    auto filter = std::make_unique<CFilter>(driver, nullptr);
    filter->SetDevices("pulse:tarvik_meas_in", "pulse:tarvik_meas_r", 0);
    filter->SetBufferSize(c.block);
    filter->Resume();
    ASSERT_TRUE(WaitFor([&] { return filter->Running(); }, 10000));
    MachineStops stops;
    Sleep(1.5);
    const long lostBefore = filter->LostTotal();
    const std::string out = dir.File("out.raw");
    {
      Process recorder(
          "exec parec -d tarvik_meas.monitor --rate=11025 --channels=2 --format=s16le "
          "--latency-msec=20 > '" +
          out + "' 2>/dev/null");
      Sleep(0.3);
      Process player("exec pacat --playback -d tarvik_meas_l --rate=11025 --channels=1 --format=s16le '" +
                     dir.File("bursts.raw") + "' 2>/dev/null");
      Sleep(5.0);
    }
    const double shownMs = filter->Devices().delayMs;
    const long lost = filter->LostTotal() - lostBefore;
    filter->Stop();
    const std::vector<double> stereo = ReadRaw(out);
    std::vector<double> left(stereo.size() / 2), right(stereo.size() / 2);
    for (std::size_t i = 0; i < left.size(); ++i) {
      left[i] = stereo[2 * i];
      right[i] = stereo[2 * i + 1];
    }
    // Each burst with the first copy after it; a copy more than 250 ms
    // late (bursts are 500 ms apart) is not this burst's.
    const std::vector<double> in = Onsets(left);
    const std::vector<double> copies = Onsets(right);
    std::vector<double> delays;
    for (double t : in) {
      const auto it = std::lower_bound(copies.begin(), copies.end(), t);
      if (it != copies.end() && *it - t < 250.0) delays.push_back(*it - t);
    }
    if (delays.size() < 4u && stops.Stormy()) {
      std::printf("block %d: not judged, the machine itself stopped too often; %s\n", c.block,
                  stops.Describe().c_str());
      continue;
    }
    ASSERT_GE(delays.size(), 4u) << "block " << c.block << ": " << in.size() << " bursts, " << copies.size()
                                 << " copies";
    std::sort(delays.begin(), delays.end());
    const double median = delays[delays.size() / 2];
    std::printf("block %d: delay %.1f ms (median of %zu; %.1f ms shown, %ld blocks lost); %s\n", c.block,
                median, delays.size(), shownMs, lost, stops.Describe().c_str());
    if (stops.Stormy()) {
      std::printf("block %d: not judged, the machine itself stopped too often\n", c.block);
      continue;
    }
    ++judged;
    EXPECT_LE(median, c.maxMs) << "block " << c.block;
    // A copy can never come out before its block was captured and the
    // block ahead of it played: anything shorter paired the wrong onsets.
    // (Three blocks is the usual figure, but the server's chunked clock
    // lets the median dip a few ms under it.)
    EXPECT_GE(median, 2.0 * c.block * 1000.0 / 11025.0)
        << "a copy paired with something that is not its burst";
  }
  if (judged == 0) GTEST_SKIP() << "not judged: the machine itself stopped too often";
}

// Each burst of `in` (starting every periodS seconds from firstS) found
// again in `out`: the lag (ms, to a tenth of a sample) where their
// normalised correlation peaks, and that peak.
struct BurstCopy {
  double delayMs;
  double correlation;
};
std::vector<BurstCopy> MatchBursts(const std::vector<double>& in, const std::vector<double>& out, double burstS,
                                   double maxDelayS) {
  const int len = static_cast<int>(burstS * 11025);
  const int maxLag = static_cast<int>(maxDelayS * 11025);
  std::vector<BurstCopy> copies;
  // Burst starts: the first loud sample after a quiet stretch longer than a burst.
  long last = -1000000;
  for (long i = 0; i + len + maxLag + 2 < static_cast<long>(in.size()) && i < static_cast<long>(out.size()); ++i) {
    if (std::fabs(in[static_cast<std::size_t>(i)]) < 2000.0) continue;
    const bool start = i - last > 2 * len;
    last = i;
    if (!start) continue;
    const long from = i - 20;  // a little before the edge the threshold saw
    double e = 0.0;
    for (int k = 0; k < len; ++k) e += in[static_cast<std::size_t>(from + k)] * in[static_cast<std::size_t>(from + k)];
    std::vector<double> c(static_cast<std::size_t>(maxLag) + 1, 0.0);
    for (int lag = 0; lag <= maxLag; ++lag) {
      double xy = 0.0, yy = 0.0;
      for (int k = 0; k < len; ++k) {
        const double y = out[static_cast<std::size_t>(from + lag + k)];
        xy += in[static_cast<std::size_t>(from + k)] * y;
        yy += y * y;
      }
      c[static_cast<std::size_t>(lag)] = yy > 0.0 && e > 0.0 ? xy / std::sqrt(e * yy) : 0.0;
    }
    const auto best = std::max_element(c.begin(), c.end()) - c.begin();
    // The peak between samples: the server's resamplers leave the copy a
    // fraction of a sample off.
    double lag = static_cast<double>(best), peak = c[static_cast<std::size_t>(best)];
    if (best > 0 && best < maxLag) {
      const double a = c[static_cast<std::size_t>(best - 1)], b = peak, d = c[static_cast<std::size_t>(best + 1)];
      if (a - 2 * b + d < 0.0) {
        lag += 0.5 * (a - d) / (a - 2 * b + d);
        peak = b - (a - d) * (a - d) / (8.0 * (a - 2 * b + d));
      }
    }
    copies.push_back({lag * 1000.0 / 11025.0, peak});
    i += len;
  }
  return copies;
}

// Regression: with capture and playback on one clock (two sinks of one
// server) the playback rate wandered up to 0.3 % off the nominal one for
// the follower's sake: a 700 Hz tone came out at 697.9-702.1 Hz, the delay
// drifted 26 ms within 10 s at 2048 frames, and most noise bursts no longer
// matched their input (the rate error stretched them). On one clock the
// rate must stay nominal: the delay of every burst the same within 1 ms
// over a minute, at 64, 512 and 2048 frames, each copy matching its burst.
TEST(SoundServer, OneClockKeepsTheDelaySteadyAndTheRateExact) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "real time is not promised under the sanitizers";
#endif
  REQUIRE_SOUND_SERVER();
  const char* asked = std::getenv("TARVIK_SOUND_MINUTE");
  const double seconds = asked ? std::max(5.0, std::atof(asked)) : 60.0;
  TempDir dir;
  // 50 ms of noise every 0.5 s, below 2.5 kHz (a receiver's audio; white
  // noise up to 5.5 kHz decorrelates with the fraction of a sample the
  // server's resamplers leave, whoever plays it).
  std::vector<double> bursts(static_cast<std::size_t>((seconds + 1.0) * 11025));
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> noise(-20000.0, 20000.0);
  constexpr int kHalf = 24;  // a Hann-windowed sinc low-pass, 49 taps
  double taps[2 * kHalf + 1];
  for (int j = -kHalf; j <= kHalf; ++j) {
    const double x = 2.0 * 2500.0 / 11025.0 * j;
    taps[j + kHalf] = (j == 0 ? 1.0 : std::sin(testutil::kTwoPi / 2 * x) / (testutil::kTwoPi / 2 * x)) *
                      2.0 * 2500.0 / 11025.0 * (0.5 + 0.5 * std::cos(testutil::kTwoPi / 2 * j / (kHalf + 1)));
  }
  std::vector<double> white(551 + 2 * kHalf);
  for (std::size_t k = 0; (k + 1) * 5512 < bursts.size(); ++k) {
    for (double& w : white) w = noise(rng);
    for (int i = 0; i < 551; ++i) {
      double y = 0.0;
      for (int j = 0; j <= 2 * kHalf; ++j) y += taps[j] * white[static_cast<std::size_t>(i + j)];
      bursts[k * 5512 + static_cast<std::size_t>(i)] = y;
    }
  }
  WriteRaw(dir.File("bursts.raw"), bursts);
  MeasuringSink sink;
  ASSERT_TRUE(sink.Loaded());
  Process clock(
      "exec pacat --playback -d tarvik_meas --rate=11025 --channels=1 --format=s16le "
      "--latency-msec=20 /dev/zero 2>/dev/null");
  int judged = 0;
  for (const int block : {64, 512, 2048}) {
    SoundDriver driver;
    ASSERT_TRUE(driver.Usable());
    auto filter = std::make_unique<CFilter>(driver, nullptr);
    testutil::InstallLive(*filter, 0, 700.0, 100);  // TH: what goes in comes out
    filter->SetDevices("pulse:tarvik_meas_in", "pulse:tarvik_meas_r", 0);
    filter->SetBufferSize(block);
    filter->Resume();
    ASSERT_TRUE(WaitFor([&] { return filter->Running(); }, 10000));
    Sleep(2.0);
    MachineStops stops;
    const long lostBefore = filter->LostTotal();
    const std::string out = dir.File("out.raw");
    {
      Process recorder(
          "exec parec -d tarvik_meas.monitor --rate=11025 --channels=2 --format=s16le "
          "--latency-msec=20 > '" +
          out + "' 2>/dev/null");
      Sleep(0.3);
      Process player("exec pacat --playback -d tarvik_meas_l --rate=11025 --channels=1 --format=s16le "
                     "--latency-msec=20 '" +
                     dir.File("bursts.raw") + "' 2>/dev/null");
      Sleep(seconds + 1.0);
    }
    const long lost = filter->LostTotal() - lostBefore;
    filter->Stop();
    const std::vector<double> stereo = ReadRaw(out);
    std::vector<double> left(stereo.size() / 2), right(stereo.size() / 2);
    for (std::size_t i = 0; i < left.size(); ++i) {
      left[i] = stereo[2 * i];
      right[i] = stereo[2 * i + 1];
    }
    const std::vector<BurstCopy> copies = MatchBursts(left, right, 0.05, 0.8);
    // The delay may step only around a loss that was counted: a stall of
    // the machine raises it, and the cut that brings it back is counted (two
    // steps a loss); a copy may fail to match only there.
    double lo = 1e9, hi = -1e9, worstCorrelation = 1.0;
    int steps = 0, mismatches = 0;
    for (std::size_t k = 0; k < copies.size(); ++k) {
      lo = std::min(lo, copies[k].delayMs);
      hi = std::max(hi, copies[k].delayMs);
      worstCorrelation = std::min(worstCorrelation, copies[k].correlation);
      if (k > 0 && std::fabs(copies[k].delayMs - copies[k - 1].delayMs) > 1.0) ++steps;
      if (copies[k].correlation < 0.8) ++mismatches;
    }
    std::printf(
        "block %d: %zu bursts, delay %.2f..%.2f ms (spread %.2f ms, %d steps), worst correlation %.3f (%d under "
        "0.8), %ld blocks lost; %s\n",
        block, copies.size(), lo, hi, hi - lo, steps, worstCorrelation, mismatches, lost, stops.Describe().c_str());
    // A stop of the machine longer than a block loses sound or leaves a
    // backlog, and moves the delay whatever Tarvik does (one of 92 ms, or
    // of 5.6 ms at 64 frames, in CI runs beside other tests): the minute
    // then says nothing of the rate on one clock.
    if (stops.Stormy() || stops.WorstMs() > block * 1000.0 / 11025.0) {
      std::printf("block %d: not judged, the machine itself stopped\n", block);
      continue;
    }
    ++judged;
    EXPECT_GE(copies.size(), static_cast<std::size_t>(seconds * 2 - 4)) << "block " << block;
    EXPECT_LE(lost, 1) << "block " << block;
    // At 64 frames one step of up to 3 ms with nothing lost is still
    // allowed: a stop of the machine near a block's length (5.8 ms) can
    // move the delay there. Until the follower ignored a single late
    // wake-up, a calm minute stepped by 3-7 ms one time in five, and before
    // the server kept 12 ms of playback many times a minute. At 512 and
    // 2048 it stays within 1 ms.
    const bool small = block <= 64;
    if (lost == 0) {
      EXPECT_LE(hi - lo, small ? 3.0 : 1.0) << "block " << block << ": the delay moved";
    }
    EXPECT_LE(steps, 2 * lost + (small ? 1 : 0)) << "block " << block << ": the delay moved where no loss was counted";
    EXPECT_LE(mismatches, 2 * lost) << "block " << block << ": a copy does not match its burst";
  }
  if (judged == 0) GTEST_SKIP() << "not judged: the machine itself stopped too often";
}

}  // namespace

namespace {

using testutil::WaitFor;
using namespace soundtest;

// Level of a tone in the steadiest half second of a recording's last two,
// relative to kLevel, in dB.
double LevelDb(const std::vector<double>& rec, double hz) {
  const double seconds = rec.size() / 11025.0;
  const std::vector<double> w = SteadiestHalfSecond(rec, seconds - 0.25, hz);
  return w.empty() ? -200.0 : testutil::Db(ToneAmplitudeNear(w, hz) / kLevel);
}

std::string NullSinkModule(const std::string& sink) {
  return "pactl list short modules | awk '/sink_name=" + sink + " / {print $1}'";
}

// The choice reaches the server: a tone into the rig's codec (a sink whose
// monitor stands for its capture) comes out of the phones, and neither the
// default input (radio, carrying another tone) nor the default output
// (speaker) is touched.
TEST(SoundDevices, ChosenInputAndOutputAreTheOnesUsed) {
  REQUIRE_SOUND_SERVER();
  TempDir dir;
  WriteRaw(dir.File("rig.raw"), Tone(10.0, 700.0));
  WriteRaw(dir.File("radio.raw"), Tone(10.0, 1500.0));
  SoundDriver driver;
  ASSERT_TRUE(driver.Usable());
  auto filter = std::make_unique<CFilter>(driver, nullptr);
  filter->SetDevices("pulse:tarvik_rig.monitor", "pulse:tarvik_phones", 0);
  filter->Resume();
  ASSERT_TRUE(WaitFor([&] { return filter->Running(); }, 10000));
  {
    Process phones(soundtest::Recorder(dir.File("phones.raw"), "tarvik_phones"));
    Process speaker(soundtest::Recorder(dir.File("speaker.raw"), "tarvik_out"));
    Process rig(Player(dir.File("rig.raw"), "tarvik_rig"));
    Process radio(Player(dir.File("radio.raw"), "tarvik_in"));
    Sleep(4.0);
  }
  const CFilter::DeviceStatus status = filter->Devices();
  filter->Stop();
  EXPECT_EQ(status.input, "Monitor of Rig");
  EXPECT_EQ(status.output, "Phones");
  EXPECT_FALSE(status.inputMissing || status.outputMissing);
  const std::vector<double> phones = ReadRaw(dir.File("phones.raw"));
  const std::vector<double> speaker = ReadRaw(dir.File("speaker.raw"));
  EXPECT_NEAR(LevelDb(phones, 700.0), 0.0, 3.0) << "the rig's tone at the phones";
  EXPECT_LT(LevelDb(phones, 1500.0), -50.0) << "nothing of the default input";
  EXPECT_LT(LevelDb(speaker, 700.0), -60.0) << "nothing at the default output";
}

// A chosen output unplugged while Tarvik plays: shown missing, losses
// counted at a calm rate, and the sound back by itself within 2 s of the
// device's return.
TEST(SoundDevices, UnpluggedOutputIsMissingAndComesBack) {
  REQUIRE_SOUND_SERVER();
  TempDir dir;
  WriteRaw(dir.File("radio.raw"), Tone(30.0, 700.0));
  SoundDriver driver;
  auto filter = std::make_unique<CFilter>(driver, nullptr);
  filter->SetDevices("", "pulse:tarvik_phones", 0);
  filter->Resume();
  ASSERT_TRUE(WaitFor([&] { return filter->Running() && filter->BlocksPlayed() > 10; }, 10000));
  Process radio(Player(dir.File("radio.raw")));

  const std::string module = NullSinkModule("tarvik_phones");
  ASSERT_EQ(std::system(("pactl unload-module $(" + module + ")").c_str()), 0);
  ASSERT_TRUE(WaitFor([&] { return filter->Devices().outputMissing; }, 5000)) << "shown missing";
  const long lost = filter->LostTotal();
  Sleep(2.0);
  const long perSecond = (filter->LostTotal() - lost) / 2;
  EXPECT_LE(perSecond, 15) << "a calm retry";
  EXPECT_TRUE(filter->Devices().outputMissing);

  ASSERT_EQ(
      std::system("pactl load-module module-remap-sink sink_name=tarvik_phones master=tarvik_phones_card "
                  "sink_properties=device.description=Phones >/dev/null"),
      0);
  const auto back = std::chrono::steady_clock::now();
  const long played = filter->BlocksPlayed();
  ASSERT_TRUE(
      WaitFor([&] { return filter->BlocksPlayed() > played + 5 && !filter->Devices().outputMissing; }, 5000));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - back).count();
  std::printf("sound back %.2f s after the output returned (losses since %ld)\n", seconds,
              filter->LostTotal() - lost);
  EXPECT_LE(seconds, 2.0);
  {
    Process phones(soundtest::Recorder(dir.File("phones.raw"), "tarvik_phones"));
    Sleep(3.0);
  }
  filter->Stop();
  EXPECT_NEAR(LevelDb(ReadRaw(dir.File("phones.raw")), 700.0), 0.0, 3.0) << "the tone plays again";
}

// PortAudio through ALSA's "pulse" device, run at 48 kHz and converted both
// ways by Tarvik: a 700 Hz tone keeps its level, and a 7 kHz tone, which
// 11025 Hz cannot hold, leaves nothing at its alias (11025 - 7000 = 4025 Hz).
TEST(SoundDevices, PortAudioAt48kHzConvertsBothWays) {
  REQUIRE_SOUND_SERVER();
  TempDir dir;
  std::vector<double> in = Tone(10.0, 700.0, 48000);
  const std::vector<double> high = Tone(10.0, 7000.0, 48000);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] += high[i];
  WriteRaw(dir.File("in.raw"), in);
  SoundDriver driver;
  auto filter = std::make_unique<CFilter>(driver, nullptr);
  filter->SetDevices("alsa:pulse", "alsa:pulse", 48000);
  filter->Resume();
  ASSERT_TRUE(WaitFor([&] { return filter->Running(); }, 10000));
  MachineStops stops;
  {
    Process recorder(soundtest::Recorder(dir.File("out.raw")));
    Process player(Player(dir.File("in.raw"), "tarvik_in", 48000));
    Sleep(5.0);
  }
  const CFilter::DeviceStatus status = filter->Devices();
  filter->Stop();
  EXPECT_EQ(status.deviceRateHz, 48000);
  EXPECT_EQ(status.backend, "PulseAudio") << "the active backend; the devices themselves are ALSA's";
  const std::vector<double> rec = ReadRaw(dir.File("out.raw"));
  // Both in the half second where the tone is steadiest: measured on its
  // own, the alias took the window with the most at 4025 Hz, which beside
  // other tests on two cores was once a lost block's click (-56.7 dB), not
  // the converter.
  const std::vector<double> w = SteadiestHalfSecond(rec, rec.size() / 11025.0 - 0.25, 700.0);
  ASSERT_FALSE(w.empty());
  const double level700 = Db(ToneAmplitudeNear(w, 700.0) / kLevel),
               alias = Db(ToneAmplitudeNear(w, 4025.0) / kLevel);
  std::printf("700 Hz %.2f dB, alias of 7 kHz at 4025 Hz %.1f dB; %s\n", level700, alias,
              stops.Describe().c_str());
  // Stops of the machine leave gaps in every half second (-3.3 dB at 700 Hz
  // under AddressSanitizer in a stormy hour).
  if (stops.Stormy()) GTEST_SKIP() << "not judged: the machine itself stopped too often";
  EXPECT_NEAR(level700, 0.0, 1.0);
  EXPECT_LT(alias, -60.0);
}

// The process's threads running under SCHED_FIFO at `priority`, read from
// /proc (field 40 of a task's stat is rt_priority, 41 the policy).
int ThreadsAtRealtime(int priority) {
  int count = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream in(task.path() / "stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 2));
    std::vector<std::string> f{"pid", "comm"};
    for (std::string field; fields >> field;) f.push_back(field);
    if (f.size() > 40 && std::stoi(f[39]) == priority && std::stoi(f[40]) == SCHED_FIFO) ++count;
  }
  return count;
}

// A minute at the smallest and the default block. The two null sinks run on
// clocks that wander apart by up to 0.2 % within seconds; without the
// playback rate following capture, 3 to 6 blocks a minute were lost at 64
// frames. At 64 frames the three blocks in flight hold 17 ms: libpulse's
// thread woken later than that costs a block, which with four busy threads
// per core happened 25 to 60 times a minute until that thread asked for a
// real-time priority (then 0 or 1; how much a loaded minute loses depends on
// the machine, so the test checks the priority itself). A minute beside
// other tests on two cores still lost up to 5 (0 or 1 alone): a server
// request that found the playback queue empty for a moment was answered
// with silence and counted as a lost block. Since it is not, fewer were
// lost, but a server that stalled still overran the capture ring (1 lost
// in some idle minutes, 13 in ten seconds of a stuttering server). Since
// what the ring cannot take waits with the server, and the delay that adds
// is cut from the playback queue once it stands, none were lost with the
// server stopped for 15 ms every 2 s (7 in 30 s before) nor idle; one is
// tolerated beside other tests on two cores. A minute in CI then lost 6
// while the virtual machine itself was stopped now and then (MachineStops):
// one more is allowed for each such stop, and a minute of many is not
// judged.
TEST(SoundDevices, NoBlockLostInAMinute) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "real time is not promised under the sanitizers";
#endif
  REQUIRE_SOUND_SERVER();
  bool realtime = false;
  std::thread([&] { realtime = RaiseToRealtime(kDeviceThreadPriority); }).join();
  int judged = 0;
  for (const int block : {64, 512}) {
    SoundDriver driver;
    auto filter = std::make_unique<CFilter>(driver, nullptr);
    filter->SetBufferSize(block);
    filter->Resume();
    ASSERT_TRUE(WaitFor([&] { return filter->Running() && filter->BlocksPlayed() > 10; }, 10000));
    if (realtime) {
      EXPECT_GE(ThreadsAtRealtime(kDeviceThreadPriority), 1) << "libpulse's thread at the devices' priority";
    }
    const long lost = filter->LostTotal(), played = filter->BlocksPlayed();
    MachineStops stops;
    Sleep(60.0);
    const long lostInMinute = filter->LostTotal() - lost, playedInMinute = filter->BlocksPlayed() - played;
    std::printf("block %d: %ld blocks played, %ld lost in a minute, delay shown %.1f ms; %s\n", block,
                playedInMinute, lostInMinute, filter->Devices().delayMs, stops.Describe().c_str());
    filter->Stop();
    if (stops.Stormy()) {
      std::printf("block %d: not judged, the machine itself stopped too often\n", block);
      continue;
    }
    ++judged;
    // A stop longer than a block (5.8 ms at 64 frames) leaves a backlog
    // that is cut, and counted.
    const long allowed = 1 + (block <= 64 ? stops.ShortCount() : stops.Count());
    EXPECT_LE(lostInMinute, allowed) << "block " << block;
    EXPECT_GE(playedInMinute, 60L * 11025 / block * 95 / 100) << "block " << block;
  }
  if (judged == 0) GTEST_SKIP() << "not judged: the machine itself stopped too often";
}

// Regression: a server that stalls (stopped here for 15 ms every 2 s, as
// a busy machine now and then stops it) handed its capture over in one
// burst, which overran the capture ring: 7 blocks lost in 30 s at 64
// frames, each reopening both devices. What waits with the server instead,
// and ends up in the playback queue as delay, stood there for seconds (30
// to 40 ms shown) until the follower cut it. The cut is a jump in the
// sound: counted as a lost block, one a stall at most.
TEST(SoundDevices, ServerStallsAreCutOnceEachAndLeaveNoDelay) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "real time is not promised under the sanitizers";
#endif
  REQUIRE_SOUND_SERVER();
  const char* dir = std::getenv("XDG_RUNTIME_DIR");
  std::ifstream pidFile(std::string(dir ? dir : "") + "/pulse/pid");
  pid_t server = 0;
  ASSERT_TRUE(pidFile >> server) << "the private server's pid file";
  SoundDriver driver;
  auto filter = std::make_unique<CFilter>(driver, nullptr);
  filter->SetBufferSize(64);
  filter->Resume();
  ASSERT_TRUE(WaitFor([&] { return filter->Running() && filter->BlocksPlayed() > 10; }, 10000));
  Sleep(1.0);
  const long lost = filter->LostTotal();
  MachineStops stops;
  std::vector<double> shown;
  for (int stall = 0; stall < 10; ++stall) {
    ASSERT_EQ(kill(server, SIGSTOP), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
    kill(server, SIGCONT);
    for (int i = 0; i < 20; ++i) {
      Sleep(0.1);
      if (stall >= 2) shown.push_back(filter->Devices().delayMs);
    }
  }
  const long lostInStalls = filter->LostTotal() - lost;
  filter->Stop();
  std::sort(shown.begin(), shown.end());
  const double median = shown[shown.size() / 2];
  std::printf("10 stalls: %ld blocks lost, delay shown %.1f ms (median); %s\n", lostInStalls, median,
              stops.Describe().c_str());
  if (stops.Stormy()) GTEST_SKIP() << "not judged: the machine itself stopped too often";
  EXPECT_LE(lostInStalls, 10 + 1 + stops.Count());
  EXPECT_LE(median, 28.0);
}

}  // namespace
