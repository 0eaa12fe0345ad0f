#pragma once
// The waterfall pane under the row of added stages: its own tap into the
// model, the pictures drawn from it, and tuning on it as on the spectrum
// (left click Fo, right click a notch, the wheel the zoom). Ctrl+click and
// the labels beside traces are for features that link a rig or decode:
// they set onCtrlClick and SetLabels.

#include <QImage>
#include <QWidget>
#include <functional>
#include <vector>

#include "control/DisplayPress.h"
#include "control/WaterfallFeed.h"
#include "draw/WaterfallView.h"

class CFilter;
class Session;

inline PressButton PressButtonOf(Qt::MouseButton button) {
  return button == Qt::LeftButton    ? PressButton::Primary
         : button == Qt::RightButton ? PressButton::Secondary
                                     : PressButton::Other;
}

// The zooms the wheel steps through, widest first (0: the whole band).
constexpr int kWfZoomSteps[] = {0, 5000, 3000, 2000, 1000, 500, 300, 200};

class WaterfallPane : public QWidget {
 public:
  explicit WaterfallPane(QWidget* parent);
  ~WaterfallPane() override;

  // Follows the session (its settings, Fo, filter, notches) and feeds from
  // its engine; Unbind before the engine stops.
  void Bind(Session& session);
  void Unbind();
  // From the window's timer: every block waiting into the model, new lines
  // drawn, the pane repainted when they changed.
  void Tick();

  // Ctrl+click at hz, when set; otherwise Ctrl+click acts as a plain click.
  std::function<void(double hz)> onCtrlClick;
  // Texts drawn beside the traces at their frequencies (none: nothing drawn).
  void SetLabels(const std::vector<WaterfallLabel>& labels);

  // The mapping between the pane's columns and Hz, as drawn now.
  double HzAt(int x) const;
  int ColumnOf(double hz) const;
  WaterfallFeed& Feed() { return feed_; }
  WaterfallPicture& Picture() { return picture_; }
  // The pane as shown (tests, pictures).
  QImage Composed() const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  void SessionChanged(unsigned changes);

  Session* session_ = nullptr;
  int listener_ = 0;
  WaterfallFeed feed_;
  WaterfallPicture picture_;
  std::vector<WaterfallLabel> labels_;  // as last drawn
  int wheelAngle_ = 0;  // eighths of a degree not yet turned into a step
};
