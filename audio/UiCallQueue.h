#pragma once
// Calls from other threads waiting to run on the user-interface thread: the
// caller blocks until the UI thread has served its call. Every hand-over goes
// through one mutex, so the sanitizers see it. Qt-free; the program's bridge
// and the tests' stand-in UI both serve one.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

class UiCallQueue {
 public:
  // Called (on the caller's thread, outside the lock) whenever a call is
  // queued, so the UI thread can be woken instead of polling.
  void SetWakeUp(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(m_);
    wake_ = std::move(wake);
  }

  // Queues fn and waits until the UI thread has run it.
  void Run(const std::function<void()>& fn) {
    std::unique_lock<std::mutex> lock(m_);
    Item item{&fn, false};
    queue_.push_back(&item);
    const std::function<void()> wake = wake_;
    cv_.notify_all();
    lock.unlock();
    if (wake) wake();
    lock.lock();
    cv_.wait(lock, [&] { return item.done; });
  }

  // Queues fn to run on the UI thread and returns at once: for a worker
  // that must never wait for the window (a rig link).
  void Post(std::function<void()> fn) {
    std::unique_lock<std::mutex> lock(m_);
    posted_.push_back(std::move(fn));
    const std::function<void()> wake = wake_;
    lock.unlock();
    if (wake) wake();
  }

  // On the UI thread: runs every queued call in order, then the posted ones.
  void Drain() {
    std::unique_lock<std::mutex> lock(m_);
    while (!posted_.empty()) {
      const std::function<void()> fn = std::move(posted_.front());
      posted_.pop_front();
      lock.unlock();
      fn();
      lock.lock();
    }
    while (!queue_.empty()) {
      Item* item = queue_.front();
      queue_.pop_front();
      lock.unlock();
      (*item->fn)();
      lock.lock();
      item->done = true;
      cv_.notify_all();
    }
  }

  // Waits until a call is pending (true) or timeoutMs passes (false).
  bool WaitPending(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !queue_.empty(); });
  }

 private:
  struct Item {
    const std::function<void()>* fn;
    bool done;
  };
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<Item*> queue_;
  std::deque<std::function<void()>> posted_;
  std::function<void()> wake_;
};
