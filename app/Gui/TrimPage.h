// The settings dialog's "Trim" page: plays the selected file with its own player and
// controls, and marks the part to convert with Set Start and Set End at the playing position.
// Playback starts the first time the page is shown and ends by itself shortly after the end
// of the file; the page always starts without marks.
#pragma once

#include <QTimer>
#include <QWidget>

#include <memory>
#include <string>

#include "Core/Trim.h"
#include "Gui/PlayerControls.h"

class QPushButton;

namespace qm {

class TTrimPage : public QWidget {
    Q_OBJECT
public:
    TTrimPage(std::string AFileName, std::string AProgramFolder, TPlayerControls::TShowMessage AShowMessage,
              QWidget* AParent = nullptr);
    ~TTrimPage() override;

    // What the main window stores in the row when the dialog ends with OK.
    int32_t TrimStartMs() const { return FMarks.StartMs; }
    int32_t TrimLengthMs() const { return FMarks.LengthMs; }
    const TTrimMarks& Marks() const { return FMarks; }
    // The position last reported by the player (microseconds).
    int64_t CurrentPosition() const { return FCurrentPosition; }

    TPlayerControls& Controls() { return *FControls; }
    QPushButton* SetStart = nullptr;
    QPushButton* SetEnd = nullptr;
    // Stops playback about a second after it came near the end.
    QTimer EndTimer;

    void bbSetStartClick();
    void bbSetEndClick();

protected:
    void showEvent(QShowEvent* AEvent) override;

private:
    void PageShow();
    void PositionShown(int64_t APosition);
    void ShowSelection();

    std::unique_ptr<TPlayerControls> FControls;
    TTrimMarks FMarks;
    int64_t FCurrentPosition = 0;
    bool FFirstShow = true;
};

} // namespace qm
