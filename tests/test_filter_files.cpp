#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/IniFile.h"
#include "signal/FilterCore.h"
#include "signal/Presets.h"
#include "support/TestUtil.h"

namespace {

using testutil::BoxRecorder;
using testutil::ReadText;
using testutil::TempDir;
using testutil::WriteText;

std::unique_ptr<FilterDefinition> Make() { return std::make_unique<FilterDefinition>(); }

// Lines of one section, in file order, as "key=value".
std::vector<std::string> SectionLines(const std::string& text, const std::string& section) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '[') {
      inside = line == "[" + section + "]";
      continue;
    }
    if (inside && !line.empty()) lines.push_back(line);
  }
  return lines;
}

TEST(WriteIni, PresetSectionKeysAndTexts) {
  TempDir dir;
  auto f = Make();
  f->SetDesign(1, 128, FilterType::BPF, 11025.0, 200.0, 2700.0, 60.0);  // 2.7K at 128 taps
  IniFile ini(dir.File("Tarvik.ini"));
  f->WriteIni(ini, 0);
  std::vector<std::string> want = {
      "Type=2",           "OverSmp=1",           "Tap=128",           "FS=1.102500e+04", "FCL=2.000000e+02",
      "FCH=2.700000e+03", "ATT=6.000000e+01",    "GAIN=1.000000e+00", "lmsDelay=36",     "lmsInv=0",
      "lmsAGC=0",         "lmsMU2=1.500000e-02", "lmsGM=9.993000e-01"};
  EXPECT_EQ(SectionLines(ini.Text(), "User1"), want);
}

TEST(WriteIni, UserSectionHasHKeysInMemoryOrder) {
  TempDir dir;
  auto f = Make();
  double c[3] = {0.25, -0.5, 1.0};
  f->SetUser(1, c, 2);
  IniFile ini(dir.File("x.def"));
  f->WriteIni(ini, -1);
  std::vector<std::string> lines = SectionLines(ini.Text(), "UserSetup");
  ASSERT_EQ(lines.size(), 16u);
  EXPECT_EQ(lines[0], "Type=4");
  EXPECT_EQ(lines[13], "H0=2.500000e-01");
  EXPECT_EQ(lines[14], "H1=-5.000000e-01");
  EXPECT_EQ(lines[15], "H2=1.000000e+00");
}

TEST(ReadIni, RoundTripOfEveryKind) {
  TempDir dir;
  const std::string path = dir.File("rt.def");
  struct Setup {
    const char* what;
    void (*apply)(FilterDefinition&);
  } setups[] = {
      {"BPF", [](FilterDefinition& f) { f.SetDesign(3, 100, FilterType::BPF, 3675.0, 650.0, 750.0, 60.0); }},
      {"HPF gain",
       [](FilterDefinition& f) {
         f.SetDesign(2, 64, FilterType::HPF, 5512.5, 300.0, 0.0, 40.0);
         f.params.gain = 2.0;
         f.Redesign();
       }},
      {"User",
       [](FilterDefinition& f) {
         double c[5] = {0.1, 0.2, 0.3, 0.2, 0.1};
         f.SetUser(2, c, 4);
       }},
      {"LMS", [](FilterDefinition& f) { f.SetLms(3, 24, 96, 0.01, 0.9999, 0, 1); }},
  };
  for (const Setup& s : setups) {
    auto a = Make(), b = Make();
    s.apply(*a);
    {
      IniFile ini(path);
      a->WriteIni(ini, -1);
      ASSERT_TRUE(ini.Save());
    }
    IniFile ini(path);
    EXPECT_TRUE(b->ReadIni(ini, -1)) << s.what;
    EXPECT_EQ(b->params.type, a->params.type) << s.what;
    EXPECT_EQ(b->overSmp, a->overSmp) << s.what;
    EXPECT_EQ(b->tap, a->tap) << s.what;
    EXPECT_EQ(b->params.tap, a->tap) << s.what;
    EXPECT_EQ(b->lmsDelay, a->lmsDelay) << s.what;
    EXPECT_EQ(b->lmsAGC, a->lmsAGC) << s.what;
    for (int i = 0; i <= a->tap; ++i)
      EXPECT_NEAR(b->h[i], a->h[i], 1e-6 * std::fabs(a->h[i]) + 1e-12) << s.what;
  }
}

TEST(ReadIni, DoublesKeepSevenSignificantDigits) {
  TempDir dir;
  auto a = Make(), b = Make();
  a->SetLms(1, 1, 64, 0.123456789, 0.99997, 0, 0);
  IniFile ini(dir.File("d.def"));
  a->WriteIni(ini, 2);
  b->ReadIni(ini, 2);
  EXPECT_EQ(b->lmsGM, 0.99997);
  EXPECT_EQ(b->lmsMU2, 0.1234568);
  for (double w : b->h) EXPECT_EQ(w, 0.0);
}

TEST(ReadIni, TextForms) {
  TempDir dir;
  const std::string path = dir.File("t.def");
  WriteText(path,
            "; a comment\n[usersetup]\ntype=4\nTAP=0x4\nh0=1.5\nH1=2.5 trailing text\nFCL=abc\nlmsDelay=xyz\n"
            "[Other]\nkeep=me\n");
  auto f = Make();
  f->lmsDelay = 11;
  std::fill(std::begin(f->h), std::end(f->h), 9.0);
  IniFile ini(path);
  EXPECT_TRUE(f->ReadIni(ini, -1));
  EXPECT_EQ(f->params.type, FilterType::User);
  EXPECT_EQ(f->tap, 4);
  EXPECT_EQ(f->params.tap, 4);
  EXPECT_EQ(f->h[0], 1.5);
  EXPECT_EQ(f->h[1], 2.5);
  EXPECT_EQ(f->h[2], 9.0) << "a missing H key keeps the coefficient";
  EXPECT_EQ(f->params.fcl, 0.0) << "a double that is no number reads 0.0";
  EXPECT_EQ(f->lmsDelay, 11) << "an integer that is no number keeps the field";
}

TEST(ReadIni, MissingSectionKeepsDefinitionAndRedesigns) {
  TempDir dir;
  auto f = Make();
  f->SetDesign(3, 100, FilterType::BPF, 3675.0, 650.0, 750.0, 60.0);
  std::vector<double> before(f->h, f->h + 101);
  IniFile ini(dir.File("missing.ini"));
  EXPECT_FALSE(ini.Existed());
  EXPECT_TRUE(f->ReadIni(ini, 0));
  EXPECT_EQ(f->tap, 100);
  for (int i = 0; i <= 100; ++i) EXPECT_NEAR(f->h[i], before[i], 1e-6 * std::fabs(before[i]) + 1e-12);
}

TEST(ReadIni, TapAndDelayAreClamped) {
  TempDir dir;
  const std::string path = dir.File("c.def");
  WriteText(path, "[UserSetup]\nType=5\nTap=9999\nlmsDelay=600\n");
  auto f = Make();
  IniFile ini(path);
  EXPECT_TRUE(f->ReadIni(ini, -1));
  EXPECT_EQ(f->tap, 512);
  EXPECT_EQ(f->lmsDelay, 512);
  WriteText(path, "[UserSetup]\nType=4\nTap=-3\n");
  IniFile ini2(path);
  EXPECT_TRUE(f->ReadIni(ini2, -1));
  EXPECT_EQ(f->tap, 0);
}

// Definitions that would divide by zero or play garbage load as through.
TEST(ReadIni, BrokenDefinitionsLoadAsThrough) {
  const char* files[] = {
      "Type=9\n",
      "Type=-1\n",
      "Type=0\nTap=0\n",
      "Type=2\nTap=100\nFS=0\n",
      "Type=1\nTap=100\nFS=-5\n",
      "Type=2\nTap=100\nFS=nan\n",
      "Type=2\nTap=100\nGAIN=inf\n",
      "Type=3\nTap=100\nFCH=-inf\n",
      "Type=4\nTap=3\nH0=1\nH1=nan\nH2=1\nH3=1\n",
      "Type=5\nTap=64\nlmsMU2=nan\n",
      "Type=5\nTap=64\nlmsGM=inf\n",
      // Regressions: each of these played unfiltered, or noise, or NaN.
      "Type=2\nTap=100\nOverSmp=4\n",
      "Type=4\nTap=0\nOverSmp=0\n",
      "Type=5\nTap=64\nOverSmp=-1\n",
      "Type=5\nTap=64\nlmsGM=2\n",
      "Type=5\nTap=64\nlmsMU2=-0.5\n",
      "Type=2\nTap=100\nGAIN=1e308\n",
  };
  TempDir dir;
  const std::string path = dir.File("bad.def");
  for (const char* body : files) {
    WriteText(path, std::string("[UserSetup]\n") + body);
    auto f = Make();
    f->SetDesign(2, 80, FilterType::LPF, 5512.5, 1000.0, 0.0, 60.0);
    IniFile ini(path);
    EXPECT_FALSE(f->ReadIni(ini, -1)) << body;
    EXPECT_EQ(f->params.type, FilterType::User) << body;
    EXPECT_EQ(f->tap, 0) << body;
    EXPECT_EQ(f->overSmp, 1) << body;
    EXPECT_EQ(f->params.fs, 5512.5) << body << ": the rest stays as it was";
    std::vector<double> x = testutil::Noise(100, 1000.0, 1), y = x;
    auto live = std::make_unique<CFilterCore>();
    live->Apply(*f);
    live->ProcessBlock(y.data(), 100);
    EXPECT_EQ(x, y) << body;
  }
}

TEST(IniFile, KeepsUnknownKeysSectionsAndOrder) {
  TempDir dir;
  const std::string path = dir.File("Tarvik.ini");
  WriteText(
      path,
      "; settings\n[Define]\nSelect=3\nMyKey=hello\n[Extra]\na=1\n[User1]\nType=4\nTap=2\nH0=1\nH1=0\nH2=0\n"
      "H3=7\n");
  auto f = Make();
  {
    IniFile ini(path);
    ini.WriteInteger("define", "select", 9);
    ini.WriteInteger("Define", "Tap", 100);
    double c[3] = {0.5, 0.5, 0.5};
    f->SetUser(1, c, 2);
    f->WriteIni(ini, 0);
    ASSERT_TRUE(ini.Save());
  }
  const std::string text = ReadText(path);
  EXPECT_NE(text.find("; settings"), std::string::npos);
  EXPECT_NE(text.find("MyKey=hello"), std::string::npos);
  EXPECT_NE(text.find("[Extra]"), std::string::npos);
  EXPECT_NE(text.find("H3=7"), std::string::npos) << "H keys beyond the tap count stay";
  EXPECT_LT(text.find("Select=9"), text.find("MyKey=hello")) << "replaced in place";
  EXPECT_LT(text.find("MyKey=hello"), text.find("Tap=100"));
  EXPECT_LT(text.find("[Extra]"), text.find("[User1]"));
  EXPECT_EQ(text.find("select=9"), std::string::npos);
}

TEST(IniFile, FailedSaveKeepsOldFileAndNamesIt) {
  TempDir dir;
  BoxRecorder boxes;
  // A target in a missing directory cannot be written.
  {
    IniFile ini(dir.File("no/such/dir/Tarvik.ini"));
    ini.WriteInteger("Define", "Select", 1);
    EXPECT_FALSE(ini.Save());
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].kind, MessageKind::Error);
    EXPECT_EQ(boxes.boxes[0].caption, "!!!");
    EXPECT_NE(boxes.boxes[0].text.find("no/such/dir/Tarvik.ini"), std::string::npos);
  }
  // A read-only file is refused and left as it was.
  const std::string path = dir.File("ro.ini");
  WriteText(path, "[Define]\nSelect=3\n");
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  {
    IniFile ini(path);
    ini.WriteInteger("Define", "Select", 5);
    EXPECT_FALSE(ini.Save());
  }
  EXPECT_EQ(ReadText(path), "[Define]\nSelect=3\n");
  EXPECT_EQ(boxes.boxes.size(), 2u);
  // No temporary file is left behind.
  std::string listing;
  if (FILE* p = ::popen(("ls -A '" + dir.Path() + "'").c_str(), "r")) {
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) listing += buf;
    ::pclose(p);
  }
  EXPECT_EQ(listing, "ro.ini\n");
}

TEST(WriteCoefFile, WorkedLowPassExample) {
  TempDir dir;
  auto f = Make();
  f->params.fs = 8000.0;
  f->params.fcl = 2000.0;
  f->params.att = 20.0;
  f->params.gain = 1.0;
  f->params.type = FilterType::LPF;
  f->tap = 2;
  f->Redesign();
  const std::string path = dir.File("HData.txt");
  std::string error;
  ASSERT_TRUE(f->WriteCoefFile(path, error));
  EXPECT_EQ(error, "");
  EXPECT_EQ(ReadText(path),
            "/*Tap=2 LPF fs=8000.0[Hz] fc=2000.0[Hz] 20.0[dB] Gain=1.0*/\n"
            "{\n"
            "\t2.800496e-01,\t/*H[0]=H[2]*/\n"
            "\t4.399008e-01,\t/*H[1]=H[1]*/\n"
            "\t2.800496e-01,\t/*H[2]=H[0]*/\n"
            "}\n");
}

TEST(WriteCoefFile, HeadersAndOrderByType) {
  auto bp = Make();
  bp->SetDesign(3, 4, FilterType::BPF, 3675.0, 650.0, 750.0, 60.0);
  const std::string bpText = bp->CoefFileText();
  EXPECT_EQ(bpText.substr(0, bpText.find('\n') + 1),
            "/*Tap=4 BPF fs=3675.0[Hz] fcl=650.0[Hz] fch=750.0[Hz] 60.0[dB] Gain=1.0*/\n");

  auto user = Make();
  double c[3] = {1.0, 2.0, 3.0};
  user->SetUser(1, c, 2);
  EXPECT_EQ(user->CoefFileText(),
            "/*Tap=2 UserDefine*/\n{\n\t3.000000e+00,\t/*H[0]*/\n\t2.000000e+00,\t/*H[1]*/\n"
            "\t1.000000e+00,\t/*H[2]*/\n}\n");

  auto through = Make();
  through->SetUser(1, nullptr, 0);
  EXPECT_EQ(through->CoefFileText(), "/*Tap=0 UserDefine*/\n{\n\t0.000000e+00,\t/*H[0]*/\n}\n");

  auto lms = Make();
  lms->SetLms(1, 1, 1, 0.015, 0.9, 0, 0);
  EXPECT_EQ(lms->CoefFileText().substr(0, 15), "/*Tap=1 LMS*/\n{");
}

TEST(WriteCoefFile, RefusedFileGivesTheTextAndShowsNoBox) {
  TempDir dir;
  BoxRecorder boxes;
  auto f = Make();
  std::string error;
  EXPECT_FALSE(f->WriteCoefFile(dir.File("missing/HData.txt"), error));
  EXPECT_EQ(error, "ファイルが作成できません.");
  EXPECT_TRUE(boxes.boxes.empty()) << "the caller shows it";
}

}  // namespace
