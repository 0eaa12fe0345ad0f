// The device pair's rings, codes and conversions on the simulated card.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "audio/CWave.h"
#include "support/EngineTestUtil.h"
#include "support/SimWaveDriver.h"

namespace {

using testutil::WaitFor;

WaveFormat Format(int bits = 16) {
  WaveFormat f;
  f.bitsPerSample = bits;
  f.blockAlign = bits / 8;
  f.avgBytesPerSec = 11025 * f.blockAlign;
  return f;
}

struct Rig {
  SimWaveDriver sim;
  CWave wave{sim};
};

TEST(CWave, FirstReadWaitsForTheFirstBuffer) {
  Rig r;
  r.sim.SetCaptureSource([](long long n) { return static_cast<std::int16_t>(n); });
  ASSERT_EQ(r.wave.OpenInput(Format(), 64), 0);
  std::vector<double> block(64);
  std::thread device([&] {
    ASSERT_TRUE(WaitFor([&] { return r.wave.InputWaiting(); }, 2000));
    r.sim.CompleteInput(1);
  });
  EXPECT_EQ(r.wave.ReadInput(block.data(), 64), 64);
  device.join();
  for (int i = 0; i < 64; ++i) EXPECT_EQ(block[i], i);
  EXPECT_EQ(r.sim.QueuedInput(), 4) << "the buffer went back to the device";
}

TEST(CWave, FirstReadTakesAboutOnePeriod) {
  Rig r;
  ASSERT_EQ(r.wave.OpenInput(Format(), 512), 0);
  r.sim.StartClock(46);
  std::vector<double> block(512);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(r.wave.ReadInput(block.data(), 512), 512);
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  r.sim.StopClock();
  EXPECT_GE(ms, 30.0);
  EXPECT_LT(ms, 1000.0);
}

TEST(CWave, ReaderFourBuffersBehindOverruns) {
  Rig r;
  ASSERT_EQ(r.wave.OpenInput(Format(), 32), 0);
  EXPECT_EQ(r.sim.CompleteInput(4), 4);
  std::vector<double> block(32);
  EXPECT_EQ(r.wave.ReadInput(block.data(), 32), -1);
  EXPECT_EQ(r.wave.LastError(), kWaveErrOverrun);
  EXPECT_FALSE(r.wave.InputOpen());
  EXPECT_FALSE(r.sim.InputIsOpen());
  EXPECT_EQ(r.wave.ReadInput(block.data(), 32), -1);
  EXPECT_EQ(r.wave.LastError(), kWaveErrInputClosed);
}

TEST(CWave, ThreeBehindStillReads) {
  Rig r;
  ASSERT_EQ(r.wave.OpenInput(Format(), 32), 0);
  EXPECT_EQ(r.sim.CompleteInput(3), 3);
  std::vector<double> block(32);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(r.wave.ReadInput(block.data(), 32), 32);
}

TEST(CWave, PlaybackStartsAtTheThirdBufferAndTheFourthWaits) {
  Rig r;
  r.sim.RecordPlayback(1000);
  ASSERT_EQ(r.wave.OpenOutput(Format(), 8), 0);
  std::vector<double> block(8);
  for (int b = 0; b < 3; ++b) {
    for (int i = 0; i < 8; ++i) block[i] = b * 100 + i;
    EXPECT_EQ(r.wave.WriteOutput(block.data(), 8), 8);
    EXPECT_EQ(r.sim.OutputPlaying(), b == 2) << "after buffer " << b;
  }
  EXPECT_EQ(r.sim.QueuedOutput(), 3);
  std::thread device([&] {
    ASSERT_TRUE(WaitFor([&] { return r.wave.OutputWaiting(); }, 2000));
    r.sim.CompleteOutput(1);
  });
  for (int i = 0; i < 8; ++i) block[i] = 300 + i;
  EXPECT_EQ(r.wave.WriteOutput(block.data(), 8), 8);
  device.join();
  std::vector<std::int16_t> played = r.sim.Played();
  ASSERT_EQ(played.size(), 8u);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(played[i], i);
}

// Guards the loss count through a sound server: its stream takes buffers
// into its own and keeps playing after CWave's queue is empty, so only its
// own report of running dry is a lost block; a card's empty queue is one.
TEST(CWave, AnEmptyQueueIsALossOnlyForADeviceThatCannotSayItRanDry) {
  for (const bool reports : {false, true}) {
    Rig r;
    r.sim.reportsStarvation = reports;
    ASSERT_EQ(r.wave.OpenOutput(Format(), 8), 0);
    std::vector<double> block(8, 0.0);
    for (int b = 0; b < 3; ++b) ASSERT_EQ(r.wave.WriteOutput(block.data(), 8), 8);
    ASSERT_EQ(r.sim.CompleteOutput(3), 3);  // the queue is empty now
    if (!reports) {
      EXPECT_EQ(r.wave.WriteOutput(block.data(), 8), -1);
      EXPECT_EQ(r.wave.LastError(), kWaveErrUnderrun);
      continue;
    }
    EXPECT_EQ(r.wave.WriteOutput(block.data(), 8), 8) << "the server still plays";
    ASSERT_EQ(r.sim.CompleteOutput(1), 1);
    r.sim.ReportRunningDry();
    EXPECT_EQ(r.wave.WriteOutput(block.data(), 8), -1);
    EXPECT_EQ(r.wave.LastError(), kWaveErrUnderrun);
  }
}

TEST(CWave, CloseOutputPlaysAPartialBuffer) {
  Rig r;
  r.sim.RecordPlayback(1000);
  ASSERT_EQ(r.wave.OpenOutput(Format(), 512), 0);
  std::vector<double> block(100, 1234.0);
  EXPECT_EQ(r.wave.WriteOutput(block.data(), 100), 100);
  EXPECT_FALSE(r.sim.OutputPlaying());
  std::thread device([&] {
    ASSERT_TRUE(WaitFor([&] { return r.wave.OutputWaiting(); }, 2000));
    r.sim.CompleteOutput(1);
  });
  r.wave.CloseOutput();
  device.join();
  EXPECT_EQ(r.wave.LastError(), 0);
  EXPECT_EQ(r.sim.Played(), std::vector<std::int16_t>(100, 1234));
  EXPECT_EQ(r.sim.OutputBufferBytes(), 200) << "played as a shortened buffer";
  EXPECT_FALSE(r.sim.OutputIsOpen());
}

TEST(CWave, CloseAfterOneOrTwoWholeBuffersTimesOut) {
  for (int buffers : {1, 2}) {
    Rig r;
    ASSERT_EQ(r.wave.OpenOutput(Format(), 16), 0);
    std::vector<double> block(16, 5.0);
    for (int b = 0; b < buffers; ++b) EXPECT_EQ(r.wave.WriteOutput(block.data(), 16), 16);
    const auto t0 = std::chrono::steady_clock::now();
    r.wave.CloseOutput();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(r.wave.LastError(), kWaveErrOutputTimeout) << buffers;
    EXPECT_GE(s, 1.9) << buffers;
    EXPECT_FALSE(r.sim.OutputIsOpen()) << buffers;
    EXPECT_FALSE(r.sim.OutputPlaying()) << buffers;
  }
}

TEST(CWave, ZeroFramesOpensAndCloses) {
  Rig r;
  EXPECT_EQ(r.wave.OpenInput(Format(), 0), 0);
  EXPECT_EQ(r.wave.OpenOutput(Format(), 0), 0);
  EXPECT_EQ(r.sim.InputOpens(), 1);
  EXPECT_EQ(r.sim.OutputOpens(), 1);
  EXPECT_FALSE(r.sim.InputIsOpen());
  EXPECT_FALSE(r.sim.OutputIsOpen());
  double x = 0;
  EXPECT_EQ(r.wave.ReadInput(&x, 1), -1);
  EXPECT_EQ(r.wave.LastError(), kWaveErrInputClosed);
  EXPECT_EQ(r.wave.WriteOutput(&x, 1), -1);
  EXPECT_EQ(r.wave.LastError(), kWaveErrOutputClosed);
}

TEST(CWave, OpenFailuresReturnTheDeviceCode) {
  Rig r;
  r.sim.inputOpenError = 7;
  r.sim.outputOpenError = 9;
  EXPECT_EQ(r.wave.OpenInput(Format(), 64), 7);
  EXPECT_EQ(r.wave.OpenOutput(Format(), 64), 9);
  EXPECT_FALSE(r.wave.InputOpen());
  EXPECT_FALSE(r.wave.OutputOpen());
  EXPECT_EQ(r.wave.LastError(), 9);
}

TEST(CWave, ClosedDirectionsAndVolume) {
  Rig r;
  r.wave.CloseInput();
  r.wave.CloseOutput();
  r.wave.CloseOutput();
  EXPECT_EQ(r.wave.GetVolume(), 0x8000u);
  EXPECT_EQ(r.wave.SetVolume(0x1234), 0);
  ASSERT_EQ(r.wave.OpenOutput(Format(), 64), 0);
  EXPECT_EQ(r.wave.GetVolume(), 0xFFFFFFFFu);
  EXPECT_EQ(r.wave.SetVolume(0x80008000u), 1);
  EXPECT_EQ(r.sim.Volume(), 0x80008000u);
  r.wave.CloseOutput();
  EXPECT_EQ(r.wave.SetVolume(5), 0);
}

TEST(CWave, WriteOfZeroFramesFlushesAndCloses) {
  Rig r;
  r.sim.RecordPlayback(100);
  ASSERT_EQ(r.wave.OpenOutput(Format(), 64), 0);
  std::vector<double> block(10, -7.0);
  EXPECT_EQ(r.wave.WriteOutput(block.data(), 10), 10);
  std::thread device([&] {
    ASSERT_TRUE(WaitFor([&] { return r.wave.OutputWaiting(); }, 2000));
    r.sim.CompleteOutput(1);
  });
  EXPECT_EQ(r.wave.WriteOutput(nullptr, 0), 0);
  device.join();
  EXPECT_FALSE(r.wave.OutputOpen());
  EXPECT_EQ(r.sim.Played(), std::vector<std::int16_t>(10, -7));
}

TEST(CWave, CaptureConversions) {
  struct Case {
    int bits;
    int raw;
    double value;
  } cases[] = {{16, 0, 0.0},  {16, -32768, -32768.0}, {16, 32767, 32767.0}, {16, -1, -1.0},
               {8, 128, 0.0}, {8, 255, 32512.0},      {8, 0, -32768.0},     {8, 129, 256.0}};
  for (const Case& c : cases) {
    Rig r;
    r.sim.SetCaptureSource([&](long long) { return static_cast<std::int16_t>(c.raw); });
    ASSERT_EQ(r.wave.OpenInput(Format(c.bits), 4), 0);
    r.sim.CompleteInput(1);
    double block[4];
    ASSERT_EQ(r.wave.ReadInput(block, 4), 4);
    EXPECT_EQ(block[3], c.value) << c.bits << " bit raw " << c.raw;
  }
}

// 16-bit playback saturates instead of wrapping (40000 used to become
// -25536, a full-scale click); 8-bit likewise.
TEST(CWave, PlaybackConversionsSaturate) {
  struct Case {
    int bits;
    double value;
    int raw;
  } cases[] = {{16, -0.9, 0},        {16, 1.9, 1},         {16, -1.5, -1},         {16, 32767.0, 32767},
               {16, 32768.0, 32767}, {16, 40000.0, 32767}, {16, -32768.0, -32768}, {16, -40000.0, -32768},
               {16, NAN, 0},         {8, -32768.0, 0},     {8, 0.0, 128},          {8, 32767.0, 255},
               {8, -0.5, 127},       {8, 40000.0, 255},    {8, -40000.0, 0},       {8, NAN, 128}};
  for (const Case& c : cases) {
    Rig r;
    r.sim.RecordPlayback(16);
    ASSERT_EQ(r.wave.OpenOutput(Format(c.bits), 4), 0);
    std::vector<double> block(4, c.value);
    for (int b = 0; b < 3; ++b) ASSERT_EQ(r.wave.WriteOutput(block.data(), 4), 4);
    r.sim.CompleteOutput(1);
    std::vector<std::int16_t> played = r.sim.Played();
    ASSERT_EQ(played.size(), 4u);
    EXPECT_EQ(played[0], c.raw) << c.bits << " bit value " << c.value;
    r.sim.CompleteOutput(2);
  }
}

// Completions on the device's thread while the reader and writer run flat
// out: a lost wake-up would show as a 2000 ms time-out (113 or 116). A slow
// machine may still overrun or underrun; those directions are reopened.
TEST(CWave, NoLostWakeUps) {
  Rig r;
  ASSERT_EQ(r.wave.OpenInput(Format(), 16), 0);
  ASSERT_EQ(r.wave.OpenOutput(Format(), 16), 0);
  r.sim.StartClock(1);
  std::vector<double> block(16);
  int completed = 0;
  for (int i = 0; i < 300; ++i) {
    if (r.wave.ReadInput(block.data(), 16) != 16) {
      ASSERT_NE(r.wave.LastError(), kWaveErrInputTimeout) << "pass " << i;
      r.wave.lastError = 0;
      ASSERT_EQ(r.wave.OpenInput(Format(), 16), 0);
      continue;
    }
    if (r.wave.WriteOutput(block.data(), 16) != 16) {
      ASSERT_NE(r.wave.LastError(), kWaveErrOutputTimeout) << "pass " << i;
      r.wave.lastError = 0;
      ASSERT_EQ(r.wave.OpenOutput(Format(), 16), 0);
      continue;
    }
    ++completed;
  }
  r.wave.CloseInput();
  r.wave.CloseOutput();
  r.sim.StopClock();
  EXPECT_GT(completed, 150);
}

// A volume change from another thread meets either the open device or
// none, while the output is reopened again and again.
TEST(CWave, SetVolumeDuringReopen) {
  Rig r;
  std::atomic<bool> done{false};
  std::thread ui([&] {
    std::uint32_t v = 0;
    while (!done) {
      r.wave.SetVolume(v += 0x10001);
      r.wave.GetVolume();
    }
  });
  for (int i = 0; i < 300; ++i) {
    ASSERT_EQ(r.wave.OpenOutput(Format(), 0), 0);
    ASSERT_EQ(r.wave.OpenOutput(Format(), 8), 0);
    r.wave.lastError = kWaveErrOutputTimeout;  // close without draining
    r.wave.CloseOutput();
    r.wave.lastError = 0;
  }
  done = true;
  ui.join();
}

}  // namespace
