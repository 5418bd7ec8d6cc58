#include "Gui/PositionBar.h"

#include <QMouseEvent>
#include <QPainter>
#include <QProxyStyle>
#include <QStyleOptionSlider>

#include <algorithm>

namespace qm {

namespace {

// The application's style with the bar's thumb length.
class TBarStyle : public QProxyStyle {
public:
    explicit TBarStyle(const int& AThumbLength) : FThumbLength(AThumbLength) {}
    int pixelMetric(PixelMetric AMetric, const QStyleOption* AOption, const QWidget* AWidget) const override {
        if (AMetric == PM_SliderControlThickness)
            return FThumbLength;
        if (AMetric == PM_SliderThickness)
            return std::max(FThumbLength + 4, QProxyStyle::pixelMetric(AMetric, AOption, AWidget));
        return QProxyStyle::pixelMetric(AMetric, AOption, AWidget);
    }

private:
    const int& FThumbLength;
};

} // namespace

TPositionBar::TPositionBar(QWidget* AParent) : QSlider(Qt::Horizontal, AParent) {
    FStyle = new TBarStyle(FThumbLength);
    FStyle->setParent(this);
    setStyle(FStyle);
    setRange(0, 0);
    // The keys would move the thumb without seeking.
    setFocusPolicy(Qt::NoFocus);
    setTracking(true);
}

void TPositionBar::SetSelStart(int AValue) {
    FSelStart = AValue;
    update();
}

void TPositionBar::SetSelEnd(int AValue) {
    FSelEnd = AValue;
    update();
}

void TPositionBar::SetThumbVisible(bool AVisible) {
    FThumbVisible = AVisible;
    update();
}

void TPositionBar::SetThumbLength(int APixels) {
    FThumbLength = APixels;
    updateGeometry();
    update();
}

int TPositionBar::PixelOf(int AValue) const {
    QStyleOptionSlider option;
    initStyleOption(&option);
    const QRect groove = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, this);
    const int thumb = style()->pixelMetric(QStyle::PM_SliderLength, &option, this);
    const int span = groove.width() - thumb;
    return groove.x() + thumb / 2 +
           QStyle::sliderPositionFromValue(minimum(), maximum(), std::clamp(AValue, minimum(), maximum()), span);
}

QRect TPositionBar::SelectionRect() const {
    if (FSelEnd <= FSelStart || maximum() <= minimum())
        return {};
    QStyleOptionSlider option;
    initStyleOption(&option);
    const QRect groove = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, this);
    const int left = PixelOf(FSelStart), right = PixelOf(FSelEnd);
    // A band under the groove, where the style's own fill of the groove does not hide it.
    const int top = std::min(groove.bottom() + 2, height() - 5);
    return QRect(left, top, std::max(1, right - left + 1), 4);
}

void TPositionBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QStyleOptionSlider option;
    initStyleOption(&option);
    option.subControls = QStyle::SC_SliderGroove;
    if (tickPosition() != NoTicks)
        option.subControls |= QStyle::SC_SliderTickmarks;
    style()->drawComplexControl(QStyle::CC_Slider, &option, &painter, this);
    if (const QRect selection = SelectionRect(); !selection.isEmpty()) {
        const QColor band = palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Highlight);
        painter.fillRect(selection, band);
        // Its ends stand out as ticks.
        painter.fillRect(QRect(selection.left(), selection.top() - 3, 1, selection.height() + 3), band.darker(150));
        painter.fillRect(QRect(selection.right(), selection.top() - 3, 1, selection.height() + 3), band.darker(150));
    }
    if (FThumbVisible) {
        option.subControls = QStyle::SC_SliderHandle;
        if (isSliderDown())
            option.activeSubControls = QStyle::SC_SliderHandle;
        style()->drawComplexControl(QStyle::CC_Slider, &option, &painter, this);
    }
}

void TPositionBar::mousePressEvent(QMouseEvent* AEvent) {
    if (!FThumbVisible || AEvent->button() != Qt::LeftButton) {
        AEvent->ignore();
        return;
    }
    FPressed = true;
    emit MouseDown();
    // The thumb jumps to the pointer and is dragged from there.
    QStyleOptionSlider option;
    initStyleOption(&option);
    const QRect groove = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, this);
    const int thumb = style()->pixelMetric(QStyle::PM_SliderLength, &option, this);
    const int x = AEvent->position().toPoint().x() - groove.x() - thumb / 2;
    setValue(QStyle::sliderValueFromPosition(minimum(), maximum(), x, groove.width() - thumb));
    QSlider::mousePressEvent(AEvent);
}

void TPositionBar::mouseMoveEvent(QMouseEvent* AEvent) {
    if (FPressed)
        QSlider::mouseMoveEvent(AEvent);
}

void TPositionBar::mouseReleaseEvent(QMouseEvent* AEvent) {
    if (!FPressed || AEvent->button() != Qt::LeftButton) {
        AEvent->ignore();
        return;
    }
    QSlider::mouseReleaseEvent(AEvent);
    FPressed = false;
    emit MouseUp();
}

} // namespace qm
