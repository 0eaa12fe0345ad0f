#pragma once
// Audio > Rig...: the link to a transceiver (a rigctld on the network, or a
// Hamlib rig model on a serial port, its models listed by maker and name
// and searchable) and what it does: Fo following the rig's CW pitch, the
// output lowered while the rig transmits and for how long after. The
// setting's text stays editable below the fields, so a value that does
// not parse is shown as it is, for the user to mend.

#include <QDialog>
#include <string>
#include <vector>

#include "control/RigLink.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QSpinBox;
class QStackedWidget;

class TRigDlg : public QDialog {
 public:
  TRigDlg(bool japanese, QWidget* parent = nullptr);

  // What is in force; pttReadable false greys the transmit options (a link
  // that is up and says it cannot tell when the rig transmits).
  void SetChoice(const std::string& rigSpec, bool followPitch, int txMuteDb, int txHangMs, bool pttReadable);
  std::string RigText() const;
  bool FollowPitch() const;
  int TxMuteDb() const;  // 0 off
  int TxHangMs() const;

  QComboBox* KindBox = nullptr;  // off, rigctld, serial rig
  QLineEdit* HostEdit = nullptr;
  QSpinBox* PortBox = nullptr;
  QLineEdit* SearchEdit = nullptr;
  QListWidget* ModelList = nullptr;
  QLineEdit* DeviceEdit = nullptr;
  QComboBox* BaudBox = nullptr;
  QLineEdit* SpecEdit = nullptr;  // the setting's text
  QLabel* SpecProblem = nullptr;
  QCheckBox* FollowBox = nullptr;
  QCheckBox* MuteBox = nullptr;
  QSpinBox* MuteDbBox = nullptr;
  QSpinBox* HangBox = nullptr;

 private:
  void FieldsChanged();  // the fields into the text
  void TextEdited();     // a text that parses into the fields
  void Filter(const QString& text);
  void SelectModel(int model);
  void ShowKind();

  bool japanese_;
  bool filling_ = false;
  std::vector<RigModelInfo> models_;
  QStackedWidget* pages_ = nullptr;
};
