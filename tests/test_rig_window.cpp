// Audio > Rig... and the window's side of the rig link: the dialog's
// fields and text, the status bar, and Ctrl+click's zero-beat against
// Hamlib's dummy rig behind rigctld.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QSpinBox>

#include "app/RigDlg.h"
#include "app/Widgets.h"
#include "support/AppTestUtil.h"
#include "support/RigctldUtil.h"

namespace {

using apptest::App;
using apptest::Pump;

int VisibleRows(const QListWidget* list) {
  int n = 0;
  for (int i = 0; i < list->count(); ++i) n += list->item(i)->isHidden() ? 0 : 1;
  return n;
}

TEST(RigDialog, FieldsMakeTheSettingAndABadOneIsKeptToMend) {
  TRigDlg dialog(false);
  ASSERT_GT(dialog.ModelList->count(), 100) << "Hamlib's models";
  dialog.SetChoice("rigtcld:127.0.0.1", true, 0, 300, true);
  EXPECT_EQ(dialog.RigText(), "rigtcld:127.0.0.1");
  EXPECT_FALSE(dialog.SpecProblem->isHidden());
  EXPECT_TRUE(dialog.FollowPitch());
  EXPECT_EQ(dialog.TxMuteDb(), 0);
  EXPECT_EQ(dialog.TxHangMs(), 300);

  // Searching by maker and name, then the serial fields.
  dialog.KindBox->setCurrentIndex(2);
  dialog.SearchEdit->setText(QStringLiteral("icom ic-7300"));
  ASSERT_EQ(VisibleRows(dialog.ModelList), 1);
  for (int i = 0; i < dialog.ModelList->count(); ++i)
    if (!dialog.ModelList->item(i)->isHidden()) dialog.ModelList->setCurrentRow(i);
  const int model = dialog.ModelList->currentItem()->data(Qt::UserRole).toInt();
  dialog.DeviceEdit->setText(QStringLiteral("/dev/ttyUSB1"));
  dialog.BaudBox->setCurrentIndex(dialog.BaudBox->findData(19200));
  EXPECT_EQ(dialog.RigText(), "hamlib:" + std::to_string(model) + ":/dev/ttyUSB1:19200");
  EXPECT_TRUE(dialog.SpecProblem->isHidden());

  // The text typed fills the fields.
  dialog.SpecEdit->setText(QStringLiteral("rigctld:192.168.1.9:4533"));
  emit dialog.SpecEdit->textEdited(dialog.SpecEdit->text());
  EXPECT_EQ(dialog.KindBox->currentIndex(), 1);
  EXPECT_EQ(dialog.HostEdit->text(), QStringLiteral("192.168.1.9"));
  EXPECT_EQ(dialog.PortBox->value(), 4533);
  dialog.KindBox->setCurrentIndex(0);
  EXPECT_EQ(dialog.RigText(), "");

  // A rig that cannot say when it transmits: the quiet is greyed.
  TRigDlg deaf(false);
  deaf.SetChoice("rigctld:127.0.0.1:4532", false, 40, 200, false);
  EXPECT_FALSE(deaf.MuteBox->isEnabled());
  EXPECT_FALSE(deaf.MuteDbBox->isEnabled());
  EXPECT_EQ(deaf.TxMuteDb(), 40) << "kept for a rig that can";
}

TEST(RigWindow, StatusBarShowsTheRigAndCtrlClickZeroBeats) {
  REQUIRE_RIGCTLD();
  rigtest::Rigctld server(rigtest::FreePort());
  ASSERT_TRUE(server.Start());
  rigtest::Rigctl(server.Port(), "F 7030000 M CW 500 L CWPITCH 650");
  App app(TMainWnd::Language::English, false);
  testutil::WriteText(app.Ini(), "[Define]\nRig=" + server.RigText() + "\nRigFollowPitch=1\n");
  app.Start();
  TMainWnd& w = *app.w;
  ASSERT_TRUE(Pump([&] { return w.StatusRig->text() == QStringLiteral("Rig: 7030.00 kHz CW"); }, 3000))
      << w.StatusRig->text().toStdString();
  EXPECT_TRUE(Pump([&] { return w.session->Fo() == 650.0; }, 1000)) << "Fo follows the pitch";

  const int width = w.fftBitmap.width(), fftWidth = w.Engine()->FftWidth();
  const int x = SpectrumHzToX(760.0, width, fftWidth);
  const double clicked = SpectrumXToHz(x, width, fftWidth);
  QTest::mouseClick(static_cast<QWidget*>(w.PaintBoxFFT), Qt::LeftButton, Qt::ControlModifier, QPoint(x, 20));
  const std::string expected = std::to_string(static_cast<long>(std::lround(7030000 + clicked - 650))) + "\n";
  EXPECT_TRUE(Pump([&] { return rigtest::Rigctl(server.Port(), "f") == expected; }, 2000))
      << rigtest::Rigctl(server.Port(), "f");
  EXPECT_EQ(w.session->Fo(), 650.0) << "a Ctrl+click leaves Fo alone";

  // The link down says so, and the window goes on.
  server.Kill();
  EXPECT_TRUE(Pump([&] { return w.StatusRig->text() == QStringLiteral("Rig: no answer"); }, 3000))
      << w.StatusRig->text().toStdString();
}

// A long reason for a link down is shortened: the window keeps its width,
// the reason is whole in the tooltip, and the setting is kept.
TEST(RigWindow, ALongReasonKeepsTheWindowsWidth) {
  int plainWidth = 0;
  {
    App app;
    plainWidth = app.w->width();
    EXPECT_TRUE(app.w->StatusRig->isHidden()) << "no rig, no field";
  }
  App app(TMainWnd::Language::English, false);
  testutil::WriteText(app.Ini(), "[Define]\nRig=hamlib:3073:/dev/" + std::string(200, 'x') + ":9600\n");
  app.Start();
  TMainWnd& w = *app.w;
  ASSERT_TRUE(Pump([&] { return w.StatusRig->toolTip().contains(QStringLiteral("does not exist")); }, 3000))
      << w.StatusRig->toolTip().toStdString();
  EXPECT_TRUE(w.StatusRig->text().startsWith(QStringLiteral("Rig: not connected")));
  apptest::PumpFor(100);
  EXPECT_EQ(w.width(), plainWidth);
  EXPECT_EQ(w.session->Rig(), "hamlib:3073:/dev/" + std::string(200, 'x') + ":9600");
}

}  // namespace
