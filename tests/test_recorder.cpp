// Recording what is heard: the files against the played output, a full
// disk, and a writer that falls behind.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/CFilter.h"
#include "audio/Recorder.h"
#include "audio/Tap.h"
#include "common/Pcm16.h"
#include "support/CFilterProbe.h"
#include "support/EngineTestUtil.h"
#include "support/SimWaveDriver.h"
#include "support/TestUtil.h"

namespace {

using testutil::TempDir;
using testutil::WaitFor;

std::vector<std::int16_t> ReadPcm(const std::string& path, int* format = nullptr, int* channels = nullptr) {
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) return {};
  if (format) *format = info.format;
  if (channels) *channels = info.channels;
  std::vector<std::int16_t> pcm(static_cast<std::size_t>(info.frames * info.channels));
  sf_readf_short(f, pcm.data(), info.frames);
  sf_close(f);
  return pcm;
}

std::int16_t Tone(long long n) {
  return static_cast<std::int16_t>(9000.0 * std::sin(testutil::kTwoPi * 700.0 * n / 11025.0) +
                                   3000.0 * std::sin(testutil::kTwoPi * 1900.0 * n / 11025.0));
}

// Two seconds of a tone through BP300: the output file holds exactly what
// was played (both ears of binaural listening), the input file exactly what
// was captured. A block the
// simulated card loses beside other tests reopens the devices, and the
// blocks queued then were recorded but never played: such a run is made
// again.
TEST(Recorder, FilesEqualWhatWasPlayedAndCaptured) {
  for (int attempt = 0, done = 0; done < 3; ++attempt) {
    // Wav, then Flac, then binaural Wav; a run that lost a block is made
    // again, twice at most.
    const RecordFormat format = done == 1 ? RecordFormat::Flac : RecordFormat::Wav;
    const int channels = done == 2 ? 2 : 1;
    TempDir dir;
    const std::string out = dir.File("out"), in = dir.File("in");
    SimWaveDriver sim;
    sim.SetCaptureSource(Tone);
    sim.RecordPlayback(60000);
    testutil::ImmediateUi ui;
    auto filter = std::make_unique<CFilter>(sim, &ui);
    testutil::InstallLive(*filter, 9, 700.0, 100);  // BP300
    if (channels == 2) filter->SetOutput(OutputMode::Binaural, 0.0);
    filter->SetBufferSize(256);
    std::string error;
    ASSERT_TRUE(filter->StartRecording(out, in, format, error)) << error;
    filter->Resume();
    ASSERT_TRUE(WaitFor([&] { return filter->Running(); }, 2000));
    sim.StartClock(12);  // twice a card's pace for 256 frames
    ASSERT_TRUE(WaitFor([&] { return sim.PlayedSamples() >= 2 * 11025 * channels; },
                        20000 * testutil::kSlowerUnderSanitizers));
    filter->Stop();
    sim.StopClock();
    filter->StopRecording();
    if (filter->LostCount() > 0 && attempt < 2) continue;
    attempt = -1;
    ++done;
    const RecordingStatus status = filter->Recording();
    EXPECT_FALSE(status.active);
    EXPECT_EQ(status.dropped, 0);
    int fileFormat = 0, fileChannels = 0;
    const std::vector<std::int16_t> recorded = ReadPcm(out, &fileFormat, &fileChannels);
    EXPECT_EQ(fileChannels, channels);
    EXPECT_EQ(fileFormat & SF_FORMAT_TYPEMASK, format == RecordFormat::Flac ? SF_FORMAT_FLAC : SF_FORMAT_WAV);
    const std::vector<std::int16_t> played = sim.Played();
    ASSERT_GE(recorded.size(), 2u * 11025u * channels);
    ASSERT_EQ(recorded.size(), played.size());
    EXPECT_TRUE(recorded == played) << "sample for sample";
    EXPECT_EQ(status.frames * channels, static_cast<long long>(recorded.size()));
    int inputChannels = 0;
    const std::vector<std::int16_t> captured = ReadPcm(in, nullptr, &inputChannels);
    EXPECT_EQ(inputChannels, 1) << "the input stays mono";
    ASSERT_EQ(captured.size() * channels, recorded.size());
    for (std::size_t i = 0; i < captured.size(); ++i)
      ASSERT_EQ(captured[i], Tone(static_cast<long long>(i))) << i;
  }
}

// A writer held up (a disk that stalls): the ring takes what fits, whole
// blocks beyond it are dropped and counted, never parts of one, and the
// audio side never waits.
TEST(Recorder, AWriterThatFallsBehindDropsWholeBlocks) {
  TempDir dir;
  TapHub taps;
  Recorder r(taps);
  std::string error;
  ASSERT_TRUE(r.Start(dir.File("slow.wav"), "", RecordFormat::Wav, error)) << error;
  r.HoldWriter(true);
  std::vector<double> block(5000, 1234.0);
  for (int i = 0; i < 100; ++i) taps.Publish(TapPoint::Output, block.data(), 5000);
  r.HoldWriter(false);
  r.Stop();
  const RecordingStatus s = r.Status();
  const long fit = (1 << 17) / 5000;  // whole blocks the ring holds
  EXPECT_EQ(s.dropped, 100 - fit);
  const std::vector<std::int16_t> pcm = ReadPcm(dir.File("slow.wav"));
  EXPECT_EQ(pcm.size(), static_cast<std::size_t>(fit) * 5000);
}

// A full disk (here a file-size limit, which fails the writes the same
// way) stops the recording with a message and leaves a valid file of what
// was written. In a child process: the limit is the process's.
// Regression (FLAC): a recording ended by a full disk or a size limit left
// a frame half written, and the file did not decode to its end.
TEST(Recorder, AFullDiskStopsWithAMessageAndAValidFile) {
  for (const RecordFormat format : {RecordFormat::Wav, RecordFormat::Flac}) {
    const bool flac = format == RecordFormat::Flac;
    TempDir dir;
    const std::string path = dir.File(flac ? "full.flac" : "full.wav");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::signal(SIGXFSZ, SIG_IGN);
      rlimit limit{64 * 1024, 64 * 1024};
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(3);
      TapHub taps;
      Recorder r(taps);
      std::string error;
      if (!r.Start(path, "", format, error)) ::_exit(4);
      // Noise for FLAC, which would pack a constant into nothing.
      std::vector<double> block(512);
      unsigned seed = 1;
      for (int i = 0; i < 4000 && r.Status().active; ++i) {
        for (double& v : block) v = flac ? ((seed = seed * 1103515245u + 12345u) >> 16) % 8000 - 4000.0 : -2000.0;
        taps.Publish(TapPoint::Output, block.data(), 512);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      const bool stopped = WaitFor([&] { return !r.Status().active; }, 3000);
      const std::string message = r.TakeError();
      r.Stop();
      ::_exit(stopped && message.find("cannot write") != std::string::npos ? 0 : 5);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "3: no limit, 4: no file, 5: no stop or no message; flac " << flac;
    // Read to its end as a player would: every frame there decodes.
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr) << "; flac " << flac;
    std::vector<std::int16_t> pcm, chunk(4096);
    for (sf_count_t n; (n = sf_readf_short(f, chunk.data(), 4096)) > 0;)
      pcm.insert(pcm.end(), chunk.begin(), chunk.begin() + n);
    EXPECT_EQ(sf_error(f), SF_ERR_NO_ERROR) << sf_strerror(f) << "; flac " << flac;
    sf_close(f);
    EXPECT_GT(pcm.size(), 10000u) << "what was written is readable; flac " << flac;
    if (!flac) {
      EXPECT_LE(pcm.size() * 2, 64u * 1024u);
      for (std::int16_t v : pcm) ASSERT_EQ(v, -2000);
    }
    // The file ends where its last frame does: a player's decoder (libFLAC
    // through libsndfile) reads every frame and meets no stray bytes.
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    if (flac) {
      EXPECT_LT(st.st_size, 64 * 1024) << "the half-written frame was taken back";
    }
  }
}

}  // namespace
