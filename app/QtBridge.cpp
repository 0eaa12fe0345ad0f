#include "app/QtBridge.h"

#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <QThread>
#include <atomic>

#include "audio/UiCallQueue.h"

namespace {

bool OnGuiThread() {
  return QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread();
}

// The one queue of calls for the GUI thread. The GUI thread serves it when a
// call arrives (a queued Qt event wakes it) and whenever it waits for the
// processing thread.
UiCallQueue& Queue() {
  // Never destroyed: a destructor run by exit() (Qt ends the process so when
  // the display goes) must not wait on a thread that waits for the UI.
  static UiCallQueue* queue = new UiCallQueue;
  return *queue;
}

std::atomic<bool> gQuitting{false};

void RunOnGui(const std::function<void()>& fn) {
  if (OnGuiThread())
    fn();
  else
    Queue().Run(fn);
}

}  // namespace

QtUiBridge::QtUiBridge() {
  QObject* app = QCoreApplication::instance();
  Queue().SetWakeUp([app] {
    QMetaObject::invokeMethod(
        app, [] { Queue().Drain(); }, Qt::QueuedConnection);
  });
}

void QtUiBridge::RunOnUiThread(const std::function<void()>& fn) { RunOnGui(fn); }

// Through the queue's mutex, which the sanitizers see, not Qt's own queue.
void QtUiBridge::PostToUiThread(std::function<void()> fn) { Queue().Post(std::move(fn)); }

void QtUiBridge::ProcessPendingEvents() {
  Queue().Drain();
  QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

void QtMessageBoxes::Quit() {
  gQuitting.store(true);
  // A box open now ends with the event loops (QCoreApplication::exit).
}

bool QtMessageBoxes::Quitting() { return gQuitting.load(); }

bool QtMessageBoxes::Show(MessageKind kind, const std::string& caption, const std::string& text) {
  // Once the program is ending, no box waits for anyone.
  if (gQuitting.load()) return false;
  if (!OnGuiThread() && kind != MessageKind::Question) {
    // The audio thread says what went wrong and goes on: a box never holds
    // the loop (nor a shutdown that waits for the loop).
    Queue().Post([kind, caption, text] {
      if (!gQuitting.load()) ShowOnGui(kind, caption, text);
    });
    return false;
  }
  bool yes = false;
  RunOnGui([&] { yes = ShowOnGui(kind, caption, text); });
  return yes;
}

bool QtMessageBoxes::ShowOnGui(MessageKind kind, const std::string& caption, const std::string& text) {
  bool yes = false;
  {
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(QString::fromStdString(caption));
    box.setText(QString::fromStdString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    box.setWindowModality(Qt::ApplicationModal);
    if (kind == MessageKind::Question) {
      box.setIcon(QMessageBox::Question);
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    } else {
      box.setIcon(kind == MessageKind::Error ? QMessageBox::Critical : QMessageBox::Warning);
      box.setStandardButtons(QMessageBox::Ok);
    }
    box.raise();
    yes = box.exec() == QMessageBox::Yes;
  }
  return yes;
}
