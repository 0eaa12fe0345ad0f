#pragma once
// Device calls that may wait on a sound server without limit (open, start,
// stop, close) run here, one at a time and in order, on a thread of their
// own. The caller waits at most the limit: a call that takes longer is
// abandoned to finish alone, and whatever it needs must be owned by the
// closure (shared pointers), since the caller goes on without it. So a
// server that hangs or a core that is hogged never holds the audio loop for
// longer than the limit. Run is called from one thread at a time.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class DeviceCallWorker {
 public:
  static constexpr int kDefaultLimitMs = 1500;

  explicit DeviceCallWorker(int limitMs = kDefaultLimitMs);
  // Returns at once even while a call is stuck: the thread is then left to
  // finish it alone.
  ~DeviceCallWorker();
  DeviceCallWorker(const DeviceCallWorker&) = delete;
  DeviceCallWorker& operator=(const DeviceCallWorker&) = delete;

  // Runs fn after the calls queued before it; true when it finished within
  // the limit (counted from this call), false when it was abandoned. After
  // an abandoned call the next ones run on a fresh thread, beside it.
  bool Run(std::function<void()> fn);
  // Calls abandoned so far (for the tests and the status line).
  long Abandoned() const { return abandoned_.load(); }

 private:
  struct Task {
    std::function<void()> fn;
    bool done = false;
    bool abandoned = false;
  };
  struct State {
    std::mutex m;
    std::condition_variable wake, finished;
    std::deque<std::shared_ptr<Task>> queue;
    bool stop = false;
    bool busy = false;
  };
  static void Serve(std::shared_ptr<State> state);

  int limitMs_;
  std::atomic<long> abandoned_{0};
  std::shared_ptr<State> state_;
  std::thread thread_;
};
