#pragma once
// How the audio engine reaches the user interface without knowing its
// toolkit. The program installs one backed by its event loop; tests drive
// their own.

#include <functional>

class UiBridge {
 public:
  virtual ~UiBridge() = default;
  // Runs fn on the user-interface thread and returns when it has finished.
  virtual void RunOnUiThread(const std::function<void()>& fn) = 0;
  // Runs fn on the user-interface thread later and returns at once.
  virtual void PostToUiThread(std::function<void()> fn) = 0;
  // Called on the user-interface thread while it waits for the processing
  // thread: serves pending events (including RunOnUiThread requests).
  virtual void ProcessPendingEvents() = 0;
};
