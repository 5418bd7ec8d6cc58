// The main window: the input list, the preset and the output folder, Convert / Stop and
// Pause / Resume with the progress of the batch, the preview window, the settings dialog with
// the trim page, and the contact menu.
//
// The window drives a TDvdBatch. Convert runs the whole batch inside its click handler;
// the batch waits in a Qt event loop (see QtMainThread.h), so that Stop, Pause, painting and
// the progress hand-overs are served meanwhile.
#pragma once

#include <QMessageBox>
#include <QStringList>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

#include "Core/AppSettings.h"
#include "Core/DvdBatch.h"
#include "Gui/PlayerControls.h"

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QTableView;
class QToolButton;

namespace qm {

class TDiscGroup;
class TDiscUsageBar;
class TTrackRow;
class TInputListModel;

// What the window asks of the desktop. Tests replace these to stand in for the user and to
// see what would have been shown or opened.
struct TWindowServices {
    // The open-file dialog; the chosen files, none when cancelled.
    std::function<QStringList(QWidget* AParent)> ChooseFiles;
    // The folder browser; the chosen folder, "" when cancelled.
    std::function<QString(QWidget* AParent)> ChooseFolder;
    // Whether AFolder lies on a CD-ROM drive.
    std::function<bool(const QString& AFolder)> IsOnCdRom;
    // A message box with the application title; the button that closed it.
    std::function<QMessageBox::StandardButton(QWidget* AParent, QMessageBox::Icon AIcon,
                                              const QString& AText, QMessageBox::StandardButtons AButtons)>
        ShowMessage;
    // A folder, a help file or a mail link, opened by the desktop.
    std::function<void(const QUrl& AUrl)> OpenUrl;
    // The notification sound; returns once it has been played.
    std::function<void(const std::string& AWaveFile)> PlaySound;
};

TWindowServices DesktopServices();

// The filter of the open-file dialog.
QString OpenDialogFilter();
// True for a folder on an optical disc (an ISO 9660 or UDF file system, or a /dev/sr* device).
bool IsFolderOnCdRom(const QString& AFolder);
// The text of the message after a batch that did not put every file on the disc; "" when it did.
QString BatchFailureText(const TBatchResult& AResult);
// The mail link of the contact menu.
QUrl SupportMailUrl();

class TMainWindow : public QWidget {
    Q_OBJECT
public:
    // AProgramFolder: where Dll/ and Data/ lie, with a trailing '/'.
    explicit TMainWindow(std::string AProgramFolder, TWindowServices AServices = DesktopServices(),
                         QWidget* AParent = nullptr);
    ~TMainWindow() override;

    // The add action with these names (a drop, or the open-file dialog's choice).
    void AddFiles(const QStringList& ANames);
    // Switches the controls between converting, idle and authoring.
    void SetUiState(TBatchUiState AState);
    void ShowProgress(const TBatchProgress& AProgress);

    TBatchUiState UiState() const { return FUiState; }
    const TAppSettings& Settings() const { return FSettings; }
    const TInputListModel& Model() const { return *FModel; }
    TDvdBatch& Batch() { return *FBatch; }
    // Whether the media libraries have been loaded (once the window was shown).
    bool LibrariesLoaded() const { return FLibrariesLoaded; }

signals:
    void LibrariesChecked(bool ALoaded);
    void UiStateChanged(int AState);
    void ProgressShown(int APosition);
    void BatchFinished();

protected:
    void showEvent(QShowEvent* AEvent) override;
    void closeEvent(QCloseEvent* AEvent) override;
    void dragEnterEvent(QDragEnterEvent* AEvent) override;
    void dragMoveEvent(QDragMoveEvent* AEvent) override;
    void dropEvent(QDropEvent* AEvent) override;
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
    void CreateActions();
    void CreateControls();
    void LoadLibraries();
    void UpdateActions();
    void SaveSettings();
    QMessageBox::StandardButton Message(QMessageBox::Icon AIcon, const QString& AText,
                                        QMessageBox::StandardButtons AButtons = QMessageBox::Ok);
    std::vector<int> SelectedRows() const;
    void SelectRow(int ARow);
    // The row that Preview and Settings work on: the first selected, after selecting the
    // first row when none is.
    int CurrentRow();
    // The message boxes of the preview window and the trim page.
    TPlayerControls::TShowMessage PlayerMessage();
    void FinishBatch(const TBatchResult& AResult);
    // The usage bar from the list, the preset and the disc group.
    void UpdateDiscUsage();

    void actAddExecute();
    void actRemoveExecute();
    void actRemoveAllExecute();
    void actPreviewExecute();
    void actSettingsExecute();
    void actBrowseExecute();
    void bbConvertClick();
    void bbMenuPreviewClick();
    void bbPauseClick();
    void OpenSite(const char* AUrl);
    // No batch and no finishing step runs: the list, the settings and Convert are the user's.
    bool Idle() const { return FUiState == bsIdle && !FBusy; }

    std::string FProgramFolder;
    TWindowServices FServices;
    std::unique_ptr<TDvdBatch> FBatch;
    TInputListModel* FModel = nullptr;
    TAppSettings FSettings;
    int FLastSettingsPage = 0;
    TBatchUiState FUiState = bsIdle;
    bool FBusy = false; // Convert's handler is running (the batch or its finishing steps)
    bool FCloseWanted = false;
    bool FShown = false;
    bool FLibrariesLoaded = false;

    QAction* FAdd = nullptr;
    QAction* FRemove = nullptr;
    QAction* FRemoveAll = nullptr;
    QAction* FPreview = nullptr;
    QAction* FSettingsAction = nullptr;
    QAction* FBrowse = nullptr;
    QMenu* FInputMenu = nullptr;
    QMenu* FContactMenu = nullptr;
    QToolButton* FContactUs = nullptr;
    QTableView* FList = nullptr;
    QWidget* FGettingStarted = nullptr;
    QPushButton* FAddButton = nullptr;
    QPushButton* FRemoveButton = nullptr;
    QPushButton* FSettingsButton = nullptr;
    QComboBox* FPresets = nullptr;
    TTrackRow* FTracks = nullptr;
    QLineEdit* FOutPath = nullptr;
    QPushButton* FBrowseButton = nullptr;
    QProgressBar* FProgress = nullptr;
    QLabel* FProgressLabel = nullptr;
    QLabel* FEtaLabel = nullptr; // "About 1:23 left"
    QPushButton* FConvert = nullptr;
    QPushButton* FPause = nullptr;
    TDiscGroup* FDisc = nullptr;
    TDiscUsageBar* FDiscUsage = nullptr;
};

} // namespace qm
