// The preview window and the settings dialog's trim page on the offscreen platform, with the
// player in a window of its own on SDL's dummy drivers: the labels, the position bar and its
// seeking drags, Esc, the end of a file, a file without duration, the failures, and the trim
// marks that the main window stores in the row.
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <fstream>

#include "Core/Trim.h"
#include "FixtureWriter.h"
#include "Fixtures.h"
#include "Gui/PositionBar.h"
#include "Gui/PreviewDialog.h"
#include "Gui/QtMainThread.h"
#include "Gui/SettingsDialog.h"
#include "Gui/TrimPage.h"
#include "Player/FFPlayer.h"
#include "test_gui_support.h"

using namespace qm;
using test::Child;
using test::WhenDialogOpens;
using test::BarPoint;
using test::TWatch;
namespace fs = std::filesystem;

namespace {

constexpr int64_t S = 1000000;

std::string ProgramDir() { return IncludeTrailingSlash(test::BinDir()); }

// Clips made once for the whole run.
struct TClips {
    test::TTempDir Dir;
    std::string Long;       // 90 s with sound
    std::string NoDuration; // raw video: the container knows no duration
};
TClips* Clips = nullptr;

// The messages the windows showed.
struct TMessages {
    std::vector<QString> Texts;
    TPlayerControls::TShowMessage Show() {
        return [this](QWidget*, const QString& AText) { Texts.push_back(AText); };
    }
};

} // namespace

class TPreviewTest : public QObject {
    Q_OBJECT
private slots:
    // First, while no media library is loaded in this process yet.
    void withoutThePlayersLibrariesTheWindowSaysSoAndPlaysNothing() {
        test::TTempDir program;
        fs::create_directories(program / "Dll");
        std::ofstream(program / "Dll/libavutil.so.57") << "not a library";
        TMessages messages;
        TPreviewDialog dialog(Clips->Long, IncludeTrailingSlash(program.Path().string()), messages.Show());
        TWatch watch(dialog.Controls());
        dialog.show();
        QTRY_COMPARE(messages.Texts.size(), size_t(1));
        QVERIFY2(messages.Texts[0].startsWith("Load library " + QString::fromStdString(program / "Dll/libavutil.so.57") +
                                              " error: "),
                 qPrintable(messages.Texts[0]));
        QCOMPARE(dialog.Controls().PlayTag(), TPlayerControls::ptStopped);
        QCOMPARE(dialog.Controls().State->text(), QString("Ready"));
        QVERIFY(dialog.isVisible());
        QCOMPARE(watch.Opened, 0);
    }

    void theWindowHasItsLayout() {
        TPreviewDialog dialog(Clips->Long, ProgramDir(), {});
        dialog.layout()->activate();
        QVERIFY2(dialog.width() >= 394 && dialog.height() >= 316,
                 qPrintable(QString("%1 x %2").arg(dialog.width()).arg(dialog.height())));
        QCOMPARE(dialog.windowTitle(), QString("long.mp4"));
        QVERIFY(!(dialog.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        QCOMPARE(Child<QLabel>(dialog, "lbStatus")->text(), QString("Status:"));
        QCOMPARE(Child<QLabel>(dialog, "lbState")->text(), QString("Ready"));
        QCOMPARE(Child<QWidget>(dialog, "panPreview")->parentWidget(), &dialog);
        QCOMPARE(Child<QWidget>(dialog, "panPreview")->height(), 250);
        QCOMPARE(Child<QWidget>(dialog, "panPreview")->palette().color(QPalette::Window), QColor(Qt::black));
        auto* bar = Child<TPositionBar>(dialog, "tbPosition");
        QCOMPARE(bar->width(), Child<QWidget>(dialog, "panPreview")->width());
        QCOMPARE(bar->height(), 20);
        QCOMPARE(bar->ThumbLength(), 10);
        auto* volume = Child<QSlider>(dialog, "tbVolume");
        QCOMPARE(volume->minimum(), 0);
        QCOMPARE(volume->maximum(), 192);
        QCOMPARE(volume->tickInterval(), 20);
        QCOMPARE(volume->value(), 100);
        QCOMPARE(Child<QLabel>(dialog, "lbVoice")->text(), QString("Voice"));
        QCOMPARE(Child<QCheckBox>(dialog, "cbMute")->text(), QString("Mute"));
        QCOMPARE(Child<QPushButton>(dialog, "bbStop")->text(), QString("Stop"));
        QCOMPARE(dialog.Controls().Player().AudioVolume(), 100);
    }

    // In the toolkit's font and in a wide desktop font, every text of the preview window, the
    // trim page and the settings dialog has the room it needs, and "Status:" stands a blank
    // apart from its value.
    void noTextIsCutInTheDialogs() {
        const QFont before = QApplication::font();
        for (const QFont& font : {before, QFont("DejaVu Sans", 11)}) {
            QApplication::setFont(font);
            const QString name = font.family() + " " + QString::number(font.pointSizeF());
            TPreviewDialog preview(Clips->Long, ProgramDir(), {});
            TTrimPage trim(Clips->Long, ProgramDir(), {});
            trim.resize(trim.sizeHint());
            for (QWidget* w : std::initializer_list<QWidget*>{&preview, &trim}) {
                const QStringList cut = test::CutTexts(*w);
                QVERIFY2(cut.isEmpty(), qPrintable(name + ": " + cut.join("; ")));
                auto* caption = Child<QLabel>(*w, "lbStatus");
                auto* state = Child<QLabel>(*w, "lbState");
                QCOMPARE(caption->text(), QString("Status:"));
                const int blank = QFontMetrics(caption->font()).horizontalAdvance(' ');
                QVERIFY2(state->x() >= caption->x() + caption->sizeHint().width() + blank, qPrintable(name));
            }
            TSettingsDialog settings;
            settings.show();
            const QStringList cut = test::CutTexts(settings);
            QVERIFY2(cut.isEmpty(), qPrintable(name + ": " + cut.join("; ")));
            QVERIFY(settings.width() >= 372 && settings.height() >= 416);
            settings.reject();
        }
        QApplication::setFont(before);
    }

    void theBarFollowsThePositionAndADragSeeksWhereItIsReleased() {
        TPreviewDialog dialog(Clips->Long, ProgramDir(), {});
        TPlayerControls& c = dialog.Controls();
        TWatch watch(c);
        dialog.show();
        QVERIFY(watch.Until([&] { return watch.Opened == 1 && watch.Saw(psPlay); }));
        QCOMPARE(c.DurationLabel->text(), QString("00:01:30"));
        // The sound's last frame may reach a little past 90 s.
        QVERIFY2(c.Duration() >= 90 * S && c.Duration() < 90 * S + 100000, qPrintable(QString::number(c.Duration())));
        QCOMPARE(c.Bar->maximum(), c.Bar->width());
        QVERIFY(c.Bar->ThumbVisible());
        QVERIFY(c.Bar->AutoTicks());
        QCOMPARE(c.State->text(), QString("Play"));
        QCOMPARE(c.Play->text(), QString("Pause"));
        const int max = c.Bar->maximum();
        const QPoint quarter = BarPoint(*c.Bar, max / 4), half = BarPoint(*c.Bar, max / 2),
                     threeQuarters = BarPoint(*c.Bar, max * 3 / 4);

        // A press pauses; the release where the press was seeks there and resumes.
        watch.States.clear();
        QTest::mousePress(c.Bar, Qt::LeftButton, {}, half);
        QCOMPARE(c.State->text(), QString("Pause"));
        QTest::mouseRelease(c.Bar, Qt::LeftButton, {}, half);
        int64_t position = 0;
        QVERIFY(watch.PositionFrom(45 * S, position));
        QVERIFY2(position < 46 * S, qPrintable(QString::number(position)));
        // At 45 s the bar stands at half its width.
        QCOMPARE(c.Bar->value(), int(max * watch.Positions.back() / c.Duration()));
        QVERIFY(std::abs(c.Bar->value() - max / 2) <= 2);
        QCOMPARE(watch.States, std::vector<int>({psPause, psResume}));
        QCOMPARE(c.State->text(), QString("Play"));

        // Dragged from a quarter to three quarters: seeks to 67.5 s.
        QTest::mousePress(c.Bar, Qt::LeftButton, {}, quarter);
        QTest::mouseMove(c.Bar, threeQuarters);
        QTest::mouseRelease(c.Bar, Qt::LeftButton, {}, threeQuarters);
        QVERIFY(watch.PositionFrom(67 * S, position));
        QVERIFY2(position < 69 * S, qPrintable(QString::number(position)));
        QCOMPARE(c.State->text(), QString("Play"));

        // Play/Pause pauses and goes on.
        c.Play->click();
        QCOMPARE(c.State->text(), QString("Pause"));
        QCOMPARE(c.Play->text(), QString("Play"));
        c.Play->click();
        QCOMPARE(c.State->text(), QString("Play"));

        // A seek while paused plays on from there: the button offers to pause, and does.
        c.Play->click();
        QCOMPARE(c.Play->text(), QString("Play"));
        QTest::mousePress(c.Bar, Qt::LeftButton, {}, half);
        QTest::mouseRelease(c.Bar, Qt::LeftButton, {}, half);
        QCOMPARE(c.State->text(), QString("Play"));
        QCOMPARE(c.Play->text(), QString("Pause"));
        c.Play->click();
        QCOMPARE(c.State->text(), QString("Pause"));
        QCOMPARE(c.Play->text(), QString("Play"));
    }

    void escStopsPlaybackAndClosesTheWindow() {
        TPreviewDialog dialog(Clips->Long, ProgramDir(), {});
        TWatch watch(dialog.Controls());
        dialog.show();
        QVERIFY(watch.Until([&] { return !watch.Positions.empty(); }));
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(!dialog.Controls().Player().Active());
        QCOMPARE(dialog.Controls().Bar->value(), 0);
        QCOMPARE(dialog.Controls().DurationLabel->text(), QString());
        QCOMPARE(dialog.Controls().Position->text(), QString());
    }

    void playingToTheEndShowsEndThenReadyAndPlayStartsAgain() {
        TPreviewDialog dialog(fixtures::FixturePath("mp4_h264_aac.mp4"), ProgramDir(), {});
        TPlayerControls& c = dialog.Controls();
        TWatch watch(c);
        dialog.show();
        QVERIFY(watch.Until([&] { return watch.Saw(psStop); }));
        QCOMPARE(c.State->text(), QString("Ready"));
        const auto end = std::find(watch.States.begin(), watch.States.end(), psEnd);
        QVERIFY(end != watch.States.end());
        QCOMPARE(watch.States.back(), int(psStop));
        QVERIFY(dialog.isVisible());
        QCOMPARE(c.PlayTag(), TPlayerControls::ptStopped);
        c.Play->click();
        QVERIFY(watch.Until([&] { return watch.Opened == 2; }));
        QCOMPARE(c.PlayTag(), TPlayerControls::ptPlaying);
    }

    void aFileWithoutDurationHidesTheThumbAndTheBarStaysStill() {
        TPreviewDialog dialog(Clips->NoDuration, ProgramDir(), {});
        TPlayerControls& c = dialog.Controls();
        TWatch watch(c);
        dialog.show();
        QVERIFY(watch.Until([&] { return watch.Positions.size() >= 3; }));
        QVERIFY(c.Duration() <= 0);
        QVERIFY(!c.Bar->ThumbVisible());
        QCOMPARE(c.Bar->value(), 0);
        // Nothing to drag: no pause, no seek.
        watch.States.clear();
        QTest::mousePress(c.Bar, Qt::LeftButton, {}, c.Bar->rect().center());
        QTest::mouseRelease(c.Bar, Qt::LeftButton, {}, c.Bar->rect().center());
        QCOMPARE(c.State->text(), QString("Play"));
        QVERIFY(!watch.Saw(psPause));
    }

    void aFileThatCannotBeOpenedIsReportedAndPlayMayBePressedAgain() {
        test::TTempDir dir;
        const std::string notVideo = dir / "notes.mp4";
        std::ofstream(notVideo) << "this is not a video";
        TMessages messages;
        TPreviewDialog dialog(notVideo, ProgramDir(), messages.Show());
        dialog.show();
        QTRY_COMPARE(messages.Texts.size(), size_t(1));
        QVERIFY2(messages.Texts[0].contains(QString::fromStdString(notVideo)), qPrintable(messages.Texts[0]));
        QCOMPARE(dialog.Controls().PlayTag(), TPlayerControls::ptStopped);
        dialog.Controls().Play->click();
        QCOMPARE(messages.Texts.size(), size_t(2));
        QCOMPARE(messages.Texts[1], messages.Texts[0]);
    }

    void theVolumeBarAndMuteReachThePlayer() {
        TPreviewDialog dialog(Clips->Long, ProgramDir(), {});
        TFFPlayer& player = dialog.Controls().Player();
        Child<QSlider>(dialog, "tbVolume")->setValue(60);
        QCOMPARE(player.AudioVolume(), 60);
        // Beyond the player's full volume it plays at full volume.
        Child<QSlider>(dialog, "tbVolume")->setValue(192);
        QCOMPARE(player.AudioVolume(), 128);
        Child<QCheckBox>(dialog, "cbMute")->click();
        QVERIFY(player.Mute());
        Child<QCheckBox>(dialog, "cbMute")->click();
        QVERIFY(!player.Mute());
    }

    void theTrimPageMarksThePartThatTheRowKeepsOnOk() {
        test::TFakeDesktop desktop;
        auto window = test::OpenWindow(desktop.Services());
        TMainWindow& w = *window;
        w.AddFiles({QString::fromStdString(Clips->Long)});
        auto* settings = Child<QPushButton>(w, "bbSettings");

        // Opened on the Options page, the trim page waits; closed on the Trim page, it is
        // remembered.
        WhenDialogOpens([](QWidget* ADialog) {
            auto* pages = Child<QTabWidget>(*ADialog, "pcSettings");
            QCOMPARE(pages->count(), 2);
            QCOMPARE(pages->tabText(1), QString("Trim"));
            auto* page = Child<TTrimPage>(*ADialog, "tsTrim");
            QVERIFY(!page->SetStart->isEnabled());
            QVERIFY(page->SetEnd->isEnabled());
            QVERIFY(page->SetStart->text().isEmpty() && !page->SetStart->icon().isNull());
            QVERIFY(!page->Controls().Bar->AutoTicks());
            QVERIFY(!page->Controls().Player().Active());
            pages->setCurrentIndex(1);
            const QSize panel = page->Controls().Panel->size();
            QVERIFY(panel.width() >= 340 && panel.height() >= 250);
            QCOMPARE(page->Controls().Bar->size(), QSize(panel.width(), 30));
            Child<QPushButton>(*ADialog, "bbCancel")->click();
        });
        settings->click();

        // Opened on the Trim page: plays at once; going to Options and back goes on playing.
        auto trimThen = [](std::function<void(QWidget*, TTrimPage&, TWatch&)> AMark, const char* AButton) {
            WhenDialogOpens([AMark, AButton](QWidget* ADialog) {
                auto* page = Child<TTrimPage>(*ADialog, "tsTrim");
                QVERIFY(page->isVisible());
                TWatch watch(page->Controls());
                QVERIFY(watch.Until([&] { return page->Controls().Player().Active() && !watch.Positions.empty(); }));
                QVERIFY(page->SetStart->isEnabled());
                QCOMPARE(page->TrimStartMs(), 0);
                QCOMPARE(page->TrimLengthMs(), 0);
                AMark(ADialog, *page, watch);
                Child<QPushButton>(*ADialog, AButton)->click();
            });
        };
        trimThen(
            [](QWidget* ADialog, TTrimPage& APage, TWatch& AWatch) {
                TPlayerControls& c = APage.Controls();
                auto* pages = Child<QTabWidget>(*ADialog, "pcSettings");
                pages->setCurrentIndex(0);
                pages->setCurrentIndex(1);
                const size_t positions = AWatch.Positions.size();
                QVERIFY(AWatch.Until([&] { return AWatch.Positions.size() >= positions + 3; }));
                // The same playback goes on: no new opening, no stop.
                QCOMPARE(AWatch.Opened, 0);
                QVERIFY(!AWatch.Saw(psStop));
                QVERIFY(AWatch.Positions.back() > AWatch.Positions.front());
                // Set Start at a third, Set End at two thirds.
                const int max = c.Bar->maximum();
                int64_t start = 0, end = 0;
                QTest::mouseClick(c.Bar, Qt::LeftButton, {}, BarPoint(*c.Bar, max / 3));
                // The marks take the picture on screen, once it is there.
                const auto pictureFrom = [&](int64_t AFrom) {
                    return QTest::qWaitFor([&] { return c.Player().PictureTime() >= AFrom; }, 20000);
                };
                QVERIFY(AWatch.PositionFrom(29 * S, start));
                QVERIFY(pictureFrom(29 * S));
                APage.SetStart->click();
                // Within the picture or two the playback moves on meanwhile.
                QVERIFY(std::abs(APage.TrimStartMs() - int32_t(c.Player().PictureTime() / 1000)) <= 100);
                QCOMPARE(APage.TrimLengthMs(), int32_t(c.Duration() / 1000) - APage.TrimStartMs());
                QCOMPARE(c.Bar->SelStart(), c.Bar->value());
                QCOMPARE(c.Bar->SelEnd(), max);
                QTest::mouseClick(c.Bar, Qt::LeftButton, {}, BarPoint(*c.Bar, max * 2 / 3));
                QVERIFY(AWatch.PositionFrom(59 * S, end));
                QVERIFY(pictureFrom(59 * S));
                APage.SetEnd->click();
                QVERIFY(std::abs(APage.TrimLengthMs() - (int32_t(c.Player().PictureTime() / 1000) - APage.TrimStartMs())) <= 100);
                QVERIFY(std::abs(APage.TrimStartMs() - 30000) < 1000);
                QVERIFY(std::abs(APage.TrimLengthMs() - 30000) < 1500);
                QCOMPARE(c.Bar->SelEnd(), c.Bar->value());
                QVERIFY(!c.Bar->SelectionRect().isEmpty());
            },
            "bbOK");
        settings->click();
        QVERIFY2(desktop.Messages.empty(), desktop.Messages.empty() ? "" : qPrintable(desktop.Messages[0].Text));
        const rInputStreamInfo kept = w.Model().Items()[0];
        QVERIFY(kept.TrimStart > 29000 && kept.TrimLength > 28000);
        const QAbstractItemModel* model = Child<QTableView>(w, "lvInput")->model();
        QCOMPARE(model->index(0, 1).data(Qt::ToolTipRole).toString(), QString::fromStdString(TrimRangeText(kept)));
        QVERIFY(model->index(0, 1).data(Qt::ToolTipRole).toString().startsWith("00:00:"));

        // Cancel keeps the row's trim, whatever was marked.
        trimThen([](QWidget*, TTrimPage& APage, TWatch&) { APage.SetEnd->click(); }, "bbCancel");
        settings->click();
        QCOMPARE(w.Model().Items()[0].TrimStart, kept.TrimStart);
        QCOMPARE(w.Model().Items()[0].TrimLength, kept.TrimLength);

        // OK without marks: the whole file again.
        trimThen([](QWidget*, TTrimPage&, TWatch&) {}, "bbOK");
        settings->click();
        QCOMPARE(w.Model().Items()[0].TrimStart, int64_t(0));
        QCOMPARE(w.Model().Items()[0].TrimLength, 0);
        QCOMPARE(model->index(0, 1).data(Qt::ToolTipRole).toString(), QString());
    }

    void theTrimPageStopsPlaybackShortlyAfterTheEndAndStaysOpen() {
        TTrimPage page(Clips->Long, ProgramDir(), {});
        TPlayerControls& c = page.Controls();
        TWatch watch(c);
        QSignalSpy stopped(&c, &TPlayerControls::Stopped);
        page.show();
        QVERIFY(watch.Until([&] { return !watch.Positions.empty(); }));
        QVERIFY(!page.EndTimer.isActive());
        // To the last fifth of a second.
        QTest::mouseClick(c.Bar, Qt::LeftButton, {}, QPoint(c.Bar->width() - 1, c.Bar->height() / 2));
        int64_t position = 0;
        QVERIFY(watch.PositionFrom(c.Duration() - 200000, position));
        QVERIFY(page.EndTimer.isActive());
        QCOMPARE(page.EndTimer.interval(), 1000);
        QVERIFY(stopped.wait(5000));
        QVERIFY(!page.EndTimer.isActive());
        QVERIFY(page.isVisible());
        QVERIFY(!c.Player().Active());
        QCOMPARE(c.PlayTag(), TPlayerControls::ptStopped);
    }
};

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::setenv("SDL_VIDEODRIVER", "dummy", 0);
    ::setenv("SDL_AUDIODRIVER", "dummy", 0);
    test::TPrivateHome home;
    TClips clips;
    clips.Long = clips.Dir / "long.mp4";
    clips.NoDuration = clips.Dir / "raw.h264";
    std::string error;
    fixtures::ClipSettings longClip;
    longClip.format = "mp4";
    longClip.videoCodec = "mpeg4";
    longClip.width = 160;
    longClip.height = 120;
    longClip.frameRate = {10, 1};
    longClip.audioCodec = "mp2";
    longClip.duration = 90;
    fixtures::ClipSettings raw;
    raw.format = "h264";
    raw.videoCodec = "libx264";
    raw.width = 160;
    raw.height = 120;
    raw.audioCodec = "";
    if (!fixtures::WriteClip(longClip, clips.Long, error) || !fixtures::WriteClip(raw, clips.NoDuration, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    Clips = &clips;
    QApplication app(argc, argv);
    TQtMainThreadScope mainThread;
    TPreviewTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_preview.moc"
