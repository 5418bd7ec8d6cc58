// The preview window: a small modal dialog that plays a listed file into its black panel at
// once, with Play/Pause, Stop (also Esc and the close box: playback stops and the window
// closes), the position bar to seek with, the volume bar and Mute.
#pragma once

#include <QDialog>

#include <memory>
#include <string>

#include "Gui/PlayerControls.h"

namespace qm {

class TPreviewDialog : public QDialog {
    Q_OBJECT
public:
    TPreviewDialog(std::string AFileName, std::string AProgramFolder, TPlayerControls::TShowMessage AShowMessage,
                   QWidget* AParent = nullptr);
    ~TPreviewDialog() override;

    TPlayerControls& Controls() { return *FControls; }

public slots:
    // Esc and the close box press Stop.
    void reject() override;

protected:
    void showEvent(QShowEvent* AEvent) override;

private:
    void FormShow();

    std::unique_ptr<TPlayerControls> FControls;
    bool FShown = false;
};

} // namespace qm
