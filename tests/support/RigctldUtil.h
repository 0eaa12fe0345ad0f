#pragma once
// Hamlib's rigctld with its dummy rig on loopback, for the rig link's tests:
// a free port, the server started and killed, rigctl's answers. Outside CI
// a machine without rigctld skips these tests; in CI it is a failure.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace rigtest {

inline bool HaveProgram(const char* name) {
  const std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

#define REQUIRE_RIGCTLD()                                                           \
  do {                                                                              \
    if (!rigtest::HaveProgram("rigctld") || !rigtest::HaveProgram("rigctl")) {      \
      if (std::getenv("CI")) FAIL() << "CI runs these tests with Hamlib's rigctld"; \
      GTEST_SKIP() << "rigctld not installed (tools/install-deps.sh --test)";       \
    }                                                                               \
  } while (0)

// A port nobody listens on now, on 127.0.0.1.
inline int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

inline bool Listening(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

inline pid_t Spawn(const std::vector<std::string>& args, bool quiet) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (quiet) {
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}

// rigctld -m 1 -P RIG (the dummy rig, with a PTT) on 127.0.0.1:port.
class Rigctld {
 public:
  explicit Rigctld(int port) : port_(port) {}
  ~Rigctld() { Kill(); }
  bool Start() {
    pid_ = Spawn({"rigctld", "-m", "1", "-P", "RIG", "-T", "127.0.0.1", "-t", std::to_string(port_)}, true);
    for (int i = 0; i < 300 && pid_ > 0; ++i) {
      if (Listening(port_)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  void Signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
  }
  int Port() const { return port_; }
  std::string RigText() const { return "rigctld:127.0.0.1:" + std::to_string(port_); }

 private:
  int port_;
  pid_t pid_ = -1;
};

// rigctl -m 2 -r 127.0.0.1:port ARGS; its output.
inline std::string Rigctl(int port, const std::string& args) {
  const std::string cmd = "rigctl -m 2 -r 127.0.0.1:" + std::to_string(port) + " " + args + " 2>/dev/null";
  std::string out;
  if (FILE* p = ::popen(cmd.c_str(), "r")) {
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    ::pclose(p);
  }
  return out;
}

// The user-interface thread's queue, as a test runs it.
class PostQueue {
 public:
  void Post(std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(m_);
    calls_.push_back(std::move(fn));
  }
  void Pump() {
    std::vector<std::function<void()>> calls;
    {
      std::lock_guard<std::mutex> lock(m_);
      calls.swap(calls_);
    }
    for (auto& c : calls) c();
  }
  // Pumps until done() or timeoutMs; the time it took, or -1.
  double PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
      Pump();
      const double ms =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
      if (done()) return ms;
      if (ms > timeoutMs) return -1.0;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

 private:
  std::mutex m_;
  std::vector<std::function<void()>> calls_;
};

}  // namespace rigtest
