#pragma once
// TDesignDlg: the modal dialog in which the user designs a Kaiser-window FIR
// or sets up an LMS filter (design mode), or inspects the filter in force
// (characteristic mode), while the audio keeps running. Every completed
// design is heard at once; on close the live filter gets the result
// (Assign) or its definition from before the dialog (anything else).
// One object serves one opening.

#include <QDialog>
#include <QImage>
#include <QString>
#include <functional>
#include <string>

#include "draw/ResponsePlot.h"
#include "draw/SpectrumView.h"
#include "signal/FilterDefinition.h"

class CFilter;
class ImageBox;
class QButtonGroup;
class QCheckBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

class TDesignDlg : public QDialog {
 public:
  // What a file command asks of the file dialog.
  struct FileRequest {
    bool save = false;  // a save dialog asks before overwriting; an open one wants an existing file
    QString title, filter, fileName, defaultSuffix, directory;
  };
  // Returns the chosen path, or an empty text when the user cancelled.
  using FileChooser = std::function<QString(QWidget* parent, const FileRequest&)>;

  // owner: the main window, whose font face the dialog takes. defDir and
  // hDir are the owner's remembered directories (with a trailing "/"),
  // which the file commands read and update.
  TDesignDlg(QWidget* owner, bool japanese, QString& defDir, QString& hDir);
  ~TDesignDlg() override;

  // Shows the dialog modally. editMode 1 designs, 0 shows the filter in
  // force read-only; name goes into the title. True when closed by Assign.
  bool Execute(CFilter* thread, int editMode, const QString& name);
  // Execute in its two halves around the modal loop, for callers that run
  // the dialog without one.
  void Begin(CFilter* thread, int editMode, const QString& name);
  bool Finish(bool assigned);

  // --- event handlers -------------------------------------------------------
  void PaintBoxPaint();
  void UpdateUI();
  void UpdateItem();
  void DesBtnClick();
  void LoadBtnClick();
  void SaveBtnClick();
  void HFileBtnClick();
  void TimerTimer();
  void FilTypeClick();
  void ThBtnClick();
  void PaintBoxFFTPaint();
  void FFTSELClick();
  void FFTFWClick();
  void EditTapChange();
  void OKBtnClick();

  // --- fields ---------------------------------------------------------------
  int editMode = 1;
  CFilter* filterThread = nullptr;  // the engine whose live filter the dialog edits
  FilterDefinition workFilter;
  FilterDefinition savedFilter;
  int busy = 0;
  int settingUp = 1;
  int changed = 0;
  QImage plotBitmap;
  QImage fftBitmap;
  ResponseBackdrop plotBackdrop;  // what plotBitmap shows
  // Said over the plot when the design reaches beyond what the rate change
  // passes ("" otherwise).
  QString passNote;
  SpectrumBackdrop fftBackdrop;
  bool japanese = false;
  FileChooser chooseFile;  // QFileDialog unless replaced

  // --- controls -------------------------------------------------------------
  QGroupBox* FilType = nullptr;
  QButtonGroup* filTypeGroup = nullptr;
  QGroupBox* OverSmp = nullptr;
  QButtonGroup* overSmpGroup = nullptr;
  QLabel* LTap = nullptr;
  QLineEdit* EditTap = nullptr;
  QLabel* LFCL = nullptr;
  QLineEdit* EditFCL = nullptr;
  QLabel* LHz1 = nullptr;
  QLabel* LFCH = nullptr;
  QLineEdit* EditFCH = nullptr;
  QLabel* LHz2 = nullptr;
  QLabel* LATT = nullptr;
  QLineEdit* EditATT = nullptr;
  QLabel* LdB = nullptr;
  QLabel* LGAIN = nullptr;
  QLineEdit* EditGAIN = nullptr;
  QLineEdit* EditDelay = nullptr;
  QLineEdit* EditMU2 = nullptr;
  QLineEdit* EditGM = nullptr;
  QCheckBox* LmsInv = nullptr;
  QCheckBox* LmsAGC = nullptr;
  QFrame* PlotPanel = nullptr;
  ImageBox* PaintBox = nullptr;
  QFrame* FftPanel = nullptr;
  ImageBox* PaintBoxFFT = nullptr;
  QGroupBox* FFTSEL = nullptr;
  QButtonGroup* fftselGroup = nullptr;
  QGroupBox* FFTFW = nullptr;
  QButtonGroup* fftfwGroup = nullptr;
  QPushButton* DesBtn = nullptr;
  QPushButton* ThBtn = nullptr;
  QPushButton* LoadBtn = nullptr;
  QPushButton* SaveBtn = nullptr;
  QPushButton* HFileBtn = nullptr;
  QPushButton* OKBtn = nullptr;
  QPushButton* CancelBtn = nullptr;
  QTimer* Timer = nullptr;

 private:
  void BuildControls();
  void ApplyEnglishCaptions();
  // The frame of the three file commands: ask for the path (the timer rests
  // meanwhile), run the command on it, remember its directory.
  void RunFileCommand(const FileRequest& request, QString& rememberedDir,
                      const std::function<void(const std::string&)>& command);
  FileRequest DefinitionRequest(bool save) const;
  // Selects a radio button from the program, raising its handler as a click would.
  static void Select(QButtonGroup* group, int id);

  QString& defDir_;
  QString& hDir_;
  int savedWidth_ = -1;  // the owner's 4K width while the dialog shows 3K
};

// The standard file dialog for a file command.
QString ShowFileDialog(QWidget* parent, const TDesignDlg::FileRequest& request);
