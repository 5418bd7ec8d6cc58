#include "Gui/MainWindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QCursor>
#include <QDesktopServices>
#include <QFileDialog>
#include <QGuiApplication>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStorageInfo>
#include <QStyle>
#include <QTableView>
#include <QToolButton>
#include <QUrlQuery>
#include <QVBoxLayout>

#include <cstdio>

#include "Converter/FFmpegConverter.h"
#include "Core/BatchEta.h"
#include "Core/DvdPresets.h"
#include "Core/FileNames.h"
#include "Core/MenuLayout.h"
#include "Core/Product.h"
#include "Gui/DiscGroup.h"
#include "Gui/DiscUsageBar.h"
#include "Gui/TrackRow.h"
#include "Gui/InputListModel.h"
#include "Gui/MenuPreview.h"
#include "Gui/NotificationSound.h"
#include "Gui/PreviewDialog.h"
#include "Gui/SettingsDialog.h"
#include "Gui/TrimPage.h"
#include "Logger/FFmpegLogger.h"
#include "Platform/FileUtils.h"

namespace qm {

namespace {

constexpr int ClientWidth = 704;
// Taller than the list, presets and convert groups alone by the disc's usage bar and group.
constexpr int ClientHeight = 513 + 140;

QString Q(const std::string& AText) { return QString::fromStdString(AText); }

// The files of a drop, with their whole paths.
QStringList LocalNames(const QMimeData& AData) {
    QStringList names;
    for (const QUrl& url : AData.urls())
        if (url.isLocalFile() && !url.toLocalFile().isEmpty())
            names << url.toLocalFile();
    return names;
}

QPushButton* ButtonFor(QAction* AAction, QWidget* AParent) {
    auto* button = new QPushButton(AAction->text(), AParent);
    QObject::connect(button, &QPushButton::clicked, AAction, &QAction::trigger);
    QObject::connect(AAction, &QAction::enabledChanged, button, &QWidget::setEnabled);
    button->setEnabled(AAction->isEnabled());
    return button;
}

} // namespace

QString OpenDialogFilter() {
    return QStringLiteral("Video Files (*.AVI *.AVM *.ASF *.WMV *.AVS *.FLV *.MKV *.MOV *.3GP *.MP4 "
                          "*.MPG *.MPEG *.DAT *.OGM *.VOB *.RM *.RMVB *.TS *.TP *.IFO *.NSV);;"
                          "All Files (*)");
}

bool IsFolderOnCdRom(const QString& AFolder) {
    const QStorageInfo storage(AFolder);
    if (!storage.isValid())
        return false;
    const QByteArray type = storage.fileSystemType().toLower();
    const QByteArray device = storage.device();
    return type == "iso9660" || type == "udf" || device.startsWith("/dev/sr") ||
           device.startsWith("/dev/cdrom");
}

QString BatchFailureText(const TBatchResult& AResult) {
    QStringList failed;
    for (const TBatchFile& f : AResult.Files)
        if (!f.Error.empty())
            failed << Q(f.FileName) + ": " + Q(f.Error);
    QString text;
    if (!AResult.Authored) {
        text = QStringLiteral("The DVD folder was not made.");
        if (!AResult.Error.empty())
            text += "\n" + Q(AResult.Error);
    }
    if (!failed.isEmpty()) {
        if (!text.isEmpty())
            text += "\n\n";
        text += AResult.Authored ? QStringLiteral("These files are not on the disc:")
                                 : QStringLiteral("These files could not be converted:");
        text += "\n" + failed.join("\n");
    }
    for (const std::string& note : AResult.Notes)
        text += (text.isEmpty() ? "" : "\n\n") + Q(note);
    return text;
}

QUrl SupportMailUrl() {
    QUrl url(QStringLiteral("mailto:") + product::SupportEmail);
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("subject"), product::Caption);
    query.addQueryItem(QStringLiteral("Body"), product::EmailBody);
    url.setQuery(query);
    return url;
}

TWindowServices DesktopServices() {
    TWindowServices s;
    s.ChooseFiles = [](QWidget* AParent) {
        return QFileDialog::getOpenFileNames(AParent, QString(), QString(), OpenDialogFilter());
    };
    s.ChooseFolder = [](QWidget* AParent) {
        return QFileDialog::getExistingDirectory(AParent, QStringLiteral("Select Output Folder"),
                                                 QString(), QFileDialog::ShowDirsOnly);
    };
    s.IsOnCdRom = IsFolderOnCdRom;
    s.ShowMessage = [](QWidget* AParent, QMessageBox::Icon AIcon, const QString& AText,
                       QMessageBox::StandardButtons AButtons) {
        QMessageBox box(AIcon, product::Name, AText, AButtons, AParent);
        return static_cast<QMessageBox::StandardButton>(box.exec());
    };
    s.OpenUrl = [](const QUrl& AUrl) { QDesktopServices::openUrl(AUrl); };
    s.PlaySound = [](const std::string& AWaveFile) {
        std::string error;
        if (!PlayNotificationSound(AWaveFile, error))
            Log(nullptr, llWarning, error);
    };
    return s;
}

TMainWindow::TMainWindow(std::string AProgramFolder, TWindowServices AServices, QWidget* AParent)
    : QWidget(AParent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      FProgramFolder(std::move(AProgramFolder)), FServices(std::move(AServices)),
      FBatch(std::make_unique<TDvdBatch>(FProgramFolder)) {
    setObjectName("MainWindow");
    setWindowTitle(product::Caption);
    setFixedSize(ClientWidth, ClientHeight);
    const QString icon = Q(FProgramFolder) + "Data/quillmoor.png";
    if (QFile::exists(icon))
        setWindowIcon(QIcon(icon));

    FModel = new TInputListModel(this);
    CreateActions();
    CreateControls();

    FSettings = LoadSettings();
    FOutPath->setText(Q(FSettings.OutPath));
    FBatch->Converter().SetPreview(FSettings.ShowPreview);
    FDisc->Load(FSettings);
    connect(FDisc, &TDiscGroup::Changed, this, [this] {
        FDisc->Store(FSettings);
        SaveSettings();
        UpdateDiscUsage();
    });
    for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
        connect(FModel, signal, this, &TMainWindow::UpdateDiscUsage);
    connect(FModel, &QAbstractItemModel::modelReset, this, &TMainWindow::UpdateDiscUsage);
    connect(FModel, &QAbstractItemModel::dataChanged, this, &TMainWindow::UpdateDiscUsage);
    connect(FPresets, &QComboBox::currentIndexChanged, this, &TMainWindow::UpdateDiscUsage);
    UpdateDiscUsage();
    FTracks->SetChoices(FSettings.Tracks);

    FBatch->OnUiState = [this](TBatchUiState AState) { SetUiState(AState); };
    FBatch->OnProgress = [this](const TBatchProgress& AProgress) { ShowProgress(AProgress); };

    SetUiState(bsIdle);
    FAddButton->setFocus();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

TMainWindow::~TMainWindow() = default;

void TMainWindow::CreateActions() {
    auto action = [this](const char* AName, const QString& ACaption, void (TMainWindow::*AHandler)()) {
        auto* a = new QAction(ACaption, this);
        a->setObjectName(AName);
        connect(a, &QAction::triggered, this, AHandler);
        return a;
    };
    FAdd = action("actAdd", "Add...", &TMainWindow::actAddExecute);
    FRemove = action("actRemove", "Remove", &TMainWindow::actRemoveExecute);
    FRemoveAll = action("actRemoveAll", "RemoveAll", &TMainWindow::actRemoveAllExecute);
    FPreview = action("actPreview", "Preview", &TMainWindow::actPreviewExecute);
    FSettingsAction = action("actSettings", "Settings...", &TMainWindow::actSettingsExecute);
    FBrowse = action("actBrowse", "Browse...", &TMainWindow::actBrowseExecute);

    FInputMenu = new QMenu(this);
    FInputMenu->setObjectName("pmInput");
    FInputMenu->addAction(FAdd);
    FInputMenu->addSeparator();
    FInputMenu->addAction(FRemove);
    FInputMenu->addAction(FRemoveAll);
    FInputMenu->addAction(FPreview);
    FInputMenu->addSeparator();
    FInputMenu->addAction(FSettingsAction);
    FInputMenu->addSeparator();
    FInputMenu->addAction(FBrowse);

    FContactMenu = new QMenu(this);
    FContactMenu->setObjectName("pmContact");
    FContactMenu->addAction("Our Site", this, [this] { OpenSite(product::SiteUrl); })->setObjectName("miOurSite");
    FContactMenu->addAction("Email", this, [this] { FServices.OpenUrl(SupportMailUrl()); })->setObjectName("miEmail");
    FContactMenu->addAction("News", this, [this] { OpenSite(product::NewsUrl); })->setObjectName("miNews");
}

void TMainWindow::CreateControls() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 6);
    layout->setSpacing(6);

    // The tool bar: one flat button at the top right.
    auto* toolBar = new QHBoxLayout;
    toolBar->addStretch();
    FContactUs = new QToolButton(this);
    FContactUs->setObjectName("tbContactUs");
    FContactUs->setText("Contact Us");
    FContactUs->setIcon(style()->standardIcon(QStyle::SP_MessageBoxInformation));
    FContactUs->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    FContactUs->setAutoRaise(true);
    FContactUs->setCursor(Qt::PointingHandCursor);
    FContactUs->setMenu(FContactMenu);
    // Pops up under the button as soon as it is pressed.
    FContactUs->setPopupMode(QToolButton::InstantPopup);
    FContactUs->setStyleSheet("QToolButton::menu-indicator { image: none; }");
    toolBar->addWidget(FContactUs);
    layout->addLayout(toolBar);

    // The input panel.
    FList = new QTableView(this);
    FList->setObjectName("lvInput");
    FList->setModel(FModel);
    FList->setShowGrid(true);
    FList->setSelectionBehavior(QAbstractItemView::SelectRows);
    FList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    // Only a row's title name can be edited (double-click or F2).
    FList->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    FList->setWordWrap(false);
    FList->setTextElideMode(Qt::ElideMiddle);
    FList->setIconSize(QSize(16, 16));
    FList->setAcceptDrops(false);
    FList->viewport()->setAcceptDrops(false);
    FList->verticalHeader()->hide();
    FList->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    QHeaderView* header = FList->horizontalHeader();
    header->setStretchLastSection(false);
    header->setSectionsMovable(false);
    header->setHighlightSections(false);
    header->resizeSection(TInputListModel::colInputFile, 395);
    header->resizeSection(TInputListModel::colTotalTime, 70);
    header->resizeSection(TInputListModel::colFileSize, 70);
    header->resizeSection(TInputListModel::colTitle, 140);
    // The selection stays visible when the list loses the focus.
    QPalette palette = FList->palette();
    palette.setColor(QPalette::Inactive, QPalette::Highlight, palette.color(QPalette::Active, QPalette::Highlight));
    palette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     palette.color(QPalette::Active, QPalette::HighlightedText));
    FList->setPalette(palette);
    // Also asked for by the Getting Started panel over the list, in other coordinates.
    connect(FList, &QWidget::customContextMenuRequested, this, [this] { FInputMenu->popup(QCursor::pos()); });
    layout->addWidget(FList, 1);

    // Covers the empty list until the first file is added.
    FGettingStarted = new QWidget(FList);
    FGettingStarted->setObjectName("pnGettingStarted");
    FGettingStarted->setAutoFillBackground(true);
    QPalette panel = FGettingStarted->palette();
    panel.setColor(QPalette::Window, palette.color(QPalette::Base));
    FGettingStarted->setPalette(panel);
    auto* started = new QVBoxLayout(FGettingStarted);
    started->setContentsMargins(40, 30, 40, 30);
    auto* title = new QLabel("Getting Started");
    QFont big = title->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 1.6);
    title->setFont(big);
    started->addWidget(title);
    started->addSpacing(12);
    started->addWidget(new QLabel("1.Click 'Add...' button to Add Files;"));
    started->addWidget(new QLabel("2.Click 'Convert' button to start converting."));
    started->addStretch();
    FList->installEventFilter(this);

    auto* listButtons = new QHBoxLayout;
    FAddButton = ButtonFor(FAdd, this);
    FAddButton->setObjectName("bbAdd");
    FRemoveButton = ButtonFor(FRemove, this);
    FRemoveButton->setObjectName("bbRemove");
    FSettingsButton = ButtonFor(FSettingsAction, this);
    FSettingsButton->setObjectName("bbSettings");
    listButtons->addWidget(FAddButton);
    listButtons->addWidget(FRemoveButton);
    listButtons->addWidget(FSettingsButton);
    listButtons->addStretch();
    layout->addLayout(listButtons);
    FDiscUsage = new TDiscUsageBar(this);
    layout->addWidget(FDiscUsage);

    auto* output = new QGroupBox("Select presets and output path", this);
    output->setObjectName("gbOutput");
    auto* outputLayout = new QGridLayout(output);
    FPresets = new QComboBox(output);
    FPresets->setObjectName("cbPreset");
    for (const TDvdPreset& preset : DvdPresets())
        FPresets->addItem(preset.ItemText);
    FPresets->setCurrentIndex(DefaultPresetIndex);
    FOutPath = new QLineEdit(output);
    FOutPath->setObjectName("edOutPath");
    // Changed through Browse only.
    FOutPath->setEnabled(false);
    FBrowseButton = ButtonFor(FBrowse, output);
    FBrowseButton->setObjectName("bbBrowse");
    outputLayout->addWidget(FPresets, 0, 0, 1, 2);
    outputLayout->addWidget(FOutPath, 1, 0);
    outputLayout->addWidget(FBrowseButton, 1, 1);
    FTracks = new TTrackRow(output);
    connect(FTracks, &TTrackRow::Changed, this, [this] {
        FSettings.Tracks = FTracks->Choices();
        SaveSettings();
    });
    outputLayout->addWidget(FTracks, 2, 0, 1, 2);
    layout->addWidget(output);
    FDisc = new TDiscGroup(this);
    connect(FDisc, &TDiscGroup::PreviewRequested, this, &TMainWindow::bbMenuPreviewClick);
    layout->addWidget(FDisc);

    auto* convert = new QGroupBox("Convert File", this);
    convert->setObjectName("gbConvert");
    auto* convertLayout = new QGridLayout(convert);
    FProgress = new QProgressBar(convert);
    FProgress->setObjectName("pbProgress");
    FProgress->setRange(0, 100);
    FProgress->setTextVisible(false);
    FProgressLabel = new QLabel(convert);
    FProgressLabel->setObjectName("lbProgress");
    FEtaLabel = new QLabel(convert);
    FEtaLabel->setObjectName("lbEta");
    FConvert = new QPushButton("Convert", convert);
    FConvert->setObjectName("bbConvert");
    FConvert->setMinimumWidth(100);
    connect(FConvert, &QPushButton::clicked, this, &TMainWindow::bbConvertClick);
    FPause = new QPushButton("Pause", convert);
    FPause->setObjectName("bbPause");
    FPause->setMaximumWidth(70);
    connect(FPause, &QPushButton::clicked, this, &TMainWindow::bbPauseClick);
    convertLayout->addWidget(FProgress, 0, 0, 1, 3);
    auto* labels = new QHBoxLayout;
    labels->addWidget(FProgressLabel);
    labels->addStretch(1);
    labels->addWidget(FEtaLabel);
    convertLayout->addLayout(labels, 1, 0);
    convertLayout->addWidget(FPause, 1, 1);
    convertLayout->addWidget(FConvert, 1, 2);
    convertLayout->setColumnStretch(0, 1);
    layout->addWidget(convert);
}

bool TMainWindow::eventFilter(QObject* AWatched, QEvent* AEvent) {
    if (AWatched == FList && AEvent->type() == QEvent::Resize)
        FGettingStarted->setGeometry(FList->rect().adjusted(1, 1, -1, -1));
    return QWidget::eventFilter(AWatched, AEvent);
}

void TMainWindow::showEvent(QShowEvent* AEvent) {
    QWidget::showEvent(AEvent);
    if (FShown)
        return;
    FShown = true;
    // Once the window is on the screen.
    QMetaObject::invokeMethod(this, &TMainWindow::LoadLibraries, Qt::QueuedConnection);
}

void TMainWindow::LoadLibraries() {
    FLibrariesLoaded = FBatch->LoadLibraries();
    if (!FLibrariesLoaded) {
        // Also for whoever started the program from a terminal.
        std::fprintf(stderr, "%s\n", FBatch->LastError().c_str());
        Message(QMessageBox::Critical, Q(FBatch->LastError()));
        close();
    }
    emit LibrariesChecked(FLibrariesLoaded);
}

void TMainWindow::closeEvent(QCloseEvent* AEvent) {
    if (FBusy) {
        // The batch ends first; Convert's handler closes the window when it returns.
        FCloseWanted = true;
        FBatch->Stop();
        AEvent->ignore();
        return;
    }
    SaveSettings();
    AEvent->accept();
}

void TMainWindow::SaveSettings() { qm::SaveSettings(FSettings); }

QMessageBox::StandardButton TMainWindow::Message(QMessageBox::Icon AIcon, const QString& AText,
                                                 QMessageBox::StandardButtons AButtons) {
    return FServices.ShowMessage(this, AIcon, AText, AButtons);
}

void TMainWindow::dragEnterEvent(QDragEnterEvent* AEvent) {
    if (Idle() && !LocalNames(*AEvent->mimeData()).isEmpty())
        AEvent->acceptProposedAction();
    else
        AEvent->ignore();
}

void TMainWindow::dragMoveEvent(QDragMoveEvent* AEvent) {
    if (Idle())
        AEvent->acceptProposedAction();
    else
        AEvent->ignore();
}

void TMainWindow::dropEvent(QDropEvent* AEvent) {
    const QStringList names = LocalNames(*AEvent->mimeData());
    if (!Idle() || names.isEmpty()) {
        AEvent->ignore();
        return;
    }
    AEvent->acceptProposedAction();
    AddFiles(names);
}

void TMainWindow::AddFiles(const QStringList& ANames) {
    if (!Idle() || ANames.isEmpty() || !FLibrariesLoaded)
        return;
    std::vector<std::string> names;
    for (const QString& name : ANames)
        names.push_back(FileNameOnDisk(name)); // the bytes of a name that is not UTF-8
    std::string unreadable;
    try {
        unreadable = FModel->Add(names, FBatch->Converter().Probe());
    } catch (const std::exception& e) {
        unreadable = e.what();
    }
    if (!unreadable.empty())
        Message(QMessageBox::Information, Q(unreadable));
    if (FModel->rowCount() > 0) {
        FGettingStarted->hide();
        if (SelectedRows().empty())
            SelectRow(FModel->rowCount() - 1);
    }
    UpdateActions();
}

std::vector<int> TMainWindow::SelectedRows() const {
    std::vector<int> rows;
    for (const QModelIndex& index : FList->selectionModel()->selectedRows())
        rows.push_back(index.row());
    return rows;
}

void TMainWindow::SelectRow(int ARow) {
    if (ARow < 0 || ARow >= FModel->rowCount())
        return;
    const QModelIndex index = FModel->index(ARow, 0);
    FList->selectionModel()->setCurrentIndex(
        index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    FList->scrollTo(index);
}

void TMainWindow::UpdateActions() {
    // The list's rules apply while idle; a running batch disables everything but Stop and Pause.
    const bool idle = Idle();
    const bool rows = FModel->rowCount() > 0;
    FAdd->setEnabled(idle);
    for (QAction* a : {FRemove, FRemoveAll, FPreview, FSettingsAction, FBrowse})
        a->setEnabled(idle && rows);
    FPresets->setEnabled(idle && rows);
    FDisc->setEnabled(idle);
    FTracks->setEnabled(idle);
    FConvert->setEnabled(FUiState == bsConverting || (idle && rows));
}

void TMainWindow::SetUiState(TBatchUiState AState) {
    FUiState = AState;
    switch (AState) {
    case bsConverting:
        FList->setContextMenuPolicy(Qt::NoContextMenu);
        FConvert->setText("Stop");
        FPause->setText(FBatch->PauseCaption());
        FPause->show();
        setAcceptDrops(false);
        break;
    case bsIdle:
        FList->setContextMenuPolicy(Qt::CustomContextMenu);
        FConvert->setText("Convert");
        FPause->hide();
        FProgressLabel->clear();
        FEtaLabel->clear();
        FProgress->setValue(0);
        setAcceptDrops(true);
        break;
    case bsAuthoring:
        FPause->hide();
        break;
    }
    UpdateActions();
    emit UiStateChanged(AState);
}

void TMainWindow::ShowProgress(const TBatchProgress& AProgress) {
    FProgress->setValue(AProgress.Position < 0 ? 0 : AProgress.Position > 100 ? 100 : AProgress.Position);
    FProgressLabel->setText(Q(AProgress.Label));
    FEtaLabel->setText(AProgress.EtaSeconds < 0 ? QString() : Q("About " + EtaText(AProgress.EtaSeconds) + " left"));
    emit ProgressShown(FProgress->value());
}

void TMainWindow::actAddExecute() {
    if (!Idle())
        return;
    AddFiles(FServices.ChooseFiles(this));
}

void TMainWindow::actRemoveExecute() {
    if (!Idle())
        return;
    const int next = FModel->Remove(SelectedRows());
    SelectRow(next);
    UpdateActions();
}

void TMainWindow::actRemoveAllExecute() {
    if (!Idle())
        return;
    FModel->Clear();
    UpdateActions();
}

int TMainWindow::CurrentRow() {
    if (SelectedRows().empty())
        SelectRow(0);
    const std::vector<int> rows = SelectedRows();
    return rows.empty() ? -1 : *std::min_element(rows.begin(), rows.end());
}

TPlayerControls::TShowMessage TMainWindow::PlayerMessage() {
    return [this](QWidget* AWindow, const QString& AText) {
        FServices.ShowMessage(AWindow, QMessageBox::Warning, AText, QMessageBox::Ok);
    };
}

void TMainWindow::actPreviewExecute() {
    if (!Idle())
        return;
    const int row = CurrentRow();
    if (row < 0)
        return;
    TPreviewDialog dialog(FModel->Items()[static_cast<size_t>(row)].FileName, FProgramFolder, PlayerMessage(), this);
    dialog.exec();
}

void TMainWindow::actSettingsExecute() {
    if (!Idle() || FModel->rowCount() == 0)
        return;
    const int row = CurrentRow();
    if (row < 0)
        return;
    TSettingsDialog dialog(this);
    auto* trim = new TTrimPage(FModel->Items()[static_cast<size_t>(row)].FileName, FProgramFolder, PlayerMessage());
    dialog.AddPage(trim, "Trim");
    dialog.SetPage(FLastSettingsPage);
    dialog.SetOpenFolder(FSettings.OpenFolder);
    dialog.SetMusicPlay(FSettings.MusicPlay);
    dialog.SetShowPreview(FSettings.ShowPreview);
    if (dialog.exec() == QDialog::Accepted) {
        FModel->SetTrim(row, trim->TrimStartMs(), trim->TrimLengthMs());
        if (dialog.OpenFolder() != FSettings.OpenFolder || dialog.MusicPlay() != FSettings.MusicPlay ||
            dialog.ShowPreview() != FSettings.ShowPreview) {
            FSettings.OpenFolder = dialog.OpenFolder();
            FSettings.MusicPlay = dialog.MusicPlay();
            FSettings.ShowPreview = dialog.ShowPreview();
            FBatch->Converter().SetPreview(FSettings.ShowPreview);
            // Kept at once: a crash must not lose them.
            SaveSettings();
        }
    }
    FLastSettingsPage = dialog.Page();
}

void TMainWindow::actBrowseExecute() {
    if (!Idle())
        return;
    const QString folder = FServices.ChooseFolder(this);
    if (folder.isEmpty())
        return;
    FOutPath->clear();
    if (FServices.IsOnCdRom(folder))
        Message(QMessageBox::Information, "Output folder cannot be located in CD-ROM.");
    else
        FOutPath->setText(Q(IncludeTrailingSlash(folder.toStdString())));
    FSettings.OutPath = FOutPath->text().toStdString();
    SaveSettings();
}

void TMainWindow::bbMenuPreviewClick() {
    auto* preview = new TMenuPreview(FModel->Items(), FPresets->currentIndex(), this);
    preview->setAttribute(Qt::WA_DeleteOnClose);
    preview->open();
}

void TMainWindow::bbConvertClick() {
    if (FUiState == bsConverting) {
        // Stop: ends the running task; the batch's wait then returns.
        FBatch->Stop();
        return;
    }
    if (!Idle() || FModel->rowCount() == 0)
        return;
    FBatch->OutPath = FSettings.OutPath;
    FBatch->PresetIndex = FPresets->currentIndex();
    FBatch->ChapterMinutes = FSettings.ChapterMinutes;
    FBatch->TitleMenu = FSettings.TitleMenu;
    FBatch->Tracks = FSettings.Tracks;
    FBatch->Overwrite = false;
    QString discError;
    if (!FDisc->DiscSettings(FSettings.OutPath, FBatch->Disc, discError)) {
        Message(QMessageBox::Warning, discError);
        return;
    }
    const std::string image = FBatch->Disc.ImageFile;
    const std::string disc = IncludeTrailingSlash(FSettings.OutPath) + "VIDEO_TS";
    if (!FSettings.OutPath.empty() && (image.empty() ? QFileInfo(Q(disc)).isDir() : QFileInfo::exists(Q(image)))) {
        if (Message(QMessageBox::Question,
                    image.empty() ? "The output folder " + Q(FSettings.OutPath) +
                                        " already holds a DVD (VIDEO_TS).\n\nReplace it with the new one?"
                                  : "The image " + Q(image) + " exists already.\n\nReplace it with the new one?",
                    QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
            return;
        FBatch->Overwrite = true;
    }
    FBusy = true;
    const std::vector<rInputStreamInfo> items = FModel->Items();
    TBatchResult result;
    try {
        result = FBatch->Convert(items);
    } catch (const std::exception& e) {
        result.Error = e.what();
    }
    FinishBatch(result);
    FBusy = false;
    SetUiState(bsIdle);
    emit BatchFinished();
    if (FCloseWanted)
        close();
}

void TMainWindow::FinishBatch(const TBatchResult& AResult) {
    // A stopped batch has removed what it wrote: nothing to tell, play or open.
    if (AResult.Stopped)
        return;
    if (AResult.Authored && FSettings.MusicPlay)
        FServices.PlaySound(FProgramFolder + "Data/click_22.wav");
    const QString failure = BatchFailureText(AResult);
    if (!failure.isEmpty())
        Message(AResult.Authored ? QMessageBox::Warning : QMessageBox::Critical, failure);
    if (AResult.Authored && FSettings.OpenFolder)
        FServices.OpenUrl(QUrl::fromLocalFile(Q(IncludeTrailingSlash(FSettings.OutPath))));
}

void TMainWindow::UpdateDiscUsage() {
    TDiscSettings disc;
    QString error;
    if (!FDisc->DiscSettings(FSettings.OutPath, disc, error)) {
        FDiscUsage->ShowError(error);
        return;
    }
    disc.MenuBytes = FSettings.TitleMenu ? TitleMenuBytes(FModel->Items().size()) : 0;
    const int preset = FPresets->currentIndex();
    FDiscUsage->ShowUsage(
        EstimateUsage(FModel->Items(), DvdPresets().at(size_t(preset < 0 ? DefaultPresetIndex : preset)), disc));
}

void TMainWindow::bbPauseClick() {
    if (FUiState != bsConverting)
        return;
    if (FBatch->Paused())
        FBatch->Resume();
    else
        FBatch->Pause();
    FPause->setText(FBatch->PauseCaption());
}

void TMainWindow::OpenSite(const char* AUrl) {
    const QString url = QString(AUrl).toLower();
    FServices.OpenUrl(url.isEmpty() ? QUrl::fromLocalFile(Q(FProgramFolder) + product::HelpFile) : QUrl(url));
}

} // namespace qm
