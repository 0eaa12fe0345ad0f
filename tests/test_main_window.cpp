// The main window driven through its real widgets, on the simulated card.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTableWidget>
#include <QTest>
#include <QToolButton>
#include <chrono>
#include <cmath>
#include <csignal>
#include <memory>
#include <thread>

#include "app/DecoderPane.h"
#include "app/MainWindow.h"
#include "app/ShutdownSignals.h"
#include "common/Pcm16.h"
#include "signal/Presets.h"
#include "app/DevicesDlg.h"
#include "app/Widgets.h"
#include "signal/Presets.h"
#include "spectrum/SpectrumModel.h"
#include "support/AppTestUtil.h"
#include "support/CFilterProbe.h"
#include "support/EngineTestUtil.h"
#include "support/MorseSignal.h"
#include "support/SimWaveDriver.h"
#include "support/TestUtil.h"

namespace {

using testutil::ReadText;
using testutil::SharedBoxRecorder;
using testutil::TempDir;
using testutil::WriteText;

using namespace apptest;

TEST(MainWindow, FirstStartWithoutSettings) {
  App app;
  TMainWnd& w = *app.w;
  EXPECT_TRUE(w.presetButtons[0]->isChecked());
  EXPECT_EQ(w.session->Select(), 0);
  EXPECT_EQ(w.Engine()->Definition().tap, 0);
  EXPECT_EQ(w.EditFo->currentText(), "700");
  EXPECT_EQ(w.EditTap->currentText(), "100");
  EXPECT_EQ(w.EditSize->currentText(), "512");
  EXPECT_EQ(w.fftswGroup->checkedId(), 0);
  EXPECT_EQ(w.fftfwGroup->checkedId(), 2);
  EXPECT_FALSE(w.SBDCCUT->isChecked());
  // The original client area keeps its size; the menu bar and the status
  // bar come above and below it, and the controls keep their places.
  EXPECT_EQ(w.client->size(), QSize(632, 368));
  EXPECT_EQ(w.presetButtons[7]->parentWidget(), w.client);
  EXPECT_EQ(w.presetButtons[7]->geometry(), QRect(10, 150, 60, 32));
  EXPECT_LT(w.menuBar->geometry().bottom(), w.client->geometry().top());
  EXPECT_GT(w.statusBar->geometry().top(), w.client->geometry().bottom());
  // Audio passes unchanged.
  app.sim.RecordPlayback(4096);
  ASSERT_TRUE(Pump([&] { return app.sim.Played().size() >= 4096; }, 10000));
  std::vector<std::int16_t> played = app.sim.Played();
  int offset = -1;
  for (int k = 0; k < 4096 && offset < 0; ++k)
    if (played[0] == Tone(k) && played[1] == Tone(k + 1) && played[2] == Tone(k + 2)) offset = k;
  ASSERT_GE(offset, 0);
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(played[i], Tone(offset + i)) << i;
}

TEST(MainWindow, PresetClickInstallsThePreset) {
  App app;
  static FilterDefinition userSlots[kUserSlotCount];
  SetDefaultUserDesigns(userSlots, 100);
  for (int code : {7, 1, 19, 23, 14, 28}) {
    app.Click(code);
    auto ref = std::make_unique<FilterDefinition>();
    InstallPreset(*ref, code, 700.0, 100, userSlots);
    EXPECT_TRUE(SameDefinition(Live(app), *ref)) << PresetCaption(code);
    EXPECT_EQ(app.w->session->Select(), code);
    EXPECT_TRUE(app.w->presetButtons[code]->isChecked());
  }
  EXPECT_EQ(app.w->EntFilterSel->currentText(), "User2");
  // Clicking the button already down keeps it down and installs again.
  app.Click(23);
  app.Click(23);
  EXPECT_TRUE(app.w->presetButtons[23]->isChecked());
  EXPECT_EQ(Live(app).params.type, FilterType::LMS);
}

TEST(MainWindow, ThroughTwiceReturnsToThePreviousPreset) {
  App app;
  app.Click(0);  // first run, nothing before: stays through
  EXPECT_EQ(app.w->session->Select(), 0);
  app.Click(10);  // BP200
  app.Click(0);
  EXPECT_EQ(app.w->session->Select(), 0);
  EXPECT_EQ(Live(app).tap, 0);
  EXPECT_TRUE(app.w->presetButtons[0]->isChecked());
  app.Click(0);
  EXPECT_EQ(app.w->session->Select(), 10);
  EXPECT_TRUE(app.w->presetButtons[10]->isChecked());
  EXPECT_EQ(Live(app).params.fcl, 600.0);
  // Fo changed while through brings BP200 back around the new Fo.
  app.Click(0);
  app.SetText(app.w->EditFo, "800");
  EXPECT_EQ(app.w->session->Select(), 10);
  EXPECT_EQ(Live(app).params.fcl, 700.0);
}

TEST(MainWindow, FoAndTapEdits) {
  App app;
  app.Click(7);  // BP500
  struct Case {
    const char* text;
    int tap;
  } taps[] = {{"101", 100}, {"64", 64}, {"513", 512}, {"1", 512}, {"0", 512}, {"abc", 512}, {"  96xyz", 96}};
  for (const Case& c : taps) {
    app.w->focusCountdown = 0;
    app.SetText(app.w->EditTap, c.text);
    EXPECT_EQ(app.w->session->PresetTap(), c.tap) << c.text;
    EXPECT_EQ(Live(app).tap, c.tap) << c.text;
    EXPECT_EQ(app.w->focusCountdown, 100) << c.text;
  }
  struct FoCase {
    const char* text;
    double fo;
  } fos[] = {{"650", 650}, {"300", 650}, {"2000", 650}, {"-5", 650}, {"x", 650}, {"900", 900}};
  for (const FoCase& c : fos) {
    app.SetText(app.w->EditFo, c.text);
    EXPECT_EQ(app.w->session->Fo(), c.fo) << c.text;
    EXPECT_EQ(Live(app).params.fcl, c.fo - 250.0) << c.text;
  }
  // Typed key by key.
  app.w->EditFo->lineEdit()->selectAll();
  QTest::keyClicks(app.w->EditFo->lineEdit(), "750");
  EXPECT_EQ(app.w->session->Fo(), 750.0);
  // The focus goes back to DispBtn when the countdown runs out.
  app.w->EditFo->setFocus();
  ASSERT_NE(app.w->focusWidget(), app.w->DispBtn);
  app.w->focusCountdown = 2;
  app.w->TimerTimer();
  EXPECT_NE(app.w->focusWidget(), app.w->DispBtn);
  app.w->TimerTimer();
  EXPECT_EQ(app.w->focusWidget(), app.w->DispBtn);
  EXPECT_EQ(app.w->focusCountdown, 0);
}

TEST(MainWindow, BufferSizeBox) {
  App app;
  const int opens = app.sim.InputOpens();
  for (const char* bad : {"63", "8192", "abc"}) {
    app.SetText(app.w->EditSize, bad);
    EXPECT_EQ(app.w->Engine()->BufferSize(), 512) << bad;
  }
  app.SetText(app.w->EditSize, "4096");
  EXPECT_EQ(app.w->Engine()->BufferSize(), 4096);
  ASSERT_TRUE(Pump([&] { return app.sim.InputBufferBytes() == 8192; }, 10000));
  EXPECT_EQ(app.sim.InputOpens(), opens + 1);
  EXPECT_EQ(app.w->Engine()->LostCount(), 0);
}

TEST(MainWindow, SettingsRoundTrip) {
  App app(TMainWnd::Language::English, false);
  WriteText(
      app.Ini(),
      "[Define]\nSelect=7\nDCCut=5\nBuffSize=0x200\nVolume=-1\nFo=garbage\nFFTSW=2\nFFTFW=0\nMine=kept\n");
  app.Start();
  TMainWnd& w = *app.w;
  EXPECT_TRUE(w.presetButtons[7]->isChecked());
  EXPECT_EQ(w.Engine()->Definition().params.fcl, 450.0) << "BP500 around the default Fo";
  EXPECT_TRUE(w.SBDCCUT->isChecked());
  EXPECT_EQ(w.Engine()->DcCut(), 1);
  EXPECT_EQ(w.Engine()->BufferSize(), 512);
  EXPECT_EQ(w.Engine()->Volume(), 0xFFFFFFFFu);
  EXPECT_EQ(w.session->Fo(), 700.0);
  EXPECT_EQ(w.fftswGroup->checkedId(), 2);
  EXPECT_EQ(w.fftfwGroup->checkedId(), 0);
  ASSERT_TRUE(w.close());
  const std::string text = ReadText(app.Ini());
  // Keys already in the file keep their places; the others follow.
  for (const char* item : {"Select=7", "Tap=100", "Fo=7.000000e+02", "BuffSize=512", "FFTSW=2", "FFTFW=0",
                           "Volume=-1", "DCCut=1", "Mine=kept", "[User1]", "[User6]"})
    EXPECT_NE(text.find(item), std::string::npos) << item << " in\n" << text;
  EXPECT_LT(text.find("Select=7"), text.find("DCCut=1"));
  EXPECT_LT(text.find("DCCut=1"), text.find("Tap=100"));
}

TEST(MainWindow, BadSettingsKeepDefaults) {
  const char* bodies[] = {"Select=40", "Tap=7", "BuffSize=9000", "Fo=1.0e+01", "FFTSW=5", "FFTFW=9"};
  for (const char* body : bodies) {
    App app(TMainWnd::Language::English, false);
    WriteText(app.Ini(), std::string("[Define]\n") + body + "\n");
    app.Start();
    EXPECT_EQ(app.w->session->Select(), 0) << body;
    EXPECT_EQ(app.w->session->PresetTap(), 100) << body;
    EXPECT_EQ(app.w->Engine()->BufferSize(), 512) << body;
    EXPECT_EQ(app.w->session->Fo(), 700.0) << body;
    EXPECT_EQ(app.w->fftswGroup->checkedId(), 0) << body;
    EXPECT_EQ(app.w->fftfwGroup->checkedId(), 2) << body;
  }
}

TEST(MainWindow, VolumeButtons) {
  {
    App app(TMainWnd::Language::English, false);
    WriteText(app.Ini(), "[Define]\nVolume=-1\n");
    app.Start();
    ASSERT_TRUE(Pump([&] { return app.w->VolDownBtn->isEnabled(); }, 3000));
    EXPECT_FALSE(app.w->VolUpBtn->isEnabled());
    QTest::mouseClick(app.w->VolDownBtn, Qt::LeftButton);
    EXPECT_EQ(app.w->Engine()->Volume(), 0xEFFFFFFFu);
    EXPECT_EQ(app.sim.Volume(), 0xEFFFFFFFu);
    EXPECT_TRUE(app.w->VolUpBtn->isEnabled());
    EXPECT_TRUE(app.w->VolDownBtn->isEnabled());
  }
  {
    App app(TMainWnd::Language::English, false);
    WriteText(app.Ini(), "[Define]\nVolume=49152\n");
    app.Start();
    ASSERT_TRUE(Pump([&] { return app.w->VolUpBtn->isEnabled(); }, 3000));
    EXPECT_FALSE(app.w->VolDownBtn->isEnabled());
    for (int i = 0; i < 15; ++i) QTest::mouseClick(app.w->VolUpBtn, Qt::LeftButton);
    EXPECT_EQ(app.w->Engine()->Volume(), 0xF0000000u + 49152u);
    EXPECT_FALSE(app.w->VolUpBtn->isEnabled());
    EXPECT_TRUE(app.w->VolDownBtn->isEnabled());
  }
  {
    // No playback device and no saved volume: both stay disabled.
    App app(TMainWnd::Language::English, false);
    app.sim.outputOpenError = 2;
    app.Start();
    ASSERT_TRUE(Pump([&] { return app.boxes.Texts().size() == 1; }, 3000));
    EXPECT_EQ(app.w->Engine()->Volume(), 1u);
    EXPECT_FALSE(app.w->VolUpBtn->isEnabled());
    EXPECT_FALSE(app.w->VolDownBtn->isEnabled());
  }
}

TEST(MainWindow, Languages) {
  {
    App app(TMainWnd::Language::English);
    EXPECT_EQ(app.w->presetButtons[0]->text(), "TH");
    EXPECT_EQ(app.w->CopyBtn->text(), "Copy");
    EXPECT_EQ(app.w->EntBtn->text(), "Design ");
    EXPECT_EQ(app.w->DispBtn->text(), "Show");
    EXPECT_EQ(app.w->VolUpBtn->text(), "Vol+");
    EXPECT_EQ(app.w->VolDownBtn->text(), "Vol-");
    EXPECT_EQ(app.w->font().family(), "Times New Roman");
    EXPECT_EQ(app.w->SelectName(7), "BP500");
  }
  {
    App app(TMainWnd::Language::Japanese);
    EXPECT_EQ(app.w->presetButtons[0]->text(), QString::fromUtf8("スルー"));
    EXPECT_EQ(app.w->CopyBtn->text(), QString::fromUtf8("現状をコピー"));
    EXPECT_EQ(app.w->EntBtn->text(), QString::fromUtf8("設計"));
    EXPECT_EQ(app.w->DispBtn->text(), QString::fromUtf8("特性"));
    EXPECT_EQ(app.w->VolUpBtn->text(), QString::fromUtf8("↑"));
    EXPECT_EQ(app.w->VolDownBtn->text(), QString::fromUtf8("↓"));
    EXPECT_EQ(app.w->SelectName(0), QString::fromUtf8("スルー"));
  }
}

TEST(MainWindow, CopyButtonAsksAndCopies) {
  App app;
  app.Click(7);  // BP500
  app.w->EntFilterSel->setEditText("User2");
  app.boxes.answer = false;
  QTest::mouseClick(app.w->CopyBtn, Qt::LeftButton);
  ASSERT_EQ(app.boxes.Texts().size(), 1u);
  EXPECT_EQ(app.boxes.Texts()[0], "TARVIK|User2 Filter already exists        \r\n\r\nReplace it on this?   ");
  EXPECT_EQ(app.w->session->UserSlot(1).params.fcl, 300.0) << "No keeps the slot";
  app.boxes.answer = true;
  QTest::mouseClick(app.w->CopyBtn, Qt::LeftButton);
  EXPECT_EQ(app.w->session->UserSlot(1).params.fcl, 450.0);
  EXPECT_EQ(app.w->session->UserSlot(1).overSmp, 3);
  EXPECT_EQ(app.w->session->Select(), 7);
  // The slot in force is not asked about.
  app.Click(14);
  QTest::mouseClick(app.w->CopyBtn, Qt::LeftButton);
  EXPECT_EQ(app.boxes.Texts().size(), 2u);
  // A name that is no slot falls back to User1.
  app.w->EntFilterSel->setEditText("Nonsense");
  EXPECT_EQ(app.w->GetUserNumber(), 0);
  EXPECT_EQ(app.w->EntFilterSel->currentText(), "User1");
}

TEST(MainWindow, TimerSwitchesAStuckSpectrumOff) {
  App app;
  app.w->fftswGroup->button(1)->click();
  EXPECT_EQ(app.w->Engine()->FftMode(), 1);
  CFilterProbe(*app.w->Engine()).Fft().inUse = 1;
  app.w->TimerTimer();
  EXPECT_EQ(app.w->Engine()->FftMode(), 0);
  EXPECT_EQ(app.w->fftswGroup->checkedId(), 0);
  EXPECT_EQ(CFilterProbe(*app.w->Engine()).Fft().inUse, 0);
}

// Regression: a refused save used to abandon the close with the audio
// already stopped, so the program could neither work nor quit.
TEST(MainWindow, RefusedSaveAsksAndKeepsRunningOrQuits) {
  App app;
  QDir().mkpath(QString::fromStdString(app.Ini()));  // a directory where the file should be
  app.boxes.answer = false;
  EXPECT_FALSE(app.w->close());
  std::vector<std::string> texts = app.boxes.Texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], "!!!|" + app.Ini() + " に書き込めません");
  EXPECT_EQ(texts[1], "TARVIK|Settings could not be saved to " + app.Ini() + "\r\n\r\nQuit without saving?");
  ASSERT_TRUE(app.w->Engine());
  EXPECT_TRUE(app.w->Engine()->Running()) << "the audio keeps running";
  EXPECT_EQ(app.w->busy, 0);
  app.boxes.answer = true;
  app.sim.StartClock(2);
  EXPECT_TRUE(app.w->close());
  EXPECT_FALSE(app.w->Engine());
}

// Regression: a settings directory whose name is not UTF-8 was not read
// (defaults at start) and every close showed two error boxes.
TEST(MainWindow, SettingsDirectoryNamedInOtherBytes) {
  App app(TMainWnd::Language::English, false);
  app.exeDir = app.dir.Path() + "/caf\xe9 \xff/";
  ASSERT_EQ(::mkdir(app.exeDir.c_str(), 0755), 0);
  WriteText(app.Ini(), "[Define]\nSelect=11\nRecDir=/tmp/r\xe9\xff\n");
  app.Start();
  EXPECT_EQ(app.w->session->Select(), 11);
  app.Click(9);
  // Regression: directories in other bytes came back with U+FFFD in them
  // after a save or a design dialog that did not change them.
  app.w->executeDesign = [](TDesignDlg&, CFilter*, int, const QString&) { return false; };
  app.w->DispBtnClick();
  app.sim.StartClock(2);
  ASSERT_TRUE(app.w->close());
  const std::string saved = ReadText(app.Ini());
  EXPECT_NE(saved.find("Select=9"), std::string::npos);
  EXPECT_NE(saved.find("DefDir=" + app.exeDir + "\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("RecDir=/tmp/r\xe9\xff\n"), std::string::npos) << saved;
  EXPECT_TRUE(app.boxes.Texts().empty());
}

// Regression: a 100 MB settings file froze start-up and close for seconds
// and was then overwritten. Now it is not read, says so once, and stays.
TEST(MainWindow, HugeSettingsFileIsNeitherReadNorOverwritten) {
  App app(TMainWnd::Language::English, false);
  const std::string huge = "[Define]\nSelect=11\n" + std::string(2 << 20, ';') + "\n";
  WriteText(app.Ini(), huge);
  app.Start();
  EXPECT_EQ(app.w->session->Select(), 0) << "defaults";
  std::vector<std::string> texts = app.boxes.Texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_NE(texts[0].find("larger than 1 MB"), std::string::npos);
  app.Click(9);
  PumpFor(2500);  // the debounced save must not write either
  app.boxes.answer = true;
  app.sim.StartClock(2);
  ASSERT_TRUE(app.w->close());
  EXPECT_EQ(ReadText(app.Ini()).size(), huge.size());
}

// Regression: settings were written only when the window closed, so a
// crash, a power cut, a logout or SIGTERM lost the session's changes.
TEST(MainWindow, ChangesAreSavedWithinSecondsAndOnTermination) {
  App app;
  app.Click(11);
  ASSERT_TRUE(Pump([&] { return ReadText(app.Ini()).find("Select=11") != std::string::npos; }, 5000))
      << "a change reaches the file within a few seconds";

  // SIGTERM: a designed user slot survives.
  FilterDefinition slot;
  slot.SetDesign(2, 64, FilterType::BPF, 5512.5, 432.0, 876.0, 50.0);
  app.w->session->StoreSlot(2, slot);
  ShutdownSignals onTermination([&](int) { app.w->SaveForShutdown(); });
  ASSERT_EQ(::raise(SIGTERM), 0);
  ASSERT_TRUE(Pump([&] { return ReadText(app.Ini()).find("FCL=4.320000e+02") != std::string::npos; }, 2000));
  EXPECT_TRUE(app.w->Engine()->Running()) << "saving does not stop the audio by itself";
  EXPECT_TRUE(app.boxes.Texts().empty());
}

// The keys drive the same handlers as the buttons and boxes, and Help lists
// them.
TEST(MainWindow, KeyboardShortcuts) {
  App app;
  TMainWnd& w = *app.w;
  int designs = 0;
  w.executeDesign = [&](TDesignDlg&, CFilter*, int editMode, const QString&) {
    designs += editMode;
    return false;
  };
  w.DispBtn->setFocus();
  auto press = [&](int key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QTest::keyClick(&w, static_cast<Qt::Key>(key), mods);
    QCoreApplication::processEvents();
  };
  struct Step {
    int key;
    Qt::KeyboardModifiers mods;
    int select;
    double fo;
  } steps[] = {
      {Qt::Key_Down, Qt::NoModifier, 1, 700},    // TH row -> NS4
      {Qt::Key_3, Qt::NoModifier, 3, 700},       // NS8
      {Qt::Key_Down, Qt::NoModifier, 6, 700},    // NS16, same place
      {Qt::Key_Down, Qt::NoModifier, 9, 700},    // BP300
      {Qt::Key_4, Qt::NoModifier, 25, 700},      // LMSNS
      {Qt::Key_Down, Qt::NoModifier, 26, 700},   // LMSAN
      {Qt::Key_Down, Qt::NoModifier, 19, 700},   // 2.4K: the row has three places
      {Qt::Key_1, Qt::NoModifier, 27, 700},      // 2.7K
      {Qt::Key_Right, Qt::NoModifier, 27, 710},  // Fo +10
      {Qt::Key_Right, Qt::ShiftModifier, 27, 760}, {Qt::Key_Left, Qt::NoModifier, 27, 750},
      {Qt::Key_Space, Qt::NoModifier, 0, 750},   // through
      {Qt::Key_Space, Qt::NoModifier, 27, 750},  // and back
  };
  for (const Step& st : steps) {
    press(st.key, st.mods);
    EXPECT_EQ(w.session->Select(), st.select) << QKeySequence(st.key | st.mods).toString().toStdString();
    EXPECT_EQ(w.session->Fo(), st.fo) << QKeySequence(st.key | st.mods).toString().toStdString();
    EXPECT_TRUE(w.presetButtons[w.session->Select()]->isChecked());
  }
  press(Qt::Key_H);
  EXPECT_TRUE(w.SBDCCUT->isChecked());
  EXPECT_TRUE(w.Engine()->DcCut());
  press(Qt::Key_H);
  EXPECT_FALSE(w.Engine()->DcCut());
  w.session->SetFo(kFoMaxHz - 5);
  press(Qt::Key_Right, Qt::ShiftModifier);
  EXPECT_EQ(w.session->Fo(), kFoMaxHz) << "Fo stays within its bounds";
  press(Qt::Key_D, Qt::ControlModifier);
  EXPECT_EQ(designs, 1) << "Ctrl+D opens the design dialog on the user slot";

  const QString help = w.ShortcutsText();
  for (const char* k : {"Space", "H\t", "Left", "Shift+Left", "1 2 3 4", "Up / Down", "Ctrl+R", "Ctrl+D"})
    EXPECT_TRUE(help.contains(QString::fromLatin1(k))) << k;
  w.ActShortcuts->trigger();
  EXPECT_TRUE(w.findChild<QWidget*>(QStringLiteral("ShortcutsBox")));
}

// File > Record (Ctrl+R): the folder is asked for once, the status bar
// shows the time and the file, Ctrl+R again stops, and the folder is kept.
TEST(MainWindow, RecordingFromTheMenu) {
  App app;
  TMainWnd& w = *app.w;
  const QString folder = QString::fromStdString(app.dir.Path() + "/rec");
  int asked = 0;
  w.chooseRecordFolder = [&](const QString& suggested) {
    ++asked;
    EXPECT_TRUE(suggested.endsWith(QStringLiteral("/Tarvik")));
    return folder;
  };
  w.ActRecordInput->setChecked(true);
  w.DispBtn->setFocus();
  QTest::keyClick(&w, Qt::Key_R, Qt::ControlModifier);
  ASSERT_TRUE(w.Engine()->Recording().active);
  ASSERT_TRUE(Pump([&] { return w.Engine()->Recording().frames > 11025; }, 10000));
  w.UpdateStatus();
  EXPECT_TRUE(w.StatusRecord->text().startsWith(QStringLiteral("● REC 00:0")));
  EXPECT_TRUE(w.StatusRecord->text().contains(QStringLiteral("  Tarvik-")))
      << "the file's name, not its path, which would widen the window";
  EXPECT_TRUE(w.StatusRecord->toolTip().contains(QStringLiteral("/rec/Tarvik-")));
  EXPECT_TRUE(w.ActRecord->isChecked());
  w.ActRecord->trigger();
  EXPECT_FALSE(w.Engine()->Recording().active);
  const QStringList files = QDir(folder).entryList(QDir::Files);
  ASSERT_EQ(files.size(), 2) << "the output and the input";
  EXPECT_TRUE(files[0].endsWith(QStringLiteral("-input.wav")) ||
              files[1].endsWith(QStringLiteral("-input.wav")));
  // A second recording asks nothing, and one started within the same second
  // keeps the first (regression: it replaced it).
  w.ActRecord->trigger();
  EXPECT_EQ(asked, 1);
  w.ActRecord->trigger();
  w.ActRecord->trigger();
  w.ActRecord->trigger();
  EXPECT_GE(QDir(folder).entryList(QDir::Files).size(), 6) << "three recordings, each with its input";
  app.sim.StartClock(2);
  ASSERT_TRUE(w.close());
  EXPECT_NE(ReadText(app.Ini()).find("RecDir=" + folder.toStdString()), std::string::npos);
  EXPECT_NE(ReadText(app.Ini()).find("RecInput=1"), std::string::npos);
}

// Pictures of the window in both languages, with a tone on the spectrum.
TEST(MainWindow, Pictures) {
  for (auto language : {TMainWnd::Language::English, TMainWnd::Language::Japanese}) {
    App app(language);
    app.Click(25);  // LMSNS
    app.w->fftswGroup->button(2)->click();
    PumpFor(2500);
    const QString dir = QStringLiteral(TARVIK_PICTURE_DIR);
    QDir().mkpath(dir);
    const QString name =
        language == TMainWnd::Language::English ? "main-window-en.png" : "main-window-ja.png";
    EXPECT_TRUE(app.w->grab().save(dir + "/" + name));
  }
}

// Audio > Devices: a choice is in force at once (the driver is asked for
// it), a missing one shows in the status bar, and it survives a restart
// through Tarvik.ini.
// Two sinks of one server described alike (regression: the dialog listed
// "Null Output" twice and the status bar cut the names while its middle
// stood empty): the dialog adds the names, the status bar shortens both
// sides within the window's width and its tooltip gives the ids.
struct TwinOutputs : SimWaveDriver {
  std::vector<DeviceInfo> Devices() override {
    return {{"pulse:radio.monitor", "Monitor of Null Output with a long description", true, true},
            {"pulse:speaker", "Null Output", false, true},
            {"pulse:rig", "Null Output", false, false}};
  }
};

// Regression: the Japanese shortcuts box kept "(K)" in its title and its
// columns did not line up.
TEST(MainWindow, ShortcutsBoxInAColumnTable) {
  App app(TMainWnd::Language::Japanese);
  app.w->ActShortcuts->trigger();
  auto* box = app.w->findChild<QMessageBox*>(QStringLiteral("ShortcutsBox"));
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->windowTitle(), QString::fromUtf8("キーボード ショートカット"));
  EXPECT_EQ(box->textFormat(), Qt::RichText);
  EXPECT_EQ(box->text().count(QStringLiteral("<tr><td><b>")), kShortcutCount) << "a key and its meaning a row";
  box->close();
}

TEST(MainWindow, DevicesDescribedAlikeAreToldApart) {
  TwinOutputs twins;
  TDevicesDlg dialog(twins, true, nullptr);
  ASSERT_EQ(dialog.OutputBox->count(), 3);
  EXPECT_EQ(dialog.OutputBox->itemText(1), QStringLiteral("Null Output (speaker)"));
  EXPECT_EQ(dialog.OutputBox->itemText(2), QStringLiteral("Null Output (rig)"));
  EXPECT_EQ(dialog.InputBox->itemText(1), QStringLiteral("Monitor of Null Output with a long description"));
  EXPECT_EQ(dialog.RateBox->itemText(0), QString::fromUtf8("11025 Hz (デバイスで)")) << "translated";

  App app;
  const std::string in = "pulse:alsa_input.usb-Burr-Brown_USB_Audio_CODEC-00.analog-stereo";
  const std::string out = "pulse:alsa_output.pci-0000_00_1f.3.analog-stereo.headphones";
  app.sim.SetAbsent({in, out});
  app.w->session->ChooseDevices(in, out, 0);
  ASSERT_TRUE(Pump(
      [&] {
        app.w->UpdateStatus();
        return app.w->StatusDevices->text().count(QStringLiteral("(missing)")) == 2;
      },
      3000));
  app.w->UpdateStatus();
  const QString shown = app.w->StatusDevices->text();
  EXPECT_LE(app.w->StatusDevices->fontMetrics().horizontalAdvance(shown), app.w->StatusDevices->width());
  EXPECT_TRUE(shown.startsWith(QStringLiteral("alsa_input"))) << shown.toStdString();
  EXPECT_TRUE(shown.contains(QStringLiteral("→ alsa_output"))) << "both sides shown: " << shown.toStdString();
  EXPECT_TRUE(shown.endsWith(QStringLiteral("(missing)"))) << shown.toStdString();
  EXPECT_GE(app.w->StatusDevices->width(), 400) << "the devices take the bar's free width";
  EXPECT_TRUE(app.w->StatusDevices->toolTip().contains(QString::fromStdString("[" + in + "]")));
  EXPECT_EQ(app.w->width(), 632) << "the window keeps the client area's width";
}

// Regression: while nothing played the status bar showed a normal-looking
// delay, and right after a device change one of 718 ms: now "no sound"
// while nothing plays, and a delay only once the new devices have played
// for half a second.
TEST(MainWindow, TheStatusSaysNoSoundAndNoStaleDelay) {
  App app;
  auto delayShown = [&] {
    app.w->UpdateStatus();
    return app.w->StatusDelay->text().startsWith(QStringLiteral("Delay"));
  };
  ASSERT_TRUE(Pump(delayShown, 5000));
  app.sim.frozen = true;
  EXPECT_TRUE(Pump(
      [&] {
        app.w->UpdateStatus();
        return app.w->StatusDelay->text() == QStringLiteral("no sound");
      },
      3000));
  app.sim.frozen = false;
  ASSERT_TRUE(Pump(delayShown, 5000)) << "the sound is back";
  app.w->session->ChooseDevices("pulse:sim_in", "pulse:sim_out", 0);
  ASSERT_TRUE(Pump([&] { return app.sim.LastRequest(false).id == "pulse:sim_out"; }, 3000));
  EXPECT_EQ(app.w->Engine()->Devices().delayMs, 0.0) << "not measured yet on the new devices";
  EXPECT_TRUE(Pump(delayShown, 5000));
}

TEST(MainWindow, DevicesChosenInTheDialog) {
  App app;
  ASSERT_NE(app.w->ActDevices, nullptr);
  EXPECT_EQ(app.w->ActDevices->text(), QStringLiteral("&Devices..."));
  {
    TDevicesDlg dialog(app.sim, false, app.w.get());
    dialog.onChoice = [&](const std::string& in, const std::string& out, int rate) {
      app.w->session->ChooseDevices(in, out, rate);
    };
    dialog.SetChoice(app.w->session->InDevice(), app.w->session->OutDevice(), app.w->session->DeviceRate());
    ASSERT_EQ(dialog.InputBox->count(), 2);
    EXPECT_EQ(dialog.InputBox->itemText(0), QStringLiteral("System default (Simulated input)"));
    EXPECT_EQ(dialog.InputBox->itemText(1), QStringLiteral("Simulated input"));
    EXPECT_EQ(dialog.RateBox->itemText(0), QStringLiteral("11025 Hz at the device"));
    dialog.InputBox->setCurrentIndex(1);
    dialog.RateBox->setCurrentIndex(dialog.RateBox->findData(48000));
    ASSERT_TRUE(Pump([&] { return app.sim.LastRequest(true).id == "pulse:sim_in"; }, 3000));
    EXPECT_TRUE(Pump([&] { return app.sim.LastRequest(false).rateHz == 48000; }, 3000));

    // An output that is not there: shown as missing, and kept as chosen.
    app.sim.SetAbsent({"pulse:gone"});
    dialog.SetChoice("pulse:sim_in", "pulse:gone", 48000);
    EXPECT_EQ(dialog.OutputBox->currentText(), QStringLiteral("pulse:gone (missing)"));
    app.w->session->ChooseDevices("pulse:sim_in", "pulse:gone", 48000);
    EXPECT_TRUE(Pump(
        [&] {
          app.w->UpdateStatus();
          return app.w->StatusDevices->text().contains(QStringLiteral("gone (missing)"));
        },
        3000))
        << app.w->StatusDevices->text().toStdString();
  }
  ASSERT_TRUE(app.w->close());
  app.w.reset();
  const std::string text = ReadText(app.Ini());
  EXPECT_NE(text.find("InDevice=pulse:sim_in"), std::string::npos) << text;
  EXPECT_NE(text.find("OutDevice=pulse:gone"), std::string::npos);
  EXPECT_NE(text.find("DeviceRate=48000"), std::string::npos);

  app.sim.SetAbsent({});
  app.Start();
  EXPECT_EQ(app.w->session->InDevice(), "pulse:sim_in");
  EXPECT_EQ(app.w->session->OutDevice(), "pulse:gone");
  EXPECT_EQ(app.sim.LastRequest(true).id, "pulse:sim_in");
  EXPECT_EQ(app.sim.LastRequest(true).rateHz, 48000);
}

// The spectrum tunes and places notches; the row under the client area
// switches noise reduction and the blanker and clears the notches; all of
// it survives a restart.
TEST(MainWindow, SpectrumClicksNotchesAndBlanker) {
  App app;
  TMainWnd& w = *app.w;
  app.Click(7);  // BP500 around Fo
  const int width = w.fftBitmap.width(), fftWidth = w.Engine()->FftWidth();
  const int x800 = SpectrumHzToX(812.0, width, fftWidth);
  QTest::mouseClick(static_cast<QWidget*>(w.PaintBoxFFT), Qt::LeftButton, {}, QPoint(x800, 20));
  const double expected = BoundFo(std::round(SpectrumXToHz(x800, width, fftWidth) / 5.0) * 5.0);
  EXPECT_EQ(w.session->Fo(), expected) << "Fo where the click was, to 5 Hz";
  EXPECT_EQ(std::fmod(w.session->Fo(), 5.0), 0.0);
  EXPECT_EQ(w.EditFo->currentText(), QString::number(expected)) << "as if typed";
  EXPECT_NEAR(Live(app).params.fcl, expected - 250.0, 0.5) << "BP500 re-centred";

  const int x1500 = SpectrumHzToX(1500.0, width, fftWidth);
  QTest::mouseClick(static_cast<QWidget*>(w.PaintBoxFFT), Qt::RightButton, {}, QPoint(x1500, 20));
  ASSERT_EQ(w.session->Notches().size(), 1u);
  EXPECT_NEAR(w.session->Notches()[0], 1500.0, 6.0);
  EXPECT_EQ(w.Engine()->Extras().notchCount, 1);
  // Drawn as a marker, and so is Fo.
  w.PaintBoxFFTPaint();
  EXPECT_EQ(w.fftBitmap.pixelColor(SpectrumHzToX(w.session->Notches()[0], width, fftWidth), 5), QColor(255, 64, 64));
  EXPECT_EQ(w.fftBitmap.pixelColor(SpectrumHzToX(w.session->Fo(), width, fftWidth), 5), QColor(0, 200, 255));
  QTest::mouseClick(static_cast<QWidget*>(w.PaintBoxFFT), Qt::RightButton, {}, QPoint(x1500 + 2, 20));
  EXPECT_TRUE(w.session->Notches().empty()) << "a right click on a marker removes it";
  for (const double hz : {400.0, 1000.0, 1600.0, 2200.0, 2800.0})
    QTest::mouseClick(static_cast<QWidget*>(w.PaintBoxFFT), Qt::RightButton, {}, QPoint(SpectrumHzToX(hz, width, fftWidth), 20));
  EXPECT_EQ(w.session->Notches().size(), 4u) << "four at most";
  EXPECT_EQ(w.Engine()->Extras().notchCount, 4);

  QTest::keyClick(&w, Qt::Key_B);
  EXPECT_TRUE(w.NbBtn->isChecked());
  EXPECT_TRUE(w.Engine()->Extras().blanker);
  QTest::keyClick(&w, Qt::Key_N);
  EXPECT_TRUE(w.NrBtn->isChecked());
  EXPECT_EQ(w.Engine()->Extras().nrLevel, 3) << "the level offered first";
  w.NrLevelBox->setCurrentIndex(3);
  EXPECT_EQ(w.Engine()->Extras().nrLevel, 4);
  const std::vector<double> placed = w.session->Notches();
  ASSERT_TRUE(w.close());
  app.w.reset();
  const std::string text = ReadText(app.Ini());
  EXPECT_NE(text.find("NB=1"), std::string::npos) << text;
  EXPECT_NE(text.find("NR=4"), std::string::npos) << text;
  EXPECT_NE(text.find("Notches=400"), std::string::npos) << text;

  app.Start();
  EXPECT_EQ(app.w->session->Notches(), placed);
  EXPECT_TRUE(app.w->NbBtn->isChecked());
  EXPECT_EQ(app.w->Engine()->Extras().notchCount, 4);
  EXPECT_EQ(app.w->Engine()->Extras().nrLevel, 4);
  QTest::mouseClick(app.w->ClearNotchesBtn, Qt::LeftButton);
  EXPECT_TRUE(app.w->session->Notches().empty());
  EXPECT_EQ(app.w->Engine()->Extras().notchCount, 0);
  EXPECT_FALSE(app.w->ClearNotchesBtn->isEnabled());

  // Switched off, the level chosen stays for the next time it is switched on
  // (it was forgotten with "NR=0": on again after a restart came level 3).
  QTest::keyClick(app.w.get(), Qt::Key_N);
  EXPECT_EQ(app.w->Engine()->Extras().nrLevel, 0);
  ASSERT_TRUE(app.w->close());
  app.w.reset();
  const std::string off = ReadText(app.Ini());
  EXPECT_NE(off.find("NR=0"), std::string::npos) << off;
  EXPECT_NE(off.find("NRLevel=4"), std::string::npos) << off;
  app.Start();
  EXPECT_FALSE(app.w->NrBtn->isChecked());
  QTest::keyClick(app.w.get(), Qt::Key_N);
  EXPECT_EQ(app.w->Engine()->Extras().nrLevel, 4);
}


// The decoder cannot run without the sound: the pane says why, in the
// window's language. Regression: stopping the session left the waterfall's
// tap on the freed engine, which the next resize then used (AddressSanitizer).
TEST(MainWindow, DecoderPaneSaysWhyItIsNotDecoding) {
  for (const auto language : {TMainWnd::Language::English, TMainWnd::Language::Japanese}) {
    App app(language);
    TMainWnd& w = *app.w;
    w.session->Stop();
    QTest::keyClick(&w, Qt::Key_D);
    ASSERT_TRUE(w.session->DecoderOn());
    w.decoderPane->Poll();
    const QString shown = w.decoderPane->findChild<QLabel*>(QStringLiteral("DecoderFigures"))->text();
    const char* want = language == TMainWnd::Language::Japanese ? "解読できません: 音が止まっています"
                                                                 : "Not decoding: the sound is stopped";
    EXPECT_EQ(shown.toStdString(), want);
  }
}

// Morse from the card: D switches the decoder on and its text comes into
// the pane; the skimmer lists the signal and a click there sets Fo; the
// choices come back after a restart.
TEST(MainWindow, DecoderPaneCopiesMorse) {
  App app(TMainWnd::Language::English, false);
  MorseKeying k;
  k.tailS = 2;
  std::vector<double> morse;
  AddKeyedTone(morse, MorseEnvelope({{"CQ DE W1AW K", 25}}, k), 700, 8000);
  AddNoise(morse, 8000, 20, 4);
  app.sim.SetCaptureSource(
      [morse](long long n) { return static_cast<std::int16_t>(std::lround(morse[n % morse.size()])); });
  app.Start();
  TMainWnd& w = *app.w;
  EXPECT_FALSE(w.session->DecoderOn());
  EXPECT_EQ(w.session->Decoder(), nullptr);
  QTest::keyClick(&w, Qt::Key_D);
  ASSERT_TRUE(w.session->DecoderOn());
  ASSERT_NE(w.session->Decoder(), nullptr);
  EXPECT_TRUE(w.decoderPane->findChild<QToolButton*>(QStringLiteral("DecoderBtn"))->isChecked());
  ASSERT_TRUE(Pump([&] { return w.decoderPane->Text().contains(QStringLiteral("CQ DE W1AW K CQ DE W1AW K")); }, 30000))
      << w.decoderPane->Text().toStdString();

  // "Save text..." writes what the pane shows, a line; cancelling writes nothing.
  const std::string saved = app.dir.Path() + "/copy.txt";
  w.decoderPane->chooseSaveFile = [] { return QString(); };
  QTest::mouseClick(w.decoderPane->findChild<QPushButton*>(QStringLiteral("DecoderSaveBtn")), Qt::LeftButton);
  EXPECT_FALSE(QFile::exists(QString::fromStdString(saved)));
  w.decoderPane->chooseSaveFile = [&] { return QString::fromStdString(saved); };
  const std::string before = w.decoderPane->Text().toStdString();
  QTest::mouseClick(w.decoderPane->findChild<QPushButton*>(QStringLiteral("DecoderSaveBtn")), Qt::LeftButton);
  const std::string after = w.decoderPane->Text().toStdString(), file = ReadText(saved);
  // (the pane may take more text while the button is clicked)
  ASSERT_FALSE(file.empty());
  EXPECT_EQ(file.back(), '\n');
  EXPECT_EQ(file.compare(0, before.size(), before), 0) << file;
  EXPECT_EQ(after.compare(0, file.size() - 1, file, 0, file.size() - 1), 0) << file;

  w.session->SetFo(650);
  QTest::mouseClick(w.decoderPane->findChild<QToolButton*>(QStringLiteral("SkimmerBtn")), Qt::LeftButton);
  ASSERT_TRUE(w.session->SkimmerOn());
  auto* list = w.decoderPane->findChild<QTableWidget*>(QStringLiteral("SkimmerList"));
  ASSERT_TRUE(Pump([&] { return list->rowCount() == 1; }, 30000)) << list->rowCount();
  // (the skimmer finds the tone within 15 Hz when it starts during a
  // transmission, as here; the click sets Fo to the pitch listed)
  const double listedHz = list->item(0, 0)->text().toDouble();
  EXPECT_NEAR(listedHz, 700, 15);
  list->cellClicked(0, 3);
  EXPECT_NEAR(w.session->Fo(), listedHz, 1) << "Fo at the signal";

  QTest::mouseClick(w.decoderPane->findChild<QPushButton*>(QStringLiteral("DecoderClearBtn")), Qt::LeftButton);
  EXPECT_TRUE(w.decoderPane->Text().isEmpty());
  QTest::keyClick(&w, Qt::Key_D);
  EXPECT_EQ(w.session->Decoder(), nullptr);
  QTest::keyClick(&w, Qt::Key_D);
  ASSERT_TRUE(w.close());
  app.w.reset();
  const std::string text = ReadText(app.Ini());
  for (const char* item : {"Decoder=1", "DecoderTrack=0", "Skimmer=1", "DecoderSource=0"})
    EXPECT_NE(text.find(item), std::string::npos) << item << " in\n" << text;
  EXPECT_LT(text.find("NRLevel="), text.find("Decoder=1"));
  app.Start();
  EXPECT_TRUE(app.w->session->DecoderOn());
  EXPECT_NE(app.w->session->Decoder(), nullptr);
  EXPECT_TRUE(app.w->decoderPane->findChild<QToolButton*>(QStringLiteral("SkimmerBtn"))->isChecked());
}
}  // namespace

// The real window on the real card: BP300 through the private PulseAudio
// server, and the selection saved on close.
#include "devices/SoundDriver.h"
#include "support/SoundServerUtil.h"

namespace {

TEST(MainWindowSound, Bp300ThroughTheSoundServerAndSavedOnClose) {
  using namespace soundtest;
  REQUIRE_SOUND_SERVER();
  SharedBoxRecorder boxes;
  TempDir dir;
  WriteRaw(dir.File("in.raw"), Tones(10.0, true));
  SoundDriver driver;
  ASSERT_TRUE(driver.Usable());
  auto w = std::make_unique<TMainWnd>(driver, dir.File("Tarvik.ini"), dir.Path() + "/",
                                      TMainWnd::Language::English);
  w->show();
  w->FormPaint();
  ASSERT_TRUE(Pump([&] { return w->Engine()->Running(); }, 10000)) << "no sound device";
  QTest::mouseClick(w->presetButtons[9], Qt::LeftButton);
  ASSERT_EQ(w->session->Select(), 9);
  {
    Process recorder(soundtest::Recorder(dir.File("out.raw")));
    Process player(Player(dir.File("in.raw")));
    PumpFor(5000);
  }
  const std::vector<double> all = ReadRaw(dir.File("out.raw"));
  const double seconds = all.size() / 11025.0;
  ASSERT_GE(seconds, 2.5);
  const std::vector<double> rec = SteadiestHalfSecond(all, seconds - 0.25, 700.0);
  const double a700 = ToneAmplitudeNear(rec, 700.0), a1500 = ToneAmplitudeNear(rec, 1500.0);
  EXPECT_NEAR(testutil::Db(a700 / kLevel), 0.0, 3.0);
  EXPECT_LT(testutil::Db(a1500 / a700), -40.0);
  ASSERT_TRUE(w->close());
  w.reset();
  EXPECT_NE(ReadText(dir.File("Tarvik.ini")).find("Select=9"), std::string::npos);
  EXPECT_TRUE(boxes.Texts().empty());
}

}  // namespace
