// The settings dialog: a page control whose "Options" page holds the switches kept between
// runs. Further pages are added with AddPage.
#pragma once

#include <QDialog>

class QCheckBox;
class QTabWidget;
class QVBoxLayout;

namespace qm {

class TSettingsDialog : public QDialog {
    Q_OBJECT
public:
    explicit TSettingsDialog(QWidget* AParent = nullptr);

    void SetOpenFolder(bool AOn);
    void SetMusicPlay(bool AOn);
    void SetShowPreview(bool AOn);
    bool OpenFolder() const;
    bool MusicPlay() const;
    bool ShowPreview() const;

    // The page shown; an index out of range shows the first.
    void SetPage(int AIndex);
    int Page() const;
    int AddPage(QWidget* APage, const QString& ATitle);
    // The "Set the Options" group's layout, for more options.
    QVBoxLayout* OptionsLayout() const { return FOptions; }

protected:
    void showEvent(QShowEvent* AEvent) override;

private:
    QTabWidget* FPages = nullptr;
    QVBoxLayout* FOptions = nullptr;
    QCheckBox* FOpenFolder = nullptr;
    QCheckBox* FMusicPlay = nullptr;
    QCheckBox* FShowPreview = nullptr;
};

} // namespace qm
