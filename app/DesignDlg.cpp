#include "app/DesignDlg.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QFileDialog>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <algorithm>

#include "app/Widgets.h"
#include "audio/CFilter.h"
#include "common/IniFile.h"
#include "common/MessageBox.h"
#include "common/TextFormat.h"
#include "design/DesignCommand.h"
#include "draw/ResponsePlot.h"
#include "draw/SpectrumView.h"

namespace {

QString Utf8(const char* text) { return QString::fromUtf8(text); }

QString Number(double v) { return QString::fromStdString(FormatGeneral(v)); }

void SetCaption(QLabel* label, const QString& text) {
  label->setText(text);
  label->adjustSize();
}

}  // namespace

QString ShowFileDialog(QWidget* parent, const TDesignDlg::FileRequest& r) {
  QFileDialog dialog(parent, r.title, r.directory, r.filter);
  dialog.setAcceptMode(r.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  dialog.setFileMode(r.save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
  dialog.setDefaultSuffix(r.defaultSuffix);
  if (!r.fileName.isEmpty()) dialog.selectFile(r.fileName);
  if (dialog.exec() != QDialog::Accepted) return QString();
  const QStringList files = dialog.selectedFiles();
  return files.isEmpty() ? QString() : files.first();
}

TDesignDlg::TDesignDlg(QWidget* owner, bool ja, QString& defDir, QString& hDir)
    : QDialog(owner), japanese(ja), chooseFile(ShowFileDialog), defDir_(defDir), hDir_(hDir) {
  setWindowTitle(Utf8("フィルタ設計"));
  setFixedSize(632, 368);
  // The owner's face (and with it its language's glyphs), at the form's size.
  QFont f(owner ? owner->font().family() : Utf8("ＭＳ Ｐゴシック"));
  f.setPixelSize(17);
  setFont(f);

  BuildControls();
  plotBitmap = QImage(PaintBox->size(), QImage::Format_RGB32);
  plotBitmap.fill(Qt::white);
  fftBitmap = QImage(PaintBoxFFT->size(), QImage::Format_RGB32);
  fftBitmap.fill(Qt::black);
  if (!japanese) ApplyEnglishCaptions();
  settingUp = 1;
  changed = 0;
  busy = 0;

  if (const QScreen* screen = owner ? owner->screen() : this->screen())
    move(screen->availableGeometry().center() - rect().center());
}

TDesignDlg::~TDesignDlg() = default;

void TDesignDlg::BuildControls() {
  FilType = MakeRadioGroup(this, "FilType", "種類", 11, 4, 169, 94,
                           {"LPF", "HPF", "BPF", "BEF", "User", "LMS"}, 2, filTypeGroup);
  OverSmp = MakeRadioGroup(this, "OverSmp", "ｵｰﾊﾞｰｻﾝﾌﾟﾘﾝｸﾞ", 11, 101, 169, 72,
                           {Utf8("なし"), Utf8("×２"), Utf8("×３")}, 2, overSmpGroup);

  LTap = MakeLabel(this, "LTap", "Tap", 16, 183);
  EditTap = MakeEdit(this, "EditTap", 76, 180, 69, 25);
  LFCL = MakeLabel(this, "LFCL", "", 16, 211);
  EditFCL = MakeEdit(this, "EditFCL", 76, 208, 69, 25);
  LHz1 = MakeLabel(this, "LHz1", "Hz", 160, 213);
  LFCH = MakeLabel(this, "LFCH", "", 16, 239);
  EditFCH = MakeEdit(this, "EditFCH", 76, 236, 70, 25);
  LHz2 = MakeLabel(this, "LHz2", "Hz", 160, 239);
  LATT = MakeLabel(this, "LATT", "", 15, 266);
  EditATT = MakeEdit(this, "EditATT", 76, 263, 70, 25);
  LdB = MakeLabel(this, "LdB", "dB", 160, 267);
  LGAIN = MakeLabel(this, "LGAIN", "ゲイン", 16, 294);
  EditGAIN = MakeEdit(this, "EditGAIN", 76, 291, 70, 25);
  // The LMS fields take the places of the band edges and the attenuation.
  EditDelay = MakeEdit(this, "EditDelay", 76, 209, 69, 25);
  EditMU2 = MakeEdit(this, "EditMU2", 76, 237, 69, 25);
  EditGM = MakeEdit(this, "EditGM", 76, 264, 70, 25);
  LmsInv = new QCheckBox(Utf8("反転出力"), this);
  LmsInv->setObjectName(QStringLiteral("LmsInv"));
  LmsInv->setGeometry(16, 295, 97, 17);
  LmsAGC = new QCheckBox(QStringLiteral("AGC"), this);
  LmsAGC->setObjectName(QStringLiteral("LmsAGC"));
  LmsAGC->setGeometry(120, 296, 65, 17);

  PlotPanel = MakePanel(this, "PlotPanel", 188, 100, 446, 230, Qt::white);
  PaintBox = MakePaintBox(PlotPanel, "PaintBox", &plotBitmap, 440, 224);
  FftPanel = MakePanel(this, "FftPanel", 331, 10, 302, 89, Qt::black);
  PaintBoxFFT = MakePaintBox(FftPanel, "PaintBoxFFT", &fftBitmap, 296, 83);
  FFTSEL = MakeRadioGroup(this, "FFTSEL", "FFT", 189, 4, 71, 94, {"OFF", "IN", "OUT"}, 1, fftselGroup);
  FFTFW = MakeRadioGroup(this, "FFTFW", "FFTFW", 261, 4, 69, 94, {"1K", "2K", "3K"}, 1, fftfwGroup);

  DesBtn = MakeButton(this, "DesBtn", "更新", 4, 334, 70, 31);
  ThBtn = MakeButton(this, "ThBtn", "スルー", 75, 334, 70, 31);
  ThBtn->setCheckable(true);
  LoadBtn = MakeButton(this, "LoadBtn", "LOAD", 166, 334, 80, 31);
  SaveBtn = MakeButton(this, "SaveBtn", "SAVE", 246, 334, 80, 31);
  HFileBtn = MakeButton(this, "HFileBtn", "係数ﾌｧｲﾙ作成", 328, 334, 129, 31);
  OKBtn = MakeButton(this, "OKBtn", "登録", 466, 334, 80, 31);
  OKBtn->setDefault(true);
  CancelBtn = MakeButton(this, "CancelBtn", "ｷｬﾝｾﾙ", 550, 334, 80, 31);

  // Programmatic selections and texts raise the handlers as the user's do.
  connect(filTypeGroup, &QButtonGroup::idToggled, this, [this](int, bool on) {
    if (on) FilTypeClick();
  });
  connect(overSmpGroup, &QButtonGroup::idToggled, this, [this](int, bool on) {
    if (on) EditTapChange();
  });
  for (QLineEdit* e : {EditTap, EditFCL, EditFCH, EditATT, EditGAIN, EditDelay, EditMU2, EditGM})
    connect(e, &QLineEdit::textChanged, this, [this] { EditTapChange(); });
  connect(LmsInv, &QCheckBox::toggled, this, [this] { EditTapChange(); });
  connect(LmsAGC, &QCheckBox::toggled, this, [this] { EditTapChange(); });
  connect(fftselGroup, &QButtonGroup::idToggled, this, [this](int, bool on) {
    if (on) FFTSELClick();
  });
  connect(fftfwGroup, &QButtonGroup::idToggled, this, [this](int, bool on) {
    if (on) FFTFWClick();
  });
  connect(DesBtn, &QPushButton::clicked, this, [this] { DesBtnClick(); });
  connect(ThBtn, &QPushButton::clicked, this, [this] { ThBtnClick(); });
  connect(LoadBtn, &QPushButton::clicked, this, [this] { LoadBtnClick(); });
  connect(SaveBtn, &QPushButton::clicked, this, [this] { SaveBtnClick(); });
  connect(HFileBtn, &QPushButton::clicked, this, [this] { HFileBtnClick(); });
  connect(OKBtn, &QPushButton::clicked, this, [this] { OKBtnClick(); });
  connect(CancelBtn, &QPushButton::clicked, this, [this] { reject(); });

  Timer = new QTimer(this);
  Timer->setInterval(100);
  connect(Timer, &QTimer::timeout, this, [this] { TimerTimer(); });
  Timer->start();
}

void TDesignDlg::ApplyEnglishCaptions() {
  setWindowTitle(QStringLiteral("Design Filter"));
  FilType->setTitle(QStringLiteral("Type"));
  OverSmp->setTitle(QStringLiteral("OverSampling"));
  const char* const ratios[] = {"NONE", "X2", "X3"};
  for (int i = 0; i < 3; ++i) overSmpGroup->button(i)->setText(QString::fromLatin1(ratios[i]));
  SetCaption(LATT, QStringLiteral("loss"));
  LmsInv->setText(QStringLiteral("InvOut"));
  DesBtn->setText(QStringLiteral("DO"));
  ThBtn->setText(QStringLiteral("TH"));
  HFileBtn->setText(QStringLiteral("Coef File"));
  OKBtn->setText(QStringLiteral("Assign"));
  CancelBtn->setText(QStringLiteral("Cancel"));
}

void TDesignDlg::Select(QButtonGroup* group, int id) {
  if (QAbstractButton* b = group->button(id)) b->setChecked(true);
}

// ---------------------------------------------------------------------------
// Opening and closing

bool TDesignDlg::Execute(CFilter* thread, int mode, const QString& name) {
  Begin(thread, mode, name);
  return Finish(exec() == QDialog::Accepted);
}

void TDesignDlg::Begin(CFilter* thread, int mode, const QString& name) {
  editMode = mode;
  filterThread = thread;
  if (filterThread) {
    workFilter = filterThread->Definition();
    workFilter.ForgetWeights();
    savedFilter = workFilter;
  }

  settingUp = 1;
  if (thread) {
    Select(fftselGroup, thread->FftMode());
    // The dialog offers 1K to 3K; a 4K display shows as 3K meanwhile.
    if (thread->FftWidth() >= 3) {
      savedWidth_ = thread->FftWidth();
      thread->SetFftWidth(2);
    }
    Select(fftfwGroup, thread->FftWidth());
  }
  settingUp = 0;

  UpdateItem();
  if (japanese)
    setWindowTitle(Utf8("フィルタ%1 - %2").arg(Utf8(editMode ? "設計" : "特性"), name));
  else
    setWindowTitle(QStringLiteral("Filter %1 - %2").arg(editMode ? "Design" : "characteristic", name));
  if (editMode == 0) {
    OKBtn->hide();
    CancelBtn->setText(Utf8(japanese ? "閉じる" : "Close"));
    LoadBtn->setEnabled(false);
  }
  changed = 0;
}

bool TDesignDlg::Finish(bool assigned) {
  Timer->stop();
  if (filterThread) filterThread->SetDefinition(assigned ? workFilter : savedFilter);
  if (savedWidth_ >= 0 && filterThread && filterThread->FftWidth() == 2)
    filterThread->SetFftWidth(savedWidth_);
  return assigned;
}

// ---------------------------------------------------------------------------
// Controls

void TDesignDlg::UpdateUI() {
  const int sel = filTypeGroup->checkedId();
  const bool lms = sel == FilterType::LMS;
  if (lms) {
    SetCaption(LFCL, QStringLiteral("Delay"));
    SetCaption(LFCH, Utf8(japanese ? "2μ" : "2µ"));
    SetCaption(LATT, Utf8(japanese ? "γ" : "Gm"));
  } else {
    SetCaption(LFCL, QStringLiteral("Fcl"));
    SetCaption(LFCH, QStringLiteral("FcH"));
    SetCaption(LATT, Utf8(japanese ? "減衰量" : "Loss"));
    SetCaption(LGAIN, QStringLiteral("Gain"));
  }
  for (QWidget* w : std::initializer_list<QWidget*>{EditDelay, EditMU2, EditGM, LmsInv, LmsAGC})
    w->setVisible(lms);
  for (QWidget* w :
       std::initializer_list<QWidget*>{EditFCL, EditFCH, EditATT, EditGAIN, LGAIN, LHz1, LHz2, LdB})
    w->setVisible(!lms);

  if (editMode == 0) {
    DesBtn->setEnabled(false);
    FilType->setEnabled(false);
    OverSmp->setEnabled(false);
  }
  // A User filter's coefficients come from a preset or a file, not from the fields.
  const bool editable = editMode == 1 && sel != FilterType::User;
  const bool upperEdge = sel == FilterType::BPF || sel == FilterType::BEF || sel == FilterType::LMS;
  EditFCH->setEnabled(editable && upperEdge);
  LFCH->setEnabled(editable && upperEdge);
  for (QWidget* w :
       std::initializer_list<QWidget*>{EditTap, EditFCL, EditATT, EditGAIN, LTap, LFCL, LATT, LGAIN, LHz1,
                                       LHz2, LdB, EditDelay, EditMU2, EditGM, LmsInv, LmsAGC})
    w->setEnabled(editable);
}

void TDesignDlg::UpdateItem() {
  Select(overSmpGroup, workFilter.overSmp - 1);
  Select(filTypeGroup, workFilter.params.type);
  UpdateUI();
  EditTap->setText(QString::number(workFilter.tap));
  EditDelay->setText(QString::number(workFilter.lmsDelay));
  EditFCL->setText(Number(workFilter.params.fcl));
  EditFCH->setText(Number(workFilter.params.fch));
  EditATT->setText(Number(workFilter.params.att));
  EditGAIN->setText(Number(workFilter.params.gain));
  EditMU2->setText(Number(workFilter.lmsMU2));
  EditGM->setText(Number(workFilter.lmsGM));
  LmsInv->setChecked(workFilter.lmsInv != 0);
  LmsAGC->setChecked(workFilter.lmsAGC != 0);
  HFileBtn->setEnabled(workFilter.tap != 0);
}

void TDesignDlg::DesBtnClick() {
  if (!filterThread) return;
  DesignFields f;
  f.type = filTypeGroup->checkedId();
  f.ratioIndex = overSmpGroup->checkedId();
  f.tap = EditTap->text().toStdString();
  f.fcl = EditFCL->text().toStdString();
  f.fch = EditFCH->text().toStdString();
  f.att = EditATT->text().toStdString();
  f.gain = EditGAIN->text().toStdString();
  f.delay = EditDelay->text().toStdString();
  f.mu2 = EditMU2->text().toStdString();
  f.gm = EditGM->text().toStdString();
  f.inv = LmsInv->isChecked();
  f.agc = LmsAGC->isChecked();
  const DesignResult result = DesignFromFields(workFilter, f);
  if (result != DesignResult::Done) {
    busy = 1;
    WarningBox("%s", result == DesignResult::TooHigh ? kTooHighText : kIncorrectText);
    busy = 0;
    return;
  }
  UpdateItem();
  changed = 0;
  PaintBoxPaint();
  ThBtnClick();
}

void TDesignDlg::ThBtnClick() {
  if (!filterThread) return;
  if (ThBtn->isChecked()) {
    FilterDefinition d = filterThread->Definition();
    d.SetThrough();
    filterThread->SetDefinition(d);
  } else {
    filterThread->SetDefinition(workFilter);
  }
}

void TDesignDlg::TimerTimer() {
  if (!filterThread || busy == 1) return;
  if (filterThread->FilterType() == FilterType::LMS && !ThBtn->isChecked()) {
    filterThread->CopyCoefsTo(workFilter);
    PaintBoxPaint();
  }
  PaintBoxFFTPaint();
}

void TDesignDlg::PaintBoxPaint() {
  if (!filterThread) return;
  if (!DrawResponse(workFilter, plotBitmap, true, plotBackdrop)) return;
  // A band beyond what the rate change passes plays weaker than designed:
  // the plot shows it, and this says why.
  const FilterParams& p = workFilter.params;
  const int ratio = workFilter.overSmp;
  const double passHz = ratio == 3 ? 1300.0 : 2900.0;  // the rate pair's own low-pass
  const bool passesAbove = p.type == FilterType::HPF || p.type == FilterType::BEF;
  const bool designed = p.type >= FilterType::LPF && p.type <= FilterType::BEF;
  passNote.clear();
  if ((ratio == 2 || ratio == 3) && designed && (passesAbove || std::max(p.fcl, p.fch) > passHz)) {
    passNote = QString::fromUtf8(japanese ? "X%1 は %2 Hz まで" : "X%1 passes up to %2 Hz")
                   .arg(ratio)
                   .arg(static_cast<int>(passHz));
    QPainter painter(&plotBitmap);
    painter.setPen(QColor(200, 0, 0));
    QFont f = painter.font();
    f.setPixelSize(12);
    painter.setFont(f);
    painter.drawText(plotBitmap.rect().adjusted(0, 2, -20, 0), Qt::AlignTop | Qt::AlignRight, passNote);
    plotBackdrop.shown = plotBitmap.cacheKey();
  }
  PaintBox->update();
}

void TDesignDlg::PaintBoxFFTPaint() {
  if (!filterThread) return;
  if (DrawSpectrum(filterThread->TakeSpectrum(), fftBitmap, fftBackdrop)) PaintBoxFFT->update();
}

void TDesignDlg::FFTSELClick() {
  if (!filterThread || settingUp == 1) return;
  filterThread->SetFftMode(fftselGroup->checkedId());
  PaintBoxFFTPaint();
}

void TDesignDlg::FFTFWClick() {
  if (!filterThread || settingUp == 1) return;
  filterThread->SetFftWidth(fftfwGroup->checkedId());
  PaintBoxFFTPaint();
}

void TDesignDlg::FilTypeClick() {
  changed = 1;
  UpdateUI();
  PaintBoxPaint();
}

void TDesignDlg::EditTapChange() { changed = 1; }

void TDesignDlg::OKBtnClick() {
  if (changed == 1) {
    busy = 1;
    const bool yes =
        QuestionBox("%s", japanese ? "更新ボタンが押されていません.\r\n\r\n変更した設定内容で登録しますか？"
                                   : "You did not push 'DO' button.\r\n\r\nIs it OK change assignment?");
    busy = 0;
    if (!yes) return;
    DesBtnClick();
    if (changed == 1) return;  // the design stopped with a warning
  }
  accept();
}

// ---------------------------------------------------------------------------
// File commands

void TDesignDlg::RunFileCommand(const FileRequest& request, QString& rememberedDir,
                                const std::function<void(const std::string&)>& command) {
  busy = 1;
  const QString path = chooseFile ? chooseFile(this, request) : QString();
  if (!path.isEmpty()) {
    const std::string file = path.toStdString();
    command(file);
    if (const auto dir = RememberedDirectory(file)) rememberedDir = QString::fromStdString(*dir);
  }
  busy = 0;
}

TDesignDlg::FileRequest TDesignDlg::DefinitionRequest(bool save) const {
  FileRequest r;
  r.save = save;
  if (save)
    r.title = Utf8(japanese ? "フィルタ定義ファイルに保存" : "Save Filter define");
  else
    r.title = Utf8(japanese ? "フィルタ定義ファイルを開く" : "Load Filter define");
  r.filter = Utf8(japanese ? "LUMBRA フィルタ定義ファイル(*.def)" : "LUMBRA Filter files(*.def)");
  r.fileName = save ? QStringLiteral("UserSet") : QString();
  r.defaultSuffix = QStringLiteral("def");
  r.directory = defDir_;
  return r;
}

void TDesignDlg::LoadBtnClick() {
  RunFileCommand(DefinitionRequest(false), defDir_, [this](const std::string& file) {
    IniFile ini(file);
    // Read into a copy, so a file that is refused leaves the design as it was.
    auto loaded = std::make_unique<FilterDefinition>(workFilter);
    loaded->ForgetWeights();
    if (!ini.HasSection("UserSetup") || !loaded->ReadIni(ini, -1)) {
      if (japanese)
        WarningBox("%s はフィルタ定義ファイルとして読めません.", file.c_str());
      else
        WarningBox("%s is not a filter definition file Tarvik can use.", file.c_str());
      return;
    }
    workFilter = *loaded;
    workFilter.ForgetWeights();
    UpdateItem();
    PaintBoxPaint();
    ThBtnClick();
  });
}

void TDesignDlg::SaveBtnClick() {
  RunFileCommand(DefinitionRequest(true), defDir_, [this](const std::string& file) {
    IniFile ini(file);
    workFilter.WriteIni(ini, -1);
    ini.Save();  // reports its own failure
  });
}

void TDesignDlg::HFileBtnClick() {
  FileRequest r;
  r.save = true;
  r.title = Utf8(japanese ? "係数ファイルを作成" : "Save Coefficient file");
  r.filter = Utf8(japanese ? "テキストファイル(*.txt)" : "Text files(*.txt)");
  r.fileName = QStringLiteral("HData");
  r.defaultSuffix = QStringLiteral("txt");
  r.directory = hDir_;
  RunFileCommand(r, hDir_, [this](const std::string& file) {
    std::string error;
    if (!workFilter.WriteCoefFile(file, error)) ErrorBox("%s", error.c_str());
  });
}
