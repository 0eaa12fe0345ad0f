#include "app/DevicesDlg.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>

#include "signal/SampleRate.h"

namespace {
// The rates offered besides our own at the device: what USB codecs and
// sound cards run at.
constexpr int kRates[] = {44100, 48000, 96000};
}  // namespace

TDevicesDlg::TDevicesDlg(WaveDriver& driver, bool japanese, QWidget* parent)
    : QDialog(parent), driver_(driver), japanese_(japanese) {
  auto text = [japanese](const char* en, const char* jp) { return QString::fromUtf8(japanese ? jp : en); };
  setWindowTitle(text("Sound devices", "サウンド デバイス"));
  setObjectName(QStringLiteral("DevicesDlg"));
  InputBox = new QComboBox(this);
  OutputBox = new QComboBox(this);
  RateBox = new QComboBox(this);
  InputBox->setObjectName(QStringLiteral("InputBox"));
  OutputBox->setObjectName(QStringLiteral("OutputBox"));
  RateBox->setObjectName(QStringLiteral("RateBox"));
  for (QComboBox* box : {InputBox, OutputBox}) {
    box->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    box->setMinimumContentsLength(32);
  }
  RateBox->addItem(text("11025 Hz at the device", "11025 Hz (デバイスで)"), 0);
  for (int hz : kRates)
    RateBox->addItem(text("%1 Hz (converted by Tarvik)", "%1 Hz (Tarvik が変換)").arg(hz), hz);

  auto* form = new QFormLayout;
  form->addRow(text("&Input:", "入力(&I):"), InputBox);
  form->addRow(text("&Output:", "出力(&O):"), OutputBox);
  form->addRow(text("&Rate:", "レート(&R):"), RateBox);
  auto* backend = new QLabel(text("Sound system: %1", "サウンド システム: %1")
                                 .arg(QString::fromStdString(driver_.BackendName())),
                             this);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  buttons->button(QDialogButtonBox::Close)->setText(text("Close", "閉じる"));
  QPushButton* refresh = buttons->addButton(text("Re&fresh", "再読込(&F)"), QDialogButtonBox::ActionRole);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(backend);
  layout->addWidget(buttons);

  connect(buttons, &QDialogButtonBox::rejected, this, [this] { reject(); });
  connect(refresh, &QPushButton::clicked, this, [this] { Refresh(); });
  for (QComboBox* box : {InputBox, OutputBox, RateBox})
    connect(box, &QComboBox::currentIndexChanged, this, [this] { Changed(); });
  Refresh();
  // Devices plugged in or out while the dialog is open appear and go.
  auto* watch = new QTimer(this);
  watch->setInterval(500);
  connect(watch, &QTimer::timeout, this, [this] {
    if (driver_.DeviceEvents() != seenEvents_) Refresh();
  });
  watch->start();
}

void TDevicesDlg::SetChoice(const std::string& input, const std::string& output, int rateHz) {
  input_ = input;
  output_ = output;
  rate_ = rateHz;
  filling_ = true;
  Fill(InputBox, true, input_);
  Fill(OutputBox, false, output_);
  int index = RateBox->findData(rate_);
  if (index < 0) {
    RateBox->addItem(QStringLiteral("%1 Hz").arg(rate_), rate_);
    index = RateBox->count() - 1;
  }
  RateBox->setCurrentIndex(index);
  filling_ = false;
}

void TDevicesDlg::Refresh() {
  seenEvents_ = driver_.DeviceEvents();
  devices_ = driver_.Devices();
  SetChoice(input_, output_, rate_);
}

void TDevicesDlg::Fill(QComboBox* box, bool input, const std::string& chosen) {
  const QSignalBlocker block(box);
  box->clear();
  QString defaultName;
  for (const DeviceInfo& d : devices_)
    if (d.input == input && d.isDefault) defaultName = QString::fromStdString(d.description);
  const QString systemDefault = QString::fromUtf8(japanese_ ? "システムの既定" : "System default");
  box->addItem(defaultName.isEmpty() ? systemDefault : QStringLiteral("%1 (%2)").arg(systemDefault, defaultName),
               QString());
  int current = 0;
  for (const DeviceInfo& d : devices_) {
    if (d.input != input) continue;
    // Two devices described alike ("Null Output" twice) are told apart by
    // their names.
    int alike = 0;
    for (const DeviceInfo& e : devices_) alike += e.input == input && e.description == d.description ? 1 : 0;
    const QString name = QString::fromStdString(d.id.substr(d.id.find(':') + 1));
    const QString description = QString::fromStdString(d.description);
    box->addItem(alike > 1 ? QStringLiteral("%1 (%2)").arg(description, name) : description,
                 QString::fromStdString(d.id));
    box->setItemData(box->count() - 1, QString::fromStdString(d.id), Qt::ToolTipRole);
    if (d.id == chosen) current = box->count() - 1;
  }
  if (!chosen.empty() && current == 0) {
    box->addItem(QString::fromUtf8(japanese_ ? "%1 (見つかりません)" : "%1 (missing)")
                     .arg(QString::fromStdString(chosen)),
                 QString::fromStdString(chosen));
    current = box->count() - 1;
  }
  box->setCurrentIndex(current);
}

void TDevicesDlg::Changed() {
  if (filling_) return;
  const std::string input = InputBox->currentData().toString().toStdString();
  const std::string output = OutputBox->currentData().toString().toStdString();
  const int rate = RateBox->currentData().toInt();
  if (input == input_ && output == output_ && rate == rate_) return;
  input_ = input;
  output_ = output;
  rate_ = rate;
  if (onChoice) onChoice(input_, output_, rate_);
}
