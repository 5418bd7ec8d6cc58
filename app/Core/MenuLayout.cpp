#include "Core/MenuLayout.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace qm {

namespace {

int Even(double AValue) { return 2 * static_cast<int>(std::lround(AValue / 2)); }

TMenuRect Rect(double AX0, double AY0, double AX1, double AY1) {
    return {static_cast<int>(std::lround(AX0)), static_cast<int>(std::lround(AY0)),
            static_cast<int>(std::lround(AX1)), static_cast<int>(std::lround(AY1))};
}

// The nearest button of the page in direction (ADx, ADy) from AFrom; 0 when there is none.
int Nearest(const std::vector<TMenuButton>& AButtons, size_t AFrom, int ADx, int ADy) {
    auto centre = [](const TMenuRect& r, int& x, int& y) {
        x = (r.X0 + r.X1) / 2;
        y = (r.Y0 + r.Y1) / 2;
    };
    int fx, fy;
    centre(AButtons[AFrom].Frame, fx, fy);
    int best = 0;
    double bestScore = 0;
    for (size_t i = 0; i < AButtons.size(); ++i) {
        if (i == AFrom)
            continue;
        int x, y;
        centre(AButtons[i].Frame, x, y);
        const int along = (x - fx) * ADx + (y - fy) * ADy;
        const int across = std::abs(ADx != 0 ? y - fy : x - fx);
        if (along <= 0)
            continue;
        // Straight ahead first: a button beside the way counts twice its offset.
        const double score = along + 2.0 * across;
        if (best == 0 || score < bestScore) {
            best = static_cast<int>(i) + 1;
            bestScore = score;
        }
    }
    return best;
}

} // namespace

TMenuRect TMenuLayout::ToStored(const TMenuRect& ADisplay) const {
    const double sx = static_cast<double>(FrameWidth) / DisplayWidth;
    TMenuRect r;
    r.X0 = std::max(0, static_cast<int>(std::floor(ADisplay.X0 * sx)));
    r.X1 = std::min(FrameWidth, static_cast<int>(std::ceil(ADisplay.X1 * sx)));
    r.Y0 = std::max(0, ADisplay.Y0 & ~1);
    r.Y1 = std::min(FrameHeight, (ADisplay.Y1 + 1) & ~1);
    return r;
}

int MenuPageOfTitle(int ATitle) { return ATitle < 1 ? 0 : (ATitle - 1) / MenuTitlesPerPage; }

int64_t TitleMenuBytes(size_t ATitleCount) {
    if (ATitleCount == 0)
        return 0;
    const auto pages = static_cast<int64_t>((ATitleCount + MenuTitlesPerPage - 1) / MenuTitlesPerPage);
    // 9.8 Mbit/s of picture and 192 kbit/s of sound, and the buttons' subpictures.
    constexpr int64_t stillBytes = (9800000 + 192000) / 8 * MenuStillMs / 1000;
    constexpr int64_t buttonBytes = 64 * 1024;
    return pages * (stillBytes + buttonBytes);
}

TMenuLayout LayoutMenu(int ATitleCount, int AFrameHeight, bool AWide) {
    TMenuLayout l;
    l.FrameHeight = AFrameHeight;
    l.Wide = AWide;
    l.DisplayWidth = Even(AFrameHeight * (AWide ? 16.0 / 9.0 : 4.0 / 3.0));
    const double w = l.DisplayWidth, h = AFrameHeight;
    // What a television may cut off lies outside the middle 80 %.
    const double left = 0.1 * w, right = 0.9 * w, top = 0.1 * h, bottom = 0.9 * h;
    l.Safe = Rect(left, top, right, bottom);
    l.Heading = Rect(left, top, right, top + 0.08 * h);

    const double gridTop = top + 0.09 * h, barTop = bottom - 0.11 * h;
    const double rowHeight = (barTop - 0.02 * h - gridTop) / 2, cellWidth = (right - left) / 3;
    const double pad = 0.012 * h, labelHeight = 0.055 * h;
    const double aspect = AWide ? 16.0 / 9.0 : 4.0 / 3.0;
    double pictureWidth = cellWidth - 4 * pad;
    double pictureHeight = pictureWidth / aspect;
    const double roomHeight = rowHeight - labelHeight - 4 * pad;
    if (pictureHeight > roomHeight) {
        pictureHeight = roomHeight;
        pictureWidth = pictureHeight * aspect;
    }

    const int count = ATitleCount < 1 ? 1 : ATitleCount;
    const int pages = (count + MenuTitlesPerPage - 1) / MenuTitlesPerPage;
    for (int p = 0; p < pages; ++p) {
        TMenuPage page;
        page.Index = p;
        for (int k = 0; k < MenuTitlesPerPage && p * MenuTitlesPerPage + k < count; ++k) {
            TMenuButton b;
            b.Kind = mbTitle;
            b.Title = p * MenuTitlesPerPage + k + 1;
            const double cx = left + (k % 3 + 0.5) * cellWidth;
            const double y = gridTop + (k / 3) * rowHeight + pad;
            b.Picture = Rect(cx - pictureWidth / 2, y + pad, cx + pictureWidth / 2, y + pad + pictureHeight);
            b.Label = Rect(cx - cellWidth / 2 + pad, b.Picture.Y1 + pad / 2, cx + cellWidth / 2 - pad,
                           b.Picture.Y1 + pad / 2 + labelHeight);
            b.Frame = Rect(cx - cellWidth / 2 + pad, y, cx + cellWidth / 2 - pad, b.Label.Y1);
            page.Buttons.push_back(b);
        }
        // The bar: "Previous" left, "Play all" in the middle, "Next" right.
        const double barWidth = (right - left) / 3 - 2 * pad;
        auto bar = [&](TMenuButtonKind AKind, int AColumn) {
            TMenuButton b;
            b.Kind = AKind;
            const double x0 = left + AColumn * (right - left) / 3 + pad;
            b.Frame = Rect(x0, barTop, x0 + barWidth, bottom - pad);
            b.Label = Rect(x0 + pad, barTop + pad, x0 + barWidth - pad, bottom - 2 * pad);
            page.Buttons.push_back(b);
        };
        if (p > 0)
            bar(mbPrevious, 0);
        bar(mbPlayAll, 1);
        if (p + 1 < pages)
            bar(mbNext, 2);
        for (TMenuButton& b : page.Buttons)
            b.Stored = l.ToStored(b.Frame);
        for (size_t i = 0; i < page.Buttons.size(); ++i) {
            TMenuButton& b = page.Buttons[i];
            const int self = static_cast<int>(i) + 1;
            b.Up = Nearest(page.Buttons, i, 0, -1);
            b.Down = Nearest(page.Buttons, i, 0, 1);
            b.Left = Nearest(page.Buttons, i, -1, 0);
            b.Right = Nearest(page.Buttons, i, 1, 0);
            for (int* way : {&b.Up, &b.Down, &b.Left, &b.Right})
                if (*way == 0)
                    *way = self;
        }
        l.Pages.push_back(std::move(page));
    }
    return l;
}

} // namespace qm
