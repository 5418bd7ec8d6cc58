#include "Gui/PreviewDialog.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QSlider>

#include "Gui/PlayerLayout.h"
#include "Gui/PositionBar.h"

namespace qm {

TPreviewDialog::TPreviewDialog(std::string AFileName, std::string AProgramFolder,
                               TPlayerControls::TShowMessage AShowMessage, QWidget* AParent)
    : QDialog(AParent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint) {
    setObjectName("PreviewDialog");
    FControls = std::make_unique<TPlayerControls>(this, std::move(AProgramFolder), std::move(AShowMessage), true);
    TPlayerControls& c = *FControls;
    c.SetFileName(AFileName);
    setWindowTitle(QFileInfo(QString::fromStdString(AFileName)).fileName());

    // The picture 394 x 250 at least; the window as large as its texts need, not resizable.
    TPlayerLayout layout;
    layout.PanelSize = QSize(394, 250);
    layout.Margin = 0;
    c.Bar->SetThumbLength(10);
    LayOutPlayerControls(c, *this, layout)->setSizeConstraint(QLayout::SetFixedSize);

    // Stop ends playback and closes the window.
    connect(&c, &TPlayerControls::Stopped, this, &QDialog::accept);
}

// The player goes first: it draws into the panel until it has stopped.
TPreviewDialog::~TPreviewDialog() {
    // A report that the stopping player hands over meanwhile no longer reaches this half-gone
    // window, whose controls are already null.
    FControls->disconnect(this);
    FControls.reset();
}

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
