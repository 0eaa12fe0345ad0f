// The rig link against Hamlib's own rigctld and its dummy rig on loopback:
// the session driven as the window drives it, its user-interface thread
// being the test's queue.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "control/RigControl.h"
#include "control/RigLink.h"
#include "control/Session.h"
#include "signal/GainRamp.h"
#include "support/RigctldUtil.h"
#include "support/SimWaveDriver.h"
#include "support/TestUtil.h"

namespace {

using rigtest::PostQueue;
using rigtest::Rigctl;
using rigtest::Rigctld;
using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point since) {
  return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

TEST(RigSpec, ParsesWhatTheSettingHoldsAndRefusesTheRest) {
  const struct {
    const char* text;
    bool ok;
    RigSpec::Kind kind = RigSpec::Kind::Off;
    const char* host = "";
    int port = 0;
    int model = 0;
    const char* device = "";
    int baud = 0;
    const char* back = "";  // the text made from the parse
  } cases[] = {
      {"", true, RigSpec::Kind::Off, "127.0.0.1", 4532, 0, "", 0, ""},
      {"  ", true, RigSpec::Kind::Off, "127.0.0.1", 4532, 0, "", 0, ""},
      {"rigctld", true, RigSpec::Kind::Rigctld, "127.0.0.1", 4532, 0, "", 0, "rigctld:127.0.0.1:4532"},
      {"rigctld:shack.local", true, RigSpec::Kind::Rigctld, "shack.local", 4532, 0, "", 0,
       "rigctld:shack.local:4532"},
      {"rigctld:10.0.0.2:4533", true, RigSpec::Kind::Rigctld, "10.0.0.2", 4533, 0, "", 0,
       "rigctld:10.0.0.2:4533"},
      {"rigctld:[::1]:4600", true, RigSpec::Kind::Rigctld, "[::1]", 4600, 0, "", 0, "rigctld:[::1]:4600"},
      {"hamlib:3073:/dev/ttyUSB0:19200", true, RigSpec::Kind::Serial, "127.0.0.1", 4532, 3073, "/dev/ttyUSB0",
       19200, "hamlib:3073:/dev/ttyUSB0:19200"},
      {"hamlib:1:/dev/serial/by-id/usb-Silicon_Labs:if00:0", true, RigSpec::Kind::Serial, "127.0.0.1", 4532,
       1, "/dev/serial/by-id/usb-Silicon_Labs:if00", 0, "hamlib:1:/dev/serial/by-id/usb-Silicon_Labs:if00:0"},
      {"rigctld:host:0", false},
      {"rigctld:host:65536", false},
      {"rigctld:host:45x", false},
      {"rigctld:[::1", false},
      {"rigctld:a b:4532", false},
      {"rigctl:127.0.0.1:4532", false},
      {"hamlib:IC7300:/dev/ttyUSB0:9600", false},
      {"hamlib:3073::9600", false},
      {"hamlib:3073:/dev/ttyUSB0", false},
      {"hamlib:3073:/dev/ttyUSB0:fast", false},
      {"hamlib:0:/dev/ttyUSB0:9600", false},
      {"/dev/ttyUSB0", false},
  };
  for (const auto& c : cases) {
    RigSpec rigSpec;
    std::string error;
    EXPECT_EQ(ParseRigSpec(c.text, rigSpec, error), c.ok) << c.text;
    if (!c.ok) {
      EXPECT_FALSE(error.empty()) << c.text;
      EXPECT_EQ(rigSpec.kind, RigSpec::Kind::Off) << c.text;
      continue;
    }
    EXPECT_EQ(rigSpec.kind, c.kind) << c.text;
    EXPECT_EQ(rigSpec.host, c.host) << c.text;
    EXPECT_EQ(rigSpec.port, c.port) << c.text;
    EXPECT_EQ(rigSpec.model, c.model) << c.text;
    EXPECT_EQ(rigSpec.device, c.device) << c.text;
    EXPECT_EQ(rigSpec.baud, c.baud) << c.text;
    EXPECT_EQ(RigSpecText(rigSpec), c.back) << c.text;
  }
}

TEST(RigControl, ZeroBeatMovesByTheToneOffsetWithTheSidebandsSign) {
  const struct {
    bool cw, cwr;
    double clicked, pitch, expected;  // expected 0: nothing sent
  } cases[] = {
      {true, false, 700, 650, 7030050}, {true, false, 600, 650, 7029950}, {false, true, 700, 650, 7029950},
      {false, true, 600, 650, 7030050}, {true, false, 650, 650, 7030000}, {false, false, 700, 650, 0},
  };
  for (const auto& c : cases) {
    RigState s;
    s.link = RigState::Link::Connected;
    s.freqHz = 7030000;
    s.cw = c.cw;
    s.cwReverse = c.cwr;
    const auto hz = RigControl::ZeroBeatHz(s, c.clicked, c.pitch);
    if (c.expected == 0) {
      EXPECT_FALSE(hz.has_value());
    } else {
      ASSERT_TRUE(hz.has_value());
      EXPECT_EQ(*hz, c.expected);
    }
  }
  EXPECT_EQ(RigControl::LabelFileFor("/rec/Tarvik-20261209-071200-7030.5kHz.wav"),
            "/rec/Tarvik-20261209-071200-7030.5kHz.txt");
  EXPECT_EQ(RigControl::LabelFileFor("/rec.d/Tarvik"), "/rec.d/Tarvik.txt");
}

struct RigFixture : ::testing::Test {
  SimWaveDriver sim;
  Session session{sim, nullptr};
  PostQueue ui;
  std::unique_ptr<RigControl> rig;
  testutil::TempDir dir;

  void Connect(const std::string& rigSpec, bool follow = false, int muteDb = 0, int hangMs = 0) {
    session.SetRig(rigSpec, follow, muteDb, hangMs);
    rig = std::make_unique<RigControl>(session, [this](std::function<void()> fn) { ui.Post(std::move(fn)); });
  }
  bool Up() const { return rig->State().link == RigState::Link::Connected; }
  // Pumps until the rig's frequency reads hz; ms, or -1.
  double UntilFreq(double hz, int ms = 5000) {
    return ui.PumpUntil([&] { return Up() && rig->State().freqHz == hz; }, ms);
  }
};

// Bad values: a clear status soon, nothing waits, the value kept as typed.
TEST_F(RigFixture, BadValuesSayWhyAndAreKept) {
  const std::string serialModel = [] {
    for (const RigModelInfo& m : RigModels())
      if (m.maker == "Icom" && m.name == "IC-7300") return std::to_string(m.model);
    return std::string("3073");
  }();
  const struct {
    std::string rigSpec;
    const char* says;
  } cases[] = {
      {"rigctl:127.0.0.1:4532", "Rig: \"rigctl:127.0.0.1:4532\" is neither"},
      {"rigctld:127.0.0.1:70000", "the port is a number"},
      {"hamlib:999999:/dev/ttyS0:9600", "Hamlib has no model 999999"},
      {"hamlib:" + serialModel + ":/dev/tarvik-no-such-tty:9600", "/dev/tarvik-no-such-tty does not exist"},
      {"hamlib:" + serialModel + ":/dev/null:9600", "/dev/null is not a serial port"},
      {"hamlib:" + serialModel + ":/tmp:9600", "/tmp is not a serial port"},
      {"rigctld:no-such-host.invalid:4532", "unknown host no-such-host.invalid"},
      {"rigctld:127.0.0.1:" + std::to_string(rigtest::FreePort()), "Rig: not connected (nothing answers at"},
  };
  for (const auto& c : cases) {
    const auto start = Clock::now();
    Connect(c.rigSpec);
    EXPECT_LT(Ms(start), 300.0) << c.rigSpec;  // the link starts on its worker
    EXPECT_GE(ui.PumpUntil([&] { return rig->StatusText().find(c.says) != std::string::npos; }, 3000), 0.0)
        << c.rigSpec << " says \"" << rig->StatusText() << "\"";
    EXPECT_FALSE(Up());
    EXPECT_EQ(session.Rig(), c.rigSpec);
    EXPECT_NE(session.Text().find("Rig=" + c.rigSpec), std::string::npos) << c.rigSpec;
    EXPECT_EQ(session.Engine()->OutputGain(), 1.0);
    rig.reset();
  }
}

TEST_F(RigFixture, ReadsTheRigFollowsItsPitchAndNamesRecordings) {
  REQUIRE_RIGCTLD();
  Rigctld server(rigtest::FreePort());
  ASSERT_TRUE(server.Start());
  Rigctl(server.Port(), "F 7030500 M CW 500 L CWPITCH 0");
  ASSERT_TRUE(session.SetFo(800));
  Connect(server.RigText(), true);
  ASSERT_GE(UntilFreq(7030500), 0.0) << rig->StatusText();
  EXPECT_EQ(rig->StatusText(), "Rig: 7030.50 kHz CW");
  EXPECT_EQ(rig->State().passbandHz, 500);
  EXPECT_TRUE(rig->State().pttReadable);
  EXPECT_EQ(session.Fo(), 800.0);  // no pitch from the rig: nothing changes

  // Pitches as the rig reports them; Fo as typed (to 5 Hz, within bounds).
  const struct {
    const char* mode;
    int pitch;
    double fo;
  } steps[] = {{"CW", 650, 650}, {"CW", 653, 655}, {"CWR", 720, 720}, {"USB", 600, 720}, {"CW", 600, 600}};
  for (const auto& s : steps) {
    Rigctl(server.Port(), std::string("M ") + s.mode + " 500 L CWPITCH " + std::to_string(s.pitch));
    const double ms = ui.PumpUntil(
        [&] {
          return rig->State().mode == s.mode && rig->State().pitchHz == s.pitch && session.Fo() == s.fo;
        },
        1000);
    EXPECT_GE(ms, 0.0) << s.mode << " " << s.pitch << ": Fo " << session.Fo();
  }
  // Turned off, Fo stays where the user puts it.
  session.SetRig(server.RigText(), false, 0, 0);
  ASSERT_TRUE(session.SetFo(900));
  Rigctl(server.Port(), "L CWPITCH 500");
  ASSERT_GE(ui.PumpUntil([&] { return rig->State().pitchHz == 500; }, 1000), 0.0);
  EXPECT_EQ(session.Fo(), 900.0);

  session.SetRecordDir(dir.File("rec"));
  std::string error;
  ASSERT_TRUE(session.StartRecording("20261209-071200", error)) << error;
  EXPECT_EQ(session.Engine()->Recording().outputFile,
            dir.File("rec") + "/Tarvik-20261209-071200-7030.5kHz.wav");
  session.Engine()->StopRecording();
}

TEST_F(RigFixture, TransmittingLowersTheOutputForItsHangAndLabelsTheRecording) {
  REQUIRE_RIGCTLD();
  Rigctld server(rigtest::FreePort());
  ASSERT_TRUE(server.Start());
  Rigctl(server.Port(), "T 0 F 14060000 M CW 500");
  constexpr int kHangMs = 600;
  Connect(server.RigText(), false, 40, kHangMs);
  ASSERT_GE(UntilFreq(14060000), 0.0) << rig->StatusText();
  session.SetRecordDir(dir.File("rec"));
  std::string error;
  ASSERT_TRUE(session.StartRecording("20261209-071300", error)) << error;
  const std::string labels = RigControl::LabelFileFor(session.Engine()->Recording().outputFile);

  const double lowered = GainForAttenuationDb(40);
  for (int round = 0; round < 2; ++round) {
    auto start = Clock::now();
    Rigctl(server.Port(), "T 1");
    // Seen at the next poll at the latest.
    const double on = ui.PumpUntil([&] { return session.Engine()->OutputGain() == lowered; }, 2000);
    ASSERT_GE(on, 0.0) << "round " << round;
    EXPECT_LT(Ms(start), kRigPollMs + 2 * kRigCallTimeoutMs) << "round " << round;
    EXPECT_TRUE(rig->State().ptt);
    EXPECT_NE(rig->StatusText().find(" TX"), std::string::npos);
    start = Clock::now();
    Rigctl(server.Port(), "T 0");
    ASSERT_GE(ui.PumpUntil([&] { return !rig->State().ptt; }, 2000), 0.0);
    EXPECT_EQ(session.Engine()->OutputGain(), lowered);  // the hang holds it
    ASSERT_GE(ui.PumpUntil([&] { return session.Engine()->OutputGain() == 1.0; }, kHangMs + 2000), 0.0);
    const double off = Ms(start);
    EXPECT_GE(off, kHangMs) << "round " << round;
    EXPECT_LT(off, kHangMs + kRigPollMs + 2 * kRigCallTimeoutMs) << "round " << round;
    std::printf("[ delays ] PTT on seen after %.0f ms, output back %.0f ms after unkeying (hang %d ms)\n", on,
                off, kHangMs);
  }
  session.Engine()->StopRecording();
  std::ifstream in(labels);
  std::string line;
  int lines = 0;
  while (std::getline(in, line)) {
    ++lines;
    double a = -1, b = -1;
    char text[32] = {};
    ASSERT_EQ(std::sscanf(line.c_str(), "%lf\t%lf\t%31[^\n]", &a, &b, text), 3) << line;
    EXPECT_LE(a, b) << line;
    EXPECT_STREQ(text, "TX -40 dB");
  }
  EXPECT_EQ(lines, 2) << labels;

  // Turned off, the output stays whole through a transmission.
  session.SetRig(server.RigText(), false, 0, kHangMs);
  Rigctl(server.Port(), "T 1");
  ASSERT_GE(ui.PumpUntil([&] { return rig->State().ptt; }, 2000), 0.0);
  EXPECT_EQ(session.Engine()->OutputGain(), 1.0);
  Rigctl(server.Port(), "T 0");
}

TEST_F(RigFixture, ZeroBeatTunesTheDummyBySidebandAndOnlyInCw) {
  REQUIRE_RIGCTLD();
  Rigctld server(rigtest::FreePort());
  ASSERT_TRUE(server.Start());
  Rigctl(server.Port(), "F 7030000 M CW 500 L CWPITCH 650");
  Connect(server.RigText());
  ASSERT_GE(UntilFreq(7030000), 0.0) << rig->StatusText();
  ASSERT_GE(ui.PumpUntil([&] { return rig->State().pitchHz == 650; }, 1000), 0.0);
  ASSERT_TRUE(rig->ZeroBeat(700));  // the tone 50 Hz above the pitch
  EXPECT_GE(UntilFreq(7030050), 0.0) << rig->StatusText();
  EXPECT_EQ(Rigctl(server.Port(), "f"), "7030050\n");

  Rigctl(server.Port(), "M CWR 500");
  ASSERT_GE(ui.PumpUntil([&] { return rig->State().cwReverse; }, 1000), 0.0);
  ASSERT_TRUE(rig->ZeroBeat(700));
  EXPECT_GE(UntilFreq(7030000), 0.0) << rig->StatusText();

  Rigctl(server.Port(), "M USB 2400");
  ASSERT_GE(ui.PumpUntil([&] { return rig->State().mode == "USB"; }, 1000), 0.0);
  EXPECT_FALSE(rig->ZeroBeat(700));
  ui.PumpUntil([] { return false; }, 3 * kRigPollMs);
  EXPECT_EQ(Rigctl(server.Port(), "f"), "7030000\n");
}

// rigctld killed, then back: the status says so, the queue keeps moving,
// and the link comes back by itself within the retry time.
TEST_F(RigFixture, ALinkLostIsRetriedAndResumes) {
  REQUIRE_RIGCTLD();
  Rigctld server(rigtest::FreePort());
  ASSERT_TRUE(server.Start());
  Rigctl(server.Port(), "F 3560000 M CW 500 T 1");
  Connect(server.RigText(), false, 120, 0);
  ASSERT_GE(UntilFreq(3560000), 0.0) << rig->StatusText();
  ASSERT_GE(ui.PumpUntil([&] { return session.Engine()->OutputGain() == 0.0; }, 1000), 0.0);

  server.Kill();
  const double lost = ui.PumpUntil([&] { return rig->StatusText() == "Rig: no answer"; }, 3000);
  EXPECT_GE(lost, 0.0) << rig->StatusText();
  EXPECT_EQ(session.Engine()->OutputGain(), 1.0);  // a link lost leaves the sound alone
  // Every call of the queue returns at once while the link is down.
  for (int i = 0; i < 20; ++i) {
    const auto start = Clock::now();
    ui.Pump();
    rig->Take();
    EXPECT_LT(Ms(start), 50.0);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(server.Start());
  const auto back = Clock::now();
  EXPECT_GE(ui.PumpUntil([&] { return Up(); }, 3000), 0.0) << rig->StatusText();
  std::printf("[ delays ] rigctld killed: seen after %.0f ms; back: connected after %.0f ms\n", lost,
              Ms(back));

  // Stopped, not killed: it accepts but does not answer.
  server.Signal(SIGSTOP);
  EXPECT_GE(ui.PumpUntil([&] { return rig->StatusText() == "Rig: no answer"; }, 3000), 0.0)
      << rig->StatusText();
  server.Signal(SIGCONT);
  EXPECT_GE(ui.PumpUntil([&] { return Up(); }, 3000 + 2 * kRigRetryMs), 0.0) << rig->StatusText();
}

// What rigctld does not do by itself: a server that takes the connection
// and never says a word (a hung rigctld, a proxy whose rig is gone). Ours,
// a listening socket on loopback that nobody reads: every question runs
// into its time-out, the status says so, and stopping the link in the
// middle of that does not wait for it.
TEST_F(RigFixture, AServerThatNeverAnswersIsNotConnectedAndStopsAtOnce) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(fd, 8), 0);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  const std::string rigSpec = "rigctld:127.0.0.1:" + std::to_string(ntohs(a.sin_port));

  Connect(rigSpec, true, 120, 0);
  const double ms =
      ui.PumpUntil([&] { return rig->StatusText().rfind("Rig: not connected", 0) == 0; }, 10000);
  EXPECT_GE(ms, 0.0) << rig->StatusText();
  std::printf("[ delays ] a server that never answers: \"%s\" after %.0f ms\n", rig->StatusText().c_str(),
              ms);
  EXPECT_EQ(session.Engine()->OutputGain(), 1.0);

  // Stopped while the worker waits on the silent server again.
  Connect(rigSpec);
  ui.PumpUntil([] { return false; }, 100);
  const auto start = Clock::now();
  rig.reset();
  EXPECT_LT(Ms(start), 400.0);
  ::close(fd);
}

// Without -P RIG the dummy rig cannot say when it transmits.
TEST_F(RigFixture, ARigWithoutPttReadingSaysSo) {
  REQUIRE_RIGCTLD();
  const int port = rigtest::FreePort();
  const pid_t pid =
      rigtest::Spawn({"rigctld", "-m", "1", "-T", "127.0.0.1", "-t", std::to_string(port)}, true);
  ASSERT_GT(pid, 0);
  for (int i = 0; i < 300 && !rigtest::Listening(port); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  Connect("rigctld:127.0.0.1:" + std::to_string(port), false, 120, 0);
  EXPECT_GE(ui.PumpUntil([&] { return Up(); }, 6000), 0.0) << rig->StatusText();
  EXPECT_FALSE(rig->State().pttReadable);
  EXPECT_EQ(session.Engine()->OutputGain(), 1.0);
  rig.reset();
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

}  // namespace
