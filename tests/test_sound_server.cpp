// The engine against a real sound server: a private PulseAudio daemon that
// tools/pulse-server.sh starts with two null sinks. Tarvik captures the
// monitor of tarvik_in (where the test plays) and plays into tarvik_out
// (whose monitor the test records). In CI a missing server is a failure.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/CFilter.h"
#include "devices/PortAudioDriver.h"
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

TEST(SoundServer, Bp300PassesTheToneAndRejectsTheOther) {
  REQUIRE_SOUND_SERVER();
  TempDir dir;
  WriteRaw(dir.File("in.raw"), Tones(10.0, true));
  PortAudioDriver driver;
  ASSERT_TRUE(driver.Initialized());
  auto filter = std::make_unique<CFilter>(driver, nullptr);
  testutil::InstallLive(*filter, 9, 700.0, 100);  // BP300
  filter->Resume();
  ASSERT_TRUE(WaitFor([&] { return filter->Running(); }, 10000))
      << "the loop did not start; device error " << CFilterProbe(*filter).Wave().LastError();

  Process recorder(Recorder(dir.File("out.raw")));
  Process player(Player(dir.File("in.raw")));
  Sleep(1.0);
  const int lostAfterOneSecond = filter->LostCount();
  Sleep(5.0);
  const int lostAtEnd = filter->LostCount();
  recorder.Stop();
  player.Stop();
  filter->Stop();
  filter.reset();
  std::printf("losses in the first second %d, after it %d\n", lostAfterOneSecond,
              lostAtEnd - lostAfterOneSecond);

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Real time is not promised under the sanitizers' several-fold slowdown.
  // On a shared two-core runner one scheduling stall of more than four
  // blocks (186 ms) now and then is the machine, not the loop; a fault in
  // the rings or a clock mismatch loses again and again.
  EXPECT_LE(lostAtEnd - lostAfterOneSecond, 2) << "losses after the first second";
#else
  (void)lostAtEnd;
  (void)lostAfterOneSecond;
#endif
  // The last two seconds before the recorder stopped, while all ran.
  const std::vector<double> all = ReadRaw(dir.File("out.raw"));
  const double seconds = all.size() / 11025.0;
  ASSERT_GE(seconds, 2.5) << "recorded only " << seconds << " s";
  const std::vector<double> rec = Slice(all, seconds - 2.25, seconds - 0.25);
  const double a700 = ToneAmplitude(rec, 0, 700.0), a1500 = ToneAmplitude(rec, 0, 1500.0);
  EXPECT_NEAR(Db(a700 / kLevel), 0.0, 3.0) << "700 Hz passes";
  EXPECT_LT(Db(a1500 / a700), -40.0) << "1500 Hz is rejected";
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
  PortAudioDriver driver;
  ASSERT_TRUE(driver.Initialized());
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
    Process recorder(Recorder(out));
    Process player(Player(dir.File("in.raw")));
    Sleep(3.0);
    recorder.Stop();
    const std::vector<double> rec = ReadRaw(out);
    if (rec.size() > 11025) {
      a700 = ToneAmplitude(Slice(rec, rec.size() / 11025.0 - 1.0, rec.size() / 11025.0), 0, 700.0);
      playing = Db(a700 / kLevel) > -3.0;
    }
  }
  filter->Stop();
  filter.reset();
  EXPECT_TRUE(playing) << "last 700 Hz level " << Db(a700 / kLevel) << " dB";
}

}  // namespace
