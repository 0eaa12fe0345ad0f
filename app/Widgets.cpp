#include "app/Widgets.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>

void ImageBox::paintEvent(QPaintEvent* event) {
  QPainter p(this);
  if (image_->width() < width() || image_->height() < height()) p.fillRect(rect(), palette().window());
  p.drawImage(event->rect(), *image_, event->rect());
}

void ImageBox::mousePressEvent(QMouseEvent* event) {
  if (onPress) {
    const QPoint at = event->position().toPoint();
    onPress(at.x(), at.y(), event->button());
  }
  QWidget::mousePressEvent(event);
}

QLabel* MakeLabel(QWidget* parent, const char* name, const char* text, int x, int y) {
  auto* label = new QLabel(QString::fromUtf8(text), parent);
  label->setObjectName(QString::fromLatin1(name));
  label->move(x, y);
  label->adjustSize();
  return label;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* text, int x, int y, int w, int h) {
  auto* b = new QPushButton(QString::fromUtf8(text), parent);
  b->setObjectName(QString::fromLatin1(name));
  b->setGeometry(x, y, w, h);
  return b;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, int x, int y, int w, int h) {
  auto* e = new QLineEdit(parent);
  e->setObjectName(QString::fromLatin1(name));
  e->setGeometry(x, y, w, h);
  return e;
}

QComboBox* MakeCombo(QWidget* parent, const char* name, int x, int y, int w, int h,
                     const QStringList& items) {
  auto* box = new QComboBox(parent);
  box->setObjectName(QString::fromLatin1(name));
  box->setEditable(true);
  box->setInsertPolicy(QComboBox::NoInsert);
  box->addItems(items);
  box->setGeometry(x, y, w, h);
  return box;
}

QGroupBox* MakeRadioGroup(QWidget* parent, const char* name, const char* title, int x, int y, int w, int h,
                          const QStringList& items, int columns, QButtonGroup*& group) {
  auto* box = new QGroupBox(QString::fromUtf8(title), parent);
  box->setObjectName(QString::fromLatin1(name));
  box->setGeometry(x, y, w, h);
  group = new QButtonGroup(box);
  const int rows = (static_cast<int>(items.size()) + columns - 1) / columns;
  for (int i = 0; i < items.size(); ++i) {
    auto* r = new QRadioButton(items[i], box);
    const int col = i / rows, row = i % rows;
    r->setGeometry(8 + col * (w - 8) / columns, 20 + row * ((h - 24) / rows), (w - 8) / columns,
                   (h - 24) / rows);
    group->addButton(r, i);
  }
  return box;
}

QFrame* MakePanel(QWidget* parent, const char* name, int x, int y, int w, int h, const QColor& colour) {
  auto* f = new QFrame(parent);
  f->setObjectName(QString::fromLatin1(name));
  f->setGeometry(x, y, w, h);
  f->setFrameShape(QFrame::Box);
  f->setLineWidth(1);
  f->setAutoFillBackground(true);
  QPalette pal = f->palette();
  pal.setColor(QPalette::Window, colour);
  f->setPalette(pal);
  return f;
}

ImageBox* MakePaintBox(QFrame* panel, const char* name, const QImage* image, int w, int h) {
  auto* box = new ImageBox(panel, image);
  box->setObjectName(QString::fromLatin1(name));
  box->setGeometry(3, 3, w, h);
  return box;
}
