#include "Gui/PlayerLayout.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QSlider>

#include "Gui/PlayerControls.h"
#include "Gui/PositionBar.h"

namespace qm {

namespace {

// Room for the widest text a label or button shows while playing, so that a new text
// never moves the others.
int WidestText(const QWidget& AWidget, const QStringList& ATexts) {
    const QFontMetrics metrics(AWidget.font());
    int widest = 0;
    for (const QString& t : ATexts)
        widest = std::max(widest, metrics.horizontalAdvance(t));
    return widest;
}

QHBoxLayout* StatusLine(TPlayerControls& c) {
    auto* line = new QHBoxLayout;
    line->setContentsMargins(4, 2, 4, 0);
    line->setSpacing(0);
    line->addWidget(c.StatusCaption);
    // "Status:" and its value apart by a blank of the labels' font.
    line->addSpacing(QFontMetrics(c.StatusCaption->font()).horizontalAdvance(QLatin1Char(' ')) + 2);
    c.State->setMinimumWidth(WidestText(*c.State, {"Ready", "Play", "Pause", "Step", "End"}));
    line->addWidget(c.State);
    line->addStretch(1);
    const int time = WidestText(*c.Position, {"00:00:00", "0 00:00:00"});
    c.Position->setMinimumWidth(time);
    c.DurationLabel->setMinimumWidth(time);
    line->addWidget(c.Position);
    line->addSpacing(8);
    line->addWidget(c.DurationLabel);
    return line;
}

QHBoxLayout* ButtonLine(TPlayerControls& c, const TPlayerLayout& ALayout) {
    auto* line = new QHBoxLayout;
    line->setContentsMargins(4, 0, 4, 2);
    line->setSpacing(4);
    for (QPushButton* b : {c.Play, c.Stop})
        b->setMinimumWidth(std::max(ALayout.ButtonWidth, WidestText(*b, {"Play", "Pause", "Stop"}) + 16));
    line->addWidget(c.Play);
    line->addWidget(c.Stop);
    line->addSpacing(6);
    line->addWidget(c.Voice);
    c.Volume->setMinimumWidth(ALayout.VolumeWidth);
    line->addWidget(c.Volume, 1);
    line->addWidget(c.Mute);
    for (QWidget* w : ALayout.ExtraButtons)
        line->addWidget(w);
    return line;
}

} // namespace

QVBoxLayout* LayOutPlayerControls(TPlayerControls& c, QWidget& AHost, const TPlayerLayout& ALayout) {
    auto* column = new QVBoxLayout(&AHost);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
    column->addLayout(StatusLine(c));
    c.Panel->setMinimumSize(ALayout.PanelSize);
    auto* picture = new QVBoxLayout;
    picture->setContentsMargins(ALayout.Margin, 0, ALayout.Margin, 0);
    picture->setSpacing(2);
    picture->addWidget(c.Panel, 1);
    c.Bar->setFixedHeight(ALayout.BarHeight);
    picture->addWidget(c.Bar);
    column->addLayout(picture, 1);
    column->addLayout(ButtonLine(c, ALayout));
    return column;
}

} // namespace qm
