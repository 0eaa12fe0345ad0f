#pragma once
// The link to a transceiver through Hamlib, on a worker thread of its own:
// it connects to a rigctld on the network or to a rig model on a serial
// port, polls the rig's frequency, mode, passband, PTT and CW pitch at up to
// 5 Hz and keeps a snapshot for the user-interface thread. A rig that is
// absent, stops answering or goes away is retried every kRigRetryMs; no
// Hamlib call waits longer than kRigCallTimeoutMs for an answer, and nothing
// here touches the audio or waits on the user interface.
//
// Threads: Start, Stop, SetHang, Tune and State from one thread (the
// user-interface thread); `notify` runs on the worker after a change.

#include <functional>
#include <memory>
#include <string>
#include <vector>

constexpr int kRigPollMs = 200;         // 5 Hz
constexpr int kRigRetryMs = 2000;       // a link down is tried again this often
constexpr int kRigCallTimeoutMs = 500;  // one Hamlib call's wait for its answer
constexpr int kRigResolveMs = 1000;     // a host name's look-up
constexpr int kRigDefaultPort = 4532;   // rigctld's
constexpr int kNetRigctlModel = 2;      // Hamlib's "NET rigctl"

// The Rig setting: "" off, "rigctld:HOST:PORT" (HOST and PORT may be left
// out: 127.0.0.1, 4532; an IPv6 HOST in brackets) or
// "hamlib:MODEL:DEVICE:BAUD" (BAUD 0: the model's own).
struct RigSpec {
  enum class Kind { Off, Rigctld, Serial };
  Kind kind = Kind::Off;
  std::string host = "127.0.0.1";
  int port = kRigDefaultPort;
  int model = 0;
  std::string device;
  int baud = 0;
};
// False, with the reason, when text does not parse; rigSpec is then Off.
bool ParseRigSpec(const std::string& text, RigSpec& rigSpec, std::string& error);
std::string RigSpecText(const RigSpec& rigSpec);

// Hamlib's models, for the choice: number, maker, name, and whether it is
// reached over the network rather than a serial port.
struct RigModelInfo {
  int model = 0;
  std::string maker, name;
  bool network = false;
};
std::vector<RigModelInfo> RigModels();  // sorted by maker, then name

struct RigState {
  enum class Link { Off, Connecting, Connected, NoAnswer, NotConnected, Invalid };
  Link link = Link::Off;
  std::string problem;     // why the link is not up, for the status bar
  double freqHz = 0.0;     // of the current VFO
  std::string mode;        // Hamlib's name: "CW", "CWR", "USB" ...
  bool cw = false;         // a CW mode, normal sideband
  bool cwReverse = false;  // CW on the other sideband
  long passbandHz = 0;
  int pitchHz = 0;           // the rig's CW pitch; 0 when it gives none
  bool pttReadable = false;  // the rig says when it transmits
  bool ptt = false;
  // Keyed, or unkeyed less than the hang time ago: the output stays low.
  bool quiet = false;
  bool operator==(const RigState&) const = default;
};
// "Rig: 7030.50 kHz CW", "Rig: not connected (...)", "Rig: no answer".
std::string RigStatusText(const RigState& s);

class RigLink {
 public:
  using Notify = std::function<void()>;
  explicit RigLink(Notify notify);
  ~RigLink();  // stops the worker
  RigLink(const RigLink&) = delete;
  RigLink& operator=(const RigLink&) = delete;

  // Connects by the Rig setting's text ("" off), dropping any link there
  // was; returns at once, the worker does the rest.
  void Start(const std::string& rigSpec, int hangMs);
  void Stop();
  // How long the output stays quiet after the rig unkeys, ms.
  void SetHang(int ms);
  // Asks the rig to tune to hz (at the next chance, once).
  void Tune(double hz);
  RigState State() const;

  struct Core;  // the worker's share

 private:
  // The worker holds its core too: a worker still inside a Hamlib call
  // when the link stops is left to end by itself, never waited for long.
  std::shared_ptr<Core> core_;
  Notify notify_;
};
