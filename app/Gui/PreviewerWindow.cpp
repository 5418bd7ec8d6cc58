#include "Gui/PreviewerWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWindow>

#include <cmath>

#include "Gui/PreviewerPlacement.h"

namespace qm {

QImage BitmapToImage(const TBitmap& ABitmap) {
    const QImage::Format format = ABitmap.PixelFormat() == bpf24bit ? QImage::Format_BGR888 : QImage::Format_RGB32;
    return QImage(ABitmap.Bits(), ABitmap.Width(), ABitmap.Height(), ABitmap.Stride(), format).copy();
}

TPreviewerWindow::TPreviewerWindow(TPreviewer& APreviewer)
    // No owner; a tool window's small caption with only the close box; not resizable.
    : QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      FPreviewer(APreviewer) {
    setObjectName("PreviewerWindow");
    setAttribute(Qt::WA_OpaquePaintEvent);
    // Showing a frame must not take the keyboard from the main window.
    setAttribute(Qt::WA_ShowWithoutActivating);
    // The program ends with its main window, whatever previews are up.
    setAttribute(Qt::WA_QuitOnClose, false);
}

void TPreviewerWindow::ShowFrame(const TBitmap& ABitmap, const std::string& ACaption) {
    FPicture = BitmapToImage(ABitmap);
    setWindowTitle(QString::fromStdString(ACaption));
    if (!FShown) {
        FShown = true;
        const QRect place = PlaceBesideMainWindow(QSize(ABitmap.Width(), ABitmap.Height()));
        FScale = double(place.width()) / ABitmap.Width();
        setFixedSize(place.size());
        move(place.topLeft());
        show();
    }
    // The engine waits for this call: the picture is on the screen when it returns.
    repaint();
    emit FrameShown();
}

void TPreviewerWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    // Each frame at the first frame's scale; a later frame of another size goes to the corner.
    const QRect target(0, 0, int(std::lround(FPicture.width() * FScale)), int(std::lround(FPicture.height() * FScale)));
    if (target.width() < width() || target.height() < height())
        painter.fillRect(rect(), Qt::black);
    if (target.size() == FPicture.size())
        painter.drawImage(0, 0, FPicture);
    else
        painter.drawImage(target, FPicture);
}

void TPreviewerWindow::mousePressEvent(QMouseEvent* AEvent) {
    if (AEvent->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(AEvent);
    // The picture serves as the caption: the window manager moves the window, or, where
    // there is none to ask, the window follows the pointer itself.
    if (windowHandle() && windowHandle()->startSystemMove())
        return;
    FDragging = true;
    FDragOffset = AEvent->globalPosition().toPoint() - pos();
}

void TPreviewerWindow::mouseMoveEvent(QMouseEvent* AEvent) {
    if (FDragging && (AEvent->buttons() & Qt::LeftButton))
        move(AEvent->globalPosition().toPoint() - FDragOffset);
}

void TPreviewerWindow::mouseReleaseEvent(QMouseEvent* AEvent) {
    if (AEvent->button() == Qt::LeftButton)
        FDragging = false;
}

void TPreviewerWindow::closeEvent(QCloseEvent* AEvent) {
    // The window stays until the engine lets its previewer go; it only hides.
    FPreviewer.WindowClosed();
    AEvent->accept();
}

QRect PlaceBesideMainWindow(QSize AFrame) {
    QRect main;
    const QScreen* screen = QGuiApplication::primaryScreen();
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("MainWindow") && w->isVisible()) {
            main = w->frameGeometry();
            screen = w->screen();
            break;
        }
    return screen ? PlacePreview(AFrame, main, screen->availableGeometry(), 16) : QRect(QPoint(), AFrame);
}

void InstallPreviewerWindows() {
    SetPreviewWindowFactory([](TPreviewer& APreviewer) { return std::make_unique<TPreviewerWindow>(APreviewer); });
}

} // namespace qm
