#include "app/WaterfallPane.h"

#include <QAction>
#include <QActionGroup>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <algorithm>

#include "app/MainWindow.h"
#include "control/Session.h"

WaterfallPane::WaterfallPane(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("WaterfallPane"));
  // The pictures cover the pane: nothing under them needs painting first.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  setCursor(Qt::CrossCursor);
}

WaterfallPane::~WaterfallPane() { Unbind(); }

void WaterfallPane::Bind(Session& session) {
  Unbind();
  session_ = &session;
  listener_ = session.AddListener([this](unsigned changes) { SessionChanged(changes); });
  if (CFilter* engine = session.Engine()) feed_.Attach(*engine);
  SessionChanged(Session::kAll);
}

void WaterfallPane::Unbind() {
  feed_.Detach();
  if (session_) session_->RemoveListener(listener_);
  session_ = nullptr;
}

void WaterfallPane::SessionChanged(unsigned changes) {
  if (!session_) return;
  if (changes & Session::kEngine && !session_->Engine()) feed_.Detach();
  if (changes & Session::kWaterfall) {
    feed_.SetActive(session_->Waterfall());
    if (feed_.Model().Speed() != session_->WfSpeed()) feed_.Model().SetSpeed(session_->WfSpeed());
    picture_.SetContrast(session_->WfContrast());
  }
  if (changes & (Session::kWaterfall | Session::kFilter))
    picture_.SetSpan(WaterfallSpanFor(session_->WfZoom(), session_->Fo()));
  if (changes & (Session::kFilter | Session::kExtras)) {
    const std::vector<double>& notches = session_->Notches();
    const CFilter* engine = session_->Engine();
    const FilterDefinition filter = engine ? engine->Definition() : FilterDefinition();
    picture_.SetMarks(session_->Fo(), notches.data(), static_cast<int>(notches.size()), &filter);
  }
  if (isVisible() && picture_.Update(feed_.Model())) update();
}

void WaterfallPane::Tick() {
  if (!session_ || !isVisible()) return;
  feed_.Drain();
  if (picture_.Update(feed_.Model())) update();
}

void WaterfallPane::SetLabels(const std::vector<WaterfallLabel>& labels) {
  picture_.SetLabels(labels);
  update();
}

double WaterfallPane::HzAt(int x) const {
  return WaterfallColumnHz(x, picture_.Width(), picture_.Columns().Span());
}

int WaterfallPane::ColumnOf(double hz) const {
  return WaterfallColumnOf(hz, picture_.Width(), picture_.Columns().Span());
}

QSize WaterfallPane::sizeHint() const { return {632, session_ ? session_->WfHeight() : 160}; }

QSize WaterfallPane::minimumSizeHint() const { return {100, kWfMinHeight}; }

// The scale, the ring of rows from its newest, the labels: copies only.
static void CopyPicture(QPainter& p, const WaterfallPicture& picture) {
  const QImage& rows = picture.Rows();
  const int top = picture.Top(), h = rows.height(), y0 = WaterfallPicture::kScaleHeight;
  p.drawImage(0, 0, picture.Scale());
  p.drawImage(QPoint(0, y0), rows, QRect(0, top, rows.width(), h - top));
  if (top > 0) p.drawImage(QPoint(0, y0 + h - top), rows, QRect(0, 0, rows.width(), top));
  if (picture.HasLabels()) p.drawImage(0, y0, picture.Labels());
}

QImage WaterfallPane::Composed() const {
  QImage image(picture_.Width(), WaterfallPicture::kScaleHeight + picture_.Rows().height(),
               QImage::Format_RGB32);
  QPainter p(&image);
  CopyPicture(p, picture_);
  return image;
}

void WaterfallPane::paintEvent(QPaintEvent* event) {
  QPainter p(this);
  p.setClipRegion(event->region());
  CopyPicture(p, picture_);
}

void WaterfallPane::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  picture_.Resize(width(), height());
  picture_.Update(feed_.Model());
  // The user's height is kept for the next start.
  if (session_ && isVisible() && window()->isVisible() && height() != session_->WfHeight() &&
      height() >= kWfMinHeight && height() <= kWfMaxHeight)
    session_->SetWfHeight(height());
}

void WaterfallPane::mousePressEvent(QMouseEvent* event) {
  QWidget::mousePressEvent(event);
  if (!session_) return;
  const int x = static_cast<int>(event->position().x());
  if ((event->modifiers() & Qt::ControlModifier) && event->button() == Qt::LeftButton && onCtrlClick) {
    onCtrlClick(HzAt(x));
    return;
  }
  const DisplayScale scale{[this](int at) { return HzAt(at); }, [this](double hz) { return ColumnOf(hz); }};
  PressOnDisplay(*session_, x, PressButtonOf(event->button()), scale);
}

void WaterfallPane::wheelEvent(QWheelEvent* event) {
  event->accept();
  if (!session_) return;
  // One step a notch (120 eighths of a degree): up narrows, down widens.
  wheelAngle_ += event->angleDelta().y();
  const int steps = wheelAngle_ / 120;
  if (steps == 0) return;
  wheelAngle_ -= steps * 120;
  constexpr int count = static_cast<int>(std::size(kWfZoomSteps));
  int at = 0;  // the current zoom's step, or the next narrower one
  if (session_->WfZoom() != 0)
    for (at = 1; at < count - 1 && kWfZoomSteps[at] > session_->WfZoom(); ++at) {
    }
  at = std::clamp(at + steps, 0, count - 1);
  if (kWfZoomSteps[at] != session_->WfZoom()) session_->SetWfZoom(kWfZoomSteps[at]);
}

// ---------------------------------------------------------------------------
// The window's side: the pane under the row of added stages, the View menu.

void TMainWnd::BuildWaterfall(QVBoxLayout* layout) {
  const bool ja = japanese;
  auto text = [ja](const char* en, const char* jp) { return QString::fromUtf8(ja ? jp : en); };
  waterfall = new WaterfallPane(this);
  layout->addWidget(waterfall, 1);

  QMenu* view = new QMenu(text("&View", "表示(&V)"), menuBar);
  menuBar->insertMenu(menuBar->actions().back(), view);  // before Help
  ActWaterfall = view->addAction(text("&Waterfall", "ウォーターフォール(&W)"));
  ActWaterfall->setCheckable(true);
  connect(ActWaterfall, &QAction::toggled, this, [this](bool on) { session->SetWaterfall(on); });

  auto choices = [&](const QString& title, std::initializer_list<std::pair<QString, int>> items,
                     std::vector<QAction*>& actions, auto apply) {
    QMenu* sub = view->addMenu(title);
    auto* group = new QActionGroup(sub);
    for (const auto& [label, value] : items) {
      QAction* a = sub->addAction(label);
      a->setCheckable(true);
      a->setData(value);
      group->addAction(a);
      actions.push_back(a);
      connect(a, &QAction::triggered, this, [this, apply, value] { apply(value); });
    }
  };
  choices(text("Waterfall &contrast", "ウォーターフォールのコントラスト(&C)"),
          {{text("&Low", "低(&L)"), 0}, {text("&Normal", "標準(&N)"), 1}, {text("&High", "高(&H)"), 2}},
          wfContrastActions, [this](int v) { session->SetWfContrast(v); });
  choices(text("Waterfall &speed", "ウォーターフォールの速さ(&S)"),
          {{text("5 lines a second", "毎秒 5 行"), 5},
           {text("10 lines a second", "毎秒 10 行"), 10},
           {text("20 lines a second", "毎秒 20 行"), 20},
           {text("50 lines a second", "毎秒 50 行"), 50}},
          wfSpeedActions, [this](int v) { session->SetWfSpeed(v); });
  std::initializer_list<std::pair<QString, int>> zooms = {{text("&Whole band", "全帯域(&W)"), 0},
                                                          {QStringLiteral("2000 Hz"), 2000},
                                                          {QStringLiteral("1000 Hz"), 1000},
                                                          {QStringLiteral("500 Hz"), 500},
                                                          {QStringLiteral("200 Hz"), 200}};
  choices(text("Waterfall &zoom (wheel)", "ウォーターフォールの拡大 (ホイール)(&Z)"), zooms, wfZoomActions,
          [this](int v) { session->SetWfZoom(v); });
  waterfall->setToolTip(text("Left click: Fo, right click: a notch, wheel: zoom (W hides)",
                             "左クリック: Fo, 右クリック: ノッチ, ホイール: 拡大 (W で隠す)"));
  waterfall->hide();
}

void TMainWnd::ShowWaterfall() {
  if (!waterfall || !session) return;
  const bool on = session->Waterfall();
  {
    const QSignalBlocker block(ActWaterfall);
    ActWaterfall->setChecked(on);
  }
  auto check = [](std::vector<QAction*>& actions, int value) {
    for (QAction* a : actions) a->setChecked(a->data().toInt() == value);
  };
  check(wfContrastActions, session->WfContrast());
  check(wfSpeedActions, session->WfSpeed());
  check(wfZoomActions, session->WfZoom());
  if (on == !waterfall->isHidden()) return;
  QLayout* l = layout();
  if (on) {
    // The window takes the pane's height and may then be resized; the
    // client area stays at its size, top left.
    waterfall->show();
    l->setSizeConstraint(QLayout::SetMinimumSize);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    l->activate();
    resize(isVisible() ? std::max(width(), client->width()) : client->width(), l->totalSizeHint().height());
  } else {
    waterfall->hide();
    l->setSizeConstraint(QLayout::SetFixedSize);
    l->activate();
  }
}
