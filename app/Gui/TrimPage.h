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

class QHBoxLayout;
class QLabel;
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
    // Frame by frame (also the Left and Right keys): the picture before or after the one on
    // screen, paused; the first and the last picture of the marked part.
    QPushButton* PrevFrame = nullptr;
    QPushButton* NextFrame = nullptr;
    QPushButton* ShowFirst = nullptr;
    QPushButton* ShowLast = nullptr;
    // The time of the picture on screen, to the millisecond.
    QLabel* FrameTime = nullptr;
    // Stops playback about a second after it came near the end.
    QTimer EndTimer;

    void bbSetStartClick();
    void bbSetEndClick();
    void StepFrame(bool AForward);
    void bbShowFirstClick();
    void bbShowLastClick();

protected:
    void showEvent(QShowEvent* AEvent) override;

private:
    void PageShow();
    void PositionShown(int64_t APosition);
    void ShowSelection();
    // The row of frame steps, the frame's time and the part's ends, under the player's.
    QHBoxLayout* AddFrameControls();
    // Playback paused, so that a picture stays on screen; false when nothing plays.
    bool PauseForFrames();
    // The picture on screen, else the position last reported.
    int64_t MarkPosition() const;

    std::unique_ptr<TPlayerControls> FControls;
    TTrimMarks FMarks;
    int64_t FCurrentPosition = 0;
    bool FFirstShow = true;
};

} // namespace qm
