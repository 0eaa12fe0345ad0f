#include "control/RigLink.h"

#include <fcntl.h>
#include <hamlib/rig.h>
#include <netdb.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstring>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// Hamlib's model list and backends are global: their loading and every
// rig_init/rig_cleanup go one at a time.
std::mutex& HamlibLock() {
  static std::mutex m;
  return m;
}

void QuietHamlib() {
  static std::once_flag once;
  std::call_once(once, [] { rig_set_debug(RIG_DEBUG_NONE); });
}

bool ParseInt(const std::string& text, int lo, int hi, int& out) {
  int v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty() || v < lo || v > hi) return false;
  out = v;
  return true;
}

std::string Trim(const std::string& s) {
  const std::size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return std::string();
  return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

// A timeout, a broken link or a garbled answer: the rig is not there.
bool LinkLost(int rc) {
  return rc == -RIG_ETIMEOUT || rc == -RIG_EIO || rc == -RIG_EPROTO || rc == -RIG_BUSERROR;
}

bool SetConf(RIG* rig, const char* name, const std::string& value) {
  const token_t token = rig_token_lookup(rig, name);
  return token != RIG_CONF_END && rig_set_conf(rig, token, value.c_str()) == RIG_OK;
}

std::string GetConf(RIG* rig, const char* name) {
  const token_t token = rig_token_lookup(rig, name);
  char buf[128] = {};
  if (token == RIG_CONF_END || rig_get_conf2(rig, token, buf, sizeof buf) != RIG_OK) return std::string();
  return buf;
}

// getaddrinfo may wait many seconds on a resolver that does not answer; it
// runs on a thread of its own that is left behind when it is late.
bool ResolveHost(const std::string& host, std::string& numeric, std::string& error) {
  struct Shared {
    std::mutex m;
    std::condition_variable done;
    bool finished = false;
    std::string address;
    int rc = 0;
  };
  auto shared = std::make_shared<Shared>();
  std::thread([shared, host] {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    std::string address;
    if (rc == 0 && found) {
      char text[NI_MAXHOST] = {};
      if (::getnameinfo(found->ai_addr, found->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) ==
          0)
        address = found->ai_family == AF_INET6 ? "[" + std::string(text) + "]" : std::string(text);
    }
    if (found) ::freeaddrinfo(found);
    std::lock_guard<std::mutex> lock(shared->m);
    shared->finished = true;
    shared->rc = rc;
    shared->address = address;
    shared->done.notify_all();
  }).detach();
  std::unique_lock<std::mutex> lock(shared->m);
  if (!shared->done.wait_for(lock, Ms(kRigResolveMs), [&] { return shared->finished; })) {
    error = "no answer from the name service for " + host;
    return false;
  }
  if (shared->rc != 0 || shared->address.empty()) {
    error = "unknown host " + host;
    return false;
  }
  numeric = shared->address;
  return true;
}

// A serial device that is there and may be opened; else why not. Not
// opened here: opening a port raises DTR and RTS, which key some rigs.
bool SerialDeviceUsable(const std::string& device, std::string& error) {
  struct stat st;
  if (::stat(device.c_str(), &st) != 0) {
    error = device + " does not exist";
    return false;
  }
  if (!S_ISCHR(st.st_mode)) {
    error = device + " is not a serial port";
    return false;
  }
  if (::access(device.c_str(), R_OK | W_OK) != 0) {
    error = "no permission to open " + device + " (is the user in group dialout?)";
    return false;
  }
  return true;
}

// Why a device Hamlib could not use failed: a character device that is no
// terminal (/dev/null), else a rig that does not answer.
std::string SerialFailure(const std::string& device) {
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  const bool tty = fd >= 0 && ::isatty(fd) != 0;
  if (fd >= 0) ::close(fd);
  return tty ? "the rig does not answer on " + device : device + " is not a serial port";
}

std::string Khz(double hz) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.2f kHz", hz / 1000.0);
  return buf;
}

}  // namespace

bool ParseRigSpec(const std::string& typed, RigSpec& rigSpec, std::string& error) {
  rigSpec = RigSpec();
  const std::string text = Trim(typed);
  if (text.empty()) return true;
  auto fail = [&](const std::string& why) {
    rigSpec = RigSpec();
    error = why;
    return false;
  };
  if (text.rfind("rigctld", 0) == 0 && (text.size() == 7 || text[7] == ':')) {
    rigSpec.kind = RigSpec::Kind::Rigctld;
    std::string rest = text.size() > 8 ? text.substr(8) : std::string();
    if (rest.empty()) return true;
    std::string host = rest, port;
    if (rest[0] == '[') {  // an IPv6 address
      const std::size_t close = rest.find(']');
      if (close == std::string::npos) return fail("\"" + text + "\": the address lacks its ']'");
      host = rest.substr(0, close + 1);
      if (close + 1 < rest.size()) {
        if (rest[close + 1] != ':') return fail("\"" + text + "\": a ':' goes before the port");
        port = rest.substr(close + 2);
      }
    } else if (const std::size_t colon = rest.find(':'); colon != std::string::npos) {
      host = rest.substr(0, colon);
      port = rest.substr(colon + 1);
    }
    if (!host.empty()) rigSpec.host = host;
    if (rigSpec.host.find_first_of(" \t/") != std::string::npos)
      return fail("\"" + text + "\": \"" + rigSpec.host + "\" is not a host name");
    if (!port.empty() && !ParseInt(port, 1, 65535, rigSpec.port))
      return fail("\"" + text + "\": the port is a number, 1..65535");
    return true;
  }
  if (text.rfind("hamlib:", 0) == 0) {
    rigSpec.kind = RigSpec::Kind::Serial;
    const std::string rest = text.substr(7);
    const std::size_t first = rest.find(':'), last = rest.rfind(':');
    if (first == std::string::npos || first == last)
      return fail("\"" + text + "\": hamlib:MODEL:DEVICE:BAUD is needed");
    if (!ParseInt(rest.substr(0, first), 1, 999999, rigSpec.model))
      return fail("\"" + text + "\": the model is Hamlib's model number");
    rigSpec.device = rest.substr(first + 1, last - first - 1);
    if (rigSpec.device.empty()) return fail("\"" + text + "\": the device is missing");
    if (!ParseInt(rest.substr(last + 1), 0, 4000000, rigSpec.baud))
      return fail("\"" + text + "\": the speed is a number of baud (0: the model's own)");
    return true;
  }
  return fail("\"" + text + "\" is neither rigctld:HOST:PORT nor hamlib:MODEL:DEVICE:BAUD");
}

std::string RigSpecText(const RigSpec& rigSpec) {
  switch (rigSpec.kind) {
    case RigSpec::Kind::Off:
      return std::string();
    case RigSpec::Kind::Rigctld:
      return "rigctld:" + rigSpec.host + ":" + std::to_string(rigSpec.port);
    case RigSpec::Kind::Serial:
      return "hamlib:" + std::to_string(rigSpec.model) + ":" + rigSpec.device + ":" + std::to_string(rigSpec.baud);
  }
  return std::string();
}

std::vector<RigModelInfo> RigModels() {
  std::vector<RigModelInfo> list;
  {
    std::lock_guard<std::mutex> lock(HamlibLock());
    QuietHamlib();
    rig_load_all_backends();
    rig_list_foreach(
        [](const rig_caps* caps, rig_ptr_t data) {
          auto* out = static_cast<std::vector<RigModelInfo>*>(data);
          RigModelInfo m;
          m.model = static_cast<int>(caps->rig_model);
          m.maker = caps->mfg_name ? caps->mfg_name : "";
          m.name = caps->model_name ? caps->model_name : "";
          m.network = caps->port_type == RIG_PORT_NETWORK || caps->port_type == RIG_PORT_UDP_NETWORK;
          out->push_back(std::move(m));
          return 1;  // go on
        },
        &list);
  }
  std::sort(list.begin(), list.end(), [](const RigModelInfo& a, const RigModelInfo& b) {
    if (a.maker != b.maker) return a.maker < b.maker;
    if (a.name != b.name) return a.name < b.name;
    return a.model < b.model;
  });
  return list;
}

std::string RigStatusText(const RigState& s) {
  using L = RigState::Link;
  switch (s.link) {
    case L::Off:
      return std::string();
    case L::Connecting:
      return "Rig: connecting";
    case L::Connected: {
      std::string t = "Rig: " + Khz(s.freqHz);
      if (!s.mode.empty()) t += " " + s.mode;
      if (s.ptt) t += " TX";
      return t;
    }
    case L::NoAnswer:
      return "Rig: no answer";
    case L::NotConnected:
      return "Rig: not connected" + (s.problem.empty() ? "" : " (" + s.problem + ")");
    case L::Invalid:
      return "Rig: " + s.problem;
  }
  return std::string();
}

// --- the worker ---------------------------------------------------------------

struct RigLink::Core {
  std::mutex m;  // guards everything below but notifyLock's charge
  std::condition_variable wake;
  bool stop = false;
  bool finished = false;
  std::condition_variable finishedCv;
  int hangMs = 0;
  double tuneHz = 0.0;  // 0: none asked
  RigState state;
  Clock::time_point hangEnd{};
  // Held while notify runs, so a Stop that clears it never races a call.
  std::mutex notifyLock;
  Notify notify;

  bool Stopping() {
    std::lock_guard<std::mutex> lock(m);
    return stop;
  }
  // Sleeps until deadline or a stop, or a tune request when tuneWakes.
  void WaitUntil(Clock::time_point deadline, bool tuneWakes = true) {
    std::unique_lock<std::mutex> lock(m);
    wake.wait_until(lock, deadline, [&] { return stop || (tuneWakes && tuneHz > 0.0); });
    if (!tuneWakes) tuneHz = 0.0;  // a link down tunes nothing
  }
  // The state after a poll or a change of the link: the quiet span follows
  // PTT, held hangMs after it ends.
  void Publish(RigState s) {
    {
      std::lock_guard<std::mutex> lock(m);
      if (stop) return;
      const Clock::time_point now = Clock::now();
      if (s.link != RigState::Link::Connected) {
        // A link lost never leaves the listener deaf.
        s.quiet = false;
        hangEnd = {};
      } else if (s.ptt) {
        s.quiet = true;
      } else {
        if (state.ptt && state.link == RigState::Link::Connected) hangEnd = now + Ms(hangMs);
        s.quiet = now < hangEnd;
      }
      if (s == state) return;
      state = s;
    }
    std::lock_guard<std::mutex> lock(notifyLock);
    if (notify) notify();
  }
  Clock::time_point HangEnd() {
    std::lock_guard<std::mutex> lock(m);
    return hangEnd;
  }
};

namespace {

struct OpenRig {
  RIG* rig = nullptr;
  bool opened = false;
  bool pttReadable = false;
  bool pitchReadable = false;
  OpenRig() = default;
  OpenRig(const OpenRig&) = delete;
  OpenRig& operator=(const OpenRig&) = delete;
  ~OpenRig() {
    if (!rig) return;
    if (opened) rig_close(rig);
    std::lock_guard<std::mutex> lock(HamlibLock());
    rig_cleanup(rig);
  }
};

// Connects by rigSpec; false with the reason.
bool Connect(const RigSpec& rigSpec, OpenRig& out, std::string& error) {
  int model = kNetRigctlModel;
  std::string path;
  bool serial = false;
  if (rigSpec.kind == RigSpec::Kind::Rigctld) {
    std::string address;
    std::string host = rigSpec.host;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (!ResolveHost(host, address, error)) return false;
    path = address + ":" + std::to_string(rigSpec.port);
  } else {
    model = rigSpec.model;
    {
      std::lock_guard<std::mutex> lock(HamlibLock());
      rig_load_all_backends();
      const rig_caps* caps = rig_get_caps(static_cast<rig_model_t>(model));
      if (!caps) {
        error = "Hamlib has no model " + std::to_string(model);
        return false;
      }
      serial = caps->port_type == RIG_PORT_SERIAL;
    }
    if (serial && !SerialDeviceUsable(rigSpec.device, error)) return false;
    path = rigSpec.device;
  }
  {
    std::lock_guard<std::mutex> lock(HamlibLock());
    out.rig = rig_init(static_cast<rig_model_t>(model));
  }
  if (!out.rig) {
    error = "Hamlib cannot set up model " + std::to_string(model);
    return false;
  }
  const bool confOk =
      SetConf(out.rig, "rig_pathname", path) &&
      SetConf(out.rig, "timeout", std::to_string(kRigCallTimeoutMs)) && SetConf(out.rig, "retry", "0") &&
      (!serial || rigSpec.baud == 0 || SetConf(out.rig, "serial_speed", std::to_string(rigSpec.baud)));
  if (!confOk) {
    error = "Hamlib refuses the port settings for " + path;
    return false;
  }
  const int rc = rig_open(out.rig);
  if (rc != RIG_OK) {
    if (rigSpec.kind == RigSpec::Kind::Rigctld)
      error = "nothing answers at " + rigSpec.host + ":" + std::to_string(rigSpec.port);
    else
      error = serial ? SerialFailure(rigSpec.device) : "the rig does not answer on " + rigSpec.device;
    return false;
  }
  out.opened = true;
  // Each poll asks the rig itself, not Hamlib's memory of it.
  rig_set_cache_timeout_ms(out.rig, HAMLIB_CACHE_ALL, 0);
  // A PTT line this computer drives is no news of the rig keying; through
  // rigctld it is, for rigctld's keyer may be another program.
  const std::string pttType = GetConf(out.rig, "ptt_type");
  out.pttReadable = rigSpec.kind == RigSpec::Kind::Rigctld ? pttType != "None" && !pttType.empty()
                                                        : pttType == "RIG" || pttType == "RIGMICDATA";
  out.pitchReadable = rig_has_get_level(out.rig, RIG_LEVEL_CWPITCH) != 0;
  return true;
}

// One round of questions; false when the rig stopped answering.
bool Poll(OpenRig& r, RigState& s) {
  freq_t freq = 0;
  if (LinkLost(rig_get_freq(r.rig, RIG_VFO_CURR, &freq))) return false;
  s.freqHz = static_cast<double>(freq);
  rmode_t mode = RIG_MODE_NONE;
  pbwidth_t width = 0;
  const int modeRc = rig_get_mode(r.rig, RIG_VFO_CURR, &mode, &width);
  if (LinkLost(modeRc)) return false;
  if (modeRc == RIG_OK) {
    s.mode = mode != RIG_MODE_NONE ? rig_strrmode(mode) : "";
    s.cw = (mode & (RIG_MODE_CW | RIG_MODE_CWN)) != 0;
    s.cwReverse = (mode & RIG_MODE_CWR) != 0;
    s.passbandHz = static_cast<long>(width);
  }
  if (r.pttReadable) {
    ptt_t ptt = RIG_PTT_OFF;
    const int rc = rig_get_ptt(r.rig, RIG_VFO_CURR, &ptt);
    if (LinkLost(rc)) return false;
    if (rc == RIG_OK) {
      s.ptt = ptt != RIG_PTT_OFF;
    } else if (rc == -RIG_ENAVAIL || rc == -RIG_ENIMPL || rc == -RIG_ENTARGET) {
      r.pttReadable = false;
      s.ptt = false;
    }
  }
  s.pttReadable = r.pttReadable;
  if (r.pitchReadable) {
    value_t v{};
    const int rc = rig_get_level(r.rig, RIG_VFO_CURR, RIG_LEVEL_CWPITCH, &v);
    if (LinkLost(rc)) return false;
    if (rc == RIG_OK) {
      s.pitchHz = v.i > 0 && v.i < 10000 ? v.i : 0;
    } else if (rc == -RIG_ENAVAIL || rc == -RIG_ENIMPL) {
      r.pitchReadable = false;
      s.pitchHz = 0;
    }
  }
  return true;
}

void RunLink(const std::shared_ptr<RigLink::Core>& core, RigSpec rigSpec, std::string invalid) {
  // A server gone away makes a write raise SIGPIPE; blocked here, it is an
  // error return on this thread and the program lives on.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  QuietHamlib();

  using L = RigState::Link;
  auto down = [&](L link, const std::string& problem) {
    RigState s;
    s.link = link;
    s.problem = problem;
    core->Publish(s);
  };
  if (!invalid.empty()) {
    down(L::Invalid, invalid);
  } else {
    bool wasUp = false;
    RigState connecting;
    connecting.link = L::Connecting;
    core->Publish(connecting);
    while (!core->Stopping()) {
      OpenRig rig;
      std::string problem;
      if (!Connect(rigSpec, rig, problem)) {
        // Once up, a rig that went away says so the plainer way.
        down(wasUp ? L::NoAnswer : L::NotConnected, problem);
        core->WaitUntil(Clock::now() + Ms(kRigRetryMs), false);
        continue;
      }
      RigState s;
      s.link = L::Connected;
      bool lost = false;
      while (!core->Stopping()) {
        const Clock::time_point start = Clock::now();
        if (!Poll(rig, s)) {
          lost = true;
          break;
        }
        wasUp = true;
        core->Publish(s);
        double tuneHz = 0.0;
        {
          std::lock_guard<std::mutex> lock(core->m);
          std::swap(tuneHz, core->tuneHz);
        }
        if (tuneHz > 0.0) {
          if (LinkLost(rig_set_freq(rig.rig, RIG_VFO_CURR, tuneHz))) {
            lost = true;
            break;
          }
          continue;  // the new frequency read back at once
        }
        // The next poll, or the end of the hang when it comes first.
        Clock::time_point next = start + Ms(kRigPollMs);
        const Clock::time_point hangEnd = core->HangEnd();
        if (hangEnd > Clock::now() && hangEnd < next) {
          core->WaitUntil(hangEnd);
          core->Publish(s);
        }
        core->WaitUntil(next);
      }
      if (lost && !core->Stopping()) {
        down(L::NoAnswer, std::string());
        core->WaitUntil(Clock::now() + Ms(kRigRetryMs), false);
      }
    }
  }
  std::unique_lock<std::mutex> lock(core->m);
  // An invalid setting waits here for the next Start.
  core->wake.wait(lock, [&] { return core->stop; });
  core->finished = true;
  core->finishedCv.notify_all();
}

}  // namespace

RigLink::RigLink(Notify notify) : notify_(std::move(notify)) {}

RigLink::~RigLink() { Stop(); }

void RigLink::Start(const std::string& text, int hangMs) {
  Stop();
  RigSpec rigSpec;
  std::string error;
  if (!ParseRigSpec(text, rigSpec, error) && error.empty()) error = "the rig setting does not parse";
  if (rigSpec.kind == RigSpec::Kind::Off && error.empty()) return;
  // Hamlib's rig_open keeps the LC_NUMERIC name setlocale gives, sets "C"
  // and restores from that name, which the change has freed unless it was
  // "C" already (a use after free, and a race with this thread). Nothing in
  // this program reads numbers through LC_NUMERIC: it is "C" before a link
  // starts (here, on the user-interface thread), so Hamlib's dance is void.
  if (const char* now = std::setlocale(LC_NUMERIC, nullptr); !now || std::strcmp(now, "C") != 0)
    std::setlocale(LC_NUMERIC, "C");
  core_ = std::make_shared<Core>();
  core_->hangMs = std::clamp(hangMs, 0, 60000);
  core_->notify = notify_;
  std::thread(RunLink, core_, rigSpec, error).detach();
}

void RigLink::Stop() {
  if (!core_) return;
  std::shared_ptr<Core> core = std::move(core_);
  {
    std::lock_guard<std::mutex> lock(core->m);
    core->stop = true;
    core->wake.notify_all();
  }
  {
    std::lock_guard<std::mutex> lock(core->notifyLock);
    core->notify = nullptr;
  }
  // A worker inside a Hamlib call ends within its time-out; the window
  // does not wait for that long.
  std::unique_lock<std::mutex> lock(core->m);
  core->finishedCv.wait_for(lock, Ms(250), [&] { return core->finished; });
}

void RigLink::SetHang(int ms) {
  if (!core_) return;
  std::lock_guard<std::mutex> lock(core_->m);
  core_->hangMs = std::clamp(ms, 0, 60000);
}

void RigLink::Tune(double hz) {
  if (!core_ || !(hz > 0.0) || !std::isfinite(hz)) return;
  std::lock_guard<std::mutex> lock(core_->m);
  core_->tuneHz = hz;
  core_->wake.notify_all();
}

RigState RigLink::State() const {
  if (!core_) return RigState();
  std::lock_guard<std::mutex> lock(core_->m);
  return core_->state;
}
