#pragma once
// TMainWnd: the program's one window, a view and a controller of the
// listening session it owns (the state, the engine, the settings file). It
// lays out the 29 preset buttons and the controls, keeps the displays moving
// with a 100 ms timer and saves the session's settings a moment after they
// change. Its handlers only forward to the session; what it shows follows
// the session's change notices, whoever made the change.

#include <QImage>
#include <QString>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/QtBridge.h"
#include "audio/CFilter.h"
#include "control/RigControl.h"
#include "control/Session.h"
#include "control/Shortcuts.h"
#include "draw/ResponsePlot.h"
#include "draw/SpectrumView.h"
#include "signal/FilterDefinition.h"
#include "signal/Presets.h"
#include "signal/Settings.h"

class QAction;
class QButtonGroup;
class QMenuBar;
class QStatusBar;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QTimer;
class QSlider;
class QToolButton;
class ImageBox;
class TDesignDlg;
class QFrame;
class QVBoxLayout;
class WaterfallPane;

class DecoderPane;

class TMainWnd : public QWidget {
 public:
  enum class Language { System, English, Japanese };

  // settingsFile: "Tarvik.ini" (its directory is created on the first save
  // when missing); dialogDir: where the file dialogs start until the user
  // picks another, with a trailing "/". Both as the bytes the system names
  // them by (not necessarily UTF-8).
  TMainWnd(WaveDriver& driver, const std::string& settingsFile, const std::string& dialogDir,
           Language language = Language::System, QWidget* parent = nullptr);
  ~TMainWnd() override;

  // --- operations -----------------------------------------------------------
  QToolButton* ButtonForSelect(int code);
  void ApplySelect(int code);
  QString SelectName(int code);
  void SyncFftRadios();
  void UpdateVolumeButtons();
  void ApplyLanguage();
  void FormPaint();
  // The close request; false when the user chose to keep the program running.
  bool FormCloseQuery();
  int GetUserNumber();
  void LoadSettings();
  // False when the file was refused (the error box has been shown, unless
  // quiet).
  bool SaveSettings(bool quiet = false);
  // Saves when the settings changed since the last save and stayed so for a
  // tick of SaveTimer (about a second), so a crash or a power cut loses at
  // most a few seconds of changes.
  void SaveTimerTimer();
  // The end of the desktop session or a termination signal: saves without
  // asking anything. The caller then ends the event loops.
  void SaveForShutdown();

  // --- menus, status bar, recording, keyboard (MainWindowMenus.cpp) -----------
  void BuildMenusAndStatus();
  void RecordClick();         // File > Record and Ctrl+R: starts or stops
  void UpdateStatus();        // from the timer: recording, losses
  void SelectInRow(int key);  // digits 1..4: the preset in that place of the current row
  void MoveRow(int step);     // Up/Down: the same place in the row above or below
  void StepFo(double hz);     // Left/Right (with Shift: five times as far)
  // The shortcuts, one "key<TAB>what" line each, for Help and the tests.
  QString ShortcutsText() const;
  QString ShortcutsHtml() const;  // the same, as the Help box shows it
  // What a shortcut does (argument: the place in the row for RowPlace).
  void RunCommand(Command command, int argument = 0);

  // --- event handlers -------------------------------------------------------
  void PresetClick(int code);  // the 29 buttons' handlers, by selection code
  void SBNULLClick();
  void EditFoChange();
  void EditTapChange();
  void EditSizeChange();
  void SBDCCUTClick();
  void TimerTimer();
  void VolUpBtnClick();
  void VolDownBtnClick();
  void FFTSWClick();
  void FFTFWClick();
  void PaintBoxPaint();
  void PaintBoxFFTPaint();
  void DispBtnClick();
  void EntFilterSelChange();
  void EntBtnClick();
  void CopyBtnClick();

  // --- fields ---------------------------------------------------------------
  // The listening state and its engine; the engine is null once closed.
  std::unique_ptr<Session> session;
  CFilter* Engine() const { return session ? session->Engine() : nullptr; }
  QImage respBitmap;
  QImage fftBitmap;
  ResponseBackdrop respBackdrop;  // what respBitmap shows
  SpectrumBackdrop fftBackdrop;
  int statusTicks = 0;  // timer ticks since the status bar was last updated
  int firstPaint = 1;
  int settingUp = 1;
  int busy = 1;
  int focusCountdown = 0;
  std::string settingsFile;
  bool japanese = false;

  void DevicesClick();  // Audio > Devices...
  void RigClick();      // Audio > Rig...
  // A rig for this run only (tarvik --rig); the saved setting stays.
  void OverrideRig(const std::string& rigSpec);
  // The rig link (Qt-free); null once closed.
  std::unique_ptr<RigControl> rig;
  // A press on the spectrum: left sets Fo there (as if typed), right places
  // a notch there or removes the one under the pointer; Ctrl+left tunes the
  // rig so that the tone there lands on the pitch.
  void SpectrumPress(int x, Qt::MouseButton button, Qt::KeyboardModifiers modifiers = Qt::NoModifier);

  // The waterfall pane under the row of added stages and the View menu
  // (WaterfallPane.cpp); ShowWaterfall follows the session's settings.
  void BuildWaterfall(QVBoxLayout* layout);
  void ShowWaterfall();
  WaterfallPane* waterfall = nullptr;
  QAction* ActWaterfall = nullptr;
  std::vector<QAction*> wfContrastActions, wfSpeedActions, wfZoomActions;

  // Asks for the recording folder the first time (a test answers itself);
  // returns "" when the user cancels.
  std::function<QString(const QString& suggested)> chooseRecordFolder;
  // The folder dialog, starting at start (or the nearest folder above it
  // that exists); "" when cancelled.
  QString AskRecordFolder(const QString& start);

  // --- controls -------------------------------------------------------------
  QWidget* client = nullptr;  // the original 632 x 368 client area, its layout unchanged
  QMenuBar* menuBar = nullptr;
  QStatusBar* statusBar = nullptr;
  QLabel* StatusRecord = nullptr;
  QLabel* StatusLost = nullptr;
  QLabel* StatusDevices = nullptr;  // input and output, or "missing"
  QLabel* StatusRate = nullptr;
  QLabel* StatusDelay = nullptr;
  QLabel* StatusRig = nullptr;  // frequency and mode, or why the link is down
  QAction* ActDevices = nullptr;
  QAction* ActRig = nullptr;
  QWidget* extrasRow = nullptr;  // the row under the client area
  DecoderPane* decoderPane = nullptr;  // below it
  QToolButton* NrBtn = nullptr;
  QComboBox* NrLevelBox = nullptr;
  QComboBox* OutputBox = nullptr;  // mono, binaural, pan
  QSlider* BalanceSlider = nullptr;
  QAction* ActOutput[kOutputModeCount] = {};
  QToolButton* NbBtn = nullptr;
  QPushButton* ClearNotchesBtn = nullptr;
  QLabel* NotchesLabel = nullptr;
  QAction* ActRecord = nullptr;
  QAction* ActRecordInput = nullptr;
  QAction* ActRecordFlac = nullptr;
  QAction* ActRecordFolder = nullptr;
  QAction* ActQuit = nullptr;
  QAction* ActShortcuts = nullptr;
  QToolButton* presetButtons[kPresetCount] = {};
  QButtonGroup* presetGroup = nullptr;
  QToolButton* SBDCCUT = nullptr;
  QComboBox* EditFo = nullptr;
  QComboBox* EditTap = nullptr;
  QComboBox* EditSize = nullptr;
  QPushButton* VolUpBtn = nullptr;
  QPushButton* VolDownBtn = nullptr;
  QPushButton* DispBtn = nullptr;
  QGroupBox* FFTSW = nullptr;
  QGroupBox* FFTFW = nullptr;
  QButtonGroup* fftswGroup = nullptr;
  QButtonGroup* fftfwGroup = nullptr;
  QFrame* Panel1 = nullptr;
  ImageBox* PaintBoxFFT = nullptr;
  QGroupBox* GroupBox1 = nullptr;
  QComboBox* EntFilterSel = nullptr;
  QPushButton* CopyBtn = nullptr;
  QPushButton* EntBtn = nullptr;
  QFrame* Panel2 = nullptr;
  ImageBox* PaintBox = nullptr;
  QTimer* Timer = nullptr;
  QTimer* SaveTimer = nullptr;

  // Runs the design dialog for DispBtn and EntBtn: Execute unless a test
  // drives the dialog itself.
  std::function<bool(TDesignDlg&, CFilter*, int editMode, const QString& name)> executeDesign;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildControls();
  bool RunDesignDialog(int editMode, const QString& name);
  const std::string& SettingsPath() const { return settingsFile; }
  // Shows what the session changed.
  void SessionChanged(unsigned changes);
  void ShowExtras();
  void ShowOutput();
  void ShowSelection();
  void ShowRig();

  QtUiBridge ui_;
  WaveDriver* driver_ = nullptr;
  bool closed_ = false;
  // Whether anything played between two looks at least 0.4 s apart.
  long playedAtLastStatus_ = -1;
  std::chrono::steady_clock::time_point statusCheckedAt_{};
  bool silent_ = false;
  std::string savedText_;    // settings as last saved or loaded
  std::string pendingText_;  // a change seen at the last SaveTimer tick
};
