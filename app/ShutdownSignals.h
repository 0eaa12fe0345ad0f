#pragma once
// SIGTERM, SIGINT and SIGHUP turned into a call on the GUI thread: the
// handler only writes the signal's number to a pipe that the event loop
// watches, so the call may save files and end the event loops as an ordinary
// shutdown does.

#include <QObject>
#include <functional>

class QSocketNotifier;

class ShutdownSignals : public QObject {
 public:
  // One at a time; the previous handlers come back when it is destroyed.
  explicit ShutdownSignals(std::function<void(int signal)> onSignal, QObject* parent = nullptr);
  ~ShutdownSignals() override;

 private:
  std::function<void(int)> onSignal_;
  QSocketNotifier* notifier_ = nullptr;
};
