#include "Gui/PlayerControls.h"

#include <QApplication>
#include <QCheckBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QSlider>

#include "Gui/PositionBar.h"
#include "Platform/MainThread.h"
#include "Player/FFPlayer.h"
#include "Probe/MediaText.h"

namespace qm {

namespace {

constexpr int VolumeMax = 192;
constexpr int VolumeStart = 100;

QString SecondsText(int64_t AMicroseconds) {
    return QString::fromStdString(DurationTextUs(AMicroseconds));
}

} // namespace

QString PlayStateText(TPlayState AState) {
    switch (AState) {
    case psPlay:
    case psResume:
        return QStringLiteral("Play");
    case psPause:
        return QStringLiteral("Pause");
    case psStep:
        return QStringLiteral("Step");
    case psStop:
        return QStringLiteral("Ready");
    case psEnd:
        return QStringLiteral("End");
    }
    return {};
}

TPlayerControls::TPlayerControls(QWidget* AHost, std::string AProgramFolder, TShowMessage AShowMessage,
                                 bool AAutoTicks)
    : FProgramFolder(std::move(AProgramFolder)), FShowMessage(std::move(AShowMessage)),
      FPlayer(std::make_unique<TFFPlayer>()), FAutoTicks(AAutoTicks) {
    StatusCaption = new QLabel(QStringLiteral("Status:"), AHost);
    StatusCaption->setObjectName("lbStatus");
    State = new QLabel(QStringLiteral("Ready"), AHost);
    State->setObjectName("lbState");
    Position = new QLabel(AHost);
    Position->setObjectName("lbPosition");
    Position->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    DurationLabel = new QLabel(AHost);
    DurationLabel->setObjectName("lbDuration");

    // The player draws into the panel's own X window; Qt paints it black, which wipes the
    // last picture when playback has ended.
    Panel = new QWidget(AHost);
    Panel->setObjectName("panPreview");
    Panel->setAutoFillBackground(true);
    QPalette black = Panel->palette();
    black.setColor(QPalette::Window, Qt::black);
    Panel->setPalette(black);

    Bar = new TPositionBar(AHost);
    Bar->setObjectName("tbPosition");
    Bar->SetAutoTicks(AAutoTicks);
    connect(Bar, &TPositionBar::MouseDown, this, &TPlayerControls::tbPositionMouseDown);
    connect(Bar, &TPositionBar::MouseUp, this, &TPlayerControls::tbPositionMouseUp);

    Play = new QPushButton(AHost);
    Play->setObjectName("bbPlay");
    connect(Play, &QPushButton::clicked, this, &TPlayerControls::bbPlayClick);
    Stop = new QPushButton(QStringLiteral("Stop"), AHost);
    Stop->setObjectName("bbStop");
    connect(Stop, &QPushButton::clicked, this, &TPlayerControls::bbStopClick);
    UpdatePlayCaption();

    Voice = new QLabel(QStringLiteral("Voice"), AHost);
    Voice->setObjectName("lbVoice");
    Volume = new QSlider(Qt::Horizontal, AHost);
    Volume->setObjectName("tbVolume");
    Volume->setRange(0, VolumeMax);
    Volume->setTickInterval(20);
    Volume->setTickPosition(QSlider::TicksBelow);
    Volume->setValue(VolumeStart);
    // The bar's volume from the first picture on, not the player's own.
    FPlayer->SetAudioVolume(VolumeStart);
    connect(Volume, &QSlider::valueChanged, this, [this](int AValue) { FPlayer->SetAudioVolume(AValue); });
    Mute = new QCheckBox(QStringLiteral("Mute"), AHost);
    Mute->setObjectName("cbMute");
    connect(Mute, &QCheckBox::toggled, this, [this](bool AOn) { FPlayer->SetMute(AOn); });

    FPlayer->OnFileOpen = [this](TCustomPlayer&, int64_t ADuration, int32_t, int32_t, int32_t& AScreenWidth,
                                 int32_t& AScreenHeight) { PlayerFileOpen(ADuration, AScreenWidth, AScreenHeight); };
    FPlayer->OnPosition = [this](TCustomPlayer&, int64_t APosition) { PlayerPosition(APosition); };
    // Pause and Resume come on the main thread; the others from the play thread, which
    // hands them over without waiting.
    FPlayer->OnState = [this](TCustomPlayer&, TPlayState AState) {
        if (TMainThread::IsMainThread())
            PlayerState(AState);
        else
            QMetaObject::invokeMethod(this, [this, AState] { PlayerState(AState); }, Qt::QueuedConnection);
    };
    // A press on the picture: the panel's window takes the keyboard focus, as any control.
    FPlayer->OnHostFocus = [this](TCustomPlayer&) { Panel->setFocus(Qt::MouseFocusReason); };
}

TPlayerControls::~TPlayerControls() {
    FPlayer->Stop(true);
    FPlayer.reset();
}

bool TPlayerControls::LoadLibraries() {
    if (FPlayer->LibrariesLoaded())
        return true;
    if (FPlayer->LoadLibraries(FProgramFolder + "Dll/"))
        return true;
    ShowError();
    return false;
}

void TPlayerControls::bbPlayClick() {
    switch (FPlayTag) {
    case ptStopped: {
        // The player draws through X11 window ids; elsewhere (no X server, or the offscreen
        // platform of the tests) it opens a window of its own.
        const uintptr_t window =
            QGuiApplication::platformName() == QLatin1String("xcb") ? static_cast<uintptr_t>(Panel->winId()) : 0;
        if (FPlayer->Open(FFileName, window))
            FPlayTag = ptPlaying;
        else
            ShowError();
        break;
    }
    case ptPlaying:
        FPlayer->TogglePause();
        FPlayTag = ptPaused;
        break;
    case ptPaused:
        FPlayer->TogglePause();
        FPlayTag = ptPlaying;
        break;
    }
    UpdatePlayCaption();
}

void TPlayerControls::ShowError() {
    if (FShowMessage)
        FShowMessage(Panel->window(), QString::fromStdString(FPlayer->LastError()));
}

void TPlayerControls::bbStopClick() {
    FPlayer->Stop(true);
    Bar->setValue(0);
    DurationLabel->clear();
    Position->clear();
    FPlayTag = ptStopped;
    UpdatePlayCaption();
    emit Stopped();
}

void TPlayerControls::UpdatePlayCaption() {
    Play->setText(FPlayTag == ptPlaying ? QStringLiteral("Pause") : QStringLiteral("Play"));
}

void TPlayerControls::PlayerFileOpen(int64_t ADuration, int32_t& AScreenWidth, int32_t& AScreenHeight) {
    // The picture fills the panel.
    AScreenWidth = Panel->width();
    AScreenHeight = Panel->height();
    DurationLabel->setText(SecondsText(ADuration));
    Position->setText(QStringLiteral("0.0"));
    FDuration = ADuration;
    Bar->SetTickFrequency(1);
    Bar->SetAutoTicks(FAutoTicks);
    Bar->setMaximum(Bar->width());
    Bar->SetSelStart(0);
    Bar->SetSelEnd(0);
    Bar->SetThumbVisible(ADuration > 0);
    FPositionGuard = true;
    Bar->setValue(0);
    FPositionGuard = false;
    emit FileOpened();
}

void TPlayerControls::PlayerPosition(int64_t APosition) {
    Position->setText(SecondsText(APosition));
    // Not under the user's hand: the thumb stays where it is being dragged to.
    if (APosition > 0 && FDuration > 0 && !Bar->isSliderDown())
        Bar->setValue(static_cast<int>(Bar->maximum() * APosition / FDuration));
    emit PositionShown(APosition);
}

void TPlayerControls::PlayerState(TPlayState AState) {
    State->setText(PlayStateText(AState));
    if (AState == psStop) {
        Panel->update();
        Panel->repaint();
        // Playback has ended, also at the file's end: Play opens the file again (unless a
        // new playback has started since this one ended).
        if (!FPlayer->Active()) {
            FPlayTag = ptStopped;
            UpdatePlayCaption();
        }
    } else if (AState == psEnd) {
        FPlayer->Stop(false);
    }
    emit StateShown(AState);
}

void TPlayerControls::tbPositionMouseDown() { FPlayer->Pause(); }

void TPlayerControls::tbPositionMouseUp() {
    // The bar tells of the primary button's release only; a bar without a file has no scale.
    if (!FPositionGuard && Bar->maximum() > 0)
        FPlayer->Seek(FDuration * Bar->value() / Bar->maximum());
    FPlayer->Resume();
    // Resume also plays a playback the user had paused: the button follows it.
    if (FPlayTag == ptPaused && FPlayer->Active()) {
        FPlayTag = ptPlaying;
        UpdatePlayCaption();
    }
}

} // namespace qm
