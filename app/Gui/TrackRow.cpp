#include "Gui/TrackRow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>

namespace qm {

TTrackRow::TTrackRow(QWidget* AParent) : QWidget(AParent) {
    setObjectName("wgTracks");
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* label = new QLabel("Sound", this);
    FFormat = new QComboBox(this);
    FFormat->setObjectName("cbSoundFormat");
    // The data is the command line's word; "" follows the preset.
    FFormat->addItem("MP2 for PAL, AC-3 for NTSC", QString());
    FFormat->addItem("MP2", QString("mp2"));
    FFormat->addItem("AC-3 (keeps 5.1)", QString("ac3"));
    FFormat->addItem("PCM", QString("pcm"));
    FFormat->setToolTip("The sound format of the disc. Players for NTSC discs need not play MP2; "
                        "PCM leaves the picture less room.");
    label->setBuddy(FFormat);
    FAllTracks = new QCheckBox("All sound tracks", this);
    FAllTracks->setObjectName("cbAllSoundTracks");
    FAllTracks->setToolTip("Every sound track of a file (at most 8) with its language; off: the "
                           "first only");
    layout->addWidget(label);
    layout->addWidget(FFormat);
    layout->addSpacing(16);
    layout->addWidget(FAllTracks);
    layout->addStretch();
    SetChoices({});
    connect(FFormat, &QComboBox::currentIndexChanged, this, &TTrackRow::Changed);
    connect(FAllTracks, &QCheckBox::toggled, this, &TTrackRow::Changed);
}

TTrackChoices TTrackRow::Choices() const {
    TTrackChoices c;
    c.SoundFormat = FFormat->currentData().toString().toStdString();
    c.AllSoundTracks = FAllTracks->isChecked();
    return c;
}

void TTrackRow::SetChoices(const TTrackChoices& AChoices) {
    const QSignalBlocker quietFormat(FFormat), quietTracks(FAllTracks);
    FFormat->setCurrentIndex(std::max(0, FFormat->findData(QString::fromStdString(AChoices.SoundFormat))));
    FAllTracks->setChecked(AChoices.AllSoundTracks);
}

} // namespace qm
