// The window's "Disc" group under the presets: the disc's size, fitting the video to it, a
// folder or an ISO image with its volume label, a chapter mark every so many minutes and a
// title menu with a preview of its first page. More disc choices go in as rows of their own.
#pragma once

#include <QGroupBox>

#include <string>

#include "Core/AppSettings.h"
#include "Core/BatchPlan.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QGridLayout;
class QLineEdit;
class QPushButton;

namespace qm {

class TDiscGroup : public QGroupBox {
    Q_OBJECT
public:
    explicit TDiscGroup(QWidget* AParent = nullptr);

    // Shows the disc choices of ASettings.
    void Load(const TAppSettings& ASettings);
    // The choices into ASettings.
    void Store(TAppSettings& ASettings) const;
    // The batch's disc for output folder AOutPath (an image goes there, named after its
    // label); false with the reason when the size typed is not one.
    bool DiscSettings(const std::string& AOutPath, TDiscSettings& ADisc, QString& AError) const;
    // A further row: a caption and its control, under the ones there are.
    void AddRow(const QString& ACaption, QWidget* AControl);

signals:
    // Any choice changed.
    void Changed();
    // "Preview Menu..." was pressed.
    void PreviewRequested();

private:
    void CreateSizeRow();
    void CreateOutputRow();
    void CreateChaptersRow();
    void UpdateControls();
    double ChapterMinutes() const;

    QGridLayout* FLayout = nullptr;
    QComboBox* FSize = nullptr;
    QLineEdit* FOtherSize = nullptr;
    QCheckBox* FFit = nullptr;
    QComboBox* FOutput = nullptr;
    QLineEdit* FLabel = nullptr;
    QDoubleSpinBox* FChapters = nullptr;
    QCheckBox* FTitleMenu = nullptr;
    QPushButton* FPreview = nullptr;
};

} // namespace qm
