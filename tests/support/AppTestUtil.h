#pragma once
// The main window on the simulated card, for the window and dialog tests.

#include <QApplication>
#include <QComboBox>
#include <QTest>
#include <QToolButton>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "app/MainWindow.h"
#include "support/EngineTestUtil.h"
#include "support/SimWaveDriver.h"
#include "support/TestUtil.h"

namespace apptest {

using testutil::SharedBoxRecorder;
using testutil::TempDir;

// Serves the event loop until pred holds (true) or timeoutMs passes.
template <class Pred>
inline bool Pump(Pred pred, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

inline void PumpFor(int ms) {
  Pump([] { return false; }, ms);
}

inline std::int16_t Tone(long long n) {
  return static_cast<std::int16_t>(8000.0 *
                                   std::sin(testutil::kTwoPi * 700.0 * static_cast<double>(n) / 11025.0));
}

struct App {
  explicit App(TMainWnd::Language language = TMainWnd::Language::English, bool start = true) {
    sim.SetCaptureSource(Tone);
    if (start) Start(language);
  }
  ~App() {
    sim.StartClock(2);
    if (w) w->close();
    w.reset();
    sim.StopClock();
  }
  void Start(TMainWnd::Language language = TMainWnd::Language::English) {
    const std::string place = exeDir.empty() ? dir.Path() + "/" : exeDir;
    w = std::make_unique<TMainWnd>(sim, place + "Tarvik.ini", place, language);
    w->show();
    w->FormPaint();
    sim.StartClock(3);
    EXPECT_TRUE(Pump([&] { return w->Engine()->Running(); }, 5000)) << "the loop did not start";
  }
  std::string Ini() const { return exeDir.empty() ? dir.File("Tarvik.ini") : exeDir + "Tarvik.ini"; }
  void Click(int code) { QTest::mouseClick(w->presetButtons[code], Qt::LeftButton); }
  void SetText(QComboBox* box, const char* text) { box->setEditText(QString::fromLatin1(text)); }

  SharedBoxRecorder boxes;
  TempDir dir;
  std::string exeDir;  // the settings directory when not dir (set before Start)
  SimWaveDriver sim;
  std::unique_ptr<TMainWnd> w;
};

inline bool SameDefinition(const FilterDefinition& a, const FilterDefinition& b) {
  if (a.overSmp != b.overSmp || a.tap != b.tap || a.params.type != b.params.type) return false;
  if (a.params.type == FilterType::LMS)
    return a.lmsDelay == b.lmsDelay && a.lmsMU2 == b.lmsMU2 && a.lmsGM == b.lmsGM && a.lmsInv == b.lmsInv &&
           a.lmsAGC == b.lmsAGC;
  for (int i = 0; i <= a.tap; ++i)
    if (a.h[i] != b.h[i]) return false;
  return true;
}

// What the window's engine plays now.
inline FilterDefinition Live(const App& app) { return app.w->Engine()->Definition(); }

}  // namespace apptest
