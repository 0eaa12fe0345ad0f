#include "app/RigDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "signal/Settings.h"

namespace {
constexpr int kBauds[] = {0, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
}

TRigDlg::TRigDlg(bool japanese, QWidget* parent) : QDialog(parent), japanese_(japanese) {
  auto text = [japanese](const char* en, const char* jp) { return QString::fromUtf8(japanese ? jp : en); };
  setWindowTitle(text("Rig", "リグ"));
  setObjectName(QStringLiteral("RigDlg"));

  KindBox = new QComboBox(this);
  KindBox->setObjectName(QStringLiteral("KindBox"));
  KindBox->addItem(text("Off", "なし"));
  KindBox->addItem(text("rigctld on the network (NET rigctl)", "ネットワーク上の rigctld (NET rigctl)"));
  KindBox->addItem(text("Rig on a serial port (Hamlib model)", "シリアル ポートのリグ (Hamlib モデル)"));

  pages_ = new QStackedWidget(this);
  pages_->addWidget(new QWidget(pages_));
  auto* net = new QWidget(pages_);
  auto* netForm = new QFormLayout(net);
  HostEdit = new QLineEdit(QStringLiteral("127.0.0.1"), net);
  HostEdit->setObjectName(QStringLiteral("HostEdit"));
  PortBox = new QSpinBox(net);
  PortBox->setObjectName(QStringLiteral("PortBox"));
  PortBox->setRange(1, 65535);
  PortBox->setValue(kRigDefaultPort);
  netForm->addRow(text("&Host:", "ホスト(&H):"), HostEdit);
  netForm->addRow(text("&Port:", "ポート(&P):"), PortBox);
  pages_->addWidget(net);
  auto* serial = new QWidget(pages_);
  auto* serialForm = new QFormLayout(serial);
  SearchEdit = new QLineEdit(serial);
  SearchEdit->setObjectName(QStringLiteral("SearchEdit"));
  SearchEdit->setPlaceholderText(text("maker, name or number", "メーカー, 名前, 番号"));
  SearchEdit->setClearButtonEnabled(true);
  ModelList = new QListWidget(serial);
  ModelList->setObjectName(QStringLiteral("ModelList"));
  ModelList->setMinimumHeight(160);
  models_ = RigModels();
  for (const RigModelInfo& m : models_) {
    auto* item = new QListWidgetItem(QStringLiteral("%1 %2 (%3)")
                                         .arg(QString::fromStdString(m.maker), QString::fromStdString(m.name))
                                         .arg(m.model),
                                     ModelList);
    item->setData(Qt::UserRole, m.model);
  }
  DeviceEdit = new QLineEdit(QStringLiteral("/dev/ttyUSB0"), serial);
  DeviceEdit->setObjectName(QStringLiteral("DeviceEdit"));
  BaudBox = new QComboBox(serial);
  BaudBox->setObjectName(QStringLiteral("BaudBox"));
  for (int baud : kBauds)
    BaudBox->addItem(baud == 0 ? text("the model's own", "モデルの既定") : QString::number(baud), baud);
  serialForm->addRow(text("&Search:", "検索(&S):"), SearchEdit);
  serialForm->addRow(text("&Model:", "モデル(&M):"), ModelList);
  serialForm->addRow(text("&Device:", "デバイス(&D):"), DeviceEdit);
  serialForm->addRow(text("Spee&d:", "速度(&B):"), BaudBox);
  pages_->addWidget(serial);

  SpecEdit = new QLineEdit(this);
  SpecEdit->setObjectName(QStringLiteral("SpecEdit"));
  SpecEdit->setToolTip(text("rigctld:HOST:PORT or hamlib:MODEL:DEVICE:BAUD (empty: off)",
                            "rigctld:ホスト:ポート または hamlib:モデル:デバイス:速度 (空: なし)"));
  SpecProblem = new QLabel(this);
  SpecProblem->setObjectName(QStringLiteral("SpecProblem"));
  SpecProblem->setWordWrap(true);

  FollowBox = new QCheckBox(
      text("&Fo follows the rig's CW pitch (in CW)", "Fo をリグの CW ピッチに合わせる(&F) (CW 時)"), this);
  FollowBox->setObjectName(QStringLiteral("FollowBox"));
  MuteBox = new QCheckBox(text("&Lower the output while transmitting by", "送信中は出力を下げる(&L):"), this);
  MuteBox->setObjectName(QStringLiteral("MuteBox"));
  MuteDbBox = new QSpinBox(this);
  MuteDbBox->setObjectName(QStringLiteral("MuteDbBox"));
  MuteDbBox->setRange(1, kMaxRigTxMuteDb);
  MuteDbBox->setSuffix(QStringLiteral(" dB"));
  MuteDbBox->setValue(kMaxRigTxMuteDb);
  MuteDbBox->setToolTip(text("120 dB: silence", "120 dB: 無音"));
  HangBox = new QSpinBox(this);
  HangBox->setObjectName(QStringLiteral("HangBox"));
  HangBox->setRange(0, kMaxRigTxHangMs);
  HangBox->setSingleStep(50);
  HangBox->setSuffix(QStringLiteral(" ms"));
  HangBox->setValue(200);

  auto* form = new QFormLayout;
  form->addRow(text("&Connection:", "接続(&C):"), KindBox);
  form->addRow(pages_);
  form->addRow(text("Setting:", "設定値:"), SpecEdit);
  form->addRow(SpecProblem);
  form->addRow(FollowBox);
  form->addRow(MuteBox, MuteDbBox);
  form->addRow(text("... and after unkeying for", "... 送信後も:"), HangBox);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);

  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(KindBox, &QComboBox::currentIndexChanged, this, [this] {
    ShowKind();
    FieldsChanged();
  });
  connect(HostEdit, &QLineEdit::textEdited, this, [this] { FieldsChanged(); });
  connect(PortBox, &QSpinBox::valueChanged, this, [this] { FieldsChanged(); });
  connect(DeviceEdit, &QLineEdit::textEdited, this, [this] { FieldsChanged(); });
  connect(BaudBox, &QComboBox::currentIndexChanged, this, [this] { FieldsChanged(); });
  connect(ModelList, &QListWidget::currentRowChanged, this, [this] { FieldsChanged(); });
  connect(SearchEdit, &QLineEdit::textChanged, this, [this](const QString& t) { Filter(t); });
  connect(SpecEdit, &QLineEdit::textEdited, this, [this] { TextEdited(); });
  connect(MuteBox, &QCheckBox::toggled, this,
          [this](bool on) { MuteDbBox->setEnabled(on && MuteBox->isEnabled()); });
  ShowKind();
}

void TRigDlg::ShowKind() { pages_->setCurrentIndex(KindBox->currentIndex()); }

void TRigDlg::Filter(const QString& typed) {
  // Every word typed somewhere in the line: "yaesu 991", "ic-7300".
  const QStringList words = typed.split(QLatin1Char(' '), Qt::SkipEmptyParts);
  for (int i = 0; i < ModelList->count(); ++i) {
    QListWidgetItem* item = ModelList->item(i);
    bool shown = true;
    for (const QString& w : words) shown = shown && item->text().contains(w, Qt::CaseInsensitive);
    item->setHidden(!shown);
  }
}

void TRigDlg::SelectModel(int model) {
  for (int i = 0; i < ModelList->count(); ++i)
    if (ModelList->item(i)->data(Qt::UserRole).toInt() == model) {
      ModelList->setCurrentRow(i);
      ModelList->scrollToItem(ModelList->item(i));
      return;
    }
  ModelList->setCurrentRow(-1);
}

void TRigDlg::FieldsChanged() {
  if (filling_) return;
  RigSpec rigSpec;
  switch (KindBox->currentIndex()) {
    case 1:
      rigSpec.kind = RigSpec::Kind::Rigctld;
      rigSpec.host = HostEdit->text().trimmed().toStdString();
      rigSpec.port = PortBox->value();
      break;
    case 2:
      rigSpec.kind = RigSpec::Kind::Serial;
      rigSpec.model = ModelList->currentItem() ? ModelList->currentItem()->data(Qt::UserRole).toInt() : 0;
      rigSpec.device = DeviceEdit->text().trimmed().toStdString();
      rigSpec.baud = BaudBox->currentData().toInt();
      break;
    default:
      break;
  }
  SpecEdit->setText(QString::fromStdString(RigSpecText(rigSpec)));
  TextEdited();
}

void TRigDlg::TextEdited() {
  RigSpec rigSpec;
  std::string error;
  const bool ok = ParseRigSpec(SpecEdit->text().toStdString(), rigSpec, error);
  SpecProblem->setText(ok ? QString() : QString::fromStdString(error));
  SpecProblem->setVisible(!ok);
  if (!ok || filling_) return;
  filling_ = true;
  KindBox->setCurrentIndex(static_cast<int>(rigSpec.kind));
  if (rigSpec.kind == RigSpec::Kind::Rigctld) {
    HostEdit->setText(QString::fromStdString(rigSpec.host));
    PortBox->setValue(rigSpec.port);
  } else if (rigSpec.kind == RigSpec::Kind::Serial) {
    SelectModel(rigSpec.model);
    DeviceEdit->setText(QString::fromStdString(rigSpec.device));
    const int at = BaudBox->findData(rigSpec.baud);
    if (at >= 0) {
      BaudBox->setCurrentIndex(at);
    } else {
      BaudBox->addItem(QString::number(rigSpec.baud), rigSpec.baud);
      BaudBox->setCurrentIndex(BaudBox->count() - 1);
    }
  }
  ShowKind();
  filling_ = false;
}

void TRigDlg::SetChoice(const std::string& rigSpec, bool followPitch, int txMuteDb, int txHangMs,
                        bool pttReadable) {
  SpecEdit->setText(QString::fromStdString(rigSpec));
  TextEdited();
  FollowBox->setChecked(followPitch);
  MuteBox->setChecked(txMuteDb > 0);
  if (txMuteDb > 0) MuteDbBox->setValue(txMuteDb);
  HangBox->setValue(txHangMs);
  const QString why = QString::fromUtf8(japanese_ ? "このリグは送信中かどうかを知らせません"
                                                  : "This rig does not say when it transmits");
  for (QWidget* w :
       {static_cast<QWidget*>(MuteBox), static_cast<QWidget*>(MuteDbBox), static_cast<QWidget*>(HangBox)}) {
    w->setEnabled(pttReadable);
    w->setToolTip(pttReadable ? QString() : why);
  }
  MuteDbBox->setEnabled(pttReadable && MuteBox->isChecked());
}

std::string TRigDlg::RigText() const { return SpecEdit->text().trimmed().toStdString(); }
bool TRigDlg::FollowPitch() const { return FollowBox->isChecked(); }
int TRigDlg::TxMuteDb() const { return MuteBox->isChecked() ? MuteDbBox->value() : 0; }
int TRigDlg::TxHangMs() const { return HangBox->value(); }
