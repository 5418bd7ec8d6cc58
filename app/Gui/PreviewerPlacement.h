// Where the floating preview of a running conversion goes: beside the main window, never
// over its list, Stop, Pause or progress bar, and at a size that fits the screen.
#pragma once

#include <QRect>
#include <QSize>

namespace qm {

// The preview's client area for frames of AFrame's size: in the widest free strip of
// AScreen to the right of, left of, below or above AMainWindow (its frame, with AGap
// between them), as large as the frame where there is room, smaller with its shape kept
// where there is not; never larger than the frame. With no main window (an empty
// rectangle), centred on the screen. When no strip leaves a useful picture (a maximised
// window), a quarter of the screen's width in its top right corner.
QRect PlacePreview(QSize AFrame, const QRect& AMainWindow, const QRect& AScreen, int AGap = 8);

} // namespace qm
