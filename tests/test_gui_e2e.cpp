// The window end to end on an X server (xvfb-run): two clips dropped on it, a preset chosen,
// Convert pressed; the batch runs while the window stays live, the sound plays, the folder
// is opened, and lsdvd reads a disc with two titles. With previews switched on, each
// conversion shows its frames in a floating window until the user closes it. The preview
// window plays a listed file into its panel and wipes it at the end; a file trimmed on the
// settings' Trim page becomes a title of the marked length. Screenshots go into
// <build>/screenshots. Without xvfb-run the tests are skipped.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QTableView>
#include <QLabel>
#include <QRegularExpression>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <clocale>
#include <cstring>
#include <filesystem>
#include <regex>

#include "Converter/FFmpegConverter.h"
#include "Core/AppSettings.h"
#include "Fixtures.h"
#include "FixtureWriter.h"
#include "Gui/InputListModel.h"
#include "Gui/DiscUsageBar.h"
#include "Gui/NotificationSound.h"
#include "Gui/PreviewDialog.h"
#include "Gui/PreviewerWindow.h"
#include "Gui/TrimPage.h"
#include "Gui/QtMainThread.h"
#include "Player/FFPlayer.h"
#include "TitleReader.h"
#include "test_gui_support.h"

using namespace qm;
using test::BarPoint;
using test::Child;
using test::TWatch;
using test::WhenDialogOpens;
namespace fs = std::filesystem;

namespace {

constexpr int64_t S = 1000000;

// Whether the window's picture on the screen has any pixel brighter than black.
bool ShowsAPicture(QWidget& AWidget) {
    const QImage image = QGuiApplication::primaryScreen()->grabWindow(AWidget.winId()).toImage();
    for (int y = 0; y < image.height(); y += 2)
        for (int x = 0; x < image.width(); x += 2)
            if (qGray(image.pixel(x, y)) > 16)
                return true;
    return false;
}

// A 4-second clip with a moving picture and sound.
std::string WriteMovingClip(const test::TTempDir& ADir) {
    fixtures::ClipSettings clip;
    clip.format = "mp4";
    clip.videoCodec = "mpeg4";
    clip.audioCodec = "mp2";
    clip.duration = 4;
    const std::string file = ADir / "moving.mp4";
    std::string error;
    if (!fixtures::WriteClip(clip, file, error))
        qFatal("%s", error.c_str());
    return file;
}

// Opens the settings on the Trim page, waits until the file plays there, lets AMark set the
// marks and confirms them with OK.
void MarkOnTrimPage(TMainWindow& AWindow, const std::function<void(QWidget&, TTrimPage&, TWatch&)>& AMark) {
    WhenDialogOpens([&](QWidget* ADialog) {
        Child<QTabWidget>(*ADialog, "pcSettings")->setCurrentIndex(1);
        auto& page = *Child<TTrimPage>(*ADialog, "tsTrim");
        TWatch watch(page.Controls());
        QVERIFY(watch.Until([&] { return watch.Opened == 1 && !watch.Positions.empty(); }));
        AMark(*ADialog, page, watch);
        Child<QPushButton>(*ADialog, "bbOK")->click();
    });
    Child<QPushButton>(AWindow, "bbSettings")->click();
}

} // namespace

class TGuiEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void twoDroppedClipsBecomeADiscWithTwoTitles() {
        if (test::FindOnPath("dvdauthor").empty() || test::FindOnPath("lsdvd").empty())
            QSKIP("dvdauthor or lsdvd is not installed (scripts/install-deps.sh installs both)");
        test::TPrivateHome& home = *Home;
        const std::string out = home.Dir() / "discs/";
        SaveSettings({out, true, true});

        test::TFakeDesktop desktop;
        TWindowServices services = desktop.Services();
        std::string soundError;
        bool soundPlayed = false;
        services.PlaySound = [&](const std::string& AFile) {
            soundPlayed = PlayNotificationSound(AFile, soundError);
        };
        auto window = test::OpenWindow(services);
        TMainWindow& w = *window;
        QVERIFY(w.LibrariesLoaded());
        QCOMPARE(QGuiApplication::platformName(), QString("xcb"));
        test::Screenshot(w, "window-getting-started");

        QVERIFY(test::DropFiles(w, {QString::fromStdString(fixtures::FixturePath("mp4_h264_aac.mp4")),
                                    QString::fromStdString(fixtures::FixturePath("mpeg1_mp2.mpg"))}));
        QCOMPARE(w.Model().Items().size(), size_t(2));
        w.findChild<QComboBox*>("cbPreset")->setCurrentIndex(7);
        test::Screenshot(w, "window-idle-with-files");

        bool shot = false;
        std::vector<int> positions;
        QStringList labels;
        connect(&w, &TMainWindow::ProgressShown, &w, [&](int APosition) {
            positions.push_back(APosition);
            labels << w.findChild<QLabel*>("lbProgress")->text();
            if (!shot && APosition >= 10 && w.UiState() == bsConverting) {
                shot = true;
                test::Screenshot(w, "window-converting");
            }
        });
        QSignalSpy finished(&w, &TMainWindow::BatchFinished);
        // Pressed from the event loop, as a user would, so that this test's wait is the
        // loop that the batch's handler runs in.
        QTimer::singleShot(0, w.findChild<QPushButton*>("bbConvert"), &QPushButton::click);
        QVERIFY(finished.wait(300000));
        QCOMPARE(w.UiState(), bsIdle);
        test::Screenshot(w, "window-done");

        QVERIFY2(desktop.Messages.empty(), desktop.Messages.empty() ? "" : qPrintable(desktop.Messages[0].Text));
        QVERIFY(shot);
        QVERIFY(std::is_sorted(positions.begin(), positions.end()));
        QCOMPARE(positions.back(), 100);
        const QRegularExpression label(R"(^Progress: \d{1,3}\.\d\d%$)");
        for (const QString& text : labels)
            QVERIFY2(label.match(text).hasMatch(), qPrintable(text));
        QCOMPARE(labels.back(), QString("Progress: 100.00%"));
        QVERIFY2(soundPlayed, soundError.c_str());
        QCOMPARE(desktop.Opened.size(), size_t(1));
        QCOMPARE(desktop.Opened[0], QUrl::fromLocalFile(QString::fromStdString(out)));

        const auto read = test::RunCommand("lsdvd " + test::ShellQuote(out));
        const std::regex title(R"(Title: \d+, Length:)");
        const auto titles = std::distance(std::sregex_iterator(read.Output.begin(), read.Output.end(), title),
                                          std::sregex_iterator());
        QVERIFY2(titles == 2, read.Output.c_str());
        // Only the disc is left in the folder.
        std::vector<std::string> entries;
        for (const auto& e : fs::directory_iterator(out))
            entries.push_back(e.path().filename().string());
        std::sort(entries.begin(), entries.end());
        QCOMPARE(entries, std::vector<std::string>({"AUDIO_TS", "VIDEO_TS"}));
    }

    // Run once as it is and once more by ctest with LC_ALL=de_DE.UTF-8: the toolkit then
    // gives the C library the German number format ("29,97"), which the NTSC presets and
    // every number of the batch must not notice.
    void theWholeBatchConvertsWithAnNtscAndAPalPreset() {
        if (test::FindOnPath("dvdauthor").empty() || test::FindOnPath("lsdvd").empty())
            QSKIP("dvdauthor or lsdvd is not installed (scripts/install-deps.sh installs both)");
        if (const char* all = std::getenv("LC_ALL"); all && std::strcmp(all, test::CommaLocale) == 0)
            QCOMPARE(QString(std::localeconv()->decimal_point), QString(","));
        for (int preset : {3, 7}) {
            test::TTempDir dir;
            const std::string out = dir / "disc/";
            SaveSettings({out, false, false, false});
            test::TFakeDesktop desktop;
            auto window = test::OpenWindow(desktop.Services());
            TMainWindow& w = *window;
            w.AddFiles({QString::fromStdString(fixtures::FixturePath("mp4_h264_aac.mp4"))});
            w.findChild<QComboBox*>("cbPreset")->setCurrentIndex(preset);
            QStringList labels;
            connect(&w, &TMainWindow::ProgressShown, &w, [&] { labels << w.findChild<QLabel*>("lbProgress")->text(); });
            QSignalSpy finished(&w, &TMainWindow::BatchFinished);
            QTimer::singleShot(0, w.findChild<QPushButton*>("bbConvert"), &QPushButton::click);
            QVERIFY(finished.wait(300000));
            QVERIFY2(desktop.Messages.empty(), desktop.Messages.empty() ? "" : qPrintable(desktop.Messages[0].Text));
            const QRegularExpression label(R"(^Progress: \d{1,3}\.\d\d%$)");
            for (const QString& text : labels)
                QVERIFY2(label.match(text).hasMatch(), qPrintable(text));
            const auto read = test::RunCommand("lsdvd -v " + test::ShellQuote(out));
            QVERIFY2(read.Output.find("Title: 01, Length:") != std::string::npos, read.Output.c_str());
            QVERIFY2(read.Output.find(preset == 3 ? "Format: NTSC" : "Format: PAL") != std::string::npos,
                     read.Output.c_str());
        }
    }

    void eachConversionShowsItsFramesInAFloatingWindowUntilTheUserClosesIt() {
        if (test::FindOnPath("dvdauthor").empty())
            QSKIP("dvdauthor is not installed (scripts/install-deps.sh installs it)");
        test::TTempDir dir;
        // Long enough for many previews (one per 100 ms) in each conversion.
        const fixtures::ClipSettings clip = fixtures::VideoOnlyClip(160, 120, 20);
        std::string error;
        const std::string first = dir / "first.mkv", second = dir / "second.mkv";
        QVERIFY2(fixtures::WriteClip(clip, first, error) && fixtures::WriteClip(clip, second, error), error.c_str());
        // Switched on in an earlier run.
        SaveSettings({dir / "disc/", false, false, true});

        struct TShown {
            QPointer<TPreviewerWindow> Window;
            QStringList Captions;
            QSize Size, FrameSize; // the window's and the frame's, at each frame
            QRect Place;           // the window's frame on the screen
            bool Visible = true;
        };
        std::vector<TShown> shown;
        SetPreviewWindowFactory([&](TPreviewer& APreviewer) {
            auto window = std::make_unique<TPreviewerWindow>(APreviewer);
            const size_t index = shown.size();
            shown.push_back({window.get(), {}, {}, {}, {}});
            connect(window.get(), &TPreviewerWindow::FrameShown, window.get(), [&shown, index] {
                TShown& s = shown[index];
                TPreviewerWindow& w = *s.Window;
                s.Captions << w.windowTitle();
                s.Size = w.size();
                s.Place = w.frameGeometry();
                s.FrameSize = w.Picture().size();
                s.Visible = s.Visible && w.isVisible() && (w.windowFlags() & Qt::WindowStaysOnTopHint) &&
                            (w.windowFlags() & Qt::Tool) == Qt::Tool;
                // The user closes the first conversion's window after its first frame.
                if (index == 0 && s.Captions.size() == 1) {
                    QVERIFY(QTest::qWaitForWindowExposed(&w));
                    test::SavePicture(QGuiApplication::primaryScreen()->grabWindow(0), "previewer-on-screen");
                    test::Screenshot(w, "previewer-window");
                    w.close();
                }
            });
            return window;
        });

        test::TFakeDesktop desktop;
        auto window = test::OpenWindow(desktop.Services());
        TMainWindow& w = *window;
        QVERIFY(w.Batch().Converter().Preview());
        w.AddFiles({QString::fromStdString(first), QString::fromStdString(second)});
        w.findChild<QComboBox*>("cbPreset")->setCurrentIndex(4); // PAL, 720 x 576
        QSignalSpy finished(&w, &TMainWindow::BatchFinished);
        QTimer::singleShot(0, w.findChild<QPushButton*>("bbConvert"), &QPushButton::click);
        QVERIFY(finished.wait(300000));
        SetPreviewWindowFactory(nullptr);
        QVERIFY2(desktop.Messages.empty(), desktop.Messages.empty() ? "" : qPrintable(desktop.Messages[0].Text));

        // One window per conversion, each gone with its conversion.
        QCOMPARE(shown.size(), size_t(2));
        for (const TShown& s : shown) {
            QVERIFY(s.Window.isNull());
            QVERIFY(s.Visible);
            QCOMPARE(s.FrameSize, QSize(720, 576));
            // Beside the window, not over it, on the screen, the picture's shape kept.
            QVERIFY2(!s.Place.intersects(w.frameGeometry()), qPrintable(QString("%1,%2 %3x%4").arg(s.Place.x()).arg(s.Place.y()).arg(s.Place.width()).arg(s.Place.height())));
            QVERIFY(QGuiApplication::primaryScreen()->availableGeometry().contains(s.Place));
            QVERIFY(s.Size.width() <= 720 && s.Size.width() >= 120);
            QVERIFY(std::abs(s.Size.width() * 576 - s.Size.height() * 720) <= 720);
        }
        // The closed one got no frame after it was closed; the other one went on.
        qInfo("captions: %s | %s", qPrintable(shown[0].Captions.join(' ')), qPrintable(shown[1].Captions.join(' ')));
        QCOMPARE(shown[0].Captions.size(), 1);
        QVERIFY2(shown[1].Captions.size() > 1, qPrintable(shown[1].Captions.join(' ')));
        // The time of the frame (none yet for a conversion's very first picture).
        const QRegularExpression time(R"(^(\d\d:\d\d:\d\d\.\d\d\d|N/A)$)");
        for (const QString& caption : shown[0].Captions + shown[1].Captions)
            QVERIFY2(time.match(caption).hasMatch(), qPrintable(caption));
        // In the order of the frames ("hh:mm:ss.mmm" sorts as the times do).
        QVERIFY2(std::is_sorted(shown[1].Captions.begin() + 1, shown[1].Captions.end()),
                 qPrintable(shown[1].Captions.join(' ')));
    }

    void thePreviewWindowPlaysIntoItsPanelAndWipesItAtTheEnd() {
        test::TTempDir dir;
        const std::string clip = WriteMovingClip(dir);
        test::TFakeDesktop desktop;
        auto window = test::OpenWindow(desktop.Services());
        TMainWindow& w = *window;
        w.AddFiles({QString::fromStdString(clip)});
        bool played = false, wiped = false;
        WhenDialogOpens([&](QWidget* ADialog) {
            auto& dialog = *qobject_cast<TPreviewDialog*>(ADialog);
            TPlayerControls& c = dialog.Controls();
            TWatch watch(c);
            QVERIFY(QTest::qWaitForWindowExposed(&dialog));
            QVERIFY(watch.Until([&] { return !watch.Positions.empty() && watch.Positions.back() >= 1 * S; }));
            QCOMPARE(c.DurationLabel->text(), QString("00:00:04"));
            QCOMPARE(c.State->text(), QString("Play"));
            played = ShowsAPicture(*c.Panel);
            test::SavePicture(QGuiApplication::primaryScreen()->grabWindow(dialog.winId()), "preview-window-playing");
            QVERIFY(watch.Until([&] { return watch.Saw(psStop); }));
            QVERIFY(watch.Saw(psEnd));
            QCOMPARE(c.State->text(), QString("Ready"));
            QCoreApplication::processEvents();
            wiped = !ShowsAPicture(*c.Panel);
            test::SavePicture(QGuiApplication::primaryScreen()->grabWindow(dialog.winId()), "preview-window-ended");
            c.Stop->click();
            QVERIFY(!dialog.isVisible());
        });
        Child<QAction>(w, "actPreview")->trigger();
        QVERIFY(played);
        QVERIFY(wiped);
    }

    void aFileTrimmedOnTheTrimPageBecomesATitleOfThatLength() {
        if (test::FindOnPath("dvdauthor").empty() || test::FindOnPath("lsdvd").empty())
            QSKIP("dvdauthor or lsdvd is not installed (scripts/install-deps.sh installs both)");
        test::TTempDir dir;
        const std::string clip = WriteMovingClip(dir);
        const std::string out = dir / "disc/";
        SaveSettings({out, false, false, false});
        test::TFakeDesktop desktop;
        auto window = test::OpenWindow(desktop.Services());
        TMainWindow& w = *window;
        w.AddFiles({QString::fromStdString(clip)});

        // 1 s to 3 s, marked while the file plays.
        MarkOnTrimPage(w, [&](QWidget& ADialog, TTrimPage& APage, TWatch& AWatch) {
            TTrimPage& page = APage;
            TWatch& watch = AWatch;
            TPlayerControls& c = page.Controls();
            int64_t at = 0;
            QTest::mouseClick(c.Bar, Qt::LeftButton, {}, BarPoint(*c.Bar, c.Bar->maximum() / 4));
            QVERIFY(watch.PositionFrom(1 * S, at));
            page.SetStart->click();
            QVERIFY(watch.PositionFrom(3 * S, at));
            page.SetEnd->click();
            QVERIFY2(std::abs(page.TrimStartMs() - 1000) < 100, qPrintable(QString::number(page.TrimStartMs())));
            QVERIFY2(std::abs(page.TrimLengthMs() - 2000) < 150, qPrintable(QString::number(page.TrimLengthMs())));
            QVERIFY(std::abs(c.Bar->SelStart() - c.Bar->maximum() / 4) <= 1);
            QCOMPARE(c.Bar->SelEnd(), c.Bar->value());
            // The selection on the screen, not the one painted last.
            c.Bar->repaint();
            test::SavePicture(QGuiApplication::primaryScreen()->grabWindow(ADialog.winId()), "trim-page-with-selection");
        });
        const rInputStreamInfo& item = w.Model().Items()[0];
        QVERIFY(item.TrimStart > 900 && item.TrimLength > 1800);

        QSignalSpy finished(&w, &TMainWindow::BatchFinished);
        QTimer::singleShot(0, w.findChild<QPushButton*>("bbConvert"), &QPushButton::click);
        QVERIFY(finished.wait(300000));
        QVERIFY2(desktop.Messages.empty(), desktop.Messages.empty() ? "" : qPrintable(desktop.Messages[0].Text));
        const auto read = test::RunCommand("lsdvd " + test::ShellQuote(out));
        const std::regex length(R"(Title: 01, Length: (\d\d):(\d\d):(\d\d)\.(\d\d\d))");
        std::smatch m;
        QVERIFY2(std::regex_search(read.Output, m, length), read.Output.c_str());
        const double seconds = std::stoi(m[1]) * 3600 + std::stoi(m[2]) * 60 + std::stoi(m[3]) + std::stoi(m[4]) / 1000.0;
        QVERIFY2(std::abs(seconds - item.TrimLength / 1000.0) < 0.25, read.Output.c_str());
    }

    void theDiscGroupGivesChaptersAMenuAndRenamedTitlesAndIsKept() {
        if (test::FindOnPath("dvdauthor").empty() || test::FindOnPath("spumux").empty() ||
            test::FindOnPath("lsdvd").empty())
            QSKIP("dvdauthor, spumux or lsdvd is not installed (scripts/install-deps.sh installs them)");
        test::TTempDir dir;
        const std::string first = WriteMovingClip(dir);
        const std::string out = dir / "disc/";
        SaveSettings({out, false, false, false});
        {
            test::TFakeDesktop desktop;
            auto window = test::OpenWindow(desktop.Services());
            TMainWindow& w = *window;
            w.AddFiles({QString::fromStdString(first), QString::fromStdString(fixtures::FixturePath("mpeg1_mp2.mpg"))});
            w.findChild<QComboBox*>("cbPreset")->setCurrentIndex(7);
            auto* chapters = Child<QDoubleSpinBox>(w, "sbChapters");
            auto* menu = Child<QCheckBox>(w, "cbTitleMenu");
            auto* preview = Child<QPushButton>(w, "bbMenuPreview");
            QCOMPARE(chapters->value(), 5.0);
            QVERIFY(!menu->isChecked());
            QVERIFY(!preview->isEnabled());
            chapters->setValue(0.1); // every 6 s: the 4 s clip keeps one chapter
            menu->click();
            QVERIFY(preview->isEnabled());

            // The first row's title renamed in place, as a user does: double-click and type.
            auto* list = Child<QTableView>(w, "lvInput");
            const QModelIndex title = w.Model().index(0, TInputListModel::colTitle);
            QCOMPARE(w.Model().data(title, Qt::DisplayRole).toString(), QString("moving"));
            list->setCurrentIndex(title);
            list->edit(title);
            auto* editor = list->findChild<QLineEdit*>();
            QVERIFY(editor);
            // What typing and Return hand the model, without depending on where the focus is.
            editor->setText("Holiday by the sea");
            list->itemDelegate()->setModelData(editor, list->model(), title);
            list->closePersistentEditor(title);
            QCOMPARE(w.Model().Items()[0].TitleName, std::string("Holiday by the sea"));
            test::Screenshot(w, "window-disc-group");

            preview->click();
            auto* shown = w.findChild<QDialog*>("MenuPreview");
            QVERIFY(shown && shown->isVisible());
            QVERIFY(QTest::qWaitForWindowExposed(shown));
            test::SavePicture(shown->grab(), "menu-preview");
            const QPixmap page = Child<QLabel>(*shown, "lbMenuPicture")->pixmap();
            QCOMPARE(page.size(), QSize(768, 576)); // PAL, 4:3, square pixels
            shown->close();

            QSignalSpy finished(&w, &TMainWindow::BatchFinished);
            QTimer::singleShot(0, w.findChild<QPushButton*>("bbConvert"), &QPushButton::click);
            QVERIFY(finished.wait(300000));
            QVERIFY2(desktop.Messages.empty(), desktop.Messages.empty() ? "" : qPrintable(desktop.Messages[0].Text));
        }
        const TAppSettings kept = LoadSettings();
        QCOMPARE(kept.ChapterMinutes, 0.1);
        QVERIFY(kept.TitleMenu);
        // The disc has its menu: the manager's menu stream is there beside the two titles.
        QVERIFY(fs::exists(out + "VIDEO_TS/VIDEO_TS.VOB"));
        const auto read = test::RunCommand("lsdvd " + test::ShellQuote(out));
        const std::regex titleLine(R"(Title: \d+, Length:)");
        QVERIFY2(std::distance(std::sregex_iterator(read.Output.begin(), read.Output.end(), titleLine),
                               std::sregex_iterator()) == 2,
                 read.Output.c_str());
    }

    void theUsageBarFollowsTheListAndTheDiscAndAFittedDiscBecomesAnImage() {
        if (test::FindOnPath("dvdauthor").empty() || test::FindOnPath("lsdvd").empty() ||
            test::FindOnPath("genisoimage").empty())
            QSKIP("dvdauthor, lsdvd or genisoimage is not installed (scripts/install-deps.sh installs them)");
        test::TTempDir dir;
        const std::string out = dir / "discs/";
        TAppSettings settings{out, false, false, false};
        settings.DiscImage = true;
        SaveSettings(settings);
        test::TFakeDesktop desktop;
        auto window = test::OpenWindow(desktop.Services());
        TMainWindow& w = *window;
        auto& bar = *Child<TDiscUsageBar>(w, "pbDiscUsage");
        auto& size = *Child<QComboBox>(w, "cbDiscSize");
        auto& otherSize = *Child<QLineEdit>(w, "edDiscSize");
        auto& fit = *Child<QCheckBox>(w, "cbFitToDisc");
        QCOMPARE(Child<QComboBox>(w, "cbDiscOutput")->currentText(), QString("ISO image"));
        QCOMPARE(bar.format(), QString("Disc: 1.0 MB of 4.70 GB (0 %)")); // the authoring's own files

        // Two seconds each at 9 Mbit/s: well under a DVD-5, over a 3 MB disc.
        w.AddFiles({QString::fromStdString(fixtures::FixturePath("mp4_h264_aac.mp4")),
                    QString::fromStdString(fixtures::FixturePath("mov_h264_aac.mov"))});
        QVERIFY2(bar.format().startsWith("Disc: 5.8 MB of 4.70 GB"), qPrintable(bar.format()));
        QVERIFY(!bar.Over());
        test::Screenshot(w, "window-disc-under");
        size.setCurrentIndex(size.findData("other"));
        otherSize.setText("3M");
        QVERIFY2(bar.format().startsWith("Disc: 5.8 MB of 3.0 MB (19"), qPrintable(bar.format()));
        QVERIFY(bar.Over());
        test::Screenshot(w, "window-disc-over");
        // A lower preset brings it under; the estimate follows the preset box.
        w.findChild<QComboBox*>("cbPreset")->setCurrentIndex(7);
        QVERIFY2(!bar.Over(), qPrintable(bar.format()));
        w.findChild<QComboBox*>("cbPreset")->setCurrentIndex(4);
        QVERIFY(bar.Over());
        otherSize.setText("3,5M");
        QVERIFY2(bar.format().contains("is not one"), qPrintable(bar.format()));
        otherSize.setText("3M");
        fit.setChecked(true);
        QVERIFY2(!bar.Over() && bar.format().contains("fitted: "), qPrintable(bar.format()));
        test::Screenshot(w, "window-disc-fitted");
        // Kept as soon as they change.
        const TAppSettings kept = LoadSettings();
        QCOMPARE(kept.DiscSize, std::string("3M"));
        QVERIFY(kept.FitToDisc && kept.DiscImage);

        QSignalSpy finished(&w, &TMainWindow::BatchFinished);
        QTimer::singleShot(0, w.findChild<QPushButton*>("bbConvert"), &QPushButton::click);
        QVERIFY(finished.wait(300000));
        QVERIFY2(desktop.Messages.empty(), desktop.Messages.empty() ? "" : qPrintable(desktop.Messages[0].Text));
        const std::string image = out + "DISCS.iso";
        QVERIFY(fs::exists(image));
        QVERIFY2(fs::file_size(image) <= 3000000, qPrintable(QString::number(fs::file_size(image))));
        const auto read = test::RunCommand("lsdvd " + test::ShellQuote(image));
        const std::regex title(R"(Title: \d+, Length:)");
        QCOMPARE(std::distance(std::sregex_iterator(read.Output.begin(), read.Output.end(), title),
                               std::sregex_iterator()),
                 2);
        window.reset();

        // The next start shows the disc as it was left.
        auto again = test::OpenWindow(desktop.Services());
        QCOMPARE(Child<QComboBox>(*again, "cbDiscSize")->currentData().toString(), QString("other"));
        QCOMPARE(Child<QLineEdit>(*again, "edDiscSize")->text(), QString("3M"));
        QVERIFY(Child<QCheckBox>(*again, "cbFitToDisc")->isChecked());
    }

    // Seeking and stepping to known pictures of a numbered clip (one key frame, B-frames):
    // the page shows each picture's time, Set Start and Set End take the pictures on screen,
    // First and Last show the part's ends, and the title starts and ends on those pictures.
    void theTrimPageMarksThePicturesOnScreen() {
        if (test::FindOnPath("dvdauthor").empty())
            QSKIP("dvdauthor is not installed (scripts/install-deps.sh installs it)");
        test::TTempDir dir;
        const std::string out = dir / "disc/";
        SaveSettings({out, false, false, false});
        test::TFakeDesktop desktop;
        auto window = test::OpenWindow(desktop.Services());
        TMainWindow& w = *window;
        w.AddFiles({QString::fromStdString(fixtures::FixturePath("numbered_h264_aac.mp4"))});

        MarkOnTrimPage(w, [&](QWidget& ADialog, TTrimPage& APage, TWatch&) {
            TTrimPage& page = APage;
            TPlayerControls& c = page.Controls();
            TFFPlayer& player = c.Player();
            const auto shows = [&](int64_t AFrame) {
                return QTest::qWaitFor([&] { return player.PictureTime() == AFrame * 40000; }, 10000);
            };
            c.Play->click(); // paused
            player.SeekToPicture(2 * S);
            QVERIFY2(shows(50), qPrintable(QString::number(player.PictureTime())));
            for (int64_t k = 51; k <= 53; ++k) {
                page.NextFrame->click();
                QVERIFY2(shows(k), qPrintable(QString::number(player.PictureTime())));
            }
            page.PrevFrame->click();
            QVERIFY2(shows(52), qPrintable(QString::number(player.PictureTime())));
            QVERIFY(QTest::qWaitFor([&] { return page.FrameTime->text() == "Frame at 00:00:02.080"; }, 5000));
            QCOMPARE(c.PlayTag(), TPlayerControls::ptPaused);
            page.SetStart->click();
            QCOMPARE(page.TrimStartMs(), 2080);
            // Between pictures: the one showing at 3.01 s is 75.
            player.SeekToPicture(3010000);
            QVERIFY(shows(75));
            page.SetEnd->click();
            QCOMPARE(page.TrimLengthMs(), 920);
            test::SavePicture(QGuiApplication::primaryScreen()->grabWindow(ADialog.winId()), "trim-page-frame-marks");
            page.ShowFirst->click();
            QVERIFY2(shows(52), qPrintable(QString::number(player.PictureTime())));
            page.ShowLast->click();
            QVERIFY2(shows(74), qPrintable(QString::number(player.PictureTime())));
        });
        QCOMPARE(w.Model().Items()[0].TrimStart, int64_t(2080));

        QSignalSpy finished(&w, &TMainWindow::BatchFinished);
        QTimer::singleShot(0, w.findChild<QPushButton*>("bbConvert"), &QPushButton::click);
        QVERIFY(finished.wait(300000));
        QVERIFY2(desktop.Messages.empty(), desktop.Messages.empty() ? "" : qPrintable(desktop.Messages[0].Text));
        fixtures::TTitleContents title;
        std::string error;
        QVERIFY2(fixtures::ReadTitle(out + "VIDEO_TS/VTS_01_1.VOB", title, error), error.c_str());
        QVERIFY(!title.Numbers.empty());
        QCOMPARE(title.Numbers.front(), 52);
        QCOMPARE(title.Numbers.back(), 74);
        QCOMPARE(int(title.Numbers.size()), 23);
    }

public:
    test::TPrivateHome* Home = nullptr;
};

int main(int argc, char** argv) {
    if (const int rerun = test::RerunUnderXvfb(argc, argv); rerun >= 0)
        return rerun;
    test::TPrivateHome home;
    QApplication app(argc, argv);
    TQtMainThreadScope mainThread;
    TGuiEndToEnd test;
    test.Home = &home;
    return QTest::qExec(&test, argc, argv);
}

#include "test_gui_e2e.moc"
