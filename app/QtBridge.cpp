#include "app/QtBridge.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QString>
#include <QThread>

namespace {

bool OnGuiThread() { return QThread::currentThread() == QCoreApplication::instance()->thread(); }

// Runs fn on the GUI thread and waits for it.
void OnGui(const std::function<void()>& fn) {
  if (OnGuiThread())
    fn();
  else
    QMetaObject::invokeMethod(QCoreApplication::instance(), fn, Qt::BlockingQueuedConnection);
}

}  // namespace

void QtUiBridge::RunOnUiThread(const std::function<void()>& fn) { OnGui(fn); }

void QtUiBridge::ProcessPendingEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents, 20); }

bool QtMessageBoxes::Show(MessageKind kind, const std::string& caption, const std::string& text) {
  bool yes = false;
  OnGui([&] {
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
