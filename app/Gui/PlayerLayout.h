// The player controls of the preview window and of the trim page in layouts, so that every
// text gets the room its font needs: the status line over the picture, the position bar
// under it, then the buttons, the volume and whatever the page adds.
#pragma once

#include <QList>
#include <QSize>

class QVBoxLayout;
class QWidget;

namespace qm {

class TPlayerControls;

struct TPlayerLayout {
    QSize PanelSize;      // the picture's panel, at least; it takes what room is left
    int BarHeight = 20;   // the position bar's
    int ButtonWidth = 75; // Play and Stop, at least
    int VolumeWidth = 120;
    int Margin = 0;       // around the picture and the bar
    QList<QWidget*> ExtraButtons; // after Mute, in this order
};

// Lays the controls out in AHost, which gets the returned layout.
QVBoxLayout* LayOutPlayerControls(TPlayerControls& AControls, QWidget& AHost, const TPlayerLayout& ALayout);

} // namespace qm
