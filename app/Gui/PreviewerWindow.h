// The floating window in which a running conversion shows its frames (the desktop's
// IPreviewWindow): a stay-on-top tool window beside the main window, whose client area takes
// the first frame's size (or less, its shape kept, where the screen has no room) and keeps
// it, with the frame's time in its caption. The user drags it by the picture; closing it
// ends the previews of that conversion.
#pragma once

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QWidget>

#include "Preview/Previewer.h"

namespace qm {

class TPreviewerWindow : public QWidget, public IPreviewWindow {
    Q_OBJECT
public:
    explicit TPreviewerWindow(TPreviewer& APreviewer);

    void ShowFrame(const TBitmap& ABitmap, const std::string& ACaption) override;
    // The frame shown last (a copy: the engine's bitmap lives only during ShowFrame).
    const QImage& Picture() const { return FPicture; }

signals:
    void FrameShown();

protected:
    void paintEvent(QPaintEvent* AEvent) override;
    void mousePressEvent(QMouseEvent* AEvent) override;
    void mouseMoveEvent(QMouseEvent* AEvent) override;
    void mouseReleaseEvent(QMouseEvent* AEvent) override;
    void closeEvent(QCloseEvent* AEvent) override;

private:
    TPreviewer& FPreviewer;
    QImage FPicture;
    bool FShown = false;
    double FScale = 1; // the first frame's picture to the window
    // Where the pointer took the window, relative to its top left corner, while the window
    // moves itself (without a window manager that moves it).
    bool FDragging = false;
    QPoint FDragOffset;
};

// A copy of the bitmap as an image of the same size.
QImage BitmapToImage(const TBitmap& ABitmap);

// The window's place for frames of AFrame's size beside the visible main window (the
// top-level widget named "MainWindow"), on its screen.
QRect PlaceBesideMainWindow(QSize AFrame);

// Makes the previewers of every conversion show TPreviewerWindows (at start-up).
void InstallPreviewerWindows();

} // namespace qm
