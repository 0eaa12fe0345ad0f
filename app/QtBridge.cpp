#include "app/QtBridge.h"

#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <QThread>
#include <QTimer>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace {

bool OnGuiThread() {
  return QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread();
}

class UiCallQueue {
 public:
  static UiCallQueue& Instance() {
    static UiCallQueue queue;
    return queue;
  }

  // On the GUI thread: serve the queue from the event loop from now on.
  void Start() {
    if (timer_) return;
    timer_ = new QTimer(QCoreApplication::instance());
    timer_->setInterval(10);
    QObject::connect(timer_, &QTimer::timeout, timer_, [this] { Drain(); });
    timer_->start();
  }

  void Run(const std::function<void()>& fn) {
    if (OnGuiThread()) {
      fn();
      return;
    }
    Item item{&fn, false};
    std::unique_lock<std::mutex> lock(m_);
    queue_.push_back(&item);
    done_.wait(lock, [&] { return item.done; });
  }

  void Drain() {
    std::unique_lock<std::mutex> lock(m_);
    while (!queue_.empty()) {
      Item* item = queue_.front();
      queue_.pop_front();
      lock.unlock();
      (*item->fn)();
      lock.lock();
      item->done = true;
      done_.notify_all();
    }
  }

 private:
  struct Item {
    const std::function<void()>* fn;
    bool done;
  };
  std::mutex m_;
  std::condition_variable done_;
  std::deque<Item*> queue_;
  QTimer* timer_ = nullptr;
};

}  // namespace

QtUiBridge::QtUiBridge() { UiCallQueue::Instance().Start(); }

void QtUiBridge::RunOnUiThread(const std::function<void()>& fn) { UiCallQueue::Instance().Run(fn); }

void QtUiBridge::ProcessPendingEvents() {
  UiCallQueue::Instance().Drain();
  QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

bool QtMessageBoxes::Show(MessageKind kind, const std::string& caption, const std::string& text) {
  bool yes = false;
  UiCallQueue::Instance().Run([&] {
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
