// The main window's additions around the original client area: the menu
// bar, the status bar, recording and the keyboard shortcuts.

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QShortcut>
#include <QStandardPaths>
#include <QStatusBar>
#include <QToolButton>
#include <QHBoxLayout>
#include <QSignalBlocker>
#include <QSlider>
#include <QActionGroup>
#include <QVBoxLayout>
#include <cmath>
#include <algorithm>
#include <array>

#include "app/DecoderPane.h"
#include "app/DevicesDlg.h"
#include "app/MainWindow.h"
#include "app/WaterfallPane.h"
#include "app/RigDlg.h"
#include "app/Widgets.h"
#include "control/DisplayPress.h"
#include "control/Shortcuts.h"
#include "common/MessageBox.h"
#include "signal/SampleRate.h"
#include "signal/Stages.h"
#include "spectrum/SpectrumModel.h"

namespace {

// The presets as the digits reach them: the rows of the preset grid, left
// to right (selection codes). Digits 1..4 pick a place in the row of the
// preset in force; Up and Down move to the row above or below.
constexpr int kRowCount = 9;
constexpr std::array<std::array<int, 4>, kRowCount> kRows = {{
    {0, -1, -1, -1},   // TH
    {1, 2, 3, 23},     // NS4 NS6 NS8 LMSBP
    {4, 5, 6, 24},     // NS10 NS12 NS16 LMSB2
    {7, 8, 9, 25},     // BP500 BP400 BP300 LMSNS
    {10, 11, 12, 26},  // BP200 BP100 BP70 LMSAN
    {27, 28, 19, -1},  // 2.7K 2.5K 2.4K
    {20, 21, 22, -1},  // 2.2K 2.0K 1.8K
    {13, 14, 15, -1},  // User1 User2 User3
    {16, 17, 18, -1},  // User4 User5 User6
}};

void FindInRows(int code, int& row, int& place) {
  for (row = 0; row < kRowCount; ++row)
    for (place = 0; place < 4; ++place)
      if (kRows[row][place] == code) return;
  row = 0;
  place = 0;
}

QString Duration(long long frames) {
  const long long s = frames / kSampleRateHz;
  return QStringLiteral("%1:%2").arg(s / 60, 2, 10, QLatin1Char('0')).arg(s % 60, 2, 10, QLatin1Char('0'));
}

}  // namespace

void TMainWnd::BuildMenusAndStatus() {
  const bool ja = japanese;
  auto text = [ja](const char* en, const char* jp) { return QString::fromUtf8(ja ? jp : en); };

  menuBar = new QMenuBar(this);
  QMenu* file = menuBar->addMenu(text("&File", "ファイル(&F)"));
  ActRecord = file->addAction(text("&Record", "録音(&R)"));
  ActRecord->setCheckable(true);
  ActRecordInput = file->addAction(text("Record the &input too", "入力も録音(&I)"));
  ActRecordInput->setCheckable(true);
  ActRecordFlac = file->addAction(text("Record as &FLAC", "FLAC で録音(&L)"));
  ActRecordFlac->setCheckable(true);
  ActRecordFolder = file->addAction(text("Recording &folder...", "録音フォルダ(&D)..."));
  file->addSeparator();
  ActQuit = file->addAction(text("&Quit", "終了(&Q)"));
  QMenu* audio = menuBar->addMenu(text("&Audio", "オーディオ(&A)"));
  ActDevices = audio->addAction(text("&Devices...", "デバイス(&D)..."));
  QMenu* output = audio->addMenu(text("&Output", "出力(&O)"));
  auto* outputGroup = new QActionGroup(this);
  const char* const outputNames[kOutputModeCount][2] = {
      {"&Mono", "モノラル(&M)"}, {"&Binaural (headphones)", "バイノーラル (ヘッドホン)(&B)"}, {"&Pan", "パン(&P)"}};
  for (int m = 0; m < kOutputModeCount; ++m) {
    ActOutput[m] = output->addAction(text(outputNames[m][0], outputNames[m][1]));
    ActOutput[m]->setCheckable(true);
    outputGroup->addAction(ActOutput[m]);
    connect(ActOutput[m], &QAction::triggered, this,
            [this, m] { session->SetOutput(static_cast<OutputMode>(m), session->Balance()); });
  }
  ActRig = audio->addAction(text("&Rig...", "リグ(&R)..."));
  QMenu* help = menuBar->addMenu(text("&Help", "ヘルプ(&H)"));
  ActShortcuts = help->addAction(text("&Keyboard shortcuts", "キーボード ショートカット(&K)"));

  connect(ActRecord, &QAction::triggered, this, [this] { RecordClick(); });
  connect(ActRecordInput, &QAction::toggled, this, [this](bool on) { session->SetRecordInput(on); });
  connect(ActRecordFlac, &QAction::toggled, this, [this](bool on) { session->SetRecordFlac(on); });
  connect(ActRecordFolder, &QAction::triggered, this, [this] {
    const QString chosen = AskRecordFolder(QFile::decodeName(QByteArray::fromStdString(session->RecordDir())));
    if (!chosen.isEmpty()) session->SetRecordDir(QFile::encodeName(chosen).toStdString());
  });
  connect(ActQuit, &QAction::triggered, this, [this] { close(); });
  connect(ActDevices, &QAction::triggered, this, [this] { DevicesClick(); });
  connect(ActRig, &QAction::triggered, this, [this] { RigClick(); });
  connect(ActShortcuts, &QAction::triggered, this, [this] {
    // The title without its menu mnemonic ("(&K)" or "&").
    QString title = ActShortcuts->text();
    title.remove(QRegularExpression(QStringLiteral("\\(&.\\)"))).remove(QLatin1Char('&'));
    auto* box = new QMessageBox(QMessageBox::Information, title, ShortcutsHtml(), QMessageBox::Ok, this);
    box->setTextFormat(Qt::RichText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName(QStringLiteral("ShortcutsBox"));
    box->show();
  });

  statusBar = new QStatusBar(this);
  statusBar->setSizeGripEnabled(false);
  StatusRecord = new QLabel(statusBar);
  StatusLost = new QLabel(statusBar);
  StatusDevices = new QLabel(statusBar);
  StatusRate = new QLabel(statusBar);
  StatusDelay = new QLabel(statusBar);
  StatusRig = new QLabel(statusBar);
  StatusRig->setObjectName(QStringLiteral("StatusRig"));
  StatusRig->setMaximumWidth(240);
  StatusRig->hide();
  StatusDevices->setObjectName(QStringLiteral("StatusDevices"));
  // Long descriptions are shortened in their middle: the window keeps the
  // client area's width. The recording's field shows only while it has
  // something to say, so the devices take the rest.
  StatusDevices->setMinimumWidth(80);
  StatusDevices->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  StatusRecord->setObjectName(QStringLiteral("StatusRecord"));
  StatusRecord->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Preferred);
  StatusRecord->hide();
  statusBar->addWidget(StatusDevices, 1);
  statusBar->addWidget(StatusRecord);
  statusBar->addWidget(StatusRig);
  statusBar->addPermanentWidget(StatusRate);
  statusBar->addPermanentWidget(StatusDelay);
  statusBar->addPermanentWidget(StatusLost);

  // The row under the client area: the stages added to any preset.
  extrasRow = new QWidget(this);
  extrasRow->setObjectName(QStringLiteral("extrasRow"));
  auto* row = new QHBoxLayout(extrasRow);
  row->setContentsMargins(6, 2, 6, 2);
  NrBtn = new QToolButton(extrasRow);
  NrBtn->setObjectName(QStringLiteral("NrBtn"));
  NrBtn->setText(QStringLiteral("NR"));
  NrBtn->setCheckable(true);
  NrBtn->setToolTip(text("Noise reduction on any filter (N)", "ノイズ リダクション (N)"));
  NrLevelBox = new QComboBox(extrasRow);
  NrLevelBox->setObjectName(QStringLiteral("NrLevelBox"));
  for (int level = 1; level <= kNrLevels; ++level)
    NrLevelBox->addItem(QStringLiteral("%1 (%2 dB)").arg(level).arg(NrFloorDb(level)), level);
  NrLevelBox->setToolTip(text("Noise reduction level: 1 mild .. 4 strong", "ノイズ リダクションの強さ: 1 弱 .. 4 強"));
  NbBtn = new QToolButton(extrasRow);
  NbBtn->setObjectName(QStringLiteral("NbBtn"));
  NbBtn->setText(QStringLiteral("NB"));
  NbBtn->setCheckable(true);
  NbBtn->setToolTip(text("Noise blanker: takes out clicks and crashes (B)", "ノイズ ブランカ: クリックやクラッシュを除く (B)"));
  ClearNotchesBtn = new QPushButton(text("Clear notches", "ノッチ消去"), extrasRow);
  ClearNotchesBtn->setObjectName(QStringLiteral("ClearNotchesBtn"));
  ClearNotchesBtn->setToolTip(text("Right-click the spectrum to place a notch (C clears)",
                                   "スペクトルを右クリックでノッチ (C で消去)"));
  NotchesLabel = new QLabel(extrasRow);
  NotchesLabel->setObjectName(QStringLiteral("NotchesLabel"));
  PaintBoxFFT->setToolTip(
      text("Left click sets Fo, right click a notch", "左クリックで Fo, 右クリックでノッチ"));
  // What the ears hear: mono, binaural (for CW in noise, on headphones) or
  // a pan with its balance.
  OutputBox = new QComboBox(extrasRow);
  OutputBox->setObjectName(QStringLiteral("OutputBox"));
  OutputBox->addItem(text("Mono", "モノラル"));
  OutputBox->addItem(text("Binaural", "バイノーラル"));
  OutputBox->addItem(text("Pan", "パン"));
  OutputBox->setToolTip(text("Output (O): binaural puts a tone in the middle of the head and spreads the "
                             "noise around it (headphones)",
                             "出力 (O): バイノーラルは音を頭の中央に, ノイズを周りに広げる (ヘッドホン)"));
  BalanceSlider = new QSlider(Qt::Horizontal, extrasRow);
  BalanceSlider->setObjectName(QStringLiteral("BalanceSlider"));
  BalanceSlider->setRange(-100, 100);
  BalanceSlider->setFixedWidth(70);
  BalanceSlider->setToolTip(text("Balance (pan)", "バランス (パン)"));
  QFont small = NotchesLabel->font();
  small.setPixelSize(12);
  for (QWidget* wdg : {static_cast<QWidget*>(NrBtn), static_cast<QWidget*>(NrLevelBox),
                       static_cast<QWidget*>(NbBtn), static_cast<QWidget*>(ClearNotchesBtn),
                       static_cast<QWidget*>(NotchesLabel), static_cast<QWidget*>(OutputBox)})
    wdg->setFont(small);
  row->addWidget(NrBtn);
  row->addWidget(NrLevelBox);
  row->addSpacing(8);
  row->addWidget(NbBtn);
  row->addWidget(ClearNotchesBtn);
  row->addWidget(NotchesLabel, 1);
  row->addWidget(OutputBox);
  row->addWidget(BalanceSlider);
  extrasRow->setFixedWidth(client->width());
  connect(NbBtn, &QToolButton::toggled, this, [this](bool on) { session->SetBlanker(on); });
  connect(NrBtn, &QToolButton::toggled, this,
          [this](bool on) { session->SetNoiseReduction(on, session->NrLevel()); });
  connect(NrLevelBox, &QComboBox::currentIndexChanged, this,
          [this](int index) { session->SetNoiseReduction(session->NrOn(), index + 1); });
  connect(ClearNotchesBtn, &QPushButton::clicked, this, [this] { session->ClearNotches(); });
  connect(OutputBox, &QComboBox::currentIndexChanged, this,
          [this](int index) { session->SetOutput(static_cast<OutputMode>(index), session->Balance()); });
  connect(BalanceSlider, &QSlider::valueChanged, this,
          [this](int value) { session->SetOutput(session->Output(), value / 100.0); });
  PaintBoxFFT->onPress = [this](int x, int, Qt::MouseButton button) {
    SpectrumPress(x, button, QGuiApplication::keyboardModifiers());
  };

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->setMenuBar(menuBar);
  layout->addWidget(client, 0, Qt::AlignLeft | Qt::AlignTop);
  layout->addWidget(extrasRow, 0, Qt::AlignLeft);
  BuildWaterfall(layout);
  layout->addWidget(statusBar);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  // Keys a listener reaches without looking; in a text box they type. The
  // menu's own keys go on its actions, so the menu shows them.
  for (const Shortcut& sc : kShortcuts)
    for (const KeyBinding& k : sc.bindings) {
      if (!k.key) continue;
      const QKeySequence seq = QKeySequence::fromString(QString::fromLatin1(k.key), QKeySequence::PortableText);
      if (k.command == Command::Record) {
        ActRecord->setShortcut(seq);
      } else if (k.command == Command::Quit) {
        ActQuit->setShortcut(seq);
      } else if (k.command == Command::Waterfall) {
        ActWaterfall->setShortcut(seq);
      } else {
        auto* shortcut = new QShortcut(seq, this);
        const Command command = k.command;
        const int argument = k.argument;
        connect(shortcut, &QShortcut::activated, this, [this, command, argument] { RunCommand(command, argument); });
      }
    }

  presetButtons[0]->setToolTip(text("Through (Space)", "スルー (Space)"));
  SBDCCUT->setToolTip(text("80 Hz high-pass (H)", "80 Hz ハイパス (H)"));
  EditFo->setToolTip(text("Fo: Left/Right ±10 Hz, with Shift ±50 Hz", "Fo: ←/→ ±10 Hz, Shift で ±50 Hz"));
  EntBtn->setToolTip(text("Design the user slot (Ctrl+D)", "ユーザ フィルタの設計 (Ctrl+D)"));
  for (int row = 1; row < kRowCount; ++row)
    for (int place = 0; place < 4; ++place)
      if (const int code = kRows[row][place]; code >= 0)
        presetButtons[code]->setToolTip(
            text("Key %1 in its row (Up/Down: rows)", "行の中で %1 キー (↑/↓: 行)").arg(place + 1));
  UpdateStatus();
}

void TMainWnd::RunCommand(Command command, int argument) {
  switch (command) {
    case Command::Through: presetButtons[0]->click(); break;
    case Command::HighPass: SBDCCUT->click(); break;
    case Command::FoDown: StepFo(-10.0); break;
    case Command::FoUp: StepFo(10.0); break;
    case Command::FoDownFar: StepFo(-50.0); break;
    case Command::FoUpFar: StepFo(50.0); break;
    case Command::RowPlace: SelectInRow(argument); break;
    case Command::RowUp: MoveRow(-1); break;
    case Command::RowDown: MoveRow(1); break;
    case Command::NoiseReduction: NrBtn->click(); break;
    case Command::Blanker: NbBtn->click(); break;
    case Command::ClearNotches: session->ClearNotches(); break;
    case Command::NextOutput:
      session->SetOutput(static_cast<OutputMode>((static_cast<int>(session->Output()) + 1) % kOutputModeCount),
                         session->Balance());
      break;
    case Command::Record: ActRecord->trigger(); break;
    case Command::Design: EntBtn->click(); break;
    case Command::Decoder: decoderPane->ToggleDecoder(); break;
    case Command::Quit: close(); break;
    case Command::Waterfall: ActWaterfall->trigger(); break;
  }
}

QString TMainWnd::ShortcutsText() const {
  const bool ja = japanese;
  QString t;
  for (const Shortcut& sc : kShortcuts)
    t += QString::fromUtf8(sc.keys) + QLatin1Char('\t') + QString::fromUtf8(ja ? sc.japanese : sc.english) +
         QLatin1Char('\n');
  QString rows = QString::fromUtf8(ja ? "\n行:\n" : "\nRows:\n");
  for (int row = 0; row < kRowCount; ++row) {
    for (int place = 0; place < 4; ++place)
      if (const int code = kRows[row][place]; code >= 0)
        rows += QStringLiteral("%1 %2  ").arg(place + 1).arg(presetButtons[code]->text());
    rows += QLatin1Char('\n');
  }
  return t + rows;
}

QString TMainWnd::ShortcutsHtml() const {
  // A table, so the descriptions line up whatever the keys' widths.
  QString t = QStringLiteral("<table cellspacing=\"0\" cellpadding=\"2\">");
  for (const QString& line : ShortcutsText().split(QLatin1Char('\n'))) {
    const int tab = line.indexOf(QLatin1Char('\t'));
    if (tab < 0) {
      t += QStringLiteral("<tr><td colspan=\"2\">%1</td></tr>").arg(line.toHtmlEscaped());
      continue;
    }
    t += QStringLiteral("<tr><td><b>%1</b>&nbsp;&nbsp;</td><td>%2</td></tr>")
             .arg(line.left(tab).toHtmlEscaped(), line.mid(tab + 1).toHtmlEscaped());
  }
  return t + QStringLiteral("</table>");
}

void TMainWnd::SelectInRow(int key) {
  int row, place;
  FindInRows(session->Select(), row, place);
  if (key < 1 || key > 4) return;
  const int code = kRows[row][key - 1];
  if (code >= 0) presetButtons[code]->click();
}

void TMainWnd::MoveRow(int step) {
  int row, place;
  FindInRows(session->Select(), row, place);
  const int next = row + step;
  if (next < 0 || next >= kRowCount) return;
  int p = place;
  while (p > 0 && kRows[next][p] < 0) --p;
  presetButtons[kRows[next][p]]->click();
}

void TMainWnd::StepFo(double hz) { session->StepFo(hz); }

void TMainWnd::RecordClick() {
  CFilter* engine = Engine();
  if (!engine) return;
  if (engine->Recording().active) {
    engine->StopRecording();
    UpdateStatus();
    return;
  }
  if (session->RecordDir().empty()) {
    // Picked once: the desktop's music folder / Tarvik is offered, made
    // only once the user has chosen it.
    QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    if (music.isEmpty()) music = QDir::homePath();
    const QString suggested = music + QStringLiteral("/Tarvik");
    const QString chosen = chooseRecordFolder ? chooseRecordFolder(suggested) : AskRecordFolder(suggested);
    if (chosen.isEmpty()) {
      ActRecord->setChecked(false);
      return;
    }
    session->SetRecordDir(QFile::encodeName(chosen).toStdString());
  }
  const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
  std::string error;
  if (!session->StartRecording(stamp.toStdString(), error)) {
    busy = 1;
    ErrorBox("%s", error.c_str());
    busy = 0;
  }
  UpdateStatus();
}

QString TMainWnd::AskRecordFolder(const QString& start) {
  // The dialog opens where the folder would go; the folder itself is made
  // only when chosen.
  QString from = start;
  while (!from.isEmpty() && !QDir(from).exists()) from = QFileInfo(from).path();
  QFileDialog dialog(this, QString::fromUtf8(japanese ? "録音を保存するフォルダ" : "Folder for the recordings"), from);
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly);
  dialog.setLabelText(QFileDialog::Accept, QString::fromUtf8(japanese ? "選択" : "Choose"));
  if (from != start) dialog.selectFile(QFileInfo(start).fileName());
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
  return dialog.selectedFiles().front();
}

void TMainWnd::UpdateStatus() {
  CFilter* engine = Engine();
  if (!engine || !StatusRecord) return;
  const RecordingStatus rec = engine->Recording();
  const std::string error = engine->TakeRecordingError();
  if (!error.empty()) {
    // A full disk or a vanished folder: the files keep what was written.
    engine->StopRecording();
    StatusRecord->setText(QString::fromStdString(error));
    ActRecord->setChecked(false);
    busy = 1;
    ErrorBox("%s", error.c_str());
    busy = 0;
  } else if (rec.active) {
    // The name only: a long path would widen the window.
    const QString path = QFile::decodeName(rec.outputFile.c_str());
    QString t = QStringLiteral("● REC %1  %2").arg(Duration(rec.frames), QFileInfo(path).fileName());
    StatusRecord->setToolTip(path);
    if (rec.dropped > 0)
      t += QString::fromUtf8(japanese ? "  (%1 ブロック欠落)" : "  (%1 blocks dropped)").arg(rec.dropped);
    StatusRecord->setText(t);
  } else if (StatusRecord->text().startsWith(QStringLiteral("● REC"))) {
    StatusRecord->setText(QString::fromUtf8(japanese ? "録音しました: %1" : "Recorded %1")
                              .arg(QFileInfo(QFile::decodeName(rec.outputFile.c_str())).fileName()));
  }
  StatusRecord->setVisible(!StatusRecord->text().isEmpty());
  ActRecord->setChecked(rec.active);
  StatusLost->setText(QString::fromUtf8(japanese ? "欠落 %1" : "Lost %1").arg(engine->LostTotal()));

  const CFilter::DeviceStatus d = engine->Devices();
  auto side = [this](const std::string& open, bool missing, const std::string& chosen) {
    if (missing) {
      const QString name = chosen.empty() ? QString::fromUtf8(japanese ? "既定" : "default")
                                          : QString::fromStdString(chosen.substr(chosen.find(':') + 1));
      return QString::fromUtf8(japanese ? "%1 (見つかりません)" : "%1 (missing)").arg(name);
    }
    return QString::fromStdString(open);
  };
  const QString in = side(d.input, d.inputMissing, session->InDevice());
  const QString out = side(d.output, d.outputMissing, session->OutDevice());
  const QString arrow = QStringLiteral(" → ");
  const QFontMetrics metrics = StatusDevices->fontMetrics();
  const int half = std::max(20, (StatusDevices->width() - metrics.horizontalAdvance(arrow)) / 2);
  StatusDevices->setText(metrics.elidedText(in, Qt::ElideMiddle, half) + arrow +
                         metrics.elidedText(out, Qt::ElideMiddle, half));
  auto full = [this](const QString& shown, const std::string& id) {
    return QStringLiteral("%1 [%2]").arg(
        shown, id.empty() ? QString::fromUtf8(japanese ? "システムの既定" : "system default") : QString::fromStdString(id));
  };
  StatusDevices->setToolTip(QString::fromUtf8(japanese ? "入力: %1\n出力: %2\n(%3)" : "Input: %1\nOutput: %2\n(%3)")
                                .arg(full(in, session->InDevice()), full(out, session->OutDevice()),
                                     QString::fromStdString(d.backend)));
  QString rate = d.deviceRateHz > 0 ? QStringLiteral("%1 Hz").arg(d.deviceRateHz) : QString();
  // The ears asked for, a device of one channel: say why it sounds mono.
  if (d.stereoRefused) rate += QString::fromUtf8(japanese ? " (1 ch のみ)" : " (one channel)");
  StatusRate->setText(rate);
  // Nothing played since the last look (a device gone, a server that
  // stalls): say so, never a delay figure.
  const long played = engine->BlocksPlayed();
  const auto now = std::chrono::steady_clock::now();
  if (now - statusCheckedAt_ >= std::chrono::milliseconds(400)) {
    silent_ = engine->Running() && !engine->InputOnly() && played == playedAtLastStatus_;
    playedAtLastStatus_ = played;
    statusCheckedAt_ = now;
  }
  const bool silent = silent_;
  StatusDelay->setText(silent ? QString::fromUtf8(japanese ? "音なし" : "no sound")
                       : engine->Running() && d.delayMs > 0
                           ? QString::fromUtf8(japanese ? "遅延 %1 ms" : "Delay %1 ms").arg(qRound(d.delayMs))
                           : QString());
}

void TMainWnd::ShowOutput() {
  const int mode = static_cast<int>(session->Output());
  if (OutputBox && OutputBox->currentIndex() != mode) {
    const QSignalBlocker block(OutputBox);
    OutputBox->setCurrentIndex(mode);
  }
  if (BalanceSlider) {
    const QSignalBlocker block(BalanceSlider);
    BalanceSlider->setValue(qRound(session->Balance() * 100.0));
    BalanceSlider->setEnabled(session->Output() == OutputMode::Pan);
  }
  if (ActOutput[mode]) ActOutput[mode]->setChecked(true);
}

void TMainWnd::ShowExtras() {
  const bool nrOn = session->NrOn();
  const int nrLevel = session->NrLevel();
  if (NrBtn && NrBtn->isChecked() != nrOn) {
    const QSignalBlocker block(NrBtn);
    NrBtn->setChecked(nrOn);
  }
  if (NrLevelBox && NrLevelBox->currentIndex() != nrLevel - 1) {
    const QSignalBlocker block(NrLevelBox);
    NrLevelBox->setCurrentIndex(nrLevel - 1);
  }
  if (NbBtn && NbBtn->isChecked() != session->Blanker()) {
    const QSignalBlocker block(NbBtn);
    NbBtn->setChecked(session->Blanker());
  }
  const std::vector<double>& notches = session->Notches();
  if (NotchesLabel) {
    QStringList list;
    for (double hz : notches) list << QString::number(hz, 'g', 6);
    NotchesLabel->setText(list.isEmpty() ? QString()
                                         : QString::fromUtf8(japanese ? "ノッチ: %1 Hz" : "Notches: %1 Hz")
                                               .arg(list.join(QStringLiteral(", "))));
  }
  if (ClearNotchesBtn) ClearNotchesBtn->setEnabled(!notches.empty());
  PaintBoxFFTPaint();
}

void TMainWnd::SpectrumPress(int x, Qt::MouseButton button, Qt::KeyboardModifiers modifiers) {
  if (!Engine()) return;
  const int width = fftBitmap.width(), fftWidth = Engine()->FftWidth();
  if (button == Qt::LeftButton && (modifiers & Qt::ControlModifier)) {
    // Zero-beat: only in CW or CW-R with the link up; otherwise nothing.
    if (rig) rig->ZeroBeat(SpectrumXToHz(x, width, fftWidth));
    return;
  }
  const DisplayScale scale{[&](int at) { return SpectrumXToHz(at, width, fftWidth); },
                           [&](double hz) { return SpectrumHzToX(hz, width, fftWidth); }};
  // The notches show at once (their change notice draws the panel); Fo here.
  if (PressOnDisplay(*session, x, PressButtonOf(button), scale) && button == Qt::LeftButton) PaintBoxFFTPaint();
}

void TMainWnd::RigClick() {
  if (!rig) return;
  TRigDlg dialog(japanese, this);
  const RigState& state = rig->State();
  dialog.SetChoice(session->Rig(), session->RigFollowPitch(), session->RigTxMuteDb(), session->RigTxHangMs(),
                   state.link != RigState::Link::Connected || state.pttReadable);
  if (dialog.exec() == QDialog::Accepted) session->SetRig(dialog.RigText(), dialog.FollowPitch(), dialog.TxMuteDb(), dialog.TxHangMs());
}

void TMainWnd::OverrideRig(const std::string& rigSpec) { session->OverrideRig(rigSpec); }

void TMainWnd::ShowRig() {
  if (!StatusRig || !rig) return;
  const RigState& s = rig->State();
  QString shown = QString::fromStdString(rig->StatusText());
  if (japanese) {
    // The link's words; the frequency and mode read the same.
    if (s.link == RigState::Link::NoAnswer) shown = QString::fromUtf8("リグ: 応答なし");
    else if (s.link == RigState::Link::NotConnected)
      shown = QString::fromUtf8("リグ: 未接続 (%1)").arg(QString::fromStdString(s.problem));
    else if (s.link == RigState::Link::Connecting) shown = QString::fromUtf8("リグ: 接続中");
    else shown.replace(QStringLiteral("Rig:"), QString::fromUtf8("リグ:"));
  }
  // A long reason is shortened, whole in the tooltip: the window keeps its width.
  StatusRig->setText(StatusRig->fontMetrics().elidedText(shown, Qt::ElideRight, StatusRig->maximumWidth()));
  QString tip = shown + QStringLiteral("\n");
  if (s.link == RigState::Link::Connected) {
    tip += QString::fromUtf8(japanese ? "通過帯域 %1 Hz" : "Passband %1 Hz").arg(s.passbandHz);
    if (s.pitchHz > 0) tip += QString::fromUtf8(japanese ? ", CW ピッチ %1 Hz" : ", CW pitch %1 Hz").arg(s.pitchHz);
    if (!s.pttReadable) tip += QString::fromUtf8(japanese ? "\n送信状態は読めません" : "\nThe rig does not say when it transmits");
    if (s.cw || s.cwReverse)
      tip += QString::fromUtf8(japanese ? "\nCtrl+クリック: その信号をゼロ ビート" : "\nCtrl+click a tone in the spectrum: zero-beat it");
  }
  StatusRig->setToolTip(tip.trimmed() + QStringLiteral("\n") + QString::fromStdString(session->Rig()));
  StatusRig->setVisible(!StatusRig->text().isEmpty());
}

void TMainWnd::DevicesClick() {
  if (!driver_) return;
  TDevicesDlg dialog(*driver_, japanese, this);
  dialog.SetChoice(session->InDevice(), session->OutDevice(), session->DeviceRate());
  dialog.onChoice = [this](const std::string& in, const std::string& out, int rate) {
    session->ChooseDevices(in, out, rate);
    UpdateStatus();
  };
  dialog.exec();
}
