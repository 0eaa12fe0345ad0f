#pragma once
// The CW decoder's pane, below the row of added stages: on/off (D), track,
// the source, the skimmer, clear and "Save text..."; the decoded text
// (scrolling, selectable); speed, SNR and pitch; with the skimmer on, its
// signals (a click sets Fo there). A view of the session's decoder state,
// polling the decoder's text on a timer.

#include <QWidget>
#include <functional>
#include <string>

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;
class QTimer;
class QToolButton;
class Session;

class DecoderPane : public QWidget {
 public:
  DecoderPane(Session& session, bool japanese, QWidget* parent);
  // The session's decoder state changed (Session::kDecoder).
  void Sync();
  // The D key.
  void ToggleDecoder();
  // Takes what the decoder has printed and refreshes the figures; the
  // timer calls it every 100 ms.
  void Poll();
  QString Text() const;
  // Asks where to save the text (a test replaces it); "" cancels.
  std::function<QString()> chooseSaveFile;

 private:
  void SaveText();
  QString Caption(const char* english, const char* japanese) const;
  // Why the decoder is not running, from the session's English reason.
  QString Reason(const std::string& why) const;

  Session& session_;
  bool japanese_;
  QToolButton *onBtn_, *trackBtn_, *skimBtn_;
  QComboBox* sourceBox_;
  QPushButton *clearBtn_, *saveBtn_;
  QLabel* figures_;
  QPlainTextEdit* text_;
  QTableWidget* signals_;
  QTimer* timer_;
};
