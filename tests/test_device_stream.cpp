// The stream a real device works on, converting between the device's rate
// and ours: levels, images and aliases measured on tones, and the same
// output whatever sizes the backend's callbacks come in.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "devices/DeviceStream.h"
#include "support/TestUtil.h"

namespace {

using testutil::Db;
using testutil::ToneAmplitude;

constexpr int kBlock = 512;
constexpr double kAmp = 10000.0;

// A DeviceStream with four program-rate headers of kBlock frames that go
// back into the queue as soon as they are handed back; what they carried is
// collected (channels interleaved).
struct Harness {
  DeviceStream io;
  std::vector<std::vector<char>> data;
  WaveHeader headers[4];
  std::vector<double> program;  // capture: what reached the program
  int reported = 0;
  int starved = 0;      // kWomStarved reports
  bool requeue = true;  // headers go back into the queue when handed back

  Harness(int deviceRateHz, bool capture, int channels = 1) {
    std::string error;
    WaveFormat f;
    f.channels = channels;
    EXPECT_TRUE(io.Setup(f, deviceRateHz, capture, &Done, this, error)) << error;
    data.resize(4, std::vector<char>(2 * channels * kBlock));
    for (int i = 0; i < 4; ++i) {
      headers[i].data = data[i].data();
      headers[i].bufferLength = 2 * channels * kBlock;
      headers[i].flags = kWhdrPrepared;
    }
  }
  void QueueAll() {
    for (WaveHeader& h : headers) io.Push(&h);
  }
  static void Done(WaveDevice*, unsigned message, void* self, std::uintptr_t p1, std::uintptr_t) {
    auto* h = reinterpret_cast<WaveHeader*>(p1);
    auto* me = static_cast<Harness*>(self);
    if (message == kWomStarved) {
      ++me->starved;
      return;
    }
    ++me->reported;
    if (message == kWimData) {
      for (int i = 0; i < h->bytesRecorded / 2; ++i) {
        std::int16_t s;
        std::memcpy(&s, h->data + 2 * i, 2);
        me->program.push_back(s);
      }
    }
    if (me->requeue) me->io.Push(h);
  }
};

std::vector<std::int16_t> Pcm(const std::vector<double>& x) {
  std::vector<std::int16_t> p(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) p[i] = static_cast<std::int16_t>(std::lround(x[i]));
  return p;
}

// Chunk sizes a backend might call with: uneven, from a fixed seed.
std::vector<int> Chunks(std::size_t total, unsigned seed, int most = 3000) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> size(1, most);
  std::vector<int> out;
  for (std::size_t done = 0; done < total;) {
    const int n = static_cast<int>(std::min<std::size_t>(total - done, size(rng)));
    out.push_back(n);
    done += n;
  }
  return out;
}

// Sound and results interleaved, `channels` to a frame.
std::vector<double> CaptureAt(int deviceRateHz, const std::vector<double>& device, unsigned seed,
                              int channels = 1) {
  Harness h(deviceRateHz, true, channels);
  h.QueueAll();
  const std::vector<std::int16_t> pcm = Pcm(device);
  std::size_t at = 0;
  for (int n : Chunks(pcm.size() / channels, seed)) {
    h.io.Capture(reinterpret_cast<const char*>(pcm.data() + at * channels), n);
    at += static_cast<std::size_t>(n);
  }
  return h.program;
}

std::vector<double> PlayAt(int deviceRateHz, const std::vector<double>& program, std::size_t deviceFrames,
                           unsigned seed, int channels = 1, bool follow = false) {
  Harness h(deviceRateHz, false, channels);
  std::string error;
  if (follow) {
    EXPECT_TRUE(h.io.FollowClock(kBlock, error)) << error;
  }
  // The program's sound in the headers, queued again as they are played
  // (the same block over and over: `program` is exactly one block long).
  const std::vector<std::int16_t> pcm = Pcm(program);
  for (auto& d : h.data) std::memcpy(d.data(), pcm.data(), d.size());
  h.QueueAll();
  std::vector<std::int16_t> out(deviceFrames * channels);
  std::size_t at = 0;
  // At most what the four headers hold: the harness queues a header again
  // only when a call hands it back, as CWave does.
  for (int n : Chunks(deviceFrames, seed, 1500)) {
    h.io.Play(reinterpret_cast<char*>(out.data() + at * channels), n);
    at += static_cast<std::size_t>(n);
  }
  return std::vector<double>(out.begin(), out.end());
}

// A tone that repeats exactly every block, so that a block played over and
// over is a steady tone: hz a multiple of 11025 / 512.
double BlockTone(double hz) { return std::round(hz * kBlock / 11025.0) * 11025.0 / kBlock; }

TEST(DeviceStream, CaptureAt48kHzIsFlatAndLeavesNoAlias) {
  struct Case {
    double hz;         // at the device
    double measureHz;  // where it lands at 11025 Hz
    double lo, hi;     // dB, relative to the input
  } cases[] = {
      {100.0, 100.0, -0.5, 0.5},   {700.0, 700.0, -0.5, 0.5},          {3000.0, 3000.0, -0.5, 0.5},
      {4500.0, 4500.0, -0.5, 0.5}, {7000.0, 4025.0, -HUGE_VAL, -60.0}, {9000.0, 2025.0, -HUGE_VAL, -60.0},
  };
  for (const Case& c : cases) {
    const std::vector<double> out = CaptureAt(48000, testutil::Sine(48000, c.hz, kAmp, 48000.0), 7);
    ASSERT_GT(out.size(), 10000u);
    const double db = Db(ToneAmplitude(out, 2000, c.measureHz) / kAmp);
    EXPECT_GE(db, c.lo) << c.hz << " Hz";
    EXPECT_LE(db, c.hi) << c.hz << " Hz";
  }
}

TEST(DeviceStream, PlaybackAt48kHzIsFlatAndLeavesNoImage) {
  struct Case {
    double hz;         // at 11025 Hz (rounded to repeat every block)
    double measureHz;  // where it is looked for at the device
    double lo, hi;
  } cases[] = {
      {700.0, 700.0, -0.5, 0.5},
      {4400.0, 4400.0, -0.5, 0.5},
      {4000.0, 11025.0 - 4000.0, -HUGE_VAL, -60.0},  // the image above our Nyquist frequency
      {4000.0, 11025.0 + 4000.0, -HUGE_VAL, -60.0},
  };
  for (const Case& c : cases) {
    const double hz = BlockTone(c.hz);
    const double measure =
        c.measureHz == c.hz ? hz : c.measureHz + (c.measureHz > 11025.0 ? hz - c.hz : c.hz - hz);
    const std::vector<double> out = PlayAt(48000, testutil::Sine(kBlock, hz, kAmp), 48000, 3);
    const double db = Db(ToneAmplitude(out, 4000, measure, 48000.0) / kAmp);
    EXPECT_GE(db, c.lo) << c.hz << " Hz at " << measure;
    EXPECT_LE(db, c.hi) << c.hz << " Hz at " << measure;
  }
}

TEST(DeviceStream, OutputDoesNotDependOnCallbackSizes) {
  const std::vector<double> in = testutil::Sine(30000, 1234.5, kAmp, 44100.0);
  const std::vector<double> a = CaptureAt(44100, in, 1), b = CaptureAt(44100, in, 2);
  ASSERT_EQ(a.size(), b.size());
  EXPECT_EQ(a, b);
  const std::vector<double> tone = testutil::Sine(kBlock, BlockTone(900.0), kAmp);
  EXPECT_EQ(PlayAt(96000, tone, 40000, 1), PlayAt(96000, tone, 40000, 2));
  EXPECT_EQ(PlayAt(11025, tone, 5000, 1), PlayAt(11025, tone, 5000, 2)) << "no conversion";
}

// A frame holds a sample of each channel: through a 2-channel stream each
// channel comes out exactly as it does alone through a mono one, captured
// or played, at our rate or converted, following a clock or not.
TEST(DeviceStream, StereoMovesEachChannelAsMonoDoes) {
  struct Case {
    int rateHz;
    bool capture, follow;
  } cases[] = {
      {11025, true, false},  {48000, true, false}, {11025, false, false},
      {44100, false, false}, {11025, false, true}, {48000, false, true},
  };
  for (const Case& c : cases) {
    // Two tones apart, so that swapped or mixed channels show.
    const int frames = c.capture ? 60000 : kBlock;
    const double rate = c.capture ? c.rateHz : 11025.0;
    const std::vector<double> mono[2] = {testutil::Sine(frames, BlockTone(700.0), kAmp, rate),
                                         testutil::Sine(frames, BlockTone(1900.0), kAmp / 3, rate)};
    auto run = [&](const std::vector<double>& x, int channels) {
      return c.capture ? CaptureAt(c.rateHz, x, 9, channels)
                       : PlayAt(c.rateHz, x, 30000, 4, channels, c.follow);
    };
    std::vector<double> both;
    for (int i = 0; i < frames; ++i) both.insert(both.end(), {mono[0][i], mono[1][i]});
    const std::vector<double> stereo = run(both, 2);
    EXPECT_GT(stereo.size(), 20000u) << c.rateHz;
    for (int ch = 0; ch < 2; ++ch) {
      std::vector<double> channel;
      for (std::size_t i = ch; i < stereo.size(); i += 2) channel.push_back(stereo[i]);
      EXPECT_EQ(channel, run(mono[ch], 1)) << c.rateHz << (c.capture ? " capture" : " playback")
                                           << (c.follow ? ", following" : "") << ", channel " << ch;
    }
  }
}

// What a backend may capture and still leave two of the reader's four
// buffers queued (taking more hands the reader its whole ring: an overrun),
// in uneven chunks, at our rate and converted from 48 kHz.
TEST(DeviceStream, CaptureRoomLeavesTwoBuffersQueued) {
  for (const int rate : {11025, 48000}) {
    Harness h(rate, true);
    h.requeue = false;
    h.QueueAll();
    std::mt19937 rng(7);
    std::vector<std::int16_t> pcm(4 * kBlock * 48000 / 11025, 1000);
    for (int i = 0; i < 500; ++i) {
      const int n = std::min(h.io.CaptureRoomFrames(), std::uniform_int_distribution<int>(1, 700)(rng));
      if (n > 0) h.io.Capture(reinterpret_cast<const char*>(pcm.data()), n);
      ASSERT_LE(h.reported, 2) << rate << " Hz, chunk " << i;
    }
    // It takes nearly all it may: the converter's slack is a few frames.
    EXPECT_GE(4 * kBlock - h.io.QueuedFrames(), 2 * kBlock - 8) << rate << " Hz";
  }
}

TEST(DeviceStream, PausedOrEmptyPlaybackIsSilenceAndConsumesNothing) {
  for (const int rate : {11025, 48000}) {
    Harness h(rate, false);
    std::vector<std::int16_t> out(700, 123);
    h.io.Play(reinterpret_cast<char*>(out.data()), 700);
    EXPECT_EQ(out, std::vector<std::int16_t>(700, 0)) << rate << ": empty";
    for (auto& d : h.data) std::fill(d.begin(), d.end(), 0x11);
    h.QueueAll();
    h.io.paused = true;
    EXPECT_EQ(h.io.PlayableFrames(), 0) << rate;
    std::fill(out.begin(), out.end(), 123);
    h.io.Play(reinterpret_cast<char*>(out.data()), 700);
    EXPECT_EQ(out, std::vector<std::int16_t>(700, 0)) << rate << ": paused";
    EXPECT_EQ(h.reported, 0) << rate << ": nothing consumed";
    h.io.paused = false;
    EXPECT_GE(h.io.PlayableFrames(), 4 * kBlock * rate / 11025 - 10) << rate;
  }
}

// Regression: a sound server takes a buffer into its own when it asks for
// it, so CWave's queue running empty there was counted as a lost block
// (1 to 9 a minute at 64 frames) though the server still played. The
// stream now says when the device really had to play silence: only after
// something was played, never while paused, and not for the one frame a
// conversion may ask ahead.
TEST(DeviceStream, RunningDryIsReportedOnlyWhenTheDevicePlaysSilence) {
  for (const int rate : {11025, 48000}) {
    Harness h(rate, false);
    h.requeue = false;
    const int deviceBlock = kBlock * rate / 11025;
    std::vector<std::int16_t> out(static_cast<std::size_t>(deviceBlock));
    h.io.Play(reinterpret_cast<char*>(out.data()), 100);
    h.io.NoteDeviceDry();
    EXPECT_EQ(h.starved, 0) << rate << ": nothing played yet, nothing to miss";
    for (WaveHeader& w : h.headers) h.io.Push(&w);
    // What the queue promises comes out whole, in uneven pieces.
    for (int left = h.io.PlayableFrames(); left > 0;) {
      const int n = std::min(left, 333);
      h.io.Play(reinterpret_cast<char*>(out.data()), n);
      left -= n;
    }
    EXPECT_EQ(h.starved, 0) << rate << ": every frame asked for was there";
    h.io.paused = true;
    h.io.Play(reinterpret_cast<char*>(out.data()), deviceBlock);
    h.io.NoteDeviceDry();
    EXPECT_EQ(h.starved, 0) << rate << ": paused is not dry";
    h.io.paused = false;
    h.io.Play(reinterpret_cast<char*>(out.data()), deviceBlock);
    EXPECT_EQ(h.starved, 1) << rate << ": ran dry";
    h.io.NoteDeviceDry();
    EXPECT_EQ(h.starved, 2) << rate << ": the device says it ran dry";
  }
}

}  // namespace


namespace {

// Two cards: the program fills a block every 512 / 11025 s of the capture
// card's clock, the playback card asks for 64 frames at a time on its own,
// `drift` faster, 5.8 ms at a time. Returns the starved reports after the first two seconds
// and the most program frames ever queued after them.
struct DriftRun {
  int starved = 0;
  long mostQueued = 0;
};
DriftRun PlayAgainstDrift(int deviceRateHz, double drift, bool follow, double seconds) {
  Harness h(deviceRateHz, false);
  h.requeue = false;
  std::vector<WaveHeader*> free;
  for (WaveHeader& w : h.headers) free.push_back(&w);
  std::vector<std::vector<char>> more(4, std::vector<char>(2 * kBlock));
  std::vector<WaveHeader> extra(4);
  for (int i = 0; i < 4; ++i) {
    extra[i] = h.headers[0];
    extra[i].data = more[i].data();
    free.push_back(&extra[i]);
  }
  struct Back {
    std::vector<WaveHeader*>* free;
    int* starved;
  } back{&free, &h.starved};
  // Headers played go back to the free list instead of the queue.
  std::string error;
  WaveFormat f;
  h.io.Setup(f, deviceRateHz, false,
             [](WaveDevice*, unsigned message, void* self, std::uintptr_t p1, std::uintptr_t) {
               auto* b = static_cast<Back*>(self);
               if (message == kWomStarved)
                 ++*b->starved;
               else
                 b->free->push_back(reinterpret_cast<WaveHeader*>(p1));
             },
             &back, error);
  if (follow) {
    EXPECT_TRUE(h.io.FollowClock(kBlock, error)) << error;
  }
  const std::vector<std::int16_t> tone = Pcm(testutil::Sine(kBlock, BlockTone(700.0), kAmp));
  const int request = deviceRateHz / 172;  // 5.8 ms
  std::vector<std::int16_t> out(static_cast<std::size_t>(request));
  long pushed = 0, played = 0;
  DriftRun run;
  for (int i = 0; i < 3; ++i, ++pushed) {  // CWave's prefill
    std::memcpy(free.back()->data, tone.data(), 2 * kBlock);
    h.io.Push(free.back());
    free.pop_back();
  }
  while (played < static_cast<long>(seconds * deviceRateHz)) {
    h.io.Play(reinterpret_cast<char*>(out.data()), request);
    played += request;
    const double t = played / (deviceRateHz * (1.0 + drift));  // capture card's seconds
    for (; pushed * kBlock < static_cast<long>(t * 11025.0) + 3 * kBlock && !free.empty(); ++pushed) {
      std::memcpy(free.back()->data, tone.data(), 2 * kBlock);
      h.io.Push(free.back());
      free.pop_back();
    }
    if (t < 2.0) h.starved = 0;
    else run.mostQueued = std::max(run.mostQueued, h.io.QueuedFrames());
  }
  run.starved = h.starved;
  return run;
}

// Without a server between them, two cards' clocks part by 0.2 % and more:
// at 0.25 %, 28 frames a second, so the queue ran dry (a lost block) or piled up
// (delay, then overruns). Played at the rate the follower finds, it holds.
TEST(DeviceStream, PlaybackFollowsTheCaptureClock) {
  for (const int rate : {11025, 48000})
    for (const double drift : {0.0025, -0.0025}) {
      const DriftRun fixed = PlayAgainstDrift(rate, drift, false, 80.0);
      const DriftRun followed = PlayAgainstDrift(rate, drift, true, 80.0);
      if (drift > 0) {
        EXPECT_GT(fixed.starved, 0) << rate << ": the control run must run dry";
        EXPECT_EQ(followed.starved, 0) << rate;
      } else {
        EXPECT_GE(fixed.mostQueued, 6 * kBlock) << rate << ": the control run must pile up";
        EXPECT_LE(followed.mostQueued, 5 * kBlock) << rate << ": three blocks and the one just pushed";
        EXPECT_EQ(followed.starved, 0) << rate;
      }
    }
}

}  // namespace
