#pragma once
// Auto-reset event with a timed wait: a Set that comes before the Wait is
// kept, so no wake-up is lost; a Wait consumes it.

#include <chrono>
#include <condition_variable>
#include <mutex>

class AutoResetEvent {
 public:
  void Set() {
    std::lock_guard<std::mutex> lock(m_);
    signalled_ = true;
    cv_.notify_one();
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_);
    signalled_ = false;
  }
  // True when signalled, false after timeoutMs without a signal.
  bool Wait(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return signalled_; })) return false;
    signalled_ = false;
    return true;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool signalled_ = false;
};
