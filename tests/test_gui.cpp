// The main window on the offscreen platform: the input list's add and remove rules, the
// enabling rules and the batch's states, progress, the settings and their dialog, Browse's
// CD-ROM refusal, the contact menu, a batch that fails, Stop, Pause and closing during a
// batch, the start-up without media libraries, and the main-thread hand-over underneath.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QAbstractEventDispatcher>
#include <QUrlQuery>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "Converter/FFmpegConverter.h"
#include "Core/AppSettings.h"
#include "Core/Product.h"
#include "Fixtures.h"
#include "Gui/InputListModel.h"
#include "Gui/PreviewerPlacement.h"
#include "Gui/PreviewerWindow.h"
#include "Gui/QtMainThread.h"
#include "Gui/StartupFiles.h"
#include "Gui/SettingsDialog.h"
#include "Loader/FFmpegLoader.h"
#include "Platform/MainThread.h"
#include "test_gui_support.h"

using namespace qm;
using test::Child;
using test::WhenDialogOpens;
namespace fs = std::filesystem;

namespace {

test::TPrivateHome* Home = nullptr;

std::string ProgramDir() { return IncludeTrailingSlash(test::BinDir()); }

QString Fixture(const char* AName) { return QString::fromStdString(fixtures::FixturePath(AName)); }

void WriteFile(const std::string& APath, const std::string& AText) {
    fs::create_directories(fs::path(APath).parent_path());
    std::ofstream(APath) << AText;
}

std::string ReadFile(const std::string& APath) {
    std::ifstream in(APath);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::unique_ptr<TMainWindow> OpenWindow(test::TFakeDesktop& ADesktop, const std::string& AProgramDir = ProgramDir()) {
    return test::OpenWindow(ADesktop.Services(), AProgramDir);
}

// A loaded window with AFiles listed and AOutput chosen with Browse.
std::unique_ptr<TMainWindow> WindowWritingInto(test::TFakeDesktop& ADesktop, const test::TTempDir& AOutput,
                                               const QStringList& AFiles) {
    auto w = OpenWindow(ADesktop);
    w->AddFiles(AFiles);
    ADesktop.FolderToChoose = QString::fromStdString(AOutput.Path().string());
    w->findChild<QPushButton*>("bbBrowse")->click();
    return w;
}

std::vector<int> Selected(QWidget& AWindow) {
    std::vector<int> rows;
    for (const QModelIndex& i : Child<QTableView>(AWindow, "lvInput")->selectionModel()->selectedRows())
        rows.push_back(i.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

void Select(QWidget& AWindow, const std::vector<int>& ARows) {
    auto* list = Child<QTableView>(AWindow, "lvInput");
    list->clearSelection();
    for (int r : ARows)
        list->selectionModel()->select(list->model()->index(r, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

QStringList Captions(const TMainWindow& AWindow) {
    QStringList names;
    for (const auto& item : AWindow.Model().Items())
        names << QString::fromStdString(item.FileName);
    return names;
}

const QStringList ThreeClips = {Fixture("mp4_h264_aac.mp4"), Fixture("mpeg1_mp2.mpg"),
                                Fixture("avi_mpeg4_mp3.avi")};

} // namespace

class TGuiTest : public QObject {
    Q_OBJECT
private slots:
    void init() { std::filesystem::remove(Home->SettingsFile()); }

    // First, while no media library is loaded in this process yet.
    void withoutTheMediaLibrariesTheWindowShowsTheLoaderMessageClosesAndKeepsTheSettings() {
        test::TTempDir program;
        fs::create_directories(program / "Dll");
        WriteFile(program / "Dll/libavutil.so.57", "not a library");
        test::TFakeDesktop desktop;
        auto w = OpenWindow(desktop, IncludeTrailingSlash(program.Path().string()));
        QVERIFY(!w->LibrariesLoaded());
        QCOMPARE(desktop.Messages.size(), size_t(1));
        QCOMPARE(desktop.Messages[0].Icon, QMessageBox::Critical);
        QVERIFY2(desktop.Messages[0].Text.startsWith("Load library " + QString::fromStdString(program / "Dll/libavutil.so.57") + " error: "),
                 qPrintable(desktop.Messages[0].Text));
        QVERIFY(!w->isVisible());
        QVERIFY(fs::exists(Home->SettingsFile()));
        QVERIFY(ReadFile(Home->SettingsFile()).find("MusicPlay=1") != std::string::npos);
    }

    // A broken SDL beside the program: the preview and the trim page say so, and Convert
    // still converts with the libraries the window loaded at its start.
    void aPlayerThatCannotLoadLeavesTheConverterItsLibraries() {
        GlobalLoader.UnloadLibraries({lkSDL}); // a loaded SDL would not be looked for
        test::TTempDir program, out;
        fs::create_directories(program / "Dll");
        fs::copy_file(std::string(QM_FAKE_DLL_DIR) + "/libSDL2-2.0.so.0", program / "Dll/libSDL2-2.0.so.0");
        fs::create_directory_symlink(fs::path(test::BinDir()) / "Data", program / "Data");
        test::TFakeDesktop desktop;
        auto w = OpenWindow(desktop, IncludeTrailingSlash(program.Path().string()));
        QVERIFY(w->LibrariesLoaded());
        w->AddFiles({ThreeClips[0]});
        QVERIFY(desktop.Messages.empty());
        desktop.FolderToChoose = QString::fromStdString(out.Path().string());
        Child<QPushButton>(*w, "bbBrowse")->click();

        // Closed once its message is out.
        const auto closeOnceTold = [&desktop](QWidget* ADialog, size_t AMessages) {
            QTRY_COMPARE(desktop.Messages.size(), AMessages);
            qobject_cast<QDialog*>(ADialog)->reject();
        };
        WhenDialogOpens([&](QWidget* ADialog) { closeOnceTold(ADialog, 1); });
        Child<QAction>(*w, "actPreview")->trigger();
        WhenDialogOpens([&](QWidget* ADialog) {
            Child<QTabWidget>(*ADialog, "pcSettings")->setCurrentIndex(1);
            closeOnceTold(ADialog, 2);
        });
        Child<QPushButton>(*w, "bbSettings")->click();
        QCOMPARE(desktop.Messages.size(), size_t(2));
        for (const auto& m : desktop.Messages)
            QVERIFY2(m.Text.startsWith("Load function SDL_"), qPrintable(m.Text));

        desktop.Messages.clear();
        QSignalSpy finished(w.get(), &TMainWindow::BatchFinished);
        Child<QPushButton>(*w, "bbConvert")->click();
        QCOMPARE(finished.size(), 1);
        QVERIFY2(desktop.Messages.empty(), desktop.Messages.empty() ? "" : qPrintable(desktop.Messages[0].Text));
        QVERIFY(fs::exists(out / "VIDEO_TS/VIDEO_TS.IFO"));
        for (const auto& e : fs::directory_iterator(out.Path()))
            QVERIFY2(e.path().filename().string().rfind(".quillmoor-", 0) != 0, e.path().c_str());
        GlobalLoader.UnloadLibraries({lkSDL});
    }

    // quillmoor FILE...: the files go into the list once the libraries are loaded.
    void filesNamedAtTheStartGoIntoTheList() {
        const QString clip = ThreeClips[0], other = ThreeClips[1];
        QCOMPARE(StartupFiles({"quillmoor", clip, QUrl::fromLocalFile(other).toString(), "relative name.mp4"}),
                 QStringList({clip, other, QDir::current().absoluteFilePath("relative name.mp4")}));
        QVERIFY(StartupFiles({"quillmoor"}).isEmpty());
        test::TFakeDesktop desktop;
        auto w = std::make_unique<TMainWindow>(ProgramDir(), desktop.Services());
        AddStartupFiles(*w, {clip, other});
        QSignalSpy checked(w.get(), &TMainWindow::LibrariesChecked);
        w->show();
        QVERIFY(checked.wait(20000));
        QCOMPARE(Captions(*w), QStringList({clip, other}));
        QVERIFY(desktop.Messages.empty());
    }

    void theWindowHasItsCaptionSizeAndControls() {
        test::TFakeDesktop desktop;
        auto w = OpenWindow(desktop);
        QVERIFY(w->LibrariesLoaded());
        QCOMPARE(w->windowTitle(), QString("Tarnwick Quillmoor 1.0"));
        // Taller than the list, presets and convert groups alone by the disc's usage bar and group.
        QCOMPARE(w->size(), QSize(704, 513 + 140));
        QCOMPARE(w->minimumSize(), w->maximumSize());
        QVERIFY(!(w->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(Child<QPushButton>(*w, "bbAdd")->hasFocus());

        auto* header = Child<QTableView>(*w, "lvInput")->horizontalHeader();
        QCOMPARE(header->sectionSize(0), 395);
        QCOMPARE(header->sectionSize(3), 140);
        QCOMPARE(header->sectionSize(1), 70);
        QCOMPARE(header->sectionSize(2), 70);
        const QAbstractItemModel* model = Child<QTableView>(*w, "lvInput")->model();
        QCOMPARE(model->headerData(0, Qt::Horizontal).toString(), QString("Input File"));
        QCOMPARE(model->headerData(1, Qt::Horizontal).toString(), QString("Total Time"));
        QCOMPARE(model->headerData(2, Qt::Horizontal).toString(), QString("File Size"));

        auto* presets = Child<QComboBox>(*w, "cbPreset");
        QCOMPARE(presets->count(), 8);
        QCOMPARE(presets->currentIndex(), 4);
        QCOMPARE(presets->itemText(4), QString("DVD PAL High Quality  (MPEG2,  9Mbit,  25fps,  720x576,  Audio-256Kbit)"));
        QVERIFY(!Child<QLineEdit>(*w, "edOutPath")->isEnabled());
        QVERIFY(Child<QWidget>(*w, "pnGettingStarted")->isVisible());
        QCOMPARE(Child<QGroupBox>(*w, "gbOutput")->title(), QString("Select presets and output path"));
        QCOMPARE(Child<QGroupBox>(*w, "gbConvert")->title(), QString("Convert File"));

        // The context menu in its order.
        QStringList entries;
        for (QAction* a : Child<QMenu>(*w, "pmInput")->actions())
            entries << (a->isSeparator() ? "-" : a->text());
        QCOMPARE(entries,
                 QStringList({"Add...", "-", "Remove", "RemoveAll", "Preview", "-", "Settings...", "-", "Browse..."}));
    }

    void addingSkipsDuplicatesInOtherLetterCaseAndReportsUnreadableFilesTogether() {
        test::TTempDir dir;
        const std::string notVideo = dir / "notes.avi";
        WriteFile(notVideo, "this is not a video");
        const std::string missing = dir / "gone.mp4";
        test::TFakeDesktop desktop;
        auto w = OpenWindow(desktop);
        const QString clip = Fixture("mp4_h264_aac.mp4");
        // Through the open-file dialog, then the same file again by a drop, in other letter case.
        desktop.FilesToChoose = {clip, QString::fromStdString(notVideo), QString::fromStdString(missing)};
        Child<QPushButton>(*w, "bbAdd")->click();
        QVERIFY(test::DropFiles(*w, {clip.toUpper()}));
        QCOMPARE(Captions(*w), QStringList({clip}));
        QCOMPARE(desktop.Messages.size(), size_t(1));
        QCOMPARE(desktop.Messages[0].Icon, QMessageBox::Information);
        QCOMPARE(desktop.Messages[0].Text,
                 QString::fromStdString("\n" + notVideo +
                                        ": it is not a valid video file or its format is not supported (Unknown format)\n" +
                                        missing + ": it does not exist"
                                        "\n\nWe cannot read this file. This is not a valid file or its format is not "
                                        "currently supported."));
        // The row's columns; the panel is gone and the new row selected.
        const QAbstractItemModel* model = Child<QTableView>(*w, "lvInput")->model();
        QCOMPARE(model->index(0, 1).data().toString(), QString("00:00:02"));
        QVERIFY(model->index(0, 2).data().toString().endsWith(" MB"));
        QCOMPARE(model->index(0, 2).data(Qt::TextAlignmentRole).toInt() & Qt::AlignRight, int(Qt::AlignRight));
        QVERIFY(!model->index(0, 0).data(Qt::DecorationRole).value<QIcon>().isNull());
        QVERIFY(!Child<QWidget>(*w, "pnGettingStarted")->isVisible());
        QCOMPARE(Selected(*w), std::vector<int>{0});
    }

    void removeSelectsTheRowThatTookThePlaceOfTheLowestRemoved_data() {
        QTest::addColumn<std::vector<int>>("selected");
        QTest::addColumn<std::vector<int>>("left"); // indexes into ThreeClips
        QTest::addColumn<int>("selectedAfter");
        QTest::newRow("middle") << std::vector<int>{1} << std::vector<int>{0, 2} << 1;
        QTest::newRow("last") << std::vector<int>{2} << std::vector<int>{0, 1} << 1;
        QTest::newRow("nothing selected removes the last") << std::vector<int>{} << std::vector<int>{0, 1} << 1;
        QTest::newRow("first and last") << std::vector<int>{0, 2} << std::vector<int>{1} << 0;
        QTest::newRow("all") << std::vector<int>{0, 1, 2} << std::vector<int>{} << -1;
    }
    void removeSelectsTheRowThatTookThePlaceOfTheLowestRemoved() {
        QFETCH(std::vector<int>, selected);
        QFETCH(std::vector<int>, left);
        QFETCH(int, selectedAfter);
        test::TFakeDesktop desktop;
        auto w = OpenWindow(desktop);
        w->AddFiles(ThreeClips);
        QCOMPARE(w->Model().Items().size(), size_t(3));
        Select(*w, selected);
        Child<QPushButton>(*w, "bbRemove")->click();
        QStringList expected;
        for (int i : left)
            expected << ThreeClips[i];
        QCOMPARE(Captions(*w), expected);
        QCOMPARE(Selected(*w), selectedAfter < 0 ? std::vector<int>{} : std::vector<int>{selectedAfter});
    }

    void onlyAddIsUsableWithAnEmptyListAndThePanelStaysHiddenAfterRemoveAll() {
        test::TFakeDesktop desktop;
        auto w = OpenWindow(desktop);
        auto usable = [&] {
            QStringList names;
            for (const char* n : {"actAdd", "actRemove", "actRemoveAll", "actPreview", "actSettings", "actBrowse"})
                if (Child<QAction>(*w, n)->isEnabled())
                    names << n;
            for (const char* n : {"bbAdd", "bbRemove", "bbSettings", "bbBrowse", "bbConvert", "cbPreset"})
                if (Child<QWidget>(*w, n)->isEnabled())
                    names << n;
            return names;
        };
        const QStringList onlyAdd = {"actAdd", "bbAdd"};
        QCOMPARE(usable(), onlyAdd);
        w->AddFiles({ThreeClips[0], ThreeClips[1]});
        QCOMPARE(usable().size(), 12);
        Child<QAction>(*w, "actRemoveAll")->trigger();
        QVERIFY(w->Model().Items().empty());
        QCOMPARE(usable(), onlyAdd);
        QVERIFY(!Child<QWidget>(*w, "pnGettingStarted")->isVisible());
    }

    void theBatchStatesSwitchTheControlsAndRefuseDrops() {
        test::TFakeDesktop desktop;
        auto w = OpenWindow(desktop);
        w->AddFiles({ThreeClips[0]});
        auto* convert = Child<QPushButton>(*w, "bbConvert");
        auto* pause = Child<QPushButton>(*w, "bbPause");
        auto* list = Child<QTableView>(*w, "lvInput");
        auto followers = [&] {
            return Child<QWidget>(*w, "bbRemove")->isEnabled() || Child<QWidget>(*w, "bbSettings")->isEnabled() ||
                   Child<QWidget>(*w, "cbPreset")->isEnabled() || Child<QWidget>(*w, "bbBrowse")->isEnabled();
        };
        QVERIFY(!pause->isVisible());

        w->SetUiState(bsConverting);
        QVERIFY(!Child<QWidget>(*w, "bbAdd")->isEnabled());
        QVERIFY(!followers());
        QCOMPARE(list->contextMenuPolicy(), Qt::NoContextMenu);
        QCOMPARE(convert->text(), QString("Stop"));
        QVERIFY(convert->isEnabled());
        QVERIFY(pause->isVisible());
        QCOMPARE(pause->text(), QString("Pause"));
        QVERIFY(!test::DropFiles(*w, {ThreeClips[1]}));

        w->SetUiState(bsAuthoring);
        QVERIFY(!convert->isEnabled());
        QVERIFY(!pause->isVisible());
        QVERIFY(!followers());
        QVERIFY(!test::DropFiles(*w, {ThreeClips[1]}));

        TBatchProgress p;
        p.Position = 87;
        p.Label = "Progress: 87.50%";
        w->ShowProgress(p);
        QCOMPARE(Child<QProgressBar>(*w, "pbProgress")->value(), 87);
        QCOMPARE(Child<QLabel>(*w, "lbProgress")->text(), QString("Progress: 87.50%"));

        w->SetUiState(bsIdle);
        QCOMPARE(convert->text(), QString("Convert"));
        QVERIFY(convert->isEnabled());
        QVERIFY(!pause->isVisible());
        QVERIFY(followers());
        QCOMPARE(list->contextMenuPolicy(), Qt::CustomContextMenu);
        QCOMPARE(Child<QProgressBar>(*w, "pbProgress")->value(), 0);
        QCOMPARE(Child<QLabel>(*w, "lbProgress")->text(), QString());
        QVERIFY(test::DropFiles(*w, {ThreeClips[1]}));
        QCOMPARE(w->Model().Items().size(), size_t(2));
    }

    void settingsAreReadByTheirRules_data() {
        QTest::addColumn<QString>("stored"); // the settings file; empty: none
        QTest::addColumn<QString>("outPath"); // "" is the default folder
        QTest::addColumn<bool>("openFolder");
        QTest::addColumn<bool>("musicPlay");
        QTest::addColumn<bool>("showPreview");
        QTest::newRow("first run: the preview is off") << QString() << QString() << true << true << false;
        QTest::newRow("only 0 is off")
            << "[Configuration]\nOutPath=/srv/discs/\nOpenFolder=no\nMusicPlay=0\nShowPreview=0\n" << "/srv/discs/"
            << true << false << false;
        QTest::newRow("empty OutPath") << "[Configuration]\nOutPath=\nOpenFolder=0\nMusicPlay=1\nShowPreview=yes\n"
                                       << QString() << false << true << false;
        QTest::newRow("the preview switched on") << "[Configuration]\nShowPreview=1\n" << QString() << true << true
                                                 << true;
    }
    void settingsAreReadByTheirRules() {
        QFETCH(QString, stored);
        QFETCH(QString, outPath);
        QFETCH(bool, openFolder);
        QFETCH(bool, musicPlay);
        QFETCH(bool, showPreview);
        if (!stored.isEmpty())
            WriteFile(Home->SettingsFile(), stored.toStdString());
        const QString expected = outPath.isEmpty()
                                     ? QString::fromStdString(Home->Dir() / "Desktop/Tarnwick Quillmoor/")
                                     : outPath;
        test::TFakeDesktop desktop;
        TMainWindow w(ProgramDir(), desktop.Services());
        QCOMPARE(Child<QLineEdit>(w, "edOutPath")->text(), expected);
        QCOMPARE(QString::fromStdString(w.Settings().OutPath), expected);
        QCOMPARE(w.Settings().OpenFolder, openFolder);
        QCOMPARE(w.Settings().MusicPlay, musicPlay);
        QCOMPARE(w.Settings().ShowPreview, showPreview);
        QCOMPARE(w.Batch().Converter().Preview(), showPreview);
        // Nothing is written until something changes or the window closes.
        QCOMPARE(fs::exists(Home->SettingsFile()), !stored.isEmpty());
        w.close();
        const std::string saved = ReadFile(Home->SettingsFile());
        QVERIFY(saved.find("OutPath=" + expected.toStdString()) != std::string::npos);
        QVERIFY(saved.find(std::string("OpenFolder=") + (openFolder ? "1" : "0")) != std::string::npos);
        QVERIFY(saved.find(std::string("MusicPlay=") + (musicPlay ? "1" : "0")) != std::string::npos);
        QVERIFY(saved.find(std::string("ShowPreview=") + (showPreview ? "1" : "0")) != std::string::npos);
    }

    void theSettingsDialogChangesTheSwitchesOnOkOnlyAndKeepsThemAtOnce() {
        test::TFakeDesktop desktop;
        auto w = OpenWindow(desktop);
        w->AddFiles({ThreeClips[0], ThreeClips[1]});
        Select(*w, {});
        auto untickMusicTickPreviewThen = [](const char* AButton) {
            WhenDialogOpens([AButton](QWidget* ADialog) {
                QVERIFY(ADialog->width() >= 372 && ADialog->height() >= 416);
                auto* pages = ADialog->findChild<QTabWidget*>("pcSettings");
                QCOMPARE(pages->count(), 2);
                QCOMPARE(pages->tabText(0), QString("Options"));
                QCOMPARE(pages->tabText(1), QString("Trim"));
                QCOMPARE(ADialog->findChild<QGroupBox*>()->title(), QString("Set the Options"));
                auto* open = ADialog->findChild<QCheckBox*>("cbOpenFolder");
                auto* music = ADialog->findChild<QCheckBox*>("cbMusicPlay");
                QCOMPARE(open->text(), QString("Open the output file folder after the conversion."));
                QCOMPARE(music->text(), QString("Turn on the warning note after one conversion done."));
                auto* preview = ADialog->findChild<QGroupBox*>()->findChild<QCheckBox*>("cbShowPreview");
                QCOMPARE(preview->text(), QString("Show preview while converting"));
                QVERIFY(open->isChecked() && music->isChecked() && !preview->isChecked());
                music->setChecked(false);
                preview->setChecked(true);
                ADialog->findChild<QPushButton*>(AButton)->click();
            });
        };
        untickMusicTickPreviewThen("bbCancel");
        Child<QPushButton>(*w, "bbSettings")->click();
        QVERIFY(w->Settings().MusicPlay);
        QVERIFY(!w->Batch().Converter().Preview());
        QVERIFY(!fs::exists(Home->SettingsFile()));
        // With no row selected, Settings takes the first.
        QCOMPARE(Selected(*w), std::vector<int>{0});

        untickMusicTickPreviewThen("bbOK");
        Child<QPushButton>(*w, "bbSettings")->click();
        QVERIFY(!w->Settings().MusicPlay);
        QVERIFY(w->Settings().OpenFolder);
        QVERIFY(w->Batch().Converter().Preview());
        QVERIFY(ReadFile(Home->SettingsFile()).find("MusicPlay=0") != std::string::npos);
        QVERIFY(ReadFile(Home->SettingsFile()).find("ShowPreview=1") != std::string::npos);
    }

    void browseRefusesAFolderOnACdRom() {
        test::TFakeDesktop desktop;
        auto w = OpenWindow(desktop);
        w->AddFiles({ThreeClips[0]});
        auto* box = Child<QLineEdit>(*w, "edOutPath");
        const QString before = box->text();

        desktop.FolderToChoose = QString(); // cancelled
        Child<QPushButton>(*w, "bbBrowse")->click();
        QCOMPARE(box->text(), before);

        desktop.FolderToChoose = "/srv/discs";
        Child<QPushButton>(*w, "bbBrowse")->click();
        QCOMPARE(box->text(), QString("/srv/discs/"));
        QCOMPARE(w->Settings().OutPath, std::string("/srv/discs/"));
        QVERIFY(ReadFile(Home->SettingsFile()).find("OutPath=/srv/discs/") != std::string::npos);
        QVERIFY(desktop.Messages.empty());

        desktop.FolderToChoose = "/media/cdrom/VIDEOS";
        desktop.FolderIsOnCdRom = true;
        Child<QPushButton>(*w, "bbBrowse")->click();
        QCOMPARE(desktop.Messages.size(), size_t(1));
        QCOMPARE(desktop.Messages[0].Icon, QMessageBox::Information);
        QCOMPARE(desktop.Messages[0].Text, QString("Output folder cannot be located in CD-ROM."));
        QCOMPARE(box->text(), QString());
        QCOMPARE(w->Settings().OutPath, std::string());

        // The real test on this machine's file systems.
        QVERIFY(!IsFolderOnCdRom(QString::fromStdString(Home->Dir().Path().string())));
    }

    void theContactMenuOpensTheHelpAndAMailToSupport() {
        test::TFakeDesktop desktop;
        auto w = OpenWindow(desktop);
        auto* contact = Child<QToolButton>(*w, "tbContactUs");
        QCOMPARE(contact->text(), QString("Contact Us"));
        QCOMPARE(contact->popupMode(), QToolButton::InstantPopup);
        QStringList entries;
        for (QAction* a : contact->menu()->actions())
            entries << a->text();
        QCOMPARE(entries, QStringList({"Our Site", "Email", "News"}));
        for (QAction* a : contact->menu()->actions())
            a->trigger();
        QCOMPARE(desktop.Opened.size(), size_t(3));
        const QUrl help = QUrl::fromLocalFile(QString::fromStdString(ProgramDir()) + "README.md");
        QCOMPARE(desktop.Opened[0], help);
        QCOMPARE(desktop.Opened[2], help);
        QVERIFY(QFile::exists(help.toLocalFile()));
        const QUrl mail = desktop.Opened[1];
        QCOMPARE(mail.scheme(), QString("mailto"));
        QCOMPARE(mail.path(), QString(product::SupportEmail));
        const QUrlQuery query(mail);
        QCOMPARE(query.queryItemValue("subject", QUrl::FullyDecoded), w->windowTitle());
        QCOMPARE(query.queryItemValue("Body", QUrl::FullyDecoded), QString("Welcome you for using this software!"));
    }

    void aBatchThatFailsNamesTheReasonAndNeitherPlaysNorOpens() {
        test::TFakeDesktop desktop;
        auto w = OpenWindow(desktop);
        w->AddFiles({ThreeClips[0]});
        desktop.FolderToChoose = "/media/cdrom";
        desktop.FolderIsOnCdRom = true;
        Child<QPushButton>(*w, "bbBrowse")->click();
        desktop.Messages.clear();
        QSignalSpy finished(w.get(), &TMainWindow::BatchFinished);
        Child<QPushButton>(*w, "bbConvert")->click();
        QCOMPARE(finished.size(), 1);
        QCOMPARE(desktop.Messages.size(), size_t(1));
        QCOMPARE(desktop.Messages[0].Icon, QMessageBox::Critical);
        QCOMPARE(desktop.Messages[0].Text, QString("The DVD folder was not made.\nNo output folder is set."));
        QVERIFY(desktop.Sounds.empty());
        QVERIFY(desktop.Opened.empty());
        QCOMPARE(w->UiState(), bsIdle);
    }

    void aDiscAlreadyInTheFolderIsLeftAloneUnlessTheUserSaysReplace() {
        test::TTempDir out;
        fs::create_directories(out / "VIDEO_TS");
        WriteFile(out / "VIDEO_TS/VIDEO_TS.IFO", "the old disc");
        test::TFakeDesktop desktop;
        auto w = WindowWritingInto(desktop, out, {ThreeClips[0]});
        desktop.Answer = QMessageBox::No;
        QSignalSpy finished(w.get(), &TMainWindow::BatchFinished);
        Child<QPushButton>(*w, "bbConvert")->click();
        QCOMPARE(desktop.Messages.size(), size_t(1));
        QCOMPARE(desktop.Messages[0].Icon, QMessageBox::Question);
        QVERIFY(desktop.Messages[0].Text.contains("already holds a DVD"));
        QCOMPARE(finished.size(), 0);
        QCOMPARE(ReadFile(out / "VIDEO_TS/VIDEO_TS.IFO"), std::string("the old disc"));
        QCOMPARE(w->UiState(), bsIdle);
    }

    void theFailureMessageNamesEveryFileAndItsReason() {
        TBatchResult partial;
        partial.Authored = true;
        partial.Files = {{"/v/a.mp4", 1, ""}, {"/v/b.mp3", 0, "It has no video stream."}};
        QCOMPARE(BatchFailureText(partial), QString("These files are not on the disc:\n/v/b.mp3: It has no video stream."));
        TBatchResult failed;
        failed.Error = "No file could be converted.";
        failed.Files = {{"/v/a.avi", 0, "Unknown format"}, {"/v/b.avi", 0, "Unknown format"}};
        QCOMPARE(BatchFailureText(failed), QString("The DVD folder was not made.\nNo file could be converted.\n\n"
                                                   "These files could not be converted:\n"
                                                   "/v/a.avi: Unknown format\n/v/b.avi: Unknown format"));
        TBatchResult complete;
        complete.Authored = true;
        complete.Files = {{"/v/a.mp4", 1, ""}};
        QCOMPARE(BatchFailureText(complete), QString());
    }

    // Pause, Resume and Stop are clicked while the batch waits for its worker.
    void pauseResumeAndStopWorkInsideTheRunningBatch() {
        test::TTempDir out;
        test::TFakeDesktop desktop;
        auto w = WindowWritingInto(desktop, out, {ThreeClips[0], ThreeClips[1]});
        Child<QComboBox>(*w, "cbPreset")->setCurrentIndex(7);
        auto* pause = Child<QPushButton>(*w, "bbPause");
        auto* convert = Child<QPushButton>(*w, "bbConvert");
        QStringList captions;
        bool clicked = false;
        connect(w.get(), &TMainWindow::ProgressShown, w.get(), [&] {
            if (clicked)
                return;
            clicked = true;
            pause->click();
            captions << pause->text();
            QVERIFY(w->Batch().Paused());
            pause->click();
            captions << pause->text();
            convert->click();
        });
        QSignalSpy finished(w.get(), &TMainWindow::BatchFinished);
        convert->click();
        QCOMPARE(finished.size(), 1);
        QVERIFY(clicked);
        QCOMPARE(captions, QStringList({"Resume", "Pause"}));
        QCOMPARE(w->UiState(), bsIdle);
        QCOMPARE(convert->text(), QString("Convert"));
        QVERIFY(desktop.Messages.empty());
        QVERIFY(desktop.Sounds.empty());
        QVERIFY(desktop.Opened.empty());
        QVERIFY(fs::is_empty(out.Path()));
    }

    void closingDuringABatchStopsItThenClosesAndSaves() {
        test::TTempDir out;
        test::TFakeDesktop desktop;
        auto w = WindowWritingInto(desktop, out, {ThreeClips[0]});
        std::filesystem::remove(Home->SettingsFile());
        bool closed = false;
        connect(w.get(), &TMainWindow::ProgressShown, w.get(), [&] {
            if (closed)
                return;
            closed = true;
            w->close();
        });
        Child<QPushButton>(*w, "bbConvert")->click();
        QVERIFY(closed);
        QVERIFY(!w->isVisible());
        QVERIFY(fs::exists(Home->SettingsFile()));
        QVERIFY(fs::is_empty(out.Path()));
    }

    void thePreviewGoesBesideTheMainWindowAtASizeThatFitsTheScreen() {
        const QSize frame(720, 576);
        const struct {
            const char* Name;
            QRect Screen, Main;
            QRect Expected; // empty: only the rules below
        } cases[] = {
            {"centred window, small screen", {0, 0, 1024, 768}, {160, 100, 704, 560}, {}},
            {"room on the right", {0, 0, 1920, 1080}, {0, 0, 704, 560}, {720, 0, 720, 576}},
            {"room on the left", {0, 0, 1920, 1080}, {1200, 300, 704, 560}, {464, 300, 720, 576}},
            {"room only below", {0, 0, 1024, 1400}, {0, 0, 1024, 560}, {0, 576, 720, 576}},
            {"a second screen", {1920, 0, 1280, 1024}, {1920, 0, 704, 560}, {2640, 0, 560, 448}},
        };
        for (const auto& c : cases) {
            const QRect r = PlacePreview(frame, c.Main, c.Screen, 16);
            const QString at = QString("%1: %2,%3 %4x%5").arg(c.Name).arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
            QVERIFY2(!r.intersects(c.Main), qPrintable(at));
            QVERIFY2(c.Screen.contains(r), qPrintable(at));
            QVERIFY2(r.width() <= frame.width() && r.width() >= 120, qPrintable(at));
            QVERIFY2(std::abs(r.width() * frame.height() - r.height() * frame.width()) <= frame.width(), qPrintable(at));
            if (!c.Expected.isEmpty())
                QVERIFY2(r == c.Expected, qPrintable(at));
        }
        // No main window: centred; a maximised one: a quarter of the screen in a corner.
        const QRect screen(0, 0, 1024, 768);
        QCOMPARE(PlacePreview(frame, {}, screen).center(), screen.center());
        const QRect corner = PlacePreview(frame, screen, screen);
        QCOMPARE(corner.width(), 256);
        QCOMPARE(corner.topRight(), screen.topRight());
    }

    void thePreviewerWindowTakesTheFirstFramesSizeShowsTheTimeMovesByItsPictureAndEndsPreviewsWhenClosed() {
        InstallPreviewerWindows();
        auto frame = [](int AWidth, int AHeight, uint8_t ABlue, uint8_t AGreen, uint8_t ARed) {
            TBitmap b;
            b.SetSize(AWidth, AHeight);
            for (int y = 0; y < AHeight; ++y)
                for (int x = 0; x < AWidth; ++x) {
                    uint8_t* p = b.ScanLine(y) + 3 * x;
                    p[0] = ABlue, p[1] = AGreen, p[2] = ARed;
                }
            return b;
        };
        QPointer<TPreviewerWindow> w;
        {
            TPreviewer previewer;
            // From the main thread the previewer draws at once.
            QVERIFY(previewer.PreviewFrame(frame(66, 50, 0, 0, 255), 1, 3723004000));
            w = dynamic_cast<TPreviewerWindow*>(previewer.Window());
            QVERIFY(w);
            QVERIFY(w->isVisible());
            QVERIFY(!w->parentWidget());
            QCOMPARE(w->windowFlags() & (Qt::Tool | Qt::WindowStaysOnTopHint), Qt::Tool | Qt::WindowStaysOnTopHint);
            QCOMPARE(w->size(), QSize(66, 50));
            QCOMPARE(w->windowTitle(), QString("01:02:03.004"));
            QCOMPARE(w->grab().toImage().pixelColor(30, 20), QColor(255, 0, 0));
            const QPoint centre = QGuiApplication::primaryScreen()->availableGeometry().center();
            // Give or take the frame.
            QVERIFY((w->geometry().center() - centre).manhattanLength() <= 8);

            // A smaller frame goes to the corner; the window keeps its size.
            QVERIFY(previewer.PreviewFrame(frame(30, 20, 0, 255, 0), 2, 0));
            QCOMPARE(w->size(), QSize(66, 50));
            QCOMPARE(w->windowTitle(), QString("00:00:00.000"));
            const QImage picture = w->grab().toImage();
            QCOMPARE(picture.pixelColor(5, 5), QColor(0, 255, 0));
            QCOMPARE(picture.pixelColor(50, 40), QColor(0, 0, 0));

            // Dragged by its picture.
            const QPoint before = w->pos();
            QTest::mousePress(w, Qt::LeftButton, {}, QPoint(10, 10));
            QTest::mouseMove(w, QPoint(30, 40));
            QTest::mouseRelease(w, Qt::LeftButton, {}, QPoint(30, 40));
            QCOMPARE(w->pos(), before + QPoint(20, 30));

            w->close();
            QVERIFY(previewer.Closed());
            QVERIFY(!w->isVisible());
            QVERIFY(!previewer.PreviewFrame(frame(66, 50, 255, 0, 0), 3, 80000));
            QCOMPARE(w->windowTitle(), QString("00:00:00.000"));
        }
        // The window goes with its previewer.
        QVERIFY(w.isNull());
        SetPreviewWindowFactory(nullptr);
    }

    // Nothing wakes the window while it waits for the user.
    void theIdleWindowRunsNoTimers() {
        test::TFakeDesktop desktop;
        auto w = OpenWindow(desktop);
        w->AddFiles({ThreeClips[0]});
        QCoreApplication::processEvents();
        QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
        QList<QObject*> objects = w->findChildren<QObject*>();
        objects << w.get() << qApp;
        for (QObject* o : objects)
            QVERIFY2(dispatcher->registeredTimers(o).isEmpty(),
                     qPrintable(QString(o->metaObject()->className()) + " " + o->objectName()));
    }

    void handOversAreServedWhileTheMainThreadWaits() {
        // A worker hands over and waits; a second worker's hand-over is queued; the main
        // thread waits in the Qt event loop and serves both, then a Wake ends the wait.
        std::atomic<bool> done{false};
        std::vector<int> order;
        bool timerFired = false;
        QTimer::singleShot(0, [&] { timerFired = true; });
        std::thread worker([&] {
            TMainThread::Synchronize([&] { order.push_back(1); });
            TMainThread::Queue([&] { order.push_back(2); });
            TMainThread::Queue([&] {
                // A wait inside a hand-over: the outer condition comes true meanwhile.
                std::atomic<bool> inner{false};
                std::thread nested([&] {
                    done = true;
                    TMainThread::Wake();
                    inner = true;
                    TMainThread::Wake();
                });
                QVERIFY(TMainThread::WaitFor([&] { return inner.load(); }));
                nested.join();
                order.push_back(3);
            });
        });
        QVERIFY(TMainThread::WaitFor([&] { return done.load() && order.size() == 3; }, std::chrono::seconds(20)));
        worker.join();
        QCOMPARE(order, std::vector<int>({1, 2, 3}));
        // The window's own events were served too.
        QVERIFY(timerFired);
        // Nothing comes: the wait ends at its deadline.
        QVERIFY(!TMainThread::WaitFor([] { return false; }, std::chrono::milliseconds(1)));
    }
};

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    test::TPrivateHome home;
    Home = &home;
    QApplication app(argc, argv);
    TQtMainThreadScope mainThread;
    TGuiTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_gui.moc"
