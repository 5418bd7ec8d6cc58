// The window's "Disc" group: what the disc gets besides its titles — a chapter mark every
// so many minutes and a title menu, with a preview of the menu's first page.
#pragma once

#include <QGroupBox>

class QCheckBox;
class QDoubleSpinBox;
class QPushButton;

namespace qm {

class TDiscGroup : public QGroupBox {
    Q_OBJECT
public:
    explicit TDiscGroup(QWidget* AParent = nullptr);

    double ChapterMinutes() const;
    void SetChapterMinutes(double AMinutes);
    bool TitleMenu() const;
    void SetTitleMenu(bool AOn);

signals:
    // The user changed a setting.
    void Changed();
    // "Preview Menu..." was pressed.
    void PreviewRequested();

private:
    QDoubleSpinBox* FChapters = nullptr;
    QCheckBox* FTitleMenu = nullptr;
    QPushButton* FPreview = nullptr;
};

} // namespace qm
