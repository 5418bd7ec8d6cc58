#include "Gui/MenuPreview.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>

#include "Core/DvdBatch.h"
#include "Core/MenuLayout.h"
#include "Core/MenuPainter.h"

namespace qm {

TMenuPreview::TMenuPreview(const std::vector<rInputStreamInfo>& AItems, int APresetIndex, QWidget* AParent)
    : QDialog(AParent) {
    setObjectName("MenuPreview");
    setWindowTitle("Title Menu");
    const TDvdPreset& preset = DvdPresets().at(static_cast<size_t>(APresetIndex));
    // Only files with a picture become titles.
    std::vector<rInputStreamInfo> titles;
    for (const auto& item : AItems)
        if (item.HasVideo())
            titles.push_back(item);
    const bool wide = ChooseDiscAspect(titles, preset) > 1.5;
    const TMenuLayout layout = LayoutMenu(static_cast<int>(std::max<size_t>(titles.size(), 1)),
                                          preset.NormType == 1 ? 576 : 480, wide);
    std::vector<TMenuTitle> shown;
    for (const auto& item : titles)
        shown.push_back({QString::fromStdString(item.MenuTitle()), QImage()});
    auto* picture = new QLabel(this);
    picture->setObjectName("lbMenuPicture");
    picture->setPixmap(QPixmap::fromImage(PreviewMenuPage(layout, 0, shown)));
    auto* note = new QLabel(QString("The first of %1 page%2, %3. Each title's button gets a still "
                                    "from about a tenth into the title when the disc is made.")
                                .arg(layout.Pages.size())
                                .arg(layout.Pages.size() == 1 ? "" : "s")
                                .arg(wide ? "16:9" : "4:3"),
                            this);
    note->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layoutBox = new QVBoxLayout(this);
    layoutBox->addWidget(picture);
    layoutBox->addWidget(note);
    layoutBox->addWidget(buttons);
}

} // namespace qm
