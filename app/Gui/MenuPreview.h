// A window with the title menu's first page as the disc will show it, drawn from the list's
// titles and names before anything is converted (the titles' stills are taken while the
// disc is made; the preview shows their places).
#pragma once

#include <QDialog>

#include <vector>

#include "Core/InputList.h"

namespace qm {

class TMenuPreview : public QDialog {
    Q_OBJECT
public:
    TMenuPreview(const std::vector<rInputStreamInfo>& AItems, int APresetIndex, QWidget* AParent = nullptr);
};

} // namespace qm
