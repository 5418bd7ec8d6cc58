// What the window tests share: a private settings store, stand-ins for the desktop that
// record what the window would have shown or opened, and a simulated drop of files.
#pragma once

#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

#include <cstdlib>
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

} // namespace qm::test
