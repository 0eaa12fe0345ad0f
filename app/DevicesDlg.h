#pragma once
// Audio > Devices...: the input and output of the active sound backend and
// the rate to run them at. A choice is put in force at once (the audio loop
// reopens between two blocks); Close only closes.

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "audio/WaveDevice.h"

class QComboBox;
class QLabel;

class TDevicesDlg : public QDialog {
 public:
  TDevicesDlg(WaveDriver& driver, bool japanese, QWidget* parent = nullptr);

  // The choice in force; a device that is not listed (unplugged, or of
  // another backend) is shown as missing and stays selectable.
  void SetChoice(const std::string& input, const std::string& output, int rateHz);
  // Reads the device lists again (the Refresh button, and by itself when
  // the backend reports a device coming or going).
  void Refresh();

  // Called with every change the user makes.
  std::function<void(const std::string& input, const std::string& output, int rateHz)> onChoice;

  QComboBox* InputBox = nullptr;
  QComboBox* OutputBox = nullptr;
  QComboBox* RateBox = nullptr;

 private:
  void Fill(QComboBox* box, bool input, const std::string& chosen);
  void Changed();

  WaveDriver& driver_;
  bool japanese_;
  std::vector<DeviceInfo> devices_;
  std::string input_, output_;
  int rate_ = 0;
  bool filling_ = false;
  long seenEvents_ = 0;
};
