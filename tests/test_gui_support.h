// What the window tests share: a private settings store, stand-ins for the desktop that
// record what the window would have shown or opened, a simulated drop of files, the
// dialogs' and the player controls' watchers, and the re-run of a test program on an X
// server of its own with screenshots into the build.
#pragma once

#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLayout>
#include <QCoreApplication>
#include <QDialog>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMimeData>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Gui/InputListModel.h"
#include "Gui/MainWindow.h"
#include "Gui/PlayerControls.h"
#include "Gui/PositionBar.h"
#include "Player/FFPlayer.h"
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

// A window with its libraries loaded, as after start-up (on the screen, under an X server).
inline std::unique_ptr<TMainWindow> OpenWindow(TWindowServices AServices,
                                               const std::string& AProgramDir = IncludeTrailingSlash(BinDir())) {
    auto w = std::make_unique<TMainWindow>(AProgramDir, std::move(AServices));
    QSignalSpy checked(w.get(), &TMainWindow::LibrariesChecked);
    w->show();
    if (!checked.wait(20000))
        qFatal("the window did not load its libraries");
    if (QGuiApplication::platformName() == QLatin1String("xcb") && !QTest::qWaitForWindowExposed(w.get()))
        qFatal("the window did not come up");
    return w;
}

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

// What the player controls reported, in order.
struct TWatch {
    std::vector<int> States;
    std::vector<int64_t> Positions;
    int Opened = 0;
    explicit TWatch(TPlayerControls& AControls) : FControls(AControls) {
        // Through FContext: a watch that goes before the controls hears nothing more.
        QObject::connect(&AControls, &TPlayerControls::StateShown, &FContext, [this](int AState) { States.push_back(AState); });
        QObject::connect(&AControls, &TPlayerControls::PositionShown, &FContext,
                         [this](qint64 APosition) { Positions.push_back(APosition); });
        QObject::connect(&AControls, &TPlayerControls::FileOpened, &FContext, [this] { ++Opened; });
    }
    bool Saw(TPlayState AState) const { return std::find(States.begin(), States.end(), AState) != States.end(); }
    // Runs the event loop until APred holds, woken by each report of the controls.
    bool Until(const std::function<bool()>& APred, int ATimeoutMs = 20000) {
        QElapsedTimer timer;
        timer.start();
        while (!APred()) {
            const qint64 left = ATimeoutMs - timer.elapsed();
            if (left <= 0)
                return false;
            QEventLoop loop;
            QObject::connect(&FControls, &TPlayerControls::StateShown, &loop, &QEventLoop::quit);
            QObject::connect(&FControls, &TPlayerControls::PositionShown, &loop, &QEventLoop::quit);
            QObject::connect(&FControls, &TPlayerControls::FileOpened, &loop, &QEventLoop::quit);
            QTimer::singleShot(int(left), &loop, &QEventLoop::quit);
            loop.exec();
        }
        return true;
    }
    // The first position reported from now on at or after AFrom.
    bool PositionFrom(int64_t AFrom, int64_t& APosition) {
        const size_t seen = Positions.size();
        if (!Until([&] {
                for (size_t i = seen; i < Positions.size(); ++i)
                    if (Positions[i] >= AFrom)
                        return true;
                return false;
            }))
            return false;
        for (size_t i = seen; i < Positions.size(); ++i)
            if (Positions[i] >= AFrom) {
                APosition = Positions[i];
                return true;
            }
        return false;
    }

private:
    TPlayerControls& FControls;
    QObject FContext;
};

// Where on the bar the pointer stands for AValue.
inline QPoint BarPoint(TPositionBar& ABar, int AValue) { return QPoint(ABar.PixelOf(AValue), ABar.height() / 2); }

template <class T>
T* Child(QWidget& AWindow, const char* AName) {
    T* child = AWindow.findChild<T*>(AName);
    if (!child)
        qFatal("no %s", AName);
    return child;
}

// Runs AThen once the modal dialog the window opens next is up, in the dialog's own event
// loop: not from inside a wait that the dialog runs meanwhile (the player opening a file, say),
// whose caller could not go on while AThen waits in turn.
inline void WhenDialogOpens(std::function<void(QWidget*)> AThen, int ALevel = QThread::currentThread()->loopLevel() + 1) {
    QTimer::singleShot(1, [AThen, ALevel] {
        if (QThread::currentThread()->loopLevel() > ALevel)
            return WhenDialogOpens(AThen, ALevel);
        QWidget* dialog = QApplication::activeModalWidget();
        if (!dialog)
            qFatal("no dialog opened");
        AThen(dialog);
        // A failed check returned before the dialog was closed.
        if (auto* d = qobject_cast<QDialog*>(dialog); d && d->isVisible())
            d->reject();
    });
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

// The labels, check boxes and buttons of ARoot (shown or not) that do not get the room
// their text needs in their font: "name 'text': width x height < hint".
inline QStringList CutTexts(QWidget& ARoot) {
    if (ARoot.layout())
        ARoot.layout()->activate();
    QStringList cut;
    for (QWidget* w : ARoot.findChildren<QWidget*>()) {
        QString text;
        QSize need = w->sizeHint();
        if (auto* label = qobject_cast<QLabel*>(w)) {
            text = label->text();
            if (label->wordWrap())
                need = QSize(0, label->heightForWidth(label->width()));
        } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
            text = button->text();
        }
        if (text.isEmpty() || !w->isVisibleTo(&ARoot))
            continue;
        if (w->width() < need.width() || w->height() < need.height())
            cut << QString("%1 '%2': %3 x %4 < %5 x %6")
                       .arg(w->objectName(), text)
                       .arg(w->width())
                       .arg(w->height())
                       .arg(need.width())
                       .arg(need.height());
    }
    return cut;
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
