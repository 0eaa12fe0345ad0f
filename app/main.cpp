// Tarvik: real-time audio filter for radio listening.

#include <unistd.h>

#include <QApplication>
#include <QGuiApplication>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "app/MainWindow.h"
#include "app/QtBridge.h"
#include "app/ShutdownSignals.h"
#include "common/MessageBox.h"
#include "control/RigLink.h"
#include "devices/SoundDriver.h"
#include "signal/Settings.h"

namespace {

const char* const kHelp =
    "usage: tarvik [--settings FILE] [--rig RIG]\n"
    "       tarvik --list-devices | --help | --version\n"
    "\n"
    "Filters the desktop's sound input in real time and plays the result.\n"
    "\n"
    "  --settings FILE  keep the settings in FILE\n"
    "  --rig RIG        link to this rig for this run (the saved Rig setting\n"
    "                   stays): rigctld:HOST:PORT, hamlib:MODEL:DEVICE:BAUD,\n"
    "                   or \"\" for no rig\n"
    "  --list-devices   print the sound inputs and outputs (* the default)\n"
    "                   with the ids the InDevice and OutDevice settings take\n"
    "  --help           this text\n"
    "  --version        the version\n"
    "\n"
    "Settings: --settings FILE; else Tarvik.ini beside a portable copy (the\n"
    "program's directory when writable and holding one, or its build tree);\n"
    "else $XDG_CONFIG_HOME/tarvik/Tarvik.ini (~/.config/tarvik/).\n";

struct Options {
  std::string settings;         // --settings
  std::optional<std::string> rig;  // --rig
  bool listDevices = false;     // --list-devices
  bool legacyArgument = false;  // any other argument: the program's own directory, not the current one
};

// Returns -1 to go on, else the exit code.
int ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("tarvik %s\n", TARVIK_VERSION);
      return 0;
    }
    if (arg == "--list-devices") {
      o.listDevices = true;
      continue;
    }
    if (arg == "--settings" || arg.rfind("--settings=", 0) == 0) {
      if (arg.size() > 10) {
        o.settings = arg.substr(11);
      } else if (i + 1 < argc) {
        o.settings = argv[++i];
      } else {
        std::fprintf(stderr, "tarvik: --settings needs a file\n");
        return 2;
      }
      if (o.settings.empty()) {
        std::fprintf(stderr, "tarvik: --settings needs a file\n");
        return 2;
      }
      continue;
    }
    if (arg == "--rig" || arg.rfind("--rig=", 0) == 0) {
      if (arg.size() > 5) {
        o.rig = arg.substr(6);
      } else if (i + 1 < argc) {
        o.rig = argv[++i];
      } else {
        std::fprintf(stderr, "tarvik: --rig needs a rig (rigctld:HOST:PORT or hamlib:MODEL:DEVICE:BAUD)\n");
        return 2;
      }
      RigSpec rigSpec;
      std::string error;
      if (!ParseRigSpec(*o.rig, rigSpec, error)) {
        std::fprintf(stderr, "tarvik: --rig: %s\n", error.c_str());
        return 2;
      }
      continue;
    }
    if (arg.rfind("--", 0) == 0) {
      std::fprintf(stderr, "tarvik: unknown option %s (tarvik --help lists them)\n", arg.c_str());
      return 2;
    }
    o.legacyArgument = true;
  }
  return -1;
}

std::string WithSlash(std::string dir) {
  if (dir.empty()) dir = ".";
  if (dir.back() != '/') dir += '/';
  return dir;
}

// The program's own directory, as bytes (a directory name need not be UTF-8).
std::string ProgramDir() {
  std::vector<char> buf(PATH_MAX + 1);
  const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return std::string();
  std::string dir(buf.data(), static_cast<std::size_t>(n));
  return WithSlash(dir.substr(0, dir.rfind('/') + 1));
}

std::string CurrentDir() {
  std::vector<char> buf(PATH_MAX + 1);
  return WithSlash(::getcwd(buf.data(), buf.size()) ? std::string(buf.data()) : std::string());
}

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

bool HaveDisplay() {
  return std::getenv("QT_QPA_PLATFORM") || std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
}

// For scripts and bug reports: one device per line, tab-separated.
int ListDevices() {
  SoundDriver driver;
  if (!driver.Usable()) {
    std::fprintf(stderr, "tarvik: no sound system answers (neither a PulseAudio server nor ALSA)\n");
    return 1;
  }
  const std::vector<DeviceInfo> devices = driver.Devices();
  if (devices.empty()) {
    // ALSA answers even on a machine without a card: say so rather than
    // print two empty lists as if all were well.
    std::fprintf(stderr,
                 "tarvik: no sound device found (%s: no PulseAudio or PipeWire server answers, and ALSA "
                 "lists no card)\n",
                 driver.BackendName().c_str());
    return 1;
  }
  std::printf("# backend: %s\n", driver.BackendName().c_str());
  for (const bool input : {true, false}) {
    std::printf("%s:\n", input ? "inputs" : "outputs");
    for (const DeviceInfo& d : devices)
      if (d.input == input)
        std::printf("%s %s\t%s\n", d.isDefault ? "*" : " ", d.id.c_str(), d.description.c_str());
  }
  return 0;
}

}  // namespace

namespace {

TMainWnd* gWindow = nullptr;  // while the window lives

void SaveOnSuddenExit() {
  if (!gWindow) return;  // main returned as usual
  QtMessageBoxes::Quit();
  gWindow->SaveForShutdown();
  std::_Exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const int rc = ParseOptions(argc, argv, options); rc >= 0) return rc;
  if (options.listDevices) return ListDevices();
  if (!HaveDisplay()) {
    std::fprintf(stderr,
                 "Tarvik needs a desktop session: neither DISPLAY nor WAYLAND_DISPLAY is set.\n"
                 "Start it from a desktop terminal (or filter files with tarvik-filter).\n");
    return 1;
  }
  // The portable copy's directory is the current one, or the program's own
  // when it was started with an argument; a build tree keeps its settings.
  const std::string programDir = ProgramDir();
  const std::string startDir = options.legacyArgument && !programDir.empty() ? programDir : CurrentDir();
  const bool buildTree = !programDir.empty() && ::access((programDir + "CMakeCache.txt").c_str(), F_OK) == 0;
  const SettingsPlace place =
      FindSettingsPlace(options.settings, startDir, buildTree, Env("XDG_CONFIG_HOME"), Env("HOME"));

  QApplication app(argc, argv);
  // A termination signal saves as the end of a session does, then ends the
  // event loops (a dialog's too); the window's destructor stops the audio.
  // Installed first: a signal during start-up waits in the pipe until the
  // event loop runs, and the window is there by then.
  TMainWnd*& window = gWindow;
  ShutdownSignals onTermination([&window](int) {
    // Every box ends with the event loops, and none opens after; a signal
    // during start-up (a box of the window's constructor) ends it too.
    QtMessageBoxes::Quit();
    if (window) window->SaveForShutdown();
    QCoreApplication::exit(0);
  });
  // Qt ends the process with exit() when the display goes away (the X
  // server or the compositor ended): save first, then leave at once, so no
  // destructor waits on the audio thread or on a display that is gone.
  std::atexit(SaveOnSuddenExit);
  QtMessageBoxes boxes;
  SetMessageBoxHandler(&boxes);
  SoundDriver driver;
  if (!driver.Usable())
    std::fprintf(stderr, "Tarvik: no sound system answers (neither a PulseAudio server nor ALSA).\n");
  int rc;
  {
    TMainWnd mainWindow(driver, place.file, place.dialogDir);
    window = &mainWindow;
    if (options.rig) mainWindow.OverrideRig(*options.rig);
    if (QtMessageBoxes::Quitting()) {
      mainWindow.SaveForShutdown();
      rc = 0;
    } else {
      mainWindow.show();
      rc = app.exec();
    }
    window = nullptr;
  }
  SetMessageBoxHandler(nullptr);
  return rc;
}
