#pragma once
// Small builders for the fixed-position controls of Tarvik's two windows,
// and the paint box both use. Positions and sizes are in pixels of the
// parent's client area.

#include <QImage>
#include <QStringList>
#include <QWidget>
#include <functional>

class QButtonGroup;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

// A paint box: its paint handler only copies the image the drawing code made.
class ImageBox : public QWidget {
 public:
  ImageBox(QWidget* parent, const QImage* image) : QWidget(parent), image_(image) {
    // The image covers the box: nothing under it needs painting first.
    setAttribute(Qt::WA_OpaquePaintEvent);
  }
  // A mouse press at x, y of the image, with the button.
  std::function<void(int x, int y, Qt::MouseButton button)> onPress;

 protected:
  void paintEvent(QPaintEvent*) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  const QImage* image_;
};

// Texts are UTF-8.
QLabel* MakeLabel(QWidget* parent, const char* name, const char* text, int x, int y);
QPushButton* MakeButton(QWidget* parent, const char* name, const char* text, int x, int y, int w, int h);
QLineEdit* MakeEdit(QWidget* parent, const char* name, int x, int y, int w, int h);
// An editable combo box whose list is `items`.
QComboBox* MakeCombo(QWidget* parent, const char* name, int x, int y, int w, int h, const QStringList& items);
// A titled group of radio buttons laid out in `columns` columns, filled
// column by column; `group` gets the buttons with ids 0, 1, ...
QGroupBox* MakeRadioGroup(QWidget* parent, const char* name, const char* title, int x, int y, int w, int h,
                          const QStringList& items, int columns, QButtonGroup*& group);
// A single-border panel filled with `colour`, and the paint box inside it.
QFrame* MakePanel(QWidget* parent, const char* name, int x, int y, int w, int h, const QColor& colour);
ImageBox* MakePaintBox(QFrame* panel, const char* name, const QImage* image, int w, int h);
