#include "Gui/PreviewerWindow.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWindow>

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
        setFixedSize(ABitmap.Width(), ABitmap.Height());
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            move(screen->availableGeometry().center() - rect().center());
        show();
    }
    // The engine waits for this call: the picture is on the screen when it returns.
    repaint();
    emit FrameShown();
}

void TPreviewerWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    // A later frame of another size is drawn at the corner as it is.
    if (FPicture.width() < width() || FPicture.height() < height())
        painter.fillRect(rect(), Qt::black);
    painter.drawImage(0, 0, FPicture);
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

void InstallPreviewerWindows() {
    SetPreviewWindowFactory([](TPreviewer& APreviewer) { return std::make_unique<TPreviewerWindow>(APreviewer); });
}

} // namespace qm
