// Tarvik: real-time audio filter for radio listening.

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <cstdio>
#include <cstdlib>

#include "app/MainWindow.h"
#include "app/QtBridge.h"
#include "common/MessageBox.h"
#include "devices/PortAudioDriver.h"

namespace {

// The directory of "Tarvik.ini": the program's own when it was started with
// an argument, otherwise the current one.
QString FindExeDir(int argc) {
  QString dir = argc > 1 ? QCoreApplication::applicationDirPath() : QDir::currentPath();
  if (!dir.endsWith(QLatin1Char('/'))) dir += QLatin1Char('/');
  return dir;
}

bool HaveDisplay() {
  return std::getenv("QT_QPA_PLATFORM") || std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
}

}  // namespace

int main(int argc, char** argv) {
  if (!HaveDisplay()) {
    std::fprintf(stderr,
                 "Tarvik needs a desktop session: neither DISPLAY nor WAYLAND_DISPLAY is set.\n"
                 "Start it from a desktop terminal (or filter files with tarvik-filter).\n");
    return 1;
  }
  QApplication app(argc, argv);
  QtMessageBoxes boxes;
  SetMessageBoxHandler(&boxes);
  PortAudioDriver driver;
  if (!driver.Initialized())
    std::fprintf(stderr, "Tarvik: the sound system could not be started (PortAudio).\n");
  const QString exeDir = FindExeDir(argc);
  int rc;
  {
    TMainWnd window(driver, exeDir);
    window.show();
    rc = app.exec();
  }
  SetMessageBoxHandler(nullptr);
  return rc;
}
