#pragma once
// The engine's and the core's ways into the user interface, on Qt: calls
// run on the GUI thread (blocking the caller), and the three shared message
// boxes as Qt message boxes owned by the active window.
//
// Calls from other threads wait in a UiCallQueue that the GUI thread serves
// as soon as a call arrives (and whenever it waits for the processing
// thread), so every hand-over goes through a mutex the sanitizers can see.

#include "audio/UiBridge.h"
#include "common/MessageBox.h"

class QtUiBridge : public UiBridge {
 public:
  // Constructed on the GUI thread, after the application object.
  QtUiBridge();
  void RunOnUiThread(const std::function<void()>& fn) override;
  void PostToUiThread(std::function<void()> fn) override;
  void ProcessPendingEvents() override;
};

// Errors and warnings from other threads are shown without waiting for the
// user (the audio thread goes on); questions wait for the answer.
class QtMessageBoxes : public MessageBoxHandler {
 public:
  bool Show(MessageKind kind, const std::string& caption, const std::string& text) override;
  // The program is ending: no box is shown any more (a question is No).
  static void Quit();
  static bool Quitting();

 private:
  static bool ShowOnGui(MessageKind kind, const std::string& caption, const std::string& text);
};
