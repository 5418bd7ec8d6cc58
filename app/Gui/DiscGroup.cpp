#include "Gui/DiscGroup.h"

#include <algorithm>

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "Core/DiscChapters.h"
#include "Core/DiscImage.h"
#include "Platform/FileUtils.h"

namespace qm {

namespace {

constexpr const char* OtherSize = "other";

} // namespace

TDiscGroup::TDiscGroup(QWidget* AParent) : QGroupBox("Disc", AParent) {
    setObjectName("gbDisc");
    FLayout = new QGridLayout(this);
    CreateSizeRow();
    CreateOutputRow();
    CreateChaptersRow();
    FLayout->setColumnStretch(3, 1);

    auto changed = [this] {
        UpdateControls();
        emit Changed();
    };
    connect(FSize, &QComboBox::currentIndexChanged, this, changed);
    connect(FOtherSize, &QLineEdit::textChanged, this, changed);
    connect(FFit, &QCheckBox::toggled, this, changed);
    connect(FOutput, &QComboBox::currentIndexChanged, this, changed);
    connect(FLabel, &QLineEdit::textChanged, this, changed);
    connect(FChapters, &QDoubleSpinBox::valueChanged, this, changed);
    connect(FTitleMenu, &QCheckBox::toggled, this, changed);
    connect(FPreview, &QPushButton::clicked, this, &TDiscGroup::PreviewRequested);
    UpdateControls();
}

void TDiscGroup::CreateSizeRow() {
    FSize = new QComboBox(this);
    FSize->setObjectName("cbDiscSize");
    FSize->addItem("DVD-5 (4.7 GB)", "dvd5");
    FSize->addItem("DVD-9 (8.5 GB)", "dvd9");
    FSize->addItem("no limit", "none");
    FSize->addItem("Other size:", OtherSize);
    FOtherSize = new QLineEdit(this);
    FOtherSize->setObjectName("edDiscSize");
    FOtherSize->setPlaceholderText("e.g. 700M or 4.2G");
    FOtherSize->setMaximumWidth(130);
    FFit = new QCheckBox("Fit to disc", this);
    FFit->setObjectName("cbFitToDisc");
    FFit->setToolTip("Choose the video rate that fills the disc; each file is then encoded in two passes.");
    FLayout->addWidget(new QLabel("Disc size:", this), 0, 0);
    FLayout->addWidget(FSize, 0, 1);
    FLayout->addWidget(FOtherSize, 0, 2);
    FLayout->addWidget(FFit, 0, 3);
}

void TDiscGroup::CreateOutputRow() {
    FOutput = new QComboBox(this);
    FOutput->setObjectName("cbDiscOutput");
    FOutput->addItem("Folder");
    FOutput->addItem("ISO image");
    FLabel = new QLineEdit(this);
    FLabel->setObjectName("edVolumeLabel");
    FLabel->setPlaceholderText("from the output folder's name");
    FLabel->setMaxLength(32);
    FLayout->addWidget(new QLabel("Output:", this), 1, 0);
    FLayout->addWidget(FOutput, 1, 1);
    FLayout->addWidget(new QLabel("Volume label:", this), 1, 2, Qt::AlignRight);
    FLayout->addWidget(FLabel, 1, 3);
}

void TDiscGroup::CreateChaptersRow() {
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
    FTitleMenu = new QCheckBox("Title menu", this);
    FTitleMenu->setObjectName("cbTitleMenu");
    FTitleMenu->setToolTip("A menu with a button for each title and \"Play all\"; after a title "
                           "the player comes back to it");
    FPreview = new QPushButton("Preview Menu...", this);
    FPreview->setObjectName("bbMenuPreview");
    auto* menu = new QHBoxLayout;
    menu->addWidget(FTitleMenu);
    menu->addWidget(FPreview);
    menu->addStretch();
    auto* label = new QLabel("Chapter every:", this);
    label->setBuddy(FChapters);
    FLayout->addWidget(label, 2, 0);
    FLayout->addWidget(FChapters, 2, 1);
    FLayout->addLayout(menu, 2, 2, 1, 2);
}

void TDiscGroup::AddRow(const QString& ACaption, QWidget* AControl) {
    const int row = FLayout->rowCount();
    FLayout->addWidget(new QLabel(ACaption, this), row, 0);
    FLayout->addWidget(AControl, row, 1, 1, 3);
}

void TDiscGroup::UpdateControls() {
    const bool other = FSize->currentData().toString() == OtherSize;
    FOtherSize->setEnabled(other);
    FFit->setEnabled(FSize->currentData().toString() != "none");
    FLabel->setEnabled(FOutput->currentIndex() == 1);
    FPreview->setEnabled(FTitleMenu->isChecked());
}

double TDiscGroup::ChapterMinutes() const {
    const double v = FChapters->value();
    // The box shows one decimal: anything above 0 is at least the shortest interval.
    return v <= 0 ? 0 : std::max(v, MinChapterMinutes);
}

void TDiscGroup::Load(const TAppSettings& ASettings) {
    const QSignalBlocker blockSize(FSize), blockOther(FOtherSize), blockFit(FFit), blockOutput(FOutput),
        blockLabel(FLabel), blockChapters(FChapters), blockMenu(FTitleMenu);
    const QString size = QString::fromStdString(ASettings.DiscSize);
    const int named = FSize->findData(size);
    FSize->setCurrentIndex(named >= 0 ? named : FSize->findData(OtherSize));
    FOtherSize->setText(named >= 0 ? QString() : size);
    FFit->setChecked(ASettings.FitToDisc);
    FOutput->setCurrentIndex(ASettings.DiscImage ? 1 : 0);
    FLabel->setText(QString::fromStdString(ASettings.VolumeLabel));
    FChapters->setValue(ASettings.ChapterMinutes);
    FTitleMenu->setChecked(ASettings.TitleMenu);
    UpdateControls();
}

void TDiscGroup::Store(TAppSettings& ASettings) const {
    const QString size = FSize->currentData().toString();
    int64_t bytes = 0;
    if (size != OtherSize)
        ASettings.DiscSize = size.toStdString();
    else if (ParseDiscSize(FOtherSize->text().trimmed().toStdString(), bytes))
        ASettings.DiscSize = DiscSizeName(bytes);
    ASettings.FitToDisc = FFit->isChecked();
    ASettings.DiscImage = FOutput->currentIndex() == 1;
    ASettings.VolumeLabel = FLabel->text().trimmed().toStdString();
    ASettings.ChapterMinutes = ChapterMinutes();
    ASettings.TitleMenu = FTitleMenu->isChecked();
}

bool TDiscGroup::DiscSettings(const std::string& AOutPath, TDiscSettings& ADisc, QString& AError) const {
    ADisc = {};
    const QString size = FSize->currentData().toString();
    const QString text = size == OtherSize ? FOtherSize->text().trimmed() : size;
    if (!ParseDiscSize(text.toStdString(), ADisc.DiscBytes)) {
        AError = "The disc size \"" + text + "\" is not one: give it as 700M or 4.2G.";
        return false;
    }
    ADisc.Fit = FFit->isChecked() && ADisc.DiscBytes > 0;
    if (FOutput->currentIndex() == 1) {
        std::string out = AOutPath;
        while (out.size() > 1 && out.back() == '/')
            out.pop_back();
        ADisc.VolumeLabel = VolumeLabelOf(FLabel->text().trimmed().isEmpty() ? out : FLabel->text().trimmed().toStdString());
        ADisc.ImageFile = IncludeTrailingSlash(AOutPath) + ADisc.VolumeLabel + ".iso";
    }
    return true;
}

} // namespace qm
