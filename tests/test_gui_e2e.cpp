// The window end to end on an X server (xvfb-run): two clips dropped on it, a preset chosen,
// Convert pressed; the batch runs while the window stays live, the sound plays, the folder
// is opened, and lsdvd reads a disc with two titles. Screenshots of the window go into
// <build>/screenshots. Without xvfb-run the test is skipped.
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QRegularExpression>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <cstring>
#include <filesystem>
#include <regex>

#include "Core/AppSettings.h"
#include "Fixtures.h"
#include "Gui/NotificationSound.h"
#include "Gui/QtMainThread.h"
#include "test_gui_support.h"

using namespace qm;
namespace fs = std::filesystem;

namespace {

constexpr int SkipCode = 77;

std::string FindOnPath(const char* AName) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "";
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate = dirs.substr(start, end - start) + "/" + AName;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

void Screenshot(QWidget& AWindow, const char* AName) {
    fs::create_directories(QM_SCREENSHOT_DIR);
    const QString file = QString(QM_SCREENSHOT_DIR) + "/" + AName + ".png";
    QVERIFY2(AWindow.grab().save(file), qPrintable(file));
    qInfo("screenshot %s", qPrintable(file));
}

} // namespace

class TGuiEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void twoDroppedClipsBecomeADiscWithTwoTitles() {
        if (FindOnPath("dvdauthor").empty() || FindOnPath("lsdvd").empty())
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
        TMainWindow w(IncludeTrailingSlash(test::BinDir()), services);
        QSignalSpy checked(&w, &TMainWindow::LibrariesChecked);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(!checked.isEmpty() || checked.wait(20000));
        QVERIFY(w.LibrariesLoaded());
        QCOMPARE(QGuiApplication::platformName(), QString("xcb"));
        Screenshot(w, "window-getting-started");

        QVERIFY(test::DropFiles(w, {QString::fromStdString(fixtures::FixturePath("mp4_h264_aac.mp4")),
                                    QString::fromStdString(fixtures::FixturePath("mpeg1_mp2.mpg"))}));
        QCOMPARE(w.Model().Items().size(), size_t(2));
        w.findChild<QComboBox*>("cbPreset")->setCurrentIndex(7);
        Screenshot(w, "window-idle-with-files");

        bool shot = false;
        std::vector<int> positions;
        QStringList labels;
        connect(&w, &TMainWindow::ProgressShown, &w, [&](int APosition) {
            positions.push_back(APosition);
            labels << w.findChild<QLabel*>("lbProgress")->text();
            if (!shot && APosition >= 10 && w.UiState() == bsConverting) {
                shot = true;
                Screenshot(w, "window-converting");
            }
        });
        QSignalSpy finished(&w, &TMainWindow::BatchFinished);
        // Pressed from the event loop, as a user would, so that this test's wait is the
        // loop that the batch's handler runs in.
        QTimer::singleShot(0, w.findChild<QPushButton*>("bbConvert"), &QPushButton::click);
        QVERIFY(finished.wait(300000));
        QCOMPARE(w.UiState(), bsIdle);
        Screenshot(w, "window-done");

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

public:
    test::TPrivateHome* Home = nullptr;
};

int main(int argc, char** argv) {
    if (!std::getenv("QM_UNDER_XVFB")) {
        // Runs itself again on a private X server.
        const std::string xvfb = FindOnPath("xvfb-run");
        if (xvfb.empty()) {
            std::printf("SKIP: xvfb-run is not installed (scripts/install-deps.sh installs the package xvfb)\n");
            return SkipCode;
        }
        ::setenv("QM_UNDER_XVFB", "1", 1);
        std::vector<char*> args = {const_cast<char*>("xvfb-run"), const_cast<char*>("-a"),
                                   const_cast<char*>("-s"), const_cast<char*>("-screen 0 1024x768x24")};
        std::string self = ProgramFolder() + fs::path(argv[0]).filename().string();
        args.push_back(self.data());
        for (int i = 1; i < argc; ++i)
            args.push_back(argv[i]);
        args.push_back(nullptr);
        ::execv(xvfb.c_str(), args.data());
        std::perror("xvfb-run");
        return 1;
    }
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::setenv("SDL_AUDIODRIVER", "dummy", 1);
    test::TPrivateHome home;
    QApplication app(argc, argv);
    TQtMainThreadScope mainThread;
    TGuiEndToEnd test;
    test.Home = &home;
    return QTest::qExec(&test, argc, argv);
}

#include "test_gui_e2e.moc"
