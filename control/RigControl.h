#pragma once
// What the rig link does to the listening session, on the user-interface
// thread: Fo follows the rig's CW pitch, the output goes quiet while the rig
// transmits (and a recording's label file marks when), recordings are named
// with the rig's frequency, and a click on a tone tunes the rig onto the
// pitch. The link's worker posts here; nothing here waits on the rig.

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "control/RigLink.h"
#include "control/Session.h"

class RigControl {
 public:
  // Runs a call on the user-interface thread later, from any thread (the
  // window's event loop; a test's queue).
  using Post = std::function<void(std::function<void()>)>;
  // Follows session's rig settings from now on (the link starts here).
  RigControl(Session& session, Post post);
  ~RigControl();
  RigControl(const RigControl&) = delete;
  RigControl& operator=(const RigControl&) = delete;

  // After every change of what the rig shows (UI thread).
  std::function<void()> onChange;

  const RigState& State() const { return state_; }
  // The status bar's text; "" while the link is off.
  std::string StatusText() const { return RigStatusText(state_); }
  // A tone at clickedHz brought onto the pitch (the rig's, else Fo): false
  // when nothing was sent (no link, not a CW mode).
  bool ZeroBeat(double clickedHz);
  // The frequency that does it: in CW the old plus (clicked - pitch), in
  // CW-R the old minus; none in other modes. To 1 Hz.
  static std::optional<double> ZeroBeatHz(const RigState& s, double clickedHz, double pitchHz);
  // The display timer: a transmission's label is closed when the recording
  // ended during it, and opened when one starts during it.
  void Tick();
  // Takes the link's newest state now (the posted call does so).
  void Take();
  // The label file beside a recording: its name with ".txt" for the
  // extension (Audacity's label format: start, end in s, text).
  static std::string LabelFileFor(const std::string& recording);

 private:
  void Follow();    // the session's rig settings into the link
  void PutQuiet();  // the output's attenuation from the state
  void Label(bool quiet);
  void CloseLabel(long long frames);

  Session& session_;
  Post post_;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  std::atomic<bool> posted_{false};
  int listener_ = 0;
  RigState state_;
  std::string spec_;  // the link's, as started
  int followed_ = 0;  // the pitch Fo last followed, Hz; 0 none
  bool labelOpen_ = false;
  std::string labelRecording_;
  double labelStartS_ = 0.0;
  long long lastFrames_ = 0;
  RigLink link_;  // last: stopped first, before what its posts reach
};
