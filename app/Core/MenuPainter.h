// The title menu's pictures, drawn with QtGui: each page's background with the titles' still
// pictures and names, and the two button masks spumux lays over it (the highlight of the
// button the remote is on, and the flash of the one pressed).
#pragma once

#include <QImage>
#include <QString>

#include <vector>

namespace qm {

struct TMenuLayout;

struct TMenuTitle {
    QString Name;
    QImage Picture; // a still of the title in its stored frame (any size); null: none
};

// Colours a television shows well: light text on a dark gradient, a yellow highlight and an
// orange flash.
inline constexpr unsigned MenuHighlightColour = 0xFFFFD21Eu;
inline constexpr unsigned MenuSelectColour = 0xFFFF5A28u;

// Page APage as stored: FrameWidth x FrameHeight, drawn in the display's shape and squeezed
// into the frame's pixels. ATitles by title number - 1.
QImage PaintMenuPage(const TMenuLayout& ALayout, int APage, const std::vector<TMenuTitle>& ATitles);

// The page's button frames in AColour on transparent, two colours only (no smoothed edges),
// as spumux wants them. ALetterbox: placed for a 4:3 set that shows the wide menu letterboxed.
QImage PaintButtonMask(const TMenuLayout& ALayout, int APage, unsigned AColour, bool ALetterbox = false);

// The page as a preview shows it: display shape, square pixels, highlight on the first button.
QImage PreviewMenuPage(const TMenuLayout& ALayout, int APage, const std::vector<TMenuTitle>& ATitles);

} // namespace qm
