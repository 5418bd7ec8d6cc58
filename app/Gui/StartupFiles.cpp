#include "Gui/StartupFiles.h"

#include <QFileInfo>
#include <QUrl>

#include "Gui/MainWindow.h"

namespace qm {

QStringList StartupFiles(const QStringList& AArguments) {
    QStringList files;
    for (qsizetype i = 1; i < AArguments.size(); ++i) {
        const QString& a = AArguments[i];
        const QString path = a.startsWith(QLatin1String("file:")) ? QUrl(a).toLocalFile() : a;
        if (!path.isEmpty())
            files << QFileInfo(path).absoluteFilePath();
    }
    return files;
}

void AddStartupFiles(TMainWindow& AWindow, const QStringList& AFiles) {
    if (AFiles.isEmpty())
        return;
    QObject::connect(
        &AWindow, &TMainWindow::LibrariesChecked, &AWindow,
        [&AWindow, AFiles](bool ALoaded) {
            if (ALoaded)
                AWindow.AddFiles(AFiles);
        },
        Qt::SingleShotConnection);
}

} // namespace qm
