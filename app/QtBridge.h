#pragma once
// The engine's and the core's ways into the user interface, on Qt: calls
// run on the GUI thread (blocking the caller), and the three shared message
// boxes as Qt message boxes owned by the active window.

#include "audio/UiBridge.h"
#include "common/MessageBox.h"

class QtUiBridge : public UiBridge {
 public:
  void RunOnUiThread(const std::function<void()>& fn) override;
  void ProcessPendingEvents() override;
};

class QtMessageBoxes : public MessageBoxHandler {
 public:
  bool Show(MessageKind kind, const std::string& caption, const std::string& text) override;
};
