// What the window tests share: a private settings store, stand-ins for the desktop that
// record what the window would have shown or opened, a simulated drop of files, and the
// re-run of a test program on an X server of its own with screenshots into the build.
#pragma once

#include <unistd.h>

#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QTest>
#include <QUrl>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Gui/InputListModel.h"
#include "Gui/MainWindow.h"
#include "TestUtils.h"

namespace qm::test {

// Points HOME and XDG_CONFIG_HOME at a fresh folder before anything reads them, so the
// user's settings are never touched.
class TPrivateHome {
public:
    TPrivateHome() {
        ::setenv("HOME", FDir.Path().c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (FDir / "config").c_str(), 1);
    }
    std::string SettingsFile() const { return FDir / "config/Tarnwick/Tarnwick Quillmoor.conf"; }
    const TTempDir& Dir() const { return FDir; }

private:
    TTempDir FDir;
};

struct TShownMessage {
    QMessageBox::Icon Icon;
    QString Text;
};

// The desktop as a test sees it.
struct TFakeDesktop {
    QStringList FilesToChoose;
    QString FolderToChoose;
    bool FolderIsOnCdRom = false;
    QMessageBox::StandardButton Answer = QMessageBox::Ok;

    std::vector<TShownMessage> Messages;
    std::vector<QUrl> Opened;
    std::vector<std::string> Sounds;

    TWindowServices Services() {
        TWindowServices s;
        s.ChooseFiles = [this](QWidget*) { return FilesToChoose; };
        s.ChooseFolder = [this](QWidget*) { return FolderToChoose; };
        s.IsOnCdRom = [this](const QString&) { return FolderIsOnCdRom; };
        s.ShowMessage = [this](QWidget*, QMessageBox::Icon AIcon, const QString& AText,
                               QMessageBox::StandardButtons) {
            Messages.push_back({AIcon, AText});
            return Answer;
        };
        s.OpenUrl = [this](const QUrl& AUrl) { Opened.push_back(AUrl); };
        s.PlaySound = [this](const std::string& AFile) { Sounds.push_back(AFile); };
        return s;
    }
};

// Drags the files over the window and drops them, as the desktop would; true when the
// window accepted the drop.
inline bool DropFiles(QWidget& AWindow, const QStringList& AFiles) {
    QMimeData mime;
    QList<QUrl> urls;
    for (const QString& f : AFiles)
        urls << QUrl::fromLocalFile(f);
    mime.setUrls(urls);
    const QPoint at = AWindow.rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&AWindow, &enter);
    if (!enter.isAccepted())
        return false;
    QDragMoveEvent move(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&AWindow, &move);
    QDropEvent drop(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&AWindow, &drop);
    return drop.isAccepted();
}

// The program AName on PATH; "" when there is none.
inline std::string FindOnPath(const char* AName) {
    const char* path = std::getenv("PATH");
    const std::string dirs = path ? path : "";
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

// What ctest takes for a skipped test.
constexpr int SkipCode = 77;

// Runs the test program again under xvfb-run, on a screen of its own, and returns its exit
// status, or SkipCode when xvfb-run is not installed; -1 when this is already that run (which
// then talks to the X server, with SDL's sound going nowhere).
inline int RerunUnderXvfb(int argc, char** argv) {
    if (std::getenv("QM_UNDER_XVFB")) {
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        ::setenv("SDL_AUDIODRIVER", "dummy", 1);
        return -1;
    }
    const std::string xvfb = FindOnPath("xvfb-run");
    if (xvfb.empty()) {
        std::printf("SKIP: xvfb-run is not installed (scripts/install-deps.sh installs the package xvfb)\n");
        return SkipCode;
    }
    ::setenv("QM_UNDER_XVFB", "1", 1);
    std::vector<char*> args = {const_cast<char*>("xvfb-run"), const_cast<char*>("-a"), const_cast<char*>("-s"),
                               const_cast<char*>("-screen 0 1024x768x24")};
    std::string self = ProgramFolder() + std::filesystem::path(argv[0]).filename().string();
    args.push_back(self.data());
    for (int i = 1; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    ::execv(xvfb.c_str(), args.data());
    std::perror("xvfb-run");
    return 1;
}

#ifdef QM_SCREENSHOT_DIR
// Saves the picture as <build>/screenshots/<AName>.png.
inline void SavePicture(const QPixmap& APicture, const char* AName) {
    std::filesystem::create_directories(QM_SCREENSHOT_DIR);
    const QString file = QString(QM_SCREENSHOT_DIR) + "/" + AName + ".png";
    QVERIFY2(APicture.save(file), qPrintable(file));
    qInfo("screenshot %s", qPrintable(file));
}

inline void Screenshot(QWidget& AWindow, const char* AName) { SavePicture(AWindow.grab(), AName); }
#endif

} // namespace qm::test
