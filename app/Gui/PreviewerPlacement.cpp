#include "Gui/PreviewerPlacement.h"

#include <algorithm>
#include <cmath>

namespace qm {

namespace {

// The smallest picture worth showing beside the window.
constexpr int MinimumWidth = 120;

// AFrame scaled down into ARoom with its shape kept (never up).
QSize FitInto(QSize AFrame, QSize ARoom) {
    if (AFrame.isEmpty() || ARoom.isEmpty())
        return {};
    const double scale = std::min({1.0, double(ARoom.width()) / AFrame.width(), double(ARoom.height()) / AFrame.height()});
    const auto side = [scale](int AFrameSide, int ARoomSide) {
        return std::clamp(int(std::lround(AFrameSide * scale)), 1, ARoomSide);
    };
    return QSize(side(AFrame.width(), ARoom.width()), side(AFrame.height(), ARoom.height()));
}

int Clamp(int AValue, int ALow, int AHigh) { return std::max(ALow, std::min(AValue, AHigh)); }

} // namespace

QRect PlacePreview(QSize AFrame, const QRect& AMainWindow, const QRect& AScreen, int AGap) {
    if (AFrame.isEmpty() || AScreen.isEmpty())
        return QRect(AScreen.topLeft(), AFrame);
    if (AMainWindow.isEmpty()) {
        QRect r(QPoint(), FitInto(AFrame, AScreen.size() * 9 / 10));
        r.moveCenter(AScreen.center());
        return r;
    }
    const QRect main = AMainWindow.intersected(AScreen);
    // The free strips around the window, each with where the picture goes in it.
    const QRect strips[] = {
        QRect(QPoint(main.right() + 1 + AGap, AScreen.top()), AScreen.bottomRight()),
        QRect(AScreen.topLeft(), QPoint(main.left() - 1 - AGap, AScreen.bottom())),
        QRect(QPoint(AScreen.left(), main.bottom() + 1 + AGap), AScreen.bottomRight()),
        QRect(AScreen.topLeft(), QPoint(AScreen.right(), main.top() - 1 - AGap)),
    };
    QRect best;
    for (int i = 0; i < 4; ++i) {
        const QRect& strip = strips[i];
        const QSize size = FitInto(AFrame, strip.size());
        if (size.isEmpty() || size.width() * size.height() <= best.width() * best.height())
            continue;
        const bool side = i < 2;
        // Level with the window's top (beside it) or its left edge (under or over it).
        const int x = side ? (i == 0 ? strip.left() : strip.right() + 1 - size.width())
                           : Clamp(main.left(), strip.left(), strip.right() + 1 - size.width());
        const int y = side ? Clamp(main.top(), strip.top(), strip.bottom() + 1 - size.height())
                           : (i == 2 ? strip.top() : strip.bottom() + 1 - size.height());
        best = QRect(QPoint(x, y), size);
    }
    if (best.width() >= std::min(MinimumWidth, AFrame.width()))
        return best;
    const QSize size = FitInto(AFrame, QSize(AScreen.width() / 4, AScreen.height() / 2));
    return QRect(QPoint(AScreen.right() + 1 - size.width(), AScreen.top()), size);
}

} // namespace qm
