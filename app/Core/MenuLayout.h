// Where the title menu's buttons lie: pages of at most six titles in a grid of three by two,
// and under them "Previous", "Play all" and "Next". Plain geometry, so that the painter, the
// button file for spumux and the authoring description all work from one layout.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm {

inline constexpr int MenuTitlesPerPage = 6;
// How long a menu page's stream lasts; the player holds its picture after that.
inline constexpr int MenuStillMs = 1000;

// What the title menu of ATitleCount titles takes on the disc at most: a page's still at
// the highest video rate a DVD allows with its sound, and its buttons, for every page.
int64_t TitleMenuBytes(size_t ATitleCount);

enum TMenuButtonKind { mbTitle, mbPrevious, mbPlayAll, mbNext };

// A rectangle on the menu picture; X1 and Y1 lie just outside it.
struct TMenuRect {
    int X0 = 0, Y0 = 0, X1 = 0, Y1 = 0;
    int Width() const { return X1 - X0; }
    int Height() const { return Y1 - Y0; }
};

struct TMenuButton {
    TMenuButtonKind Kind = mbTitle;
    int Title = 0; // mbTitle: the disc's title number, from 1
    // On the picture as it is shown (square pixels, DisplayWidth wide): the frame the
    // highlight draws, the still picture inside it and the name's line under it.
    TMenuRect Frame, Picture, Label;
    // The highlight's rectangle in the stored frame (720 pixels wide), even rows as the
    // subpicture needs them.
    TMenuRect Stored;
    // Button numbers (from 1, on the same page) that the remote's arrows move to.
    int Up = 0, Down = 0, Left = 0, Right = 0;
};

struct TMenuPage {
    int Index = 0; // from 0
    std::vector<TMenuButton> Buttons;
};

struct TMenuLayout {
    int FrameWidth = 720; // the stored picture
    int FrameHeight = 576;
    int DisplayWidth = 768; // the picture as shown, square pixels, FrameHeight high
    bool Wide = false;      // 16:9
    TMenuRect Safe;         // the title-safe area, display pixels
    TMenuRect Heading;      // the page's heading line, display pixels
    std::vector<TMenuPage> Pages;

    // A display rectangle in stored pixels (rows made even).
    TMenuRect ToStored(const TMenuRect& ADisplay) const;
};

// ATitleCount titles (at least 1) on a PAL (AFrameHeight 576) or NTSC (480) menu, 4:3 or
// 16:9 (AWide).
TMenuLayout LayoutMenu(int ATitleCount, int AFrameHeight, bool AWide);

// The page that shows title ATitle (from 1).
int MenuPageOfTitle(int ATitle);

} // namespace qm
