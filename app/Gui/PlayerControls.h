// A player with the controls that drive it, as the preview window and the trim page show
// them: the state, position and duration labels, the black display panel the player draws
// into, the position bar, Play/Pause, Stop, the volume bar and Mute. The window that holds
// them lays them out and adds what it does besides (closing on Stop, the trim marks).
#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QCheckBox;
class QLabel;
class QPushButton;
class QSlider;
class QWidget;

namespace qm {

class TCustomPlayer;
class TFFPlayer;
class TPositionBar;
enum TPlayState : uint8_t;

// The texts of the state label.
QString PlayStateText(TPlayState AState);

class TPlayerControls : public QObject {
    Q_OBJECT
public:
    enum TPlayTag { ptStopped, ptPlaying, ptPaused };
    // A message box over AWindow.
    using TShowMessage = std::function<void(QWidget* AWindow, const QString& AText)>;

    // The controls become children of AHost. AProgramFolder: where Dll/ lies, with a trailing
    // '/'. AAutoTicks: the position bar marks its ticks (the preview window) or not (the trim
    // page).
    TPlayerControls(QWidget* AHost, std::string AProgramFolder, TShowMessage AShowMessage, bool AAutoTicks);
    // Stops the player and waits for it, while the display panel is still there.
    ~TPlayerControls() override;

    void SetFileName(const std::string& AFileName) { FFileName = AFileName; }
    const std::string& FileName() const { return FFileName; }

    // Loads the player's libraries if they are not yet; false after the loader's message.
    bool LoadLibraries();

    // The handlers.
    void bbPlayClick();
    void bbStopClick();

    TFFPlayer& Player() { return *FPlayer; }
    TPlayTag PlayTag() const { return FPlayTag; }
    // The file's duration as reported when it opened (microseconds).
    int64_t Duration() const { return FDuration; }

    QLabel* StatusCaption = nullptr; // "Status:"
    QLabel* State = nullptr;
    QLabel* Position = nullptr;
    QLabel* DurationLabel = nullptr;
    QWidget* Panel = nullptr; // "panPreview"
    TPositionBar* Bar = nullptr;
    QPushButton* Play = nullptr;
    QPushButton* Stop = nullptr;
    QLabel* Voice = nullptr;
    QSlider* Volume = nullptr;
    QCheckBox* Mute = nullptr;

signals:
    // Stop was pressed and playback has ended.
    void Stopped();
    // A file opened and the bar was set up for it.
    void FileOpened();
    // A position was shown (microseconds from the file's start).
    void PositionShown(qint64 APosition);
    // The state label shows AState (a TPlayState).
    void StateShown(int AState);

private:
    void PlayerFileOpen(int64_t ADuration, int32_t& AScreenWidth, int32_t& AScreenHeight);
    void PlayerPosition(int64_t APosition);
    void PlayerState(TPlayState AState);
    void tbPositionMouseDown();
    void tbPositionMouseUp();
    void UpdatePlayCaption();
    // The player's last failure in a message box over the window.
    void ShowError();

    std::string FProgramFolder;
    TShowMessage FShowMessage;
    std::string FFileName;
    std::unique_ptr<TFFPlayer> FPlayer;
    TPlayTag FPlayTag = ptStopped;
    int64_t FDuration = 0;
    bool FPositionGuard = false;
    bool FAutoTicks = true;
};

} // namespace qm
