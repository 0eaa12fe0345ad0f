#include "app/QtBridge.h"

#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <QThread>

#include "audio/UiCallQueue.h"

namespace {

bool OnGuiThread() {
  return QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread();
}

// The one queue of calls for the GUI thread. The GUI thread serves it when a
// call arrives (a queued Qt event wakes it) and whenever it waits for the
// processing thread.
UiCallQueue& Queue() {
  static UiCallQueue queue;
  return queue;
}

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

void QtUiBridge::ProcessPendingEvents() {
  Queue().Drain();
  QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

bool QtMessageBoxes::Show(MessageKind kind, const std::string& caption, const std::string& text) {
  bool yes = false;
  RunOnGui([&] {
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
  });
  return yes;
}
