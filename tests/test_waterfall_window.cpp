// The waterfall pane in the window: its place under the row of added
// stages with the client area unchanged, its settings, tuning on it at
// every zoom, and pictures of the window with it.

#include <gtest/gtest.h>

#include <QAction>
#include <QButtonGroup>
#include <QDir>
#include <QMenuBar>
#include <QRadioButton>
#include <QStatusBar>
#include <QTest>
#include <QWheelEvent>

#include "app/DecoderPane.h"
#include <random>

#include "app/WaterfallPane.h"
#include "support/AppTestUtil.h"

namespace {

using namespace apptest;
using testutil::ReadText;

void Wheel(QWidget* w, int delta) {
  QWheelEvent e(QPointF(100, 50), w->mapToGlobal(QPointF(100, 50)), QPoint(), QPoint(0, delta), Qt::NoButton,
                Qt::NoModifier, Qt::NoScrollPhase, false);
  QCoreApplication::sendEvent(w, &e);
}

TEST(WaterfallWindow, UnderTheRowWithTheClientAreaKeptAndItsSettings) {
  App app;
  TMainWnd& w = *app.w;
  ASSERT_NE(w.waterfall, nullptr);
  EXPECT_TRUE(w.waterfall->isVisible()) << "on for a new settings file";
  EXPECT_TRUE(w.ActWaterfall->isChecked());
  EXPECT_EQ(w.ActWaterfall->shortcut(), QKeySequence(Qt::Key_W));
  const QRect client = w.client->geometry();
  EXPECT_EQ(client.size(), QSize(632, 368));
  EXPECT_EQ(w.waterfall->geometry().top(), w.extrasRow->geometry().bottom() + 1);
  EXPECT_EQ(w.waterfall->height(), 160);
  EXPECT_EQ(w.width(), 632);
  EXPECT_EQ(w.decoderPane->geometry().top(), w.waterfall->geometry().bottom() + 1);
  EXPECT_EQ(w.statusBar->geometry().top(), w.decoderPane->geometry().bottom() + 1);

  // The user makes the window larger: the pane takes it all, and its height
  // is kept.
  w.resize(900, w.height() + 100);
  PumpFor(50);
  EXPECT_EQ(w.client->geometry(), client) << "the client area stays where it was, at its size";
  EXPECT_EQ(w.waterfall->width(), 900);
  EXPECT_EQ(w.waterfall->height(), 260);
  EXPECT_EQ(w.waterfall->Picture().Width(), 900);
  EXPECT_EQ(w.session->WfHeight(), 260);

  // W hides it and the window is its old fixed size again; W shows it.
  const int withPane = w.height();
  QTest::keyClick(&w, Qt::Key_W);
  PumpFor(50);
  EXPECT_FALSE(w.waterfall->isVisible());
  EXPECT_FALSE(w.session->Waterfall());
  EXPECT_EQ(w.height(), withPane - 260);
  EXPECT_EQ(w.minimumSize(), w.maximumSize()) << "fixed again";
  EXPECT_EQ(w.client->geometry(), client);
  QTest::keyClick(&w, Qt::Key_W);
  PumpFor(50);
  EXPECT_TRUE(w.waterfall->isVisible());
  EXPECT_EQ(w.waterfall->height(), 260);

  // The menu's choices and the wheel.
  for (QAction* a : w.wfContrastActions)
    if (a->data().toInt() == 2) a->trigger();
  for (QAction* a : w.wfSpeedActions)
    if (a->data().toInt() == 20) a->trigger();
  EXPECT_EQ(w.waterfall->Feed().Model().Speed(), 20);
  Wheel(w.waterfall, 120);
  EXPECT_EQ(w.session->WfZoom(), 5000);
  Wheel(w.waterfall, 240);
  EXPECT_EQ(w.session->WfZoom(), 2000);
  Wheel(w.waterfall, -120);
  EXPECT_EQ(w.session->WfZoom(), 3000);
  EXPECT_TRUE(w.wfZoomActions.size() == 5 && !w.wfZoomActions[0]->isChecked());
  QTest::keyClick(&w, Qt::Key_W);
  ASSERT_TRUE(w.close());
  app.w.reset();
  const std::string text = ReadText(app.Ini());
  for (const char* key : {"Waterfall=0", "WfHeight=260", "WfSpeed=20", "WfZoom=3000", "WfContrast=2"})
    EXPECT_NE(text.find(key), std::string::npos) << key << "\n" << text;

  app.Start();
  EXPECT_FALSE(app.w->waterfall->isVisible());
  EXPECT_EQ(app.w->client->size(), QSize(632, 368));
  app.w->ActWaterfall->trigger();
  PumpFor(50);
  EXPECT_EQ(app.w->waterfall->height(), 260) << "the height kept";
  EXPECT_EQ(app.w->waterfall->Feed().Model().Speed(), 20);
}

// Left click at a column sets Fo to that column's frequency (to 5 Hz),
// right click a notch, at every zoom; Ctrl+click goes to the hook when one
// is set.
TEST(WaterfallWindow, ClicksTuneAtEveryZoom) {
  App app;
  TMainWnd& w = *app.w;
  app.Click(7);  // BP500 around Fo
  WaterfallPane* pane = w.waterfall;
  for (const int zoom : {0, 3000, 1000, 500, 200}) {
    w.session->SetWfZoom(zoom);
    const int x = pane->width() * 3 / 5;
    const double expected = BoundFo(
        std::round(WaterfallColumnHz(x, pane->width(), WaterfallSpanFor(zoom, w.session->Fo())) / 5) * 5);
    QTest::mouseClick(pane, Qt::LeftButton, {}, QPoint(x, 60));
    EXPECT_EQ(w.session->Fo(), expected) << zoom;
    EXPECT_EQ(w.EditFo->currentText(), QString::number(expected)) << "as if typed";
    EXPECT_NEAR(w.Engine()->Definition().params.fcl, expected - 250.0, 0.5) << "BP500 re-centred";
    EXPECT_EQ(pane->ColumnOf(w.session->Fo()),
              WaterfallColumnOf(w.session->Fo(), pane->width(), WaterfallSpanFor(zoom, w.session->Fo())))
        << "the view follows Fo";

    const int y = pane->width() / 4;
    const double notchHz = pane->HzAt(y);
    QTest::mouseClick(pane, Qt::RightButton, {}, QPoint(y, 60));
    ASSERT_EQ(w.session->Notches().size(), 1u) << zoom;
    EXPECT_NEAR(w.session->Notches()[0], notchHz, 0.5);
    EXPECT_EQ(w.Engine()->Extras().notchCount, 1);
    QTest::mouseClick(pane, Qt::RightButton, {}, QPoint(pane->ColumnOf(w.session->Notches()[0]) + 2, 60));
    EXPECT_TRUE(w.session->Notches().empty()) << "a right click on a notch removes it";
  }
  double asked = 0.0;
  pane->onCtrlClick = [&](double hz) { asked = hz; };
  const double fo = w.session->Fo();
  QTest::mouseClick(pane, Qt::LeftButton, Qt::ControlModifier, QPoint(100, 60));
  EXPECT_EQ(asked, pane->HzAt(100));
  EXPECT_EQ(w.session->Fo(), fo) << "Ctrl+click is the hook's alone";
}

// Noise, a steady carrier on Fo, a keyed one and a drifting one, for the
// pictures.
std::int16_t Band(long long n) {
  static std::mt19937 rng(5);
  static std::normal_distribution<double> noise(0.0, 250.0);
  const double t = n / 11025.0;
  double v = noise(rng);
  v += 900 * std::sin(testutil::kTwoPi * 700 * t);
  const bool key = std::fmod(t * 4.0, 3.0) < (std::fmod(t, 5.0) < 2.5 ? 1.0 : 2.2);
  if (key) v += 700 * std::sin(testutil::kTwoPi * 1130 * t);
  v += 300 * std::sin(testutil::kTwoPi * (1750 * t + 1.5 * t * t));  // drifting 3 Hz a second
  v += 250 * std::sin(testutil::kTwoPi * 2450 * t);
  return static_cast<std::int16_t>(std::clamp(v, -32000.0, 32000.0));
}

TEST(WaterfallWindow, Pictures) {
  for (auto language : {TMainWnd::Language::English, TMainWnd::Language::Japanese}) {
    App app(language, false);
    app.sim.SetCaptureSource(Band);
    app.Start(language);
    app.Click(7);  // BP500
    app.w->session->AddNotch(2450.0);
    app.w->session->SetWfSpeed(20);
    app.w->fftswGroup->button(1)->click();  // the spectrum and the waterfall on the input
    PumpFor(2500);
    const QString dir = QStringLiteral(TARVIK_PICTURE_DIR);
    QDir().mkpath(dir);
    const bool en = language == TMainWnd::Language::English;
    EXPECT_TRUE(app.w->grab().save(dir + (en ? "/waterfall-window-en.png" : "/waterfall-window-ja.png")));
    EXPECT_TRUE(
        app.w->waterfall->Composed().save(dir + (en ? "/waterfall-pane-en.png" : "/waterfall-pane-ja.png")));
  }
}

}  // namespace
