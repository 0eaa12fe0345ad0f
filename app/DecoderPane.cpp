#include "app/DecoderPane.h"

#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTableWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "control/Session.h"

DecoderPane::DecoderPane(Session& session, bool japanese, QWidget* parent)
    : QWidget(parent), session_(session), japanese_(japanese) {
  setObjectName(QStringLiteral("decoderPane"));
  QFont small = font();
  small.setPixelSize(12);
  setFont(small);

  auto toggle = [this](const char* name, const QString& caption, const QString& tip) {
    auto* b = new QToolButton(this);
    b->setObjectName(QString::fromLatin1(name));
    b->setText(caption);
    b->setCheckable(true);
    b->setToolTip(tip);
    return b;
  };
  onBtn_ = toggle("DecoderBtn", QStringLiteral("CW"),
                  Caption("Morse decoder on and off (D)", "モールス デコーダの入/切 (D)"));
  trackBtn_ = toggle("DecoderTrackBtn", Caption("Track", "追従"),
                     Caption("Follow the strongest keyed tone within 100 Hz of Fo",
                             "Fo の ±100 Hz で最も強い電信に追従"));
  skimBtn_ = toggle("SkimmerBtn", Caption("Skimmer", "スキマー"),
                    Caption("Decode every keyed tone in 200..1500 Hz (up to 16)",
                            "200..1500 Hz の電信をすべて解読 (最大 16)"));
  sourceBox_ = new QComboBox(this);
  sourceBox_->setObjectName(QStringLiteral("DecoderSourceBox"));
  sourceBox_->addItem(Caption("Input", "入力"));
  sourceBox_->addItem(Caption("Output", "出力"));
  sourceBox_->setToolTip(Caption("What the decoder listens to", "デコーダが聞く信号"));
  clearBtn_ = new QPushButton(Caption("Clear", "消去"), this);
  clearBtn_->setObjectName(QStringLiteral("DecoderClearBtn"));
  saveBtn_ = new QPushButton(Caption("Save text...", "テキストを保存..."), this);
  saveBtn_->setObjectName(QStringLiteral("DecoderSaveBtn"));
  figures_ = new QLabel(this);
  figures_->setObjectName(QStringLiteral("DecoderFigures"));

  auto* row = new QHBoxLayout;
  row->setContentsMargins(0, 0, 0, 0);
  for (QWidget* w : {static_cast<QWidget*>(onBtn_), static_cast<QWidget*>(trackBtn_),
                     static_cast<QWidget*>(sourceBox_), static_cast<QWidget*>(skimBtn_),
                     static_cast<QWidget*>(clearBtn_), static_cast<QWidget*>(saveBtn_)})
    row->addWidget(w);
  row->addWidget(figures_, 1);

  text_ = new QPlainTextEdit(this);
  text_->setObjectName(QStringLiteral("DecoderText"));
  text_->setReadOnly(true);  // selectable, Ctrl+C copies
  text_->setFixedHeight(64);
  text_->setMaximumBlockCount(2000);
  QFont mono(QStringLiteral("monospace"));
  mono.setStyleHint(QFont::TypeWriter);
  mono.setPixelSize(13);
  text_->setFont(mono);

  signals_ = new QTableWidget(0, 4, this);
  signals_->setObjectName(QStringLiteral("SkimmerList"));
  signals_->setHorizontalHeaderLabels({Caption("Hz", "Hz"), Caption("wpm", "wpm"), Caption("SNR dB", "SNR dB"),
                                       Caption("Text (click: Fo there)", "テキスト (クリックで Fo)")});
  signals_->horizontalHeader()->setStretchLastSection(true);
  signals_->verticalHeader()->hide();
  signals_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  signals_->setSelectionBehavior(QAbstractItemView::SelectRows);
  signals_->setFixedHeight(96);
  for (int c = 0; c < 3; ++c) signals_->setColumnWidth(c, 56);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(6, 2, 6, 2);
  layout->setSpacing(2);
  layout->addLayout(row);
  layout->addWidget(text_);
  layout->addWidget(signals_);

  connect(onBtn_, &QToolButton::toggled, this, [this](bool on) { session_.SetDecoder(on); });
  connect(trackBtn_, &QToolButton::toggled, this, [this](bool on) { session_.SetDecoderTrack(on); });
  connect(skimBtn_, &QToolButton::toggled, this, [this](bool on) { session_.SetSkimmer(on); });
  connect(sourceBox_, &QComboBox::currentIndexChanged, this, [this](int i) { session_.SetDecoderSource(i); });
  connect(clearBtn_, &QPushButton::clicked, this, [this] { text_->clear(); });
  connect(saveBtn_, &QPushButton::clicked, this, [this] { SaveText(); });
  connect(signals_, &QTableWidget::cellClicked, this, [this](int r, int) {
    if (const QTableWidgetItem* item = signals_->item(r, 0)) session_.SetFoAt(item->data(Qt::UserRole).toDouble());
  });
  chooseSaveFile = [this] {
    return QFileDialog::getSaveFileName(this, Caption("Save the decoded text", "解読テキストを保存"), QString(),
                                        Caption("Text (*.txt)", "テキスト (*.txt)"));
  };
  timer_ = new QTimer(this);
  timer_->setInterval(100);
  connect(timer_, &QTimer::timeout, this, [this] { Poll(); });
  timer_->start();
  Sync();
}

QString DecoderPane::Caption(const char* english, const char* japanese) const {
  return QString::fromUtf8(japanese_ ? japanese : english);
}

QString DecoderPane::Reason(const std::string& why) const {
  // The reasons the session and the tap give (control/Session.cpp,
  // control/CwDecodeTap.cpp), in the window's language.
  static const struct {
    const char *english, *japanese;
  } kReasons[] = {
      {"the sound is stopped", "音が止まっています"},
      {"every tap of the engine is taken", "エンジンのタップがすべて使われています"},
  };
  for (const auto& r : kReasons)
    if (why == r.english) return Caption(r.english, r.japanese);
  return QString::fromStdString(why);
}

void DecoderPane::Sync() {
  const QSignalBlocker b1(onBtn_), b2(trackBtn_), b3(skimBtn_), b4(sourceBox_);
  onBtn_->setChecked(session_.DecoderOn());
  trackBtn_->setChecked(session_.DecoderTrack());
  skimBtn_->setChecked(session_.SkimmerOn());
  sourceBox_->setCurrentIndex(session_.DecoderSource());
  text_->setVisible(session_.DecoderOn());
  signals_->setVisible(session_.DecoderOn() && session_.SkimmerOn());
  if (!session_.DecoderOn()) figures_->clear();
}

void DecoderPane::ToggleDecoder() { onBtn_->click(); }

QString DecoderPane::Text() const { return text_->toPlainText(); }

void DecoderPane::Poll() {
  CwDecodeTap* decoder = session_.Decoder();
  if (!decoder) {
    if (session_.DecoderOn())
      figures_->setText(Caption("Not decoding: ", "解読できません: ") + Reason(session_.DecoderError()));
    return;
  }
  const std::string fresh = decoder->TakeText();
  if (!fresh.empty()) {
    QScrollBar* bar = text_->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    QTextCursor end(text_->document());
    end.movePosition(QTextCursor::End);
    end.insertText(QString::fromStdString(fresh));
    if (atEnd) bar->setValue(bar->maximum());
  }
  const CwDecodeStatus s = decoder->Read();
  if (s.open)
    figures_->setText(QStringLiteral("%1 wpm  SNR %2 dB  %3 Hz")
                          .arg(s.wpm, 0, 'f', 0)
                          .arg(s.snrDb, 0, 'f', 0)
                          .arg(s.pitchHz, 0, 'f', 0));
  else
    figures_->setText(QStringLiteral("%1 Hz  %2").arg(s.pitchHz, 0, 'f', 0).arg(Caption("no signal", "信号なし")));
  if (!signals_->isVisible()) return;
  const std::vector<CwSignal> list = decoder->Signals();
  signals_->setRowCount(static_cast<int>(list.size()));
  for (int r = 0; r < static_cast<int>(list.size()); ++r) {
    const CwSignal& sig = list[r];
    auto put = [&](int c, const QString& t) {
      QTableWidgetItem* item = signals_->item(r, c);
      if (!item) signals_->setItem(r, c, item = new QTableWidgetItem);
      item->setText(t);
      return item;
    };
    put(0, QString::number(sig.pitchHz, 'f', 0))->setData(Qt::UserRole, sig.pitchHz);
    put(1, QString::number(sig.wpm, 'f', 0));
    put(2, QString::number(sig.snrDb, 'f', 0));
    put(3, QString::fromStdString(sig.text.size() > 60 ? sig.text.substr(sig.text.size() - 60) : sig.text));
  }
}

void DecoderPane::SaveText() {
  const QString path = chooseSaveFile ? chooseSaveFile() : QString();
  if (path.isEmpty()) return;
  QFile file(path);
  const QByteArray bytes = text_->toPlainText().toUtf8() + '\n';
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text) || file.write(bytes) != bytes.size())
    QMessageBox::warning(this, QStringLiteral("Tarvik"),
                         Caption("Cannot write %1: %2", "%1 に書けません: %2").arg(path, file.errorString()));
}
