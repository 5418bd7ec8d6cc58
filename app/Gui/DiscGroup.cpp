#include "Gui/DiscGroup.h"

#include <algorithm>

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

#include "Core/DiscChapters.h"

namespace qm {

TDiscGroup::TDiscGroup(QWidget* AParent) : QGroupBox("Disc", AParent) {
    setObjectName("gbDisc");
    auto* layout = new QHBoxLayout(this);
    auto* label = new QLabel("Chapter every", this);
    FChapters = new QDoubleSpinBox(this);
    FChapters->setObjectName("sbChapters");
    FChapters->setDecimals(1);
    FChapters->setRange(0, MaxChapterMinutes);
    FChapters->setSingleStep(1);
    FChapters->setSuffix(" min");
    FChapters->setSpecialValueText("no chapters");
    FChapters->setValue(DefaultChapterMinutes);
    FChapters->setToolTip("A chapter mark every so many minutes of each title, for the player's "
                          "Next and Previous; 0 for none");
    label->setBuddy(FChapters);
    FTitleMenu = new QCheckBox("Title menu", this);
    FTitleMenu->setObjectName("cbTitleMenu");
    FTitleMenu->setToolTip("A menu with a button for each title and \"Play all\"; after a title "
                           "the player comes back to it");
    FPreview = new QPushButton("Preview Menu...", this);
    FPreview->setObjectName("bbMenuPreview");
    FPreview->setEnabled(false);
    layout->addWidget(label);
    layout->addWidget(FChapters);
    layout->addSpacing(16);
    layout->addWidget(FTitleMenu);
    layout->addWidget(FPreview);
    layout->addStretch();

    connect(FChapters, &QDoubleSpinBox::valueChanged, this, &TDiscGroup::Changed);
    connect(FTitleMenu, &QCheckBox::toggled, this, [this](bool AOn) {
        FPreview->setEnabled(AOn);
        emit Changed();
    });
    connect(FPreview, &QPushButton::clicked, this, &TDiscGroup::PreviewRequested);
}

double TDiscGroup::ChapterMinutes() const {
    const double v = FChapters->value();
    // The box shows one decimal: anything above 0 is at least the shortest interval.
    return v <= 0 ? 0 : std::max(v, MinChapterMinutes);
}

void TDiscGroup::SetChapterMinutes(double AMinutes) {
    const QSignalBlocker quiet(FChapters);
    FChapters->setValue(AMinutes);
}

bool TDiscGroup::TitleMenu() const { return FTitleMenu->isChecked(); }

void TDiscGroup::SetTitleMenu(bool AOn) {
    const QSignalBlocker quiet(FTitleMenu);
    FTitleMenu->setChecked(AOn);
    FPreview->setEnabled(AOn);
}

} // namespace qm
