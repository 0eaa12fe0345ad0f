#include "devices/DeviceCallWorker.h"

#include <chrono>

DeviceCallWorker::DeviceCallWorker(int limitMs)
    : limitMs_(limitMs), state_(std::make_shared<State>()), thread_(Serve, state_) {}

DeviceCallWorker::~DeviceCallWorker() {
  bool stuck;
  {
    std::lock_guard<std::mutex> lock(state_->m);
    state_->stop = true;
    stuck = state_->busy;
    state_->wake.notify_all();
  }
  // The state is shared with the thread, so a stuck call can finish after
  // this object is gone.
  if (stuck)
    thread_.detach();
  else
    thread_.join();
}

void DeviceCallWorker::Serve(std::shared_ptr<State> state) {
  std::unique_lock<std::mutex> lock(state->m);
  for (;;) {
    state->wake.wait(lock, [&] { return state->stop || !state->queue.empty(); });
    if (state->queue.empty()) return;  // stopping, nothing left to run
    std::shared_ptr<Task> task = state->queue.front();
    state->queue.pop_front();
    if (task->abandoned) continue;  // its caller gave up before it began
    state->busy = true;
    lock.unlock();
    task->fn();
    lock.lock();
    task->done = true;
    state->busy = false;
    state->finished.notify_all();
  }
}

bool DeviceCallWorker::Run(std::function<void()> fn) {
  auto task = std::make_shared<Task>();
  task->fn = std::move(fn);
  {
    std::unique_lock<std::mutex> lock(state_->m);
    state_->queue.push_back(task);
    state_->wake.notify_all();
    if (state_->finished.wait_for(lock, std::chrono::milliseconds(limitMs_), [&] { return task->done; }))
      return true;
    // The thread is left to its stuck call and ends after it; later calls
    // get a thread of their own, so one call that never returns (a stream
    // stop that loops inside the library) cannot keep the devices shut.
    task->abandoned = true;
    state_->stop = true;
  }
  abandoned_.fetch_add(1);
  thread_.detach();
  state_ = std::make_shared<State>();
  thread_ = std::thread(Serve, state_);
  return false;
}
