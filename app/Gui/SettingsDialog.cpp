#include "Gui/SettingsDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>


namespace qm {

TSettingsDialog::TSettingsDialog(QWidget* AParent)
    : QDialog(AParent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint) {
    setObjectName("SettingsDialog");
    setWindowTitle(QStringLiteral("Settings"));

    FPages = new QTabWidget(this);
    FPages->setObjectName("pcSettings");

    auto* options = new QWidget;
    options->setObjectName("tsOptions");
    auto* group = new QGroupBox(QStringLiteral("Set the Options"), options);
    FOptions = new QVBoxLayout(group);
    FOpenFolder = new QCheckBox(QStringLiteral("Open the output file folder after the conversion."));
    FOpenFolder->setObjectName("cbOpenFolder");
    FMusicPlay = new QCheckBox(QStringLiteral("Turn on the warning note after one conversion done."));
    FMusicPlay->setObjectName("cbMusicPlay");
    FShowPreview = new QCheckBox(QStringLiteral("Show preview while converting"));
    FShowPreview->setObjectName("cbShowPreview");
    FOptions->addWidget(FOpenFolder);
    FOptions->addWidget(FMusicPlay);
    FOptions->addWidget(FShowPreview);
    auto* page = new QVBoxLayout(options);
    page->addWidget(group);
    page->addStretch();
    FPages->addTab(options, QStringLiteral("Options"));

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttons->button(QDialogButtonBox::Ok)->setObjectName("bbOK");
    buttons->button(QDialogButtonBox::Cancel)->setObjectName("bbCancel");
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(FPages);
    layout->addWidget(buttons);
}

void TSettingsDialog::showEvent(QShowEvent* AEvent) {
    // 372 x 416, or more where the pages' texts need it in the desktop's font: not resizable,
    // and nothing cut off.
    layout()->activate();
    setFixedSize(layout()->sizeHint().expandedTo(QSize(372, 416)));
    QDialog::showEvent(AEvent);
}

void TSettingsDialog::SetOpenFolder(bool AOn) { FOpenFolder->setChecked(AOn); }
void TSettingsDialog::SetMusicPlay(bool AOn) { FMusicPlay->setChecked(AOn); }
void TSettingsDialog::SetShowPreview(bool AOn) { FShowPreview->setChecked(AOn); }
bool TSettingsDialog::OpenFolder() const { return FOpenFolder->isChecked(); }
bool TSettingsDialog::MusicPlay() const { return FMusicPlay->isChecked(); }
bool TSettingsDialog::ShowPreview() const { return FShowPreview->isChecked(); }

void TSettingsDialog::SetPage(int AIndex) {
    FPages->setCurrentIndex(AIndex >= 0 && AIndex < FPages->count() ? AIndex : 0);
}

int TSettingsDialog::Page() const { return FPages->currentIndex(); }

int TSettingsDialog::AddPage(QWidget* APage, const QString& ATitle) { return FPages->addTab(APage, ATitle); }

} // namespace qm
