#pragma once
// Helpers for the audio engine tests: a user-interface thread stand-in and
// a message box recorder that the processing thread may call.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/UiBridge.h"
#include "audio/UiCallQueue.h"
#include "common/MessageBox.h"

namespace testutil {

// Under the sanitizers the loop runs several times slower and ctest runs
// two tests at once: a stall of the 12 ms that four buffers hold at 4 ms a
// buffer cost a block once (CI, AddressSanitizer), and a recording test's
// loss (ThreadSanitizer) dropped the blocks queued for playback. Tests that
// count no loss run the simulated card this much slower there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kSlowerUnderSanitizers = 4;
#else
constexpr int kSlowerUnderSanitizers = 1;
#endif

// The test thread plays the user-interface thread: RunOnUiThread calls wait
// until the test (or Stop's wait) serves them.
class TestUi : public UiBridge {
 public:
  void RunOnUiThread(const std::function<void()>& fn) override { queue_.Run(fn); }
  void PostToUiThread(std::function<void()> fn) override { queue_.Post(std::move(fn)); }
  void ProcessPendingEvents() override { queue_.Drain(); }
  // Waits until a call is pending (true) or timeoutMs passes (false).
  bool WaitPending(int timeoutMs) { return queue_.WaitPending(timeoutMs); }

 private:
  UiCallQueue queue_;
};

// A UI that serves every call at once on the calling thread.
class ImmediateUi : public UiBridge {
 public:
  void RunOnUiThread(const std::function<void()>& fn) override { fn(); }
  void PostToUiThread(std::function<void()> fn) override { fn(); }
  void ProcessPendingEvents() override {}
};

class SharedBoxRecorder : public MessageBoxHandler {
 public:
  SharedBoxRecorder() { previous_ = SetMessageBoxHandler(this); }
  ~SharedBoxRecorder() override { SetMessageBoxHandler(previous_); }
  bool Show(MessageKind, const std::string& caption, const std::string& text) override {
    std::lock_guard<std::mutex> lock(m_);
    texts_.push_back(caption + "|" + text);
    return answer.load();
  }
  // The answer to question boxes (Yes when true).
  std::atomic<bool> answer{false};
  std::vector<std::string> Texts() {
    std::lock_guard<std::mutex> lock(m_);
    return texts_;
  }

 private:
  std::mutex m_;
  std::vector<std::string> texts_;
  MessageBoxHandler* previous_;
};

// Polls pred every millisecond for up to timeoutMs.
template <class Pred>
bool WaitFor(Pred pred, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace testutil
