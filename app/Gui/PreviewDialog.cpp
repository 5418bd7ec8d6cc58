#include "Gui/PreviewDialog.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QSlider>

#include "Gui/PositionBar.h"

namespace qm {

TPreviewDialog::TPreviewDialog(std::string AFileName, std::string AProgramFolder,
                               TPlayerControls::TShowMessage AShowMessage, QWidget* AParent)
    : QDialog(AParent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint) {
    setObjectName("PreviewDialog");
    setFixedSize(394, 316);
    FControls = std::make_unique<TPlayerControls>(this, std::move(AProgramFolder), std::move(AShowMessage), true);
    TPlayerControls& c = *FControls;
    c.SetFileName(AFileName);
    setWindowTitle(QFileInfo(QString::fromStdString(AFileName)).fileName());

    c.StatusCaption->setGeometry(4, 2, 40, 16);
    c.State->setGeometry(46, 2, 120, 16);
    c.Position->setGeometry(214, 2, 84, 16);
    c.DurationLabel->setGeometry(306, 2, 84, 16);
    // The client area's width: a wider panel would cut the picture off at the right.
    c.Panel->setGeometry(0, 20, 394, 250);
    c.Bar->setGeometry(2, 271, 390, 20);
    c.Bar->SetThumbLength(10);
    c.Play->setGeometry(4, 291, 75, 23);
    c.Stop->setGeometry(83, 291, 75, 23);
    c.Voice->setGeometry(168, 294, 34, 16);
    c.Volume->setGeometry(204, 292, 120, 20);
    c.Mute->setGeometry(330, 293, 60, 18);

    // Stop ends playback and closes the window.
    connect(&c, &TPlayerControls::Stopped, this, &QDialog::accept);
}

// The player goes first: it draws into the panel until it has stopped.
TPreviewDialog::~TPreviewDialog() { FControls.reset(); }

void TPreviewDialog::showEvent(QShowEvent* AEvent) {
    QDialog::showEvent(AEvent);
    if (FShown)
        return;
    FShown = true;
    // Once the window is on the screen: opening the file waits for the player.
    QMetaObject::invokeMethod(this, &TPreviewDialog::FormShow, Qt::QueuedConnection);
}

void TPreviewDialog::FormShow() {
    if (!isVisible() || !FControls->LoadLibraries())
        return;
    FControls->Play->setFocus();
    FControls->bbPlayClick();
}

void TPreviewDialog::reject() { FControls->bbStopClick(); }

} // namespace qm
