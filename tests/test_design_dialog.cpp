// The design dialog driven through its widgets, opened by the main window's
// buttons on the simulated card.

#include <gtest/gtest.h>

#include <QButtonGroup>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "app/DesignDlg.h"
#include "signal/Presets.h"
#include "support/AppTestUtil.h"

namespace {

using namespace apptest;
using testutil::ReadText;
using testutil::WriteText;

// Opens the dialog with a button of the main window and runs `body` on it
// in place of the modal loop; the dialog then closes as its buttons left it
// (accepted by Assign, anything else counts as Cancel).
void WithDialog(App& app, QPushButton* button, const std::function<void(TDesignDlg&)>& body) {
  bool ran = false;
  app.w->executeDesign = [&](TDesignDlg& dlg, CFilter* thread, int mode, const QString& name) {
    dlg.Begin(thread, mode, name);
    body(dlg);
    ran = true;
    return dlg.Finish(dlg.result() == QDialog::Accepted);
  };
  QTest::mouseClick(button, Qt::LeftButton);
  app.w->executeDesign = nullptr;
  EXPECT_TRUE(ran);
}

void Type(QLineEdit* edit, const char* text) { edit->setText(QString::fromUtf8(text)); }

double LiveToneLevel(App& app) {
  app.sim.RecordPlayback(16384);
  EXPECT_TRUE(Pump([&] { return app.sim.Played().size() >= 16384; }, 20000));
  const std::vector<std::int16_t> played = app.sim.Played();
  const std::vector<double> tail(played.begin() + 8192, played.end());
  return testutil::ToneAmplitude(tail, 0, 700.0) / 8000.0;
}

TEST(DesignDialog, DesignsAUserSlotWhileTheSlotPlays) {
  App app;
  app.Click(10);  // BP200 in force
  app.w->EntFilterSel->setEditText("User4");
  FilterDefinition bp200;
  bp200 = Live(app);

  WithDialog(app, app.w->EntBtn, [&](TDesignDlg& d) {
    EXPECT_EQ(d.windowTitle(), "Filter Design - User4");
    EXPECT_TRUE(SameDefinition(Live(app), app.w->session->UserSlot(3))) << "the slot plays";
    EXPECT_TRUE(d.OKBtn->isVisible() || !d.isVisible());
    EXPECT_EQ(d.changed, 0) << "filling the controls is no edit";
    d.filTypeGroup->button(FilterType::LPF)->click();
    d.overSmpGroup->button(0)->click();
    Type(d.EditTap, "128");
    Type(d.EditFCL, "300");
    Type(d.EditATT, "60");
    Type(d.EditGAIN, "1");
    EXPECT_EQ(d.changed, 1);
    QTest::mouseClick(d.DesBtn, Qt::LeftButton);
    EXPECT_EQ(d.changed, 0);
    EXPECT_TRUE(SameDefinition(Live(app), d.workFilter)) << "heard at once";
    EXPECT_LT(LiveToneLevel(app), 0.01) << "700 Hz through a 300 Hz low-pass";
    QTest::mouseClick(d.OKBtn, Qt::LeftButton);
  });

  const FilterDefinition& slot = app.w->session->UserSlot(3);
  EXPECT_EQ(slot.params.type, FilterType::LPF);
  EXPECT_EQ(slot.tap, 128);
  EXPECT_EQ(slot.params.fcl, 300.0);
  EXPECT_EQ(app.w->session->Select(), 10);
  EXPECT_TRUE(SameDefinition(Live(app), bp200)) << "BP200 is back in force";
  EXPECT_FALSE(app.w->busy);
}

TEST(DesignDialog, CancelRestoresTheLiveFilterAndTheSlot) {
  App app;
  app.Click(14);  // User2 in force
  app.w->EntFilterSel->setEditText("User2");
  FilterDefinition before;
  before = app.w->session->UserSlot(1);
  WithDialog(app, app.w->EntBtn, [&](TDesignDlg& d) {
    for (const char* fcl : {"500", "800", "1200"}) {
      d.filTypeGroup->button(FilterType::HPF)->click();
      Type(d.EditFCL, fcl);
      d.DesBtnClick();
      EXPECT_EQ(Live(app).params.fcl, std::stod(fcl));
    }
    QTest::mouseClick(d.ThBtn, Qt::LeftButton);
    EXPECT_EQ(Live(app).tap, 0) << "TH passes the audio unfiltered";
    QTest::mouseClick(d.ThBtn, Qt::LeftButton);
    EXPECT_TRUE(SameDefinition(Live(app), d.workFilter));
    // A design made while TH is down waits for TH to come up.
    QTest::mouseClick(d.ThBtn, Qt::LeftButton);
    Type(d.EditFCL, "300");
    d.DesBtnClick();
    EXPECT_EQ(Live(app).tap, 0);
    QTest::mouseClick(d.ThBtn, Qt::LeftButton);
    EXPECT_EQ(Live(app).params.fcl, 300.0);
    QTest::mouseClick(d.CancelBtn, Qt::LeftButton);
  });
  EXPECT_TRUE(SameDefinition(app.w->session->UserSlot(1), before));
  EXPECT_TRUE(SameDefinition(Live(app), before));
}

TEST(DesignDialog, AssignAsksWhenChangesWereNotDesigned) {
  App app;
  // No edit: closes at once, asks nothing.
  WithDialog(app, app.w->EntBtn, [&](TDesignDlg& d) {
    QTest::mouseClick(d.OKBtn, Qt::LeftButton);
    EXPECT_EQ(d.result(), QDialog::Accepted);
  });
  EXPECT_TRUE(app.boxes.Texts().empty());

  const std::string question = "TARVIK|You did not push 'DO' button.\r\n\r\nIs it OK change assignment?";
  WithDialog(app, app.w->EntBtn, [&](TDesignDlg& d) {
    d.filTypeGroup->button(FilterType::BPF)->click();
    Type(d.EditTap, "64");
    Type(d.EditFCL, "600");
    Type(d.EditFCH, "900");
    app.boxes.answer = false;
    d.OKBtnClick();
    EXPECT_NE(d.result(), QDialog::Accepted) << "No stays in the dialog";
    EXPECT_TRUE(SameDefinition(d.workFilter, app.w->session->UserSlot(0))) << "and designs nothing";
    // Yes with a value the design refuses: the warning, and still open.
    Type(d.EditATT, "0");
    app.boxes.answer = true;
    d.OKBtnClick();
    EXPECT_NE(d.result(), QDialog::Accepted);
    Type(d.EditATT, "50");
    d.OKBtnClick();
    EXPECT_EQ(d.result(), QDialog::Accepted);
  });
  const std::vector<std::string> texts = app.boxes.Texts();
  ASSERT_EQ(texts.size(), 4u);
  EXPECT_EQ(texts[0], question);
  EXPECT_EQ(texts[1], question);
  EXPECT_EQ(texts[2], "Stop|Incorrect data for design");
  EXPECT_EQ(texts[3], question);
  EXPECT_EQ(app.w->session->UserSlot(0).params.type, FilterType::BPF);
  EXPECT_EQ(app.w->session->UserSlot(0).params.fch, 900.0);
  EXPECT_EQ(app.w->session->UserSlot(0).params.att, 50.0);
}

TEST(DesignDialog, DoShowsWhatWasUsedOrWarns) {
  App app;
  WithDialog(app, app.w->EntBtn, [&](TDesignDlg& d) {
    d.filTypeGroup->button(FilterType::BPF)->click();
    Type(d.EditTap, "600");
    Type(d.EditFCL, "3000");
    Type(d.EditFCH, "300");
    d.DesBtnClick();
    EXPECT_EQ(d.EditTap->text(), "512");
    EXPECT_EQ(d.EditFCL->text(), "300");
    EXPECT_EQ(d.EditFCH->text(), "3000");
    EXPECT_TRUE(d.HFileBtn->isEnabled());

    d.overSmpGroup->button(1)->click();
    Type(d.EditTap, "100");
    d.DesBtnClick();  // 3000 Hz is too high at 5512.5 Hz
    EXPECT_EQ(d.changed, 1) << "a refused design keeps the change pending";
    EXPECT_EQ(Live(app).overSmp, 1) << "the live filter is unchanged";

    Type(d.EditTap, "0");
    d.DesBtnClick();
    EXPECT_EQ(d.filTypeGroup->checkedId(), FilterType::User);
    EXPECT_EQ(d.overSmpGroup->checkedId(), 0);
    EXPECT_FALSE(d.HFileBtn->isEnabled()) << "no coefficients to write";
    EXPECT_FALSE(d.EditFCL->isEnabled()) << "a User filter's fields are for show";
    EXPECT_EQ(Live(app).tap, 0);
  });
  const std::vector<std::string> texts = app.boxes.Texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], "Stop|The cut-off F is too high   \n");
}

TEST(DesignDialog, LmsFieldsTakeThePlacesOfTheBandEdges) {
  for (bool japanese : {false, true}) {
    App app(japanese ? TMainWnd::Language::Japanese : TMainWnd::Language::English);
    app.Click(23);  // LMSBP
    WithDialog(app, app.w->EntBtn, [&](TDesignDlg& d) {
      d.filTypeGroup->button(FilterType::LMS)->click();
      EXPECT_EQ(d.LFCL->text(), "Delay");
      EXPECT_EQ(d.LFCH->text(), QString::fromUtf8(japanese ? "2μ" : "2µ"));
      EXPECT_EQ(d.LATT->text(), QString::fromUtf8(japanese ? "γ" : "Gm"));
      EXPECT_FALSE(d.EditFCL->isVisibleTo(&d));
      EXPECT_TRUE(d.EditDelay->isVisibleTo(&d));
      EXPECT_TRUE(d.LmsAGC->isVisibleTo(&d));
      EXPECT_TRUE(d.EditMU2->isEnabled());
      d.filTypeGroup->button(FilterType::LPF)->click();
      EXPECT_EQ(d.LATT->text(), QString::fromUtf8(japanese ? "減衰量" : "Loss"));
      EXPECT_EQ(d.LGAIN->text(), "Gain");
      EXPECT_FALSE(d.EditFCH->isEnabled()) << "an LPF has no upper edge";
      EXPECT_FALSE(d.EditDelay->isVisibleTo(&d));
      EXPECT_EQ(d.DesBtn->text(), QString::fromUtf8(japanese ? "更新" : "DO"));
      EXPECT_EQ(d.OKBtn->text(), QString::fromUtf8(japanese ? "登録" : "Assign"));
      EXPECT_EQ(d.windowTitle(),
                QString::fromUtf8(japanese ? "フィルタ設計 - User1" : "Filter Design - User1"));

      d.filTypeGroup->button(FilterType::LMS)->click();
      Type(d.EditTap, "64");
      Type(d.EditDelay, "20");
      Type(d.EditMU2, "0.01");
      d.LmsInv->setChecked(true);
      d.DesBtnClick();
      const FilterDefinition live = Live(app);
      EXPECT_EQ(live.params.type, FilterType::LMS);
      EXPECT_EQ(live.lmsDelay, 20);
      EXPECT_EQ(live.lmsMU2, 0.01);
      EXPECT_EQ(live.lmsInv, 1);
      QTest::mouseClick(d.CancelBtn, Qt::LeftButton);
    });
  }
}

TEST(DesignDialog, ThePlotFollowsTheAdaptingWeightsUnlessThrough) {
  App app;
  app.Click(23);  // LMSBP adapts to the 700 Hz tone
  WithDialog(app, app.w->DispBtn, [&](TDesignDlg& d) {
    auto weights = [&] {
      double sum = 0.0;
      for (int i = 0; i <= d.workFilter.tap; ++i) sum += std::fabs(d.workFilter.h[i]);
      return sum;
    };
    EXPECT_EQ(weights(), 0.0) << "the copy starts from zero weights";
    EXPECT_TRUE(Pump([&] { return weights() > 0.0; }, 5000)) << "the timer copies the live weights";
    QTest::mouseClick(d.ThBtn, Qt::LeftButton);
    PumpFor(300);
    const double held = weights();
    PumpFor(300);
    EXPECT_EQ(weights(), held) << "with TH down the plot stays";
  });
  EXPECT_EQ(Live(app).params.type, FilterType::LMS) << "closing restores the LMS filter";
}

TEST(DesignDialog, CharacteristicModeIsReadOnlyAndGivesTheFilterBack) {
  App app;
  app.Click(7);  // BP500
  FilterDefinition bp500;
  bp500 = Live(app);
  WithDialog(app, app.w->DispBtn, [&](TDesignDlg& d) {
    EXPECT_EQ(d.windowTitle(), "Filter characteristic - BP500");
    EXPECT_FALSE(d.OKBtn->isVisibleTo(&d));
    EXPECT_EQ(d.CancelBtn->text(), "Close");
    EXPECT_FALSE(d.DesBtn->isEnabled());
    EXPECT_FALSE(d.FilType->isEnabled());
    EXPECT_FALSE(d.OverSmp->isEnabled());
    EXPECT_FALSE(d.LoadBtn->isEnabled());
    EXPECT_FALSE(d.EditTap->isEnabled());
    EXPECT_TRUE(d.SaveBtn->isEnabled());
    EXPECT_TRUE(d.ThBtn->isEnabled());
    EXPECT_EQ(d.EditFCL->text(), "450");
    EXPECT_EQ(d.EditFCH->text(), "950");
    QTest::mouseClick(d.ThBtn, Qt::LeftButton);
    EXPECT_EQ(Live(app).tap, 0);
  });
  EXPECT_TRUE(SameDefinition(Live(app), bp500));
  EXPECT_EQ(app.w->session->Select(), 7);
}

TEST(DesignDialog, SpectrumWidthOf4KShowsAs3KAndComesBack) {
  App app;
  app.w->fftfwGroup->button(3)->click();
  ASSERT_EQ(app.w->Engine()->FftWidth(), 3);
  WithDialog(app, app.w->DispBtn, [&](TDesignDlg& d) {
    EXPECT_EQ(d.fftfwGroup->checkedId(), 2);
    EXPECT_EQ(app.w->Engine()->FftWidth(), 2);
    d.fftselGroup->button(2)->click();
  });
  EXPECT_EQ(app.w->Engine()->FftWidth(), 3);
  EXPECT_EQ(app.w->fftfwGroup->checkedId(), 3);
  EXPECT_EQ(app.w->Engine()->FftMode(), 2) << "the dialog's spectrum switch stays";
  EXPECT_EQ(app.w->fftswGroup->checkedId(), 2);

  WithDialog(app, app.w->DispBtn, [&](TDesignDlg& d) { d.fftfwGroup->button(0)->click(); });
  EXPECT_EQ(app.w->Engine()->FftWidth(), 0) << "a width picked in the dialog stays";
  EXPECT_EQ(app.w->fftfwGroup->checkedId(), 0);
}

// The file dialogs are answered by the test: each request is recorded and
// answered with the next path (an empty path cancels).
struct FileAnswers {
  std::vector<TDesignDlg::FileRequest> requests;
  std::vector<QString> paths;
  void Install(TDesignDlg& d) {
    d.chooseFile = [this](QWidget*, const TDesignDlg::FileRequest& r) {
      requests.push_back(r);
      if (paths.empty()) return QString();
      QString p = paths.front();
      paths.erase(paths.begin());
      return p;
    };
  }
};

// A coefficient file that cannot be created: the dialog shows the reason.
TEST(DesignDialog, RefusedCoefficientFileShowsTheErrorBox) {
  App app;
  FileAnswers files;
  WithDialog(app, app.w->EntBtn, [&](TDesignDlg& d) {
    files.Install(d);
    files.paths = {QString::fromStdString(app.dir.File("missing/HData.txt"))};
    d.HFileBtnClick();
  });
  EXPECT_EQ(app.boxes.Texts(), std::vector<std::string>{"!!!|ファイルが作成できません."});
}

// Regression: a 1400-1600 Hz design at X3 played 34 dB down (the rate
// change's own 1300 Hz low-pass) while the plot showed 0 dB and nothing
// said why. Now the plot is what plays and a note says what X3 passes.
TEST(DesignDialog, SaysWhenTheBandIsBeyondWhatTheOversamplingPasses) {
  App app;
  WithDialog(app, app.w->EntBtn, [&](TDesignDlg& d) {
    struct Case {
      int type, ratioIndex;
      const char *fcl, *fch;
      bool note;
    } cases[] = {{FilterType::BPF, 2, "1400", "1600", true}, {FilterType::BPF, 2, "500", "900", false},
                 {FilterType::HPF, 1, "1000", "1000", true}, {FilterType::BPF, 1, "500", "2400", false},
                 {FilterType::BPF, 0, "1400", "1600", false}};
    for (const Case& c : cases) {
      d.filTypeGroup->button(c.type)->click();
      d.overSmpGroup->button(c.ratioIndex)->click();
      Type(d.EditFCL, c.fcl);
      Type(d.EditFCH, c.fch);
      d.DesBtnClick();
      EXPECT_EQ(!d.passNote.isEmpty(), c.note) << c.ratioIndex << " " << c.fcl << ".." << c.fch;
    }
    QTest::mouseClick(d.CancelBtn, Qt::LeftButton);
  });
}

TEST(DesignDialog, SaveLoadAndCoefficientFiles) {
  App app;
  const QString exeDir = QString::fromStdString(app.dir.Path() + "/");
  const std::string other = app.dir.File("defs");
  const std::string coefs = app.dir.File("coefs");
  QDir().mkpath(QString::fromStdString(other));
  QDir().mkpath(QString::fromStdString(coefs));
  FileAnswers files;
  std::string savedText;

  WithDialog(app, app.w->EntBtn, [&](TDesignDlg& d) {
    files.Install(d);
    d.filTypeGroup->button(FilterType::BEF)->click();
    Type(d.EditTap, "96");
    Type(d.EditFCL, "1000");
    Type(d.EditFCH, "1400");
    d.overSmpGroup->button(1)->click();
    d.DesBtnClick();

    files.paths = {QString(), QString::fromStdString(other + "/notch.def")};
    d.SaveBtnClick();  // cancelled: nothing, not even the directory
    d.SaveBtnClick();
    savedText = ReadText(other + "/notch.def");

    files.paths = {QString::fromStdString(coefs + "/HData.txt")};
    d.HFileBtnClick();
    EXPECT_EQ(ReadText(coefs + "/HData.txt"), d.workFilter.CoefFileText());

    // Something else, then LOAD brings the saved notch back and plays it.
    d.filTypeGroup->button(FilterType::LPF)->click();
    Type(d.EditFCL, "500");
    d.DesBtnClick();
    files.paths = {QString::fromStdString(other + "/notch.def")};
    d.LoadBtnClick();
    EXPECT_EQ(d.filTypeGroup->checkedId(), FilterType::BEF);
    EXPECT_EQ(d.EditFCH->text(), "1400");
    EXPECT_EQ(d.overSmpGroup->checkedId(), 1);
    EXPECT_TRUE(SameDefinition(Live(app), d.workFilter));
    EXPECT_EQ(Live(app).params.type, FilterType::BEF);
    // The loaded values differ from those shown before, so Assign asks first.
    app.boxes.answer = true;
    QTest::mouseClick(d.OKBtn, Qt::LeftButton);
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_EQ(app.boxes.Texts().size(), 1u);
  });
  EXPECT_NE(savedText.find("[UserSetup]"), std::string::npos);
  EXPECT_EQ(app.w->session->UserSlot(0).params.type, FilterType::BEF);

  ASSERT_EQ(files.requests.size(), 4u);
  const TDesignDlg::FileRequest& save = files.requests[0];
  EXPECT_TRUE(save.save);
  EXPECT_EQ(save.title, "Save Filter define");
  EXPECT_EQ(save.filter, "LUMBRA Filter files(*.def)");
  EXPECT_EQ(save.fileName, "UserSet");
  EXPECT_EQ(save.defaultSuffix, "def");
  EXPECT_EQ(save.directory, exeDir);
  EXPECT_EQ(files.requests[1].directory, exeDir) << "a cancelled save keeps the directory";
  const TDesignDlg::FileRequest& coef = files.requests[2];
  EXPECT_EQ(coef.title, "Save Coefficient file");
  EXPECT_EQ(coef.filter, "Text files(*.txt)");
  EXPECT_EQ(coef.fileName, "HData");
  EXPECT_EQ(coef.defaultSuffix, "txt");
  EXPECT_EQ(coef.directory, exeDir);
  const TDesignDlg::FileRequest& load = files.requests[3];
  EXPECT_FALSE(load.save);
  EXPECT_EQ(load.title, "Load Filter define");
  EXPECT_EQ(load.fileName, "");
  EXPECT_EQ(load.directory, QString::fromStdString(other + "/")) << "the directory chosen last";
  EXPECT_EQ(app.w->session->DefDir(), other + "/");
  EXPECT_EQ(app.w->session->HDir(), coefs + "/") << "independent directories";

  // The directories persist with the settings.
  ASSERT_TRUE(app.w->SaveSettings());
  const std::string ini = ReadText(app.Ini());
  EXPECT_NE(ini.find("DefDir=" + other + "/"), std::string::npos);
  EXPECT_NE(ini.find("HDir=" + coefs + "/"), std::string::npos);
}

TEST(DesignDialog, LoadRefusesAFileWithoutADefinition) {
  App app;
  const std::string bad = app.dir.File("bad.def");
  const std::string broken = app.dir.File("broken.def");
  WriteText(bad, "just some text\n");
  WriteText(broken, "[UserSetup]\nType=9\nTap=64\n");
  FileAnswers files;
  WithDialog(app, app.w->EntBtn, [&](TDesignDlg& d) {
    files.Install(d);
    FilterDefinition before;
    before = d.workFilter;
    for (const std::string& path : {bad, broken}) {
      files.paths = {QString::fromStdString(path)};
      d.LoadBtnClick();
      EXPECT_TRUE(SameDefinition(d.workFilter, before)) << path;
      EXPECT_EQ(d.busy, 0);
    }
  });
  const std::vector<std::string> texts = app.boxes.Texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], "Stop|" + bad + " is not a filter definition file Tarvik can use.");
  EXPECT_EQ(texts[1], "Stop|" + broken + " is not a filter definition file Tarvik can use.");
}

TEST(DesignDialog, ShowNamesThePresetInForce) {
  for (auto language : {TMainWnd::Language::English, TMainWnd::Language::Japanese}) {
    App app(language);
    const bool en = language == TMainWnd::Language::English;
    struct Case {
      int code;
      const char* en;
      const char* ja;
    } cases[] = {{0, "Filter characteristic - TH", "フィルタ特性 - スルー"},
                 {26, "Filter characteristic - LMSAN", "フィルタ特性 - LMSAN"},
                 {17, "Filter characteristic - User5", "フィルタ特性 - User5"}};
    for (const Case& c : cases) {
      if (c.code != 0) app.Click(c.code);
      WithDialog(app, app.w->DispBtn, [&](TDesignDlg& d) {
        EXPECT_EQ(d.windowTitle(), QString::fromUtf8(en ? c.en : c.ja));
        EXPECT_EQ(d.CancelBtn->text(), QString::fromUtf8(en ? "Close" : "閉じる"));
      });
    }
  }
}

// The real modal loop, closed by its Cancel button from a timer.
TEST(DesignDialog, ExecuteRunsModallyAndClosesByCancel) {
  App app;
  app.Click(20);  // 2.2K
  FilterDefinition before;
  before = Live(app);
  QString title;
  QTimer::singleShot(300, [&] {
    if (auto* d = dynamic_cast<TDesignDlg*>(QApplication::activeModalWidget())) {
      title = d->windowTitle();
      d->ThBtn->click();
      d->CancelBtn->click();
    }
  });
  QTest::mouseClick(app.w->DispBtn, Qt::LeftButton);
  EXPECT_EQ(title, "Filter characteristic - 2.2K");
  EXPECT_TRUE(SameDefinition(Live(app), before));
  EXPECT_EQ(app.w->busy, 0);
}

}  // namespace

namespace {

// Pictures of the dialog for a look by eye (build/pictures).
TEST(DesignDialog, Pictures) {
  for (auto language : {TMainWnd::Language::English, TMainWnd::Language::Japanese}) {
    App app(language);
    app.Click(24);  // LMSB2
    app.w->fftswGroup->button(1)->click();
    const bool en = language == TMainWnd::Language::English;
    WithDialog(app, app.w->EntBtn, [&](TDesignDlg& d) {
      d.show();
      d.filTypeGroup->button(FilterType::BPF)->click();
      d.overSmpGroup->button(1)->click();
      Type(d.EditTap, "256");
      Type(d.EditFCL, "600");
      Type(d.EditFCH, "900");
      d.DesBtnClick();
      PumpFor(1500);
      const QString dir = QStringLiteral(TARVIK_PICTURE_DIR);
      QDir().mkpath(dir);
      EXPECT_TRUE(d.grab().save(dir + (en ? "/design-dialog-en.png" : "/design-dialog-ja.png")));
      d.filTypeGroup->button(FilterType::LMS)->click();
      PumpFor(200);
      EXPECT_TRUE(d.grab().save(dir + (en ? "/design-dialog-lms-en.png" : "/design-dialog-lms-ja.png")));
    });
  }
}

}  // namespace
