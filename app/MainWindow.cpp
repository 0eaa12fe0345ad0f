#include "app/MainWindow.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSessionManager>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <filesystem>

#include "app/DecoderPane.h"
#include "app/DesignDlg.h"
#include "app/WaterfallPane.h"
#include "app/Widgets.h"
#include "common/IniFile.h"
#include "common/MessageBox.h"
#include "common/TextFormat.h"
#include "draw/ResponsePlot.h"
#include "draw/SpectrumView.h"
#include "signal/Settings.h"

namespace {

struct PresetButton {
  const char* name;
  int left, top;
};

// By selection code.
const PresetButton kPresetButtons[kPresetCount] = {
    {"SBNULL", 10, 5},     {"SB4", 10, 86},         {"SB6", 70, 86},
    {"SB8", 130, 86},         {"SB10", 10, 118},      {"SB12", 70, 118},
    {"SB16", 130, 118},      {"SB500", 10, 150},    {"SB400", 70, 150},
    {"SB300", 130, 150},    {"SB200", 10, 182},    {"SB100", 70, 182},
    {"SB70", 130, 182},      {"SBU1", 10, 298},     {"SBU2", 71, 298},
    {"SBU3", 131, 298},     {"SBU4", 10, 330},     {"SBU5", 71, 330},
    {"SBU6", 131, 330},     {"SB24K", 130, 223},    {"SB22K", 10, 255},
    {"SB20K", 70, 255},      {"SB18K", 130, 255},    {"SBLMSCW", 194, 86},
    {"SBLMSCW2", 194, 118}, {"SBLMSNS", 194, 150}, {"SBLMSAN", 194, 182},
    {"SB27K", 10, 223},      {"SB25K", 70, 223},
};

const char* const kSlotNames[kUserSlotCount] = {"User1", "User2", "User3", "User4", "User5", "User6"};

}  // namespace

TMainWnd::TMainWnd(WaveDriver& driver, const std::string& settings, const std::string& dialogDir,
                   Language language, QWidget* parent)
    : QWidget(parent) {
  japanese = language == Language::Japanese ||
             (language == Language::System && QLocale::system().language() == QLocale::Japanese);
  setWindowTitle(QStringLiteral("Tarvik 0.1"));
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  QFont font(QStringLiteral("ＭＳ Ｐゴシック"));
  font.setPixelSize(17);
  setFont(font);

  // The original client area keeps its size and every control's place; the
  // menu bar goes above it and the status bar below.
  client = new QWidget(this);
  client->setObjectName(QStringLiteral("client"));
  client->setFixedSize(632, 368);
  // The preset in force stands out at a glance; places and captions stay.
  client->setStyleSheet(QStringLiteral(
      "QToolButton:checked { background-color: #1f5fa8; color: white;"
      " border: 1px solid #0d3566; border-radius: 2px; }"));
  BuildControls();
  BuildMenusAndStatus();
  firstPaint = 1;
  settingUp = 1;
  busy = 1;
  focusCountdown = 0;
  respBitmap = QImage(PaintBox->size(), QImage::Format_RGB32);
  respBitmap.fill(Qt::white);
  fftBitmap = QImage(PaintBoxFFT->size(), QImage::Format_RGB32);
  fftBitmap.fill(Qt::black);

  {
    const QSignalBlocker block(EntFilterSel);
    EntFilterSel->clear();
    for (const char* name : kSlotNames) EntFilterSel->addItem(QString::fromLatin1(name));
    EntFilterSel->setEditText(QStringLiteral("User1"));
  }
  settingsFile = settings;

  driver_ = &driver;
  session = std::make_unique<Session>(driver, &ui_);
  Engine()->updateVolumeButtons = [this] { UpdateVolumeButtons(); };
  session->SetDialogDirs(dialogDir, dialogDir);
  session->AddListener([this](unsigned changes) { SessionChanged(changes); });
  LoadSettings();
  // The decoder's pane, below the row of added stages and the waterfall (a
  // view of the session); its height is its own, the waterfall takes the
  // rest.
  decoderPane = new DecoderPane(*session, japanese, this);
  decoderPane->setFixedWidth(client->width());
  decoderPane->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  static_cast<QVBoxLayout*>(layout())->insertWidget(layout()->indexOf(waterfall) + 1, decoderPane);
  waterfall->Bind(*session);
  ShowWaterfall();
  // The panes under the row are all in place now: the window takes their
  // heights (the waterfall its own, not what is left).
  layout()->activate();
  if (session->Waterfall()) resize(width(), layout()->totalSizeHint().height());
  // The link's worker posts here; the window's event loop runs the call.
  rig = std::make_unique<RigControl>(*session, [this](std::function<void()> fn) {
    ui_.PostToUiThread(std::move(fn));
  });
  rig->onChange = [this] { ShowRig(); };
  // Ctrl+click on the waterfall zero-beats as on the spectrum.
  waterfall->onCtrlClick = [this](double hz) {
    if (rig) rig->ZeroBeat(hz);
  };
  ShowRig();
  savedText_ = session->Text();
  SaveTimer = new QTimer(this);
  SaveTimer->setInterval(1000);
  connect(SaveTimer, &QTimer::timeout, this, [this] { SaveTimerTimer(); });
  SaveTimer->start();
  // The desktop session ends: save now, without asking anything.
  if (auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
    connect(gui, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) { SaveForShutdown(); });

  {
    const QSignalBlocker b1(EditFo), b2(EditTap), b3(EditSize);
    EditFo->setEditText(QString::number(session->Fo(), 'g', 15));
    EditTap->setEditText(QString::number(session->PresetTap()));
    EditSize->setEditText(QString::number(Engine()->BufferSize()));
  }
  SyncFftRadios();

  if (const QScreen* screen = this->screen()) move(screen->availableGeometry().center() - rect().center());
  DispBtn->setFocus();
}

TMainWnd::~TMainWnd() {
  // A window destroyed without a close request still ends its thread, and
  // nothing it shows is told of it any more.
  if (waterfall) waterfall->Unbind();
  rig.reset();
  session.reset();
}

void TMainWnd::BuildControls() {
  presetGroup = new QButtonGroup(this);
  presetGroup->setExclusive(true);
  for (int code = 0; code < kPresetCount; ++code) {
    const PresetButton& p = kPresetButtons[code];
    auto* b = new QToolButton(client);
    b->setObjectName(QString::fromLatin1(p.name));
    b->setText(QString::fromUtf8(PresetCaption(code, true)));
    b->setCheckable(true);
    b->setGeometry(p.left, p.top, 60, 32);
    presetGroup->addButton(b, code);
    presetButtons[code] = b;
    connect(b, &QToolButton::clicked, this, [this, code] { PresetClick(code); });
  }

  MakeLabel(client, "Label1", "Fo", 9, 51);
  MakeLabel(client, "Label2", "Hz", 112, 51);
  MakeLabel(client, "Label3", "Tap", 153, 51);
  MakeLabel(client, "LBuff", "Buff", 270, 10);
  EditFo = MakeCombo(client, "EditFo", 33, 49, 70, 25,
                     {"400", "450", "500", "550", "600", "650", "700", "750", "800", "850", "900"});
  EditTap = MakeCombo(client, "EditTap", 186, 49, 65, 25,
                      {"24", "48", "64", "80", "96", "100", "128", "144", "192", "256"});
  EditSize = MakeCombo(
      client, "EditSize", 307, 7, 73, 25,
      {"128", "144", "186", "192", "200", "216", "224", "256", "352", "512", "1024", "2048", "4096"});
  EditFo->setInputMethodHints(Qt::ImhDigitsOnly);
  EditTap->setInputMethodHints(Qt::ImhDigitsOnly);
  connect(EditFo, &QComboBox::editTextChanged, this, [this] { EditFoChange(); });
  connect(EditTap, &QComboBox::editTextChanged, this, [this] { EditTapChange(); });
  connect(EditSize, &QComboBox::editTextChanged, this, [this] { EditSizeChange(); });

  VolUpBtn = MakeButton(client, "VolUpBtn", "↑", 95, 5, 50, 32);
  VolDownBtn = MakeButton(client, "VolDownBtn", "↓", 145, 5, 50, 32);
  DispBtn = MakeButton(client, "DispBtn", "特性", 260, 48, 60, 32);
  connect(DispBtn, &QPushButton::clicked, this, [this] { DispBtnClick(); });
  connect(VolUpBtn, &QPushButton::clicked, this, [this] { VolUpBtnClick(); });
  connect(VolDownBtn, &QPushButton::clicked, this, [this] { VolDownBtnClick(); });

  SBDCCUT = new QToolButton(client);
  SBDCCUT->setObjectName(QStringLiteral("SBDCCUT"));
  SBDCCUT->setText(QStringLiteral("HPF"));
  SBDCCUT->setCheckable(true);
  SBDCCUT->setGeometry(320, 48, 60, 32);
  connect(SBDCCUT, &QToolButton::clicked, this, [this] { SBDCCUTClick(); });

  FFTSW = MakeRadioGroup(client, "FFTSW", "FFT", 387, 0, 116, 87, {"OFF", "IN", "OUT"}, 1, fftswGroup);
  FFTFW = MakeRadioGroup(client, "FFTFW", "FFTFW", 504, 0, 121, 87, {"1K", "2K", "3K", "4K"}, 2, fftfwGroup);
  connect(fftswGroup, &QButtonGroup::idClicked, this, [this] { FFTSWClick(); });
  connect(fftfwGroup, &QButtonGroup::idClicked, this, [this] { FFTFWClick(); });

  Panel1 = MakePanel(client, "Panel1", 258, 88, 368, 126, Qt::black);
  QFont panelFont(QStringLiteral("ＭＳ Ｐゴシック"));
  panelFont.setPixelSize(17);
  Panel1->setFont(panelFont);
  PaintBoxFFT = MakePaintBox(Panel1, "PaintBoxFFT", &fftBitmap, 362, 120);

  GroupBox1 = new QGroupBox(QStringLiteral("User Filter"), client);
  GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
  GroupBox1->setGeometry(196, 222, 143, 139);
  EntFilterSel = MakeCombo(GroupBox1, "EntFilterSel", 16, 24, 108, 25, {});
  CopyBtn = MakeButton(GroupBox1, "CopyBtn", "現状をコピー", 16, 60, 108, 32);
  EntBtn = MakeButton(GroupBox1, "EntBtn", "設計", 16, 96, 108, 32);
  connect(EntFilterSel, &QComboBox::textActivated, this, [this] { EntFilterSelChange(); });
  connect(CopyBtn, &QPushButton::clicked, this, [this] { CopyBtnClick(); });
  connect(EntBtn, &QPushButton::clicked, this, [this] { EntBtnClick(); });

  Panel2 = MakePanel(client, "Panel2", 342, 230, 284, 131, Qt::white);
  PaintBox = MakePaintBox(Panel2, "PaintBox", &respBitmap, 278, 125);

  Timer = new QTimer(this);
  Timer->setInterval(100);
  connect(Timer, &QTimer::timeout, this, [this] { TimerTimer(); });
  Timer->start();

  // The keyboard focus starts on DispBtn and goes through the rest in order.
  QWidget* order[] = {DispBtn, VolDownBtn, VolUpBtn,     FFTSW,  FFTFW,  EditFo,
                      EditTap, EditSize,   EntFilterSel, EntBtn, CopyBtn};
  for (std::size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
}

// ---------------------------------------------------------------------------
// Start-up, selection, language

void TMainWnd::ApplyLanguage() {
  if (japanese) return;
  QFont f = font();
  f.setFamily(QStringLiteral("Times New Roman"));
  setFont(f);
  presetButtons[0]->setText(QStringLiteral("TH"));
  CopyBtn->setText(QStringLiteral("Copy"));
  EntBtn->setText(QStringLiteral("Design "));
  DispBtn->setText(QStringLiteral("Show"));
  VolUpBtn->setText(QStringLiteral("Vol+"));
  VolDownBtn->setText(QStringLiteral("Vol-"));
}

QToolButton* TMainWnd::ButtonForSelect(int code) {
  ApplyLanguage();
  return presetButtons[code >= 0 && code < kPresetCount ? code : 0];
}

void TMainWnd::ApplySelect(int code) { PresetClick(presetGroup->id(ButtonForSelect(code))); }

void TMainWnd::ShowSelection() {
  QToolButton* b = ButtonForSelect(session->Select());
  b->setChecked(true);
  const int code = session->Select();
  if (code >= kFirstUserPreset && code < kFirstUserPreset + kUserSlotCount) {
    const QSignalBlocker block(EntFilterSel);
    EntFilterSel->setEditText(QString::fromLatin1(kSlotNames[code - kFirstUserPreset]));
  }
  // Fo and the tap count as they stand, whoever changed them.
  if (ScanUnsigned(EditFo->currentText().toStdString()) != std::optional<unsigned>(session->Fo())) {
    const QSignalBlocker block(EditFo);
    EditFo->setEditText(QString::number(session->Fo(), 'g', 15));
  }
  if (ScanUnsigned(EditTap->currentText().toStdString()) == std::nullopt ||
      PresetTapFromTyped(*ScanUnsigned(EditTap->currentText().toStdString())) != session->PresetTap()) {
    const QSignalBlocker block(EditTap);
    EditTap->setEditText(QString::number(session->PresetTap()));
  }
}

void TMainWnd::SessionChanged(unsigned changes) {
  if (changes & Session::kFilter) {
    ShowSelection();
    PaintBoxPaint();
  }
  if (changes & Session::kHighPass && SBDCCUT->isChecked() != session->DcCut()) {
    const QSignalBlocker block(SBDCCUT);
    SBDCCUT->setChecked(session->DcCut());
  }
  if (changes & Session::kExtras) {
    ShowExtras();
    PaintBoxPaint();  // the notches are in the plot of what plays
  }
  if (changes & Session::kOutput) ShowOutput();
  if (changes & Session::kSpectrum) SyncFftRadios();
  if (changes & Session::kWaterfall) ShowWaterfall();
  if (changes & Session::kDecoder && decoderPane) decoderPane->Sync();
  if (changes & Session::kRecording) {
    const QSignalBlocker b1(ActRecordInput), b2(ActRecordFlac);
    ActRecordInput->setChecked(session->RecordInput());
    ActRecordFlac->setChecked(session->RecordFlac());
  }
}

QString TMainWnd::SelectName(int code) { return ButtonForSelect(code)->text(); }

void TMainWnd::SyncFftRadios() {
  settingUp = 1;
  if (auto* b = fftswGroup->button(Engine() ? Engine()->FftMode() : 0)) b->setChecked(true);
  if (auto* b = fftfwGroup->button(Engine() ? Engine()->FftWidth() : 2)) b->setChecked(true);
  settingUp = 0;
}

void TMainWnd::paintEvent(QPaintEvent* event) {
  QWidget::paintEvent(event);
  if (firstPaint) QTimer::singleShot(0, this, [this] { FormPaint(); });
}

void TMainWnd::FormPaint() {
  if (!firstPaint) return;
  if (Engine()) {
    ButtonForSelect(session->Select());  // the captions in the user's language
    session->Start();
  }
  firstPaint = 0;
  busy = 0;
  PaintBoxPaint();
  PaintBoxFFTPaint();
}

// ---------------------------------------------------------------------------
// Shutdown

bool TMainWnd::FormCloseQuery() {
  if (closed_) return true;
  busy = 1;
  // Saved while the audio still runs: when the file is refused the user can
  // choose to keep working instead of being left without sound.
  if (!SaveSettings()) {
    const QByteArray path = QByteArray::fromStdString(SettingsPath());
    const bool quit =
        japanese
            ? QuestionBox("設定を %s に保存できません.\r\n\r\n保存せずに終了しますか？", path.constData())
            : QuestionBox("Settings could not be saved to %s\r\n\r\nQuit without saving?", path.constData());
    if (!quit) {
      busy = 0;
      return false;
    }
  }
  if (SaveTimer) SaveTimer->stop();
  waterfall->Unbind();  // its tap leaves the engine first
  rig.reset();
  session->Stop();
  fftBitmap = QImage();
  respBitmap = QImage();
  closed_ = true;
  return true;
}

void TMainWnd::SaveForShutdown() {
  if (closed_ || !Engine()) return;
  if (SaveSettings(true)) savedText_ = session->Text();
}

void TMainWnd::closeEvent(QCloseEvent* event) {
  if (FormCloseQuery())
    event->accept();
  else
    event->ignore();
}

// ---------------------------------------------------------------------------
// Settings

void TMainWnd::LoadSettings() {
  if (!session->Load(SettingsPath())) {
    // Read nothing, and never overwrite what may be the user's own file.
    if (japanese)
      ErrorBox(
          "%s は 1 MB を超えているため読み込みません.\r\n既定の設定で起動し, このファイルには保存しません.",
          SettingsPath().c_str());
    else
      ErrorBox(
          "%s is larger than 1 MB and was not read.\r\nTarvik starts with its defaults and will not "
          "overwrite the file.",
          SettingsPath().c_str());
  }
}

bool TMainWnd::SaveSettings(bool quiet) {
  if (!Engine()) return false;
  return session->Save(SettingsPath(), quiet);
}

void TMainWnd::SaveTimerTimer() {
  if (busy == 1 || closed_ || !Engine()) return;
  const std::string text = session->Text();
  if (text == savedText_) {
    pendingText_.clear();
    return;
  }
  if (text != pendingText_) {  // still changing: wait for a calm tick
    pendingText_ = text;
    return;
  }
  // A refused file is reported when the window closes, not every second.
  if (SaveSettings(true)) savedText_ = text;
  pendingText_.clear();
}

// ---------------------------------------------------------------------------
// Presets and their boxes

void TMainWnd::PresetClick(int code) { session->SelectPreset(code); }

void TMainWnd::SBNULLClick() { session->SelectPreset(0); }

void TMainWnd::EditFoChange() {
  if (const auto v = ScanUnsigned(EditFo->currentText().toStdString())) session->SetFo(*v);
  focusCountdown = 100;
}

void TMainWnd::EditTapChange() {
  if (const auto v = ScanUnsigned(EditTap->currentText().toStdString()))
    session->SetPresetTap(PresetTapFromTyped(*v));
  focusCountdown = 100;
}

void TMainWnd::EditSizeChange() {
  if (const auto v = ScanUnsigned(EditSize->currentText().toStdString()))
    session->SetBufferSize(static_cast<int>(std::min<unsigned>(*v, 1u << 30)));
  focusCountdown = 100;
}

void TMainWnd::SBDCCUTClick() { session->SetDcCut(SBDCCUT->isChecked()); }

// ---------------------------------------------------------------------------
// Timer, displays, volume, spectrum switches

void TMainWnd::TimerTimer() {
  if (busy == 1 || !Engine()) return;
  if (Engine()->FilterType() == FilterType::LMS) PaintBoxPaint();
  PaintBoxFFTPaint();
  waterfall->Tick();
  // The skimmer's calls beside their traces, as their text arrives.
  std::vector<WaterfallLabel> labels;
  if (const CwDecodeTap* decoder = session->Decoder(); decoder && session->SkimmerOn())
    for (const CwSignal& s : decoder->Signals())
      if (!s.text.empty()) labels.push_back({s.pitchHz, SkimmerLabel(s.text)});
  waterfall->SetLabels(labels);
  if (focusCountdown != 0 && --focusCountdown == 0) DispBtn->setFocus();
  if (Engine()->TakeSpectrumFailure()) session->SetFftMode(0);
  if (rig) rig->Tick();
  // The status bar's figures are read at a glance: twice a second is
  // plenty, and each new text is laid out again.
  if (++statusTicks >= 5) {
    statusTicks = 0;
    UpdateStatus();
  }
}

void TMainWnd::PaintBoxPaint() {
  if (busy == 1 || !Engine()) return;
  const ChainExtras extras = Engine()->Extras();
  if (DrawResponse(Engine()->Definition(), respBitmap, false, respBackdrop, extras.notchHz, extras.notchCount))
    PaintBox->update();
}

void TMainWnd::PaintBoxFFTPaint() {
  if (busy == 1 || !Engine()) return;
  SpectrumSnapshot snapshot = Engine()->TakeSpectrum();
  snapshot.foHz = session->Fo();
  const std::vector<double>& notches = session->Notches();
  snapshot.notchCount = static_cast<int>(std::min<std::size_t>(notches.size(), kMaxNotches));
  for (int i = 0; i < snapshot.notchCount; ++i) snapshot.notchHz[i] = notches[static_cast<std::size_t>(i)];
  if (DrawSpectrum(snapshot, fftBitmap, fftBackdrop)) PaintBoxFFT->update();
}

void TMainWnd::UpdateVolumeButtons() {
  if (!Engine()) return;
  const std::uint32_t v = Engine()->Volume();
  if (v == 1) {
    VolUpBtn->setEnabled(false);
    VolDownBtn->setEnabled(false);
    return;
  }
  VolUpBtn->setEnabled((v >> 28) != 0xF);
  VolDownBtn->setEnabled((v >> 28) != 0);
}

void TMainWnd::VolUpBtnClick() {
  if (!Engine()) return;
  Engine()->VolumeUp();
  UpdateVolumeButtons();
}

void TMainWnd::VolDownBtnClick() {
  if (!Engine()) return;
  Engine()->VolumeDown();
  UpdateVolumeButtons();
}

void TMainWnd::FFTSWClick() {
  if (!Engine() || settingUp == 1) return;
  session->SetFftMode(fftswGroup->checkedId());
  PaintBoxFFTPaint();
}

void TMainWnd::FFTFWClick() {
  if (!Engine() || settingUp == 1) return;
  session->SetFftWidth(fftfwGroup->checkedId());
  PaintBoxFFTPaint();
}

// ---------------------------------------------------------------------------
// User filter group

int TMainWnd::GetUserNumber() {
  const QString text = EntFilterSel->currentText();
  for (int k = 0; k < kUserSlotCount; ++k)
    if (text == QString::fromLatin1(kSlotNames[k])) return k;
  EntFilterSel->setEditText(QStringLiteral("User1"));
  return 0;
}

void TMainWnd::EntFilterSelChange() { DispBtn->setFocus(); }

bool TMainWnd::RunDesignDialog(int editMode, const QString& name) {
  // The dialog keeps the directories it was last in for the next time. A
  // directory it did not change keeps its bytes, which need not be UTF-8.
  const QString defBefore = QFile::decodeName(QByteArray::fromStdString(session->DefDir()));
  const QString hBefore = QFile::decodeName(QByteArray::fromStdString(session->HDir()));
  QString defDir = defBefore, hDir = hBefore;
  TDesignDlg dialog(this, japanese, defDir, hDir);
  const bool ok = executeDesign ? executeDesign(dialog, Engine(), editMode, name)
                                : dialog.Execute(Engine(), editMode, name);
  session->SetDialogDirs(defDir == defBefore ? session->DefDir() : QFile::encodeName(defDir).toStdString(),
                         hDir == hBefore ? session->HDir() : QFile::encodeName(hDir).toStdString());
  return ok;
}

void TMainWnd::DispBtnClick() {
  if (!Engine()) return;
  busy = 1;
  // In this mode the dialog always gives the live filter back as it was.
  RunDesignDialog(0, SelectName(session->Select()));
  busy = 0;
  SyncFftRadios();
  PaintBoxPaint();
}

void TMainWnd::EntBtnClick() {
  if (!Engine()) return;
  const int n = GetUserNumber();
  // The slot plays while it is being designed.
  session->Play(session->UserSlot(n));
  busy = 1;
  const bool ok = RunDesignDialog(1, SelectName(n + kFirstUserPreset));
  if (ok) session->StoreSlot(n, Engine()->Definition());
  session->Reselect();
  SyncFftRadios();
  busy = 0;
  PaintBoxPaint();
}

void TMainWnd::CopyBtnClick() {
  const int n = GetUserNumber();
  if (session->Select() == n + kFirstUserPreset || !Engine()) return;
  busy = 1;
  if (QuestionBox("User%d Filter already exists        \r\n\r\nReplace it on this?   ", n + 1))
    session->StoreSlot(n, Engine()->Definition());
  busy = 0;
}
