// The position bar of the preview window and the trim page: a horizontal track bar with a
// position and a maximum, a selection range painted over its groove, tick marks every
// TickFrequency (automatic) or none (manual), a thumb that can be hidden and whose length can
// be set, and notifications when the mouse button goes down and up on it.
#pragma once

#include <QSlider>

class QProxyStyle;

namespace qm {

class TPositionBar : public QSlider {
    Q_OBJECT
public:
    explicit TPositionBar(QWidget* AParent = nullptr);

    int SelStart() const { return FSelStart; }
    int SelEnd() const { return FSelEnd; }
    // The range painted over the groove; nothing when the end is not after the start.
    void SetSelStart(int AValue);
    void SetSelEnd(int AValue);

    bool ThumbVisible() const { return FThumbVisible; }
    // A bar without thumb shows no position and takes no mouse.
    void SetThumbVisible(bool AVisible);
    // The thumb's size across the bar, in pixels.
    int ThumbLength() const { return FThumbLength; }
    void SetThumbLength(int APixels);
    int TickFrequency() const { return tickInterval(); }
    void SetTickFrequency(int AValue) { setTickInterval(AValue); }
    bool AutoTicks() const { return tickPosition() != NoTicks; }
    void SetAutoTicks(bool AOn) { setTickPosition(AOn ? TicksBelow : NoTicks); }

    // Where the selection is painted; empty when there is none.
    QRect SelectionRect() const;
    // The x of the pixel that stands for AValue.
    int PixelOf(int AValue) const;

signals:
    void MouseDown();
    void MouseUp();

protected:
    void paintEvent(QPaintEvent* AEvent) override;
    void mousePressEvent(QMouseEvent* AEvent) override;
    void mouseMoveEvent(QMouseEvent* AEvent) override;
    void mouseReleaseEvent(QMouseEvent* AEvent) override;

private:
    QProxyStyle* FStyle = nullptr;
    int FSelStart = 0;
    int FSelEnd = 0;
    bool FThumbVisible = true;
    int FThumbLength = 18;
    bool FPressed = false;
};

} // namespace qm
