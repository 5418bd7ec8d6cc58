// quillmoor: the window.
#include <pthread.h>
#include <signal.h>

#include <QApplication>
#include <QDialog>

#include "Cli/Interrupt.h"
#include "Core/Product.h"
#include "Gui/MainWindow.h"
#include "Gui/PreviewerWindow.h"
#include "Gui/QtMainThread.h"
#include "Gui/StartupFiles.h"
#include "Platform/FileUtils.h"
#include "Platform/Numbers.h"

int main(int argc, char** argv) {
    // Before Qt starts threads of its own: they must not take the signals that the window
    // answers (see below).
    const sigset_t blocked = qm::cli::TInterruptToMainThread::Signals();
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);

    QApplication app(argc, argv);
    // Qt took the user's locale for the C library; its numbers stay "C" for the media
    // libraries' own reading of option texts (our code reads and writes them either way).
    qm::KeepCNumericLocale();
    QCoreApplication::setOrganizationName(qm::product::Maker);
    QCoreApplication::setApplicationName(qm::product::Name);
    QCoreApplication::setApplicationVersion(QM_VERSION);
    QGuiApplication::setDesktopFileName("quillmoor");

    qm::TQtMainThreadScope mainThread;
    qm::InstallPreviewerWindows();
    int result = 0;
    {
        bool running = true; // outlives the window
        qm::TMainWindow window(qm::ProgramFolder());
        // Ctrl-C or the end of the session closes the window the way the user would, so
        // that a running batch is stopped and the settings are kept.
        qm::cli::TInterruptToMainThread interrupt([&window, &running] {
            // A signal during the shutdown finds the window going.
            if (!running)
                return;
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* dialog = qobject_cast<QDialog*>(w); dialog && dialog->isVisible())
                    dialog->reject();
            window.close();
        });
        // quillmoor FILE...: into the list once the libraries are there.
        qm::AddStartupFiles(window, qm::StartupFiles(QCoreApplication::arguments()));
        window.show();
        result = app.exec();
        running = false;
    }
    qm::SetPreviewWindowFactory(nullptr);
    return result;
}
