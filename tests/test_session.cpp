// The listening session driven without a window, as a rig link or any other
// driver would drive it, on the simulated card (the engine is not started:
// a definition is put in force all the same).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>

#include "control/Session.h"
#include "control/Shortcuts.h"
#include "support/SimWaveDriver.h"
#include "support/TestUtil.h"

namespace {

using testutil::ReadText;
using testutil::TempDir;
using testutil::WriteText;

// What the preset code at fo and tap should play, made independently of the
// session from the default user slots.
FilterDefinition Expected(int code, double fo, int tap) {
  FilterDefinition slots[kUserSlotCount];
  SetDefaultUserDesigns(slots, kDefaultPresetTap);
  FilterDefinition d;
  InstallPreset(d, code, fo, tap, slots);
  return d;
}

// Tap 0 is through whatever h[0] holds.
bool SameCoefs(const FilterDefinition& a, const FilterDefinition& b) {
  if (a.overSmp != b.overSmp || a.tap != b.tap || a.params.type != b.params.type) return false;
  for (int i = 0; i <= a.tap && a.tap > 0; ++i)
    if (a.h[i] != b.h[i]) return false;
  return true;
}

struct SessionFixture : ::testing::Test {
  SimWaveDriver sim;
  Session session{sim, nullptr};
  std::vector<unsigned> told;
  SessionFixture() {
    session.AddListener([this](unsigned c) { told.push_back(c); });
  }
};

// Each step is what a control or key does; the selection, Fo, tap and what
// plays must follow, refused values must change nothing.
TEST_F(SessionFixture, OperationsPutTheStateInForce) {
  enum Op { Select, Fo, Tap, StepBy, FoAt };
  struct Step {
    Op op;
    double value;
    bool changes;
    int select;
    double fo;
    int tap;
  } steps[] = {
      {Select, 10, true, 10, 700, 100},    // BP200
      {Fo, 750, true, 10, 750, 100},       // re-centres
      {Fo, 334, false, 10, 750, 100},      // below the range
      {Fo, 1588, false, 10, 750, 100},     // above it
      {Fo, std::numeric_limits<double>::quiet_NaN(), false, 10, 750, 100},
      {Tap, 101, false, 10, 750, 100},     // odd
      {Tap, 514, false, 10, 750, 100},
      {Tap, 64, true, 10, 750, 64},
      {StepBy, 2000, true, 10, kFoMaxHz, 64},  // bounded
      {FoAt, 702.4, true, 10, 700, 64},      // to 5 Hz
      {FoAt, 703, true, 10, 705, 64},
      {Select, 0, true, 0, 705, 64},         // through
      {Select, 0, true, 10, 705, 64},        // through again: back
      {Select, 99, true, 0, 705, 64},        // no such preset: through
      {Select, 15, true, 15, 705, 64},       // a user slot
  };
  for (const Step& st : steps) {
    told.clear();
    bool changed = true;
    switch (st.op) {
      case Select: session.SelectPreset(static_cast<int>(st.value)); break;
      case Fo: changed = session.SetFo(st.value); break;
      case Tap: changed = session.SetPresetTap(static_cast<int>(st.value)); break;
      case StepBy: changed = session.StepFo(st.value); break;
      case FoAt: changed = session.SetFoAt(st.value); break;
    }
    SCOPED_TRACE(testing::Message() << "op " << st.op << " value " << st.value);
    EXPECT_EQ(changed, st.changes);
    EXPECT_EQ(told.empty(), !st.changes) << "listeners are told of changes only";
    EXPECT_EQ(session.Select(), st.select);
    EXPECT_EQ(session.Fo(), st.fo);
    EXPECT_EQ(session.PresetTap(), st.tap);
    EXPECT_TRUE(SameCoefs(session.Engine()->Definition(), Expected(st.select, st.fo, st.tap)));
  }
}

TEST_F(SessionFixture, AddedStagesAreBoundedAndPutInForce) {
  session.SetNoiseReduction(true, 9);
  EXPECT_EQ(session.Engine()->Extras().nrLevel, kNrLevels);
  session.SetNoiseReduction(false, 2);
  EXPECT_EQ(session.Engine()->Extras().nrLevel, 0);
  EXPECT_EQ(session.NrLevel(), 2) << "the level is kept while off";
  session.SetNoiseReduction(true, 0);
  EXPECT_EQ(session.Engine()->Extras().nrLevel, 1);
  const double tries[] = {49.4, 700.4, 5400.4, 5401, 1200, 1500, 2000, 3000};
  for (double hz : tries) session.AddNotch(hz);
  EXPECT_EQ(session.Notches(), (std::vector<double>{700, 5400, 1200, 1500})) << "in range, to 1 Hz, four at most";
  session.RemoveNotch(7);  // not there: nothing
  session.RemoveNotch(0);
  const ChainExtras e = session.Engine()->Extras();
  ASSERT_EQ(e.notchCount, 3);
  EXPECT_EQ(e.notchHz[0], 5400);
  session.SetBlanker(true);
  EXPECT_TRUE(session.Engine()->Extras().blanker);
}

// A listener may remove itself (or another) while it is told: the rest are
// still told, once each.
TEST_F(SessionFixture, ListenersMayLeaveWhileTold) {
  int first = 0, second = 0;
  int id = 0;
  id = session.AddListener([&](unsigned) {
    ++first;
    session.RemoveListener(id);
  });
  session.AddListener([&](unsigned) { ++second; });
  session.SetDcCut(true);
  session.SetDcCut(false);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 2);
  EXPECT_FALSE(session.Engine()->DcCut());
}

// NR=2 with NRLevel=3 is level 2 in force; a save writes both keys so that
// the next start finds the same, and the session's text is the file's.
TEST_F(SessionFixture, SettingsRoundTripThroughTheFile) {
  TempDir dir;
  const std::string ini = dir.File("sub/Tarvik.ini");
  WriteText(dir.File("in.ini"),
            "[Define]\nSelect=11\nFo=650\nTap=64\nDCCut=1\nNR=2\nNRLevel=3\nNB=1\nNotches=900,1800\n"
            "InDevice=pulse:sim_in\n[User2]\nType=5\nOverSmp=2\nTap=32\n");
  ASSERT_TRUE(session.Load(dir.File("in.ini")));
  EXPECT_EQ(session.Select(), 11);
  EXPECT_EQ(session.PreviousSelect(), 11);
  EXPECT_TRUE(session.NrOn());
  EXPECT_EQ(session.NrLevel(), 2);
  EXPECT_EQ(session.Engine()->Extras().nrLevel, 2);
  EXPECT_TRUE(session.Engine()->DcCut());
  EXPECT_EQ(session.UserSlot(1).params.type, FilterType::LMS);
  session.Reselect();  // as the first paint does
  EXPECT_TRUE(SameCoefs(session.Engine()->Definition(), Expected(11, 650, 64)));

  session.SetNoiseReduction(false, 2);
  session.SetOutput(OutputMode::Pan, -0.25);
  session.SetOutput(OutputMode::Binaural, std::nan(""));  // keeps the balance
  EXPECT_EQ(session.Engine()->Output(), OutputMode::Binaural);
  ASSERT_TRUE(session.Save(ini, true)) << "the missing directory is made";
  EXPECT_NE(ReadText(ini).find("Output=1\nBalance=-0.25\n"), std::string::npos);
  EXPECT_EQ(ReadText(ini), session.Text());
  session.Stop();
  EXPECT_EQ(session.Engine(), nullptr);
  EXPECT_EQ(session.Text(), ReadText(ini)) << "the state outlives the engine";

  SimWaveDriver sim2;
  Session again(sim2, nullptr);
  ASSERT_TRUE(again.Load(ini));
  EXPECT_FALSE(again.NrOn());
  EXPECT_EQ(again.NrLevel(), 2);
  EXPECT_EQ(again.Notches(), (std::vector<double>{900, 1800}));
  EXPECT_EQ(again.InDevice(), "pulse:sim_in");
  EXPECT_EQ(again.Output(), OutputMode::Binaural);
  EXPECT_EQ(again.Balance(), -0.25);
  EXPECT_EQ(again.Text(), ReadText(ini));
}

// The README's table, Help and the key bindings come from one table; no key
// does two things.
// The rig's frequency in a recording's name (kHz to 10 Hz), the rig's
// settings bounded, and --rig's value not saved.
TEST_F(SessionFixture, RigFrequencyNamesRecordingsAndRigSettingsAreBounded) {
  const struct {
    double hz;
    const char* tag;
  } tags[] = {{7030500, "7030.5kHz"}, {7030000, "7030kHz"},     {14060010, "14060.01kHz"},
              {3560004, "3560kHz"},   {3560006, "3560.01kHz"},  {145000000, "145000kHz"},
              {475500, "475.5kHz"}};
  for (const auto& t : tags) EXPECT_EQ(RigFrequencyTag(t.hz), t.tag) << t.hz;

  TempDir dir;
  session.SetRecordDir(dir.File("rec"));
  std::string error;
  const struct {
    double hz;
    const char* file;
  } names[] = {{7030500, "Tarvik-20261209-071200-7030.5kHz.wav"},
               {7030500, "Tarvik-20261209-071200-7030.5kHz-2.wav"},
               {0, "Tarvik-20261209-071200.wav"}};
  for (const auto& n : names) {
    session.SetRigFrequency(n.hz);
    ASSERT_TRUE(session.StartRecording("20261209-071200", error)) << error;
    EXPECT_EQ(session.Engine()->Recording().outputFile, dir.File("rec") + "/" + n.file);
    session.Engine()->StopRecording();
  }

  told.clear();
  session.SetRig("rigctld:127.0.0.1:4533", true, 500, -3);
  EXPECT_EQ(told, std::vector<unsigned>{Session::kRig});
  EXPECT_EQ(session.RigTxMuteDb(), kMaxRigTxMuteDb);
  EXPECT_EQ(session.RigTxHangMs(), 0);
  session.OverrideRig("rigctld:127.0.0.1:4600");
  EXPECT_EQ(session.Rig(), "rigctld:127.0.0.1:4600");
  EXPECT_NE(session.Text().find("Rig=rigctld:127.0.0.1:4533"), std::string::npos);
  session.SetRig("", false, 0, 200);  // a choice in the dialog ends the override
  EXPECT_EQ(session.Rig(), "");
}

TEST(Shortcuts, OneTableForKeysHelpAndReadme) {
  std::ifstream in(std::string(TARVIK_SOURCE_DIR) + "/README.md");
  std::stringstream readme;
  readme << in.rdbuf();
  EXPECT_NE(readme.str().find(ShortcutsMarkdown()), std::string::npos)
      << "README.md's key table should read:\n"
      << ShortcutsMarkdown();
  std::vector<std::string> keys;
  for (const Shortcut& s : kShortcuts)
    for (const KeyBinding& k : s.bindings)
      if (k.key) {
        EXPECT_EQ(std::count(keys.begin(), keys.end(), k.key), 0) << k.key;
        keys.push_back(k.key);
      }
}

}  // namespace
