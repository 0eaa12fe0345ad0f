// The rig link's delays against Hamlib's dummy rig behind rigctld on
// loopback, as the window sees them (its user-interface thread being this
// program's queue): keying to the output lowered, unkeying to the output
// whole again beyond the hang, a pitch to Fo, a server gone to the status
// saying so, and back to the link up. Prints a table in milliseconds.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "control/RigControl.h"
#include "signal/GainRamp.h"
#include "support/RigctldUtil.h"
#include "support/SimWaveDriver.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 10;
constexpr int kHangMs = 300;

double Since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

struct Row {
  const char* what;
  std::vector<double> ms;
};

void Print(const Row& r) {
  std::vector<double> v = r.ms;
  if (v.empty()) {
    std::printf("| %s | - | - | - |\n", r.what);
    return;
  }
  std::sort(v.begin(), v.end());
  std::printf("| %s | %.0f | %.0f | %.0f |\n", r.what, v.front(), v[v.size() / 2], v.back());
}

}  // namespace

int main() {
  if (!rigtest::HaveProgram("rigctld") || !rigtest::HaveProgram("rigctl")) {
    std::fprintf(stderr, "bench_rig: rigctld not installed (tools/install-deps.sh --test)\n");
    return 1;
  }
  rigtest::Rigctld server(rigtest::FreePort());
  if (!server.Start()) return 1;
  const int port = server.Port();
  rigtest::Rigctl(port, "T 0 F 7030000 M CW 500 L CWPITCH 600");

  SimWaveDriver sim;
  Session session(sim, nullptr);
  rigtest::PostQueue ui;
  session.SetRig(server.RigText(), true, 40, kHangMs);
  RigControl rig(session, [&ui](std::function<void()> fn) { ui.Post(std::move(fn)); });
  auto up = [&] { return rig.State().link == RigState::Link::Connected; };
  if (ui.PumpUntil(up, 5000) < 0) return 1;
  const double lowered = GainForAttenuationDb(40);
  CFilter& engine = *session.Engine();

  Row run{"rigctl's own run (counted in the three below)", {}};
  Row key{"keyed (rigctl T 1) to the output lowered", {}};
  Row unkey{"unkeyed to the output whole, beyond the hang", {}};
  Row pitch{"a new CW pitch to Fo", {}};
  Row gone{"rigctld killed to \"Rig: no answer\"", {}};
  Row back{"rigctld back to the link up", {}};
  for (int i = 0; i < kRounds; ++i) {
    // Each change starts at a different point of the 200 ms poll.
    ui.PumpUntil([] { return false; }, 37 * i % 200);
    // From before rigctl starts (an upper bound: its own run is counted).
    Clock::time_point t = Clock::now();
    rigtest::Rigctl(port, "T 1");
    run.ms.push_back(Since(t));
    if (ui.PumpUntil([&] { return engine.OutputGain() == lowered; }, 3000) >= 0) key.ms.push_back(Since(t));
    t = Clock::now();
    rigtest::Rigctl(port, "T 0");
    if (ui.PumpUntil([&] { return engine.OutputGain() == 1.0; }, 3000 + kHangMs) >= 0)
      unkey.ms.push_back(Since(t) - kHangMs);
    const int hz = 500 + 50 * (i % 2);
    t = Clock::now();
    rigtest::Rigctl(port, "L CWPITCH " + std::to_string(hz));
    if (ui.PumpUntil([&] { return session.Fo() == hz; }, 3000) >= 0) pitch.ms.push_back(Since(t));
  }
  for (int i = 0; i < 3; ++i) {
    server.Kill();
    Clock::time_point t = Clock::now();
    if (ui.PumpUntil([&] { return rig.StatusText() == "Rig: no answer"; }, 5000) >= 0)
      gone.ms.push_back(Since(t));
    ui.PumpUntil([] { return false; }, 500 * i);
    if (!server.Start()) return 1;
    t = Clock::now();
    if (ui.PumpUntil(up, 6000) >= 0) back.ms.push_back(Since(t));
  }
  std::printf(
      "Rig link delays, ms (poll %d ms, call time-out %d ms, retry %d ms, ramp %.0f ms not included)\n\n",
      kRigPollMs, kRigCallTimeoutMs, kRigRetryMs, GainRamp::kRampMs);
  std::printf("| | min | median | max |\n|---|---|---|---|\n");
  for (const Row* r : {&run, &key, &unkey, &pitch, &gone, &back}) Print(*r);
  return 0;
}
