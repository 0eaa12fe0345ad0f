// The offline tool, run as a program on files made here.

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "common/IniFile.h"
#include "signal/FilterCore.h"
#include "signal/Presets.h"
#include "support/TestUtil.h"

namespace {

using testutil::Db;
using testutil::TempDir;
using testutil::ToneAmplitude;
using testutil::WriteText;

int RunTool(const std::string& args) {
  const std::string cmd = std::string(TARVIK_FILTER_EXE) + " --quiet " + args + " >/dev/null 2>&1";
  const int status = std::system(cmd.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void WriteWav(const std::string& path, const std::vector<double>& interleaved, int rate, int channels,
              int format) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = format;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
  sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  sf_writef_double(f, interleaved.data(), static_cast<sf_count_t>(interleaved.size() / channels));
  sf_close(f);
}

struct Wav {
  int rate = 0, channels = 0, format = 0;
  std::vector<double> samples;  // in 16-bit units
};

Wav ReadWav(const std::string& path) {
  Wav w;
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) return w;
  w.rate = info.samplerate;
  w.channels = info.channels;
  w.format = info.format;
  std::vector<short> pcm(static_cast<std::size_t>(info.frames * info.channels));
  sf_readf_short(f, pcm.data(), info.frames);
  sf_close(f);
  w.samples.assign(pcm.begin(), pcm.end());
  return w;
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// 700 Hz and 1500 Hz at equal level, 16-bit mono 11025 Hz.
std::vector<double> TwoTones(int n) {
  std::vector<double> x(n);
  for (int i = 0; i < n; ++i)
    x[i] = 0.3 * std::sin(testutil::kTwoPi * 700.0 * i / 11025) +
           0.3 * std::sin(testutil::kTwoPi * 1500.0 * i / 11025);
  return x;
}

TEST(TarvikFilter, Bp100KeepsTheToneAndRejectsTheOther) {
  TempDir dir;
  const std::string in = dir.File("in.wav"), out = dir.File("out.wav");
  WriteWav(in, TwoTones(4 * 11025), 11025, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  ASSERT_EQ(RunTool("--preset BP100 --fo 700 " + in + " " + out), 0);
  Wav w = ReadWav(out);
  EXPECT_EQ(w.rate, 11025);
  EXPECT_EQ(w.channels, 1);
  EXPECT_EQ(w.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  ASSERT_EQ(w.samples.size(), 4u * 11025);
  const double level = 0.3 * 32768.0;
  EXPECT_NEAR(Db(ToneAmplitude(w.samples, 11025, 700.0) / level), 0.0, 1.0);
  EXPECT_LT(Db(ToneAmplitude(w.samples, 11025, 1500.0) / level), -50.0);

  // The definition saved from that preset gives the same samples.
  auto f = std::make_unique<FilterDefinition>();
  InstallPreset(*f, 11, 700.0, 100, nullptr);
  const std::string def = dir.File("bp100.def");
  {
    IniFile ini(def);
    f->WriteIni(ini, -1);
    ASSERT_TRUE(ini.Save());
  }
  const std::string out2 = dir.File("out2.wav");
  ASSERT_EQ(RunTool("--def " + def + " " + in + " " + out2), 0);
  EXPECT_EQ(ReadWav(out2).samples, w.samples);

  // And so does a settings file that selects BP100.
  const std::string ini = dir.File("Tarvik.ini");
  WriteText(ini, "[Define]\nSelect=11\nFo=7.000000e+02\nTap=100\n");
  const std::string out3 = dir.File("out3.wav");
  ASSERT_EQ(RunTool("--settings " + ini + " " + in + " " + out3), 0);
  EXPECT_EQ(ReadWav(out3).samples, w.samples);
}

TEST(TarvikFilter, MatchesTheLivePathSampleForSample) {
  TempDir dir;
  const std::string in = dir.File("in.wav"), out = dir.File("out.wav");
  std::vector<double> x = testutil::Noise(20000, 0.5, 3);
  WriteWav(in, x, 11025, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  ASSERT_EQ(RunTool("--preset LMSB2 --hpf " + in + " " + out), 0);
  auto d = std::make_unique<FilterDefinition>();
  InstallPreset(*d, 24, 700.0, 100, nullptr);
  auto f = std::make_unique<CFilterCore>();
  f->Apply(*d);
  f->dcCut = 1;
  std::vector<double> y = ReadWav(in).samples;  // the input as stored, in 16-bit units
  f->ProcessBlock(y.data(), static_cast<int>(y.size()));
  Wav w = ReadWav(out);
  ASSERT_EQ(w.samples.size(), y.size());
  for (std::size_t i = 0; i < y.size(); ++i) ASSERT_EQ(w.samples[i], std::trunc(y[i])) << i;
}

TEST(TarvikFilter, StereoAtOtherRateIsMixedAndConverted) {
  TempDir dir;
  const std::string in = dir.File("in.flac"), out = dir.File("out.wav");
  const int rate = 44100, n = 2 * rate;
  std::vector<double> st(2 * n);
  for (int i = 0; i < n; ++i) {
    st[2 * i] = 0.4 * std::sin(testutil::kTwoPi * 700.0 * i / rate);
    st[2 * i + 1] = 0.2 * std::sin(testutil::kTwoPi * 700.0 * i / rate);
  }
  WriteWav(in, st, rate, 2, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
  ASSERT_EQ(RunTool(in + " " + out), 0);
  Wav w = ReadWav(out);
  EXPECT_EQ(w.rate, 11025);
  EXPECT_EQ(w.channels, 1);
  EXPECT_NEAR(static_cast<double>(w.samples.size()), n / 4.0, 2.0);
  EXPECT_NEAR(ToneAmplitude(w.samples, 1000, 700.0) / 32768.0, 0.3, 0.003);
}

TEST(TarvikFilter, BrokenFloatSamplesAndOvershootAreBounded) {
  TempDir dir;
  const std::string in = dir.File("in.wav"), out = dir.File("out.wav");
  std::vector<double> x = testutil::Noise(11025, 0.5, 4);
  x[100] = NAN;
  x[200] = INFINITY;
  for (int i = 300; i < 400; ++i) x[i] = 1.5;  // past full scale
  WriteWav(in, x, 11025, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  ASSERT_EQ(RunTool(in + " " + out), 0);
  Wav w = ReadWav(out);
  ASSERT_EQ(w.samples.size(), x.size());
  EXPECT_EQ(w.samples[100], 0.0);
  EXPECT_EQ(w.samples[350], 32767.0) << "overshoot saturates instead of wrapping";
  ASSERT_EQ(RunTool("--preset LMSNS " + in + " " + out), 0);
}

// Bad input: a clear refusal, a non-zero exit, and OUTPUT left alone.
TEST(TarvikFilter, RefusesBadInput) {
  TempDir dir;
  const std::string in = dir.File("in.wav"), out = dir.File("out.wav");
  WriteWav(in, TwoTones(11025), 11025, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  const std::string badDef = dir.File("bad.def"), emptyDef = dir.File("empty.def"),
                    notAudio = dir.File("x.wav");
  WriteText(badDef, "[UserSetup]\nType=9\n");
  WriteText(emptyDef, "[Other]\na=1\n");
  WriteText(notAudio, "this is not audio");
  const std::string cases[] = {
      "",
      in,
      in + " " + out + " extra",
      dir.File("missing.wav") + " " + out,
      notAudio + " " + out,
      "--preset BP50 " + in + " " + out,
      "--fo abc " + in + " " + out,
      "--fo 100 " + in + " " + out,
      "--fo 2000 " + in + " " + out,
      "--tap 7 " + in + " " + out,
      "--tap 1000 " + in + " " + out,
      "--tap 10x " + in + " " + out,
      "--def " + dir.File("missing.def") + " " + in + " " + out,
      "--def " + badDef + " " + in + " " + out,
      "--def " + emptyDef + " " + in + " " + out,
      "--def " + badDef + " --preset TH " + in + " " + out,
      "--settings " + dir.File("missing.ini") + " " + in + " " + out,
      "--bogus " + in + " " + out,
      "--preset",
      in + " " + dir.File("no/dir/out.wav"),
  };
  for (const std::string& args : cases) {
    EXPECT_NE(RunTool(args), 0) << args;
    EXPECT_FALSE(Exists(out)) << args;
  }
  // OUTPUT the same file as INPUT: refused, the input is untouched.
  const std::vector<double> before = ReadWav(in).samples;
  EXPECT_NE(RunTool(in + " " + in), 0);
  EXPECT_EQ(ReadWav(in).samples, before);
  EXPECT_EQ(RunTool("--help"), 0);
  EXPECT_EQ(RunTool("--list-presets"), 0);
}

}  // namespace
