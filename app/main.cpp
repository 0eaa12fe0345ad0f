// Tarvik: real-time audio filter for radio listening.

#include <unistd.h>

#include <QApplication>
#include <QGuiApplication>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/MainWindow.h"
#include "app/QtBridge.h"
#include "app/ShutdownSignals.h"
#include "common/MessageBox.h"
#include "devices/PortAudioDriver.h"

namespace {

// The directory of "Tarvik.ini": the program's own when it was started with
// an argument, otherwise the current one. Kept as the bytes the system
// gives: a directory name need not be UTF-8.
std::string FindExeDir(int argc) {
  std::string dir;
  std::vector<char> buf(PATH_MAX + 1);
  if (argc > 1) {
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n > 0) {
      dir.assign(buf.data(), static_cast<std::size_t>(n));
      dir.erase(dir.rfind('/') + 1);
    }
  } else if (::getcwd(buf.data(), buf.size())) {
    dir = buf.data();
  }
  if (dir.empty()) dir = ".";
  if (dir.back() != '/') dir += '/';
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
  const std::string exeDir = FindExeDir(argc);
  int rc;
  {
    TMainWnd window(driver, exeDir);
    // A termination signal saves as the end of a session does, then ends
    // the event loops (a dialog's too); the window's destructor stops the
    // audio.
    ShutdownSignals onTermination([&window](int) {
      window.SaveForShutdown();
      QCoreApplication::exit(0);
    });
    window.show();
    rc = app.exec();
  }
  SetMessageBoxHandler(nullptr);
  return rc;
}
