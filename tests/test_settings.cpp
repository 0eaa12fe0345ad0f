#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/IniFile.h"
#include "signal/FilterCore.h"
#include "signal/Presets.h"
#include "signal/Settings.h"
#include "support/TestUtil.h"

namespace {

using testutil::ReadText;
using testutil::TempDir;
using testutil::WriteText;

struct Loaded {
  Settings s;
  std::unique_ptr<FilterDefinition[]> slots = std::make_unique<FilterDefinition[]>(kUserSlotCount);
};

Loaded Load(const std::string& path) {
  Loaded l;
  l.s.defDir = l.s.hDir = "/opt/tarvik/";
  SetDefaultUserDesigns(l.slots.get(), 100);
  IniFile ini(path);
  ReadSettings(ini, l.s, l.slots.get());
  return l;
}

TEST(Settings, FirstSaveWritesDefineThenSlotsInOrder) {
  TempDir dir;
  const std::string path = dir.File("Tarvik.ini");
  Loaded l = Load(path);
  IniFile ini(path);
  WriteSettings(ini, l.s, l.slots.get());
  ASSERT_TRUE(ini.Save());
  const std::string text = ReadText(path);
  const char* order[] = {"[Define]",
                         "DefDir=/opt/tarvik/",
                         "HDir=/opt/tarvik/",
                         "Select=0",
                         "Tap=100",
                         "Fo=7.000000e+02",
                         "BuffSize=512",
                         "FFTSW=0",
                         "FFTFW=2",
                         "Volume=1",
                         "DCCut=0",
                         "[User1]",
                         "[User2]",
                         "[User3]",
                         "[User4]",
                         "[User5]",
                         "[User6]"};
  std::size_t at = 0;
  for (const char* item : order) {
    std::size_t found = text.find(item, at);
    ASSERT_NE(found, std::string::npos) << item << " missing or out of order";
    at = found;
  }
}

TEST(Settings, RoundTrip) {
  TempDir dir;
  const std::string path = dir.File("Tarvik.ini");
  Loaded a = Load(path);
  a.s.select = 11;
  a.s.presetTap = 256;
  a.s.fo = 650.0;
  a.s.bufferSize = 1024;
  a.s.fftMode = 2;
  a.s.fftWidth = 0;
  a.s.volume = -1;
  a.s.dcCut = 1;
  a.s.defDir = "/home/ham/filters/";
  a.slots[3].SetLms(3, 24, 96, 0.01, 0.9999, 0, 1);
  {
    IniFile ini(path);
    WriteSettings(ini, a.s, a.slots.get());
    ASSERT_TRUE(ini.Save());
  }
  Loaded b = Load(path);
  EXPECT_EQ(b.s.select, 11);
  EXPECT_EQ(b.s.presetTap, 256);
  EXPECT_EQ(b.s.fo, 650.0);
  EXPECT_EQ(b.s.bufferSize, 1024);
  EXPECT_EQ(b.s.fftMode, 2);
  EXPECT_EQ(b.s.fftWidth, 0);
  EXPECT_EQ(b.s.volume, -1);
  EXPECT_EQ(b.s.dcCut, 1);
  EXPECT_EQ(b.s.defDir, "/home/ham/filters/");
  EXPECT_EQ(b.slots[3].params.type, FilterType::LMS);
  EXPECT_EQ(b.slots[3].lmsAGC, 1);
}

TEST(Settings, ValuesAsWritten) {
  TempDir dir;
  const std::string path = dir.File("Tarvik.ini");
  WriteText(path, "[Define]\nSelect=7\n");
  Loaded only = Load(path);
  EXPECT_EQ(only.s.select, 7);
  EXPECT_EQ(only.s.presetTap, 100);
  EXPECT_EQ(only.s.fo, 700.0);
  EXPECT_EQ(only.s.bufferSize, 512);
  EXPECT_EQ(only.s.fftWidth, 2);
  EXPECT_EQ(only.s.volume, 1);

  WriteText(path, "[define]\nDCCut=5\nVolume=-1\nBuffSize=0x200\nfo=8.000000e+02\n");
  Loaded l = Load(path);
  EXPECT_EQ(l.s.dcCut, 1);
  EXPECT_EQ(l.s.volume, -1);
  EXPECT_EQ(l.s.bufferSize, 512);
  EXPECT_EQ(l.s.fo, 800.0);
}

// Values the program cannot use are replaced by their defaults before the
// audio starts.
TEST(Settings, OutOfRangeValuesKeepDefaults) {
  const std::string longDir(256, 'd');
  const struct {
    const char* body;
  } cases[] = {{"Select=29"},       {"Select=-1"},   {"Tap=1"},         {"Tap=0"},       {"Tap=513"},
               {"Tap=101"},         {"BuffSize=63"}, {"BuffSize=8192"}, {"BuffSize=0"},  {"Fo=3.340000e+02"},
               {"Fo=1.588000e+03"}, {"Fo=nan"},      {"Fo=abc"},        {"Fo=-7.0e+02"}, {"FFTSW=3"},
               {"FFTSW=-1"},        {"FFTFW=4"},     {"Select=abc"},    {"Tap=0x"}};
  TempDir dir;
  const std::string path = dir.File("Tarvik.ini");
  for (const auto& c : cases) {
    WriteText(path, std::string("[Define]\n") + c.body + "\n");
    Loaded l = Load(path);
    EXPECT_EQ(l.s.select, 0) << c.body;
    EXPECT_EQ(l.s.presetTap, 100) << c.body;
    EXPECT_EQ(l.s.bufferSize, 512) << c.body;
    EXPECT_EQ(l.s.fo, 700.0) << c.body;
    EXPECT_EQ(l.s.fftMode, 0) << c.body;
    EXPECT_EQ(l.s.fftWidth, 2) << c.body;
  }
  WriteText(path, "[Define]\nDefDir=" + longDir + "\nHDir=/ok/\n");
  Loaded l = Load(path);
  EXPECT_EQ(l.s.defDir, "/opt/tarvik/");
  EXPECT_EQ(l.s.hDir, "/ok/");
}

TEST(Settings, BrokenSlotLoadsAsThroughOthersKeepDefaults) {
  TempDir dir;
  const std::string path = dir.File("Tarvik.ini");
  WriteText(path, "[User2]\nType=2\nTap=100\nFS=0\n");
  Loaded l = Load(path);
  EXPECT_EQ(l.slots[1].tap, 0);
  EXPECT_EQ(l.slots[1].params.type, FilterType::User);
  EXPECT_EQ(l.slots[0].tap, 100);
  EXPECT_EQ(l.slots[0].params.type, FilterType::BPF);
}

// Where the settings live: --settings, a portable copy, or the user's place.
// The device keys, after the older ones: a well-formed id is kept (a
// device that is not there is the engine's business), anything else is the
// default without a word; DeviceRate outside 8000..192000 keeps 0.
TEST(Settings, DeviceKeys) {
  const struct {
    const char* body;
    const char* in;
    const char* out;
    int rate;
  } cases[] = {
      {"InDevice=pulse:alsa_input.usb-rig\nOutDevice=alsa:hw:CARD=Headset\nDeviceRate=48000",
       "pulse:alsa_input.usb-rig", "alsa:hw:CARD=Headset", 48000},
      {"InDevice=rig\nOutDevice=pulse:\nDeviceRate=7999", "", "", 0},
      {"InDevice=jack:system\nOutDevice=pulsex\nDeviceRate=192001", "", "", 0},
      {"InDevice=\nOutDevice=\nDeviceRate=192000", "", "", 192000},
      {"DeviceRate=abc", "", "", 0},
  };
  TempDir dir;
  const std::string path = dir.File("Tarvik.ini");
  for (const auto& c : cases) {
    WriteText(path, std::string("[Define]\n") + c.body + "\n");
    Loaded l = Load(path);
    EXPECT_EQ(l.s.inDevice, c.in) << c.body;
    EXPECT_EQ(l.s.outDevice, c.out) << c.body;
    EXPECT_EQ(l.s.deviceRate, c.rate) << c.body;
  }
  std::remove(path.c_str());
  Loaded l = Load(path);
  l.s.inDevice = "pulse:tarvik_rig.monitor";
  l.s.deviceRate = 44100;
  {
    IniFile ini(path);
    WriteSettings(ini, l.s, l.slots.get());
    ASSERT_TRUE(ini.Save());
  }
  const std::string text = ReadText(path);
  const std::size_t flac = text.find("RecFlac="), in = text.find("InDevice=pulse:tarvik_rig.monitor"),
                    out = text.find("OutDevice="), rate = text.find("DeviceRate=44100"), user = text.find("[User1]");
  EXPECT_TRUE(flac < in && in < out && out < rate && rate < user) << text;
}

TEST(FindSettingsPlace, TheRule) {
  TempDir dir;
  const std::string portable = dir.Path() + "/portable/", installed = dir.Path() + "/usr-bin/";
  ASSERT_EQ(::mkdir(portable.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(installed.c_str(), 0755), 0);
  WriteText(portable + "Tarvik.ini", "[Define]\n");
  struct Case {
    const char* what;
    std::string explicitFile, startDir;
    bool buildTree;
    std::string xdg, home;
    std::string wantFile, wantDialogDir;
  } cases[] = {
      {"--settings wins", "/tmp/x/contest.ini", portable, true, "/cfg", "/home/ham", "/tmp/x/contest.ini",
       "/tmp/x/"},
      {"portable copy", "", portable, false, "/cfg", "/home/ham", portable + "Tarvik.ini", portable},
      {"build tree", "", installed, true, "/cfg", "/home/ham", installed + "Tarvik.ini", installed},
      {"installed, XDG set", "", installed, false, "/cfg", "/home/ham", "/cfg/tarvik/Tarvik.ini",
       "/home/ham/"},
      {"installed, no XDG", "", installed, false, "", "/home/ham/", "/home/ham/.config/tarvik/Tarvik.ini",
       "/home/ham/"},
      {"relative XDG is ignored", "", installed, false, "cfg", "/home/ham",
       "/home/ham/.config/tarvik/Tarvik.ini", "/home/ham/"},
  };
  for (const Case& c : cases) {
    const SettingsPlace p = FindSettingsPlace(c.explicitFile, c.startDir, c.buildTree, c.xdg, c.home);
    EXPECT_EQ(p.file, c.wantFile) << c.what;
    EXPECT_EQ(p.dialogDir, c.wantDialogDir) << c.what;
  }
}

}  // namespace

// The rig link's keys, after the added stages' ones: the link's text kept as
// written (a value that does not parse is the user's to mend), the numbers
// within their ranges or left at what they were.
TEST(Settings, RigKeys) {
  const struct {
    const char* body;
    const char* rig;
    int follow, muteDb, hangMs;
  } cases[] = {
      {"Rig=rigctld:127.0.0.1:4532\nRigFollowPitch=1\nRigTxMute=40\nRigTxHang=300", "rigctld:127.0.0.1:4532", 1, 40,
       300},
      {"Rig=hamlib:3073:/dev/ttyUSB0:19200\nRigTxMute=120\nRigTxHang=2000", "hamlib:3073:/dev/ttyUSB0:19200", 0, 120,
       2000},
      {"Rig=rigtcld:oops\nRigFollowPitch=7\nRigTxMute=121\nRigTxHang=2001", "rigtcld:oops", 1, 0, 200},
      {"RigTxMute=-1\nRigTxHang=-5", "", 0, 0, 200},
      {"RigTxMute=abc\nRigTxHang=0", "", 0, 0, 0},
  };
  TempDir dir;
  const std::string path = dir.File("Tarvik.ini");
  for (const auto& c : cases) {
    WriteText(path, std::string("[Define]\n") + c.body + "\n");
    Loaded l = Load(path);
    EXPECT_EQ(l.s.rig, c.rig) << c.body;
    EXPECT_EQ(l.s.rigFollowPitch, c.follow) << c.body;
    EXPECT_EQ(l.s.rigTxMute, c.muteDb) << c.body;
    EXPECT_EQ(l.s.rigTxHang, c.hangMs) << c.body;
    std::remove(path.c_str());  // a new file: the keys in their own order
    IniFile ini(path);
    WriteSettings(ini, l.s, l.slots.get());
    ASSERT_TRUE(ini.Save());
    const std::string text = ReadText(path);
    const std::size_t level = text.find("NRLevel="), rig = text.find(std::string("Rig=") + c.rig + "\n"),
                      follow = text.find("RigFollowPitch="), mute = text.find("RigTxMute="),
                      hang = text.find("RigTxHang="), user = text.find("[User1]");
    EXPECT_TRUE(level < rig && rig < follow && follow < mute && mute < hang && hang < user) << text;
  }
}
