#include "Gui/TrimPage.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QFile>
#include <QFontMetrics>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QSlider>

#include "Gui/PlayerLayout.h"
#include "Gui/PositionBar.h"
#include "Player/FFPlayer.h"
#include "Preview/Previewer.h"

namespace qm {

namespace {

// A button that shows its picture (from the program's Data folder) and names itself in its
// tooltip; the name is its caption when the picture is missing.
QPushButton* MarkButton(const QString& APicture, const QString& AName, QWidget* AParent) {
    auto* button = new QPushButton(AParent);
    button->setToolTip(AName);
    if (QFile::exists(APicture)) {
        button->setIcon(QIcon(APicture));
        button->setIconSize(QSize(20, 20));
        button->setFixedSize(25, 24);
    } else {
        button->setText(AName);
    }
    return button;
}

} // namespace

TTrimPage::TTrimPage(std::string AFileName, std::string AProgramFolder, TPlayerControls::TShowMessage AShowMessage,
                     QWidget* AParent)
    : QWidget(AParent) {
    setObjectName("tsTrim");
    const QString data = QString::fromStdString(AProgramFolder) + "Data/";
    FControls = std::make_unique<TPlayerControls>(this, std::move(AProgramFolder), std::move(AShowMessage), false);
    TPlayerControls& c = *FControls;
    c.SetFileName(AFileName);

    SetStart = MarkButton(data + "trim_start.png", QStringLiteral("Set Start"), this);
    SetStart->setObjectName("bbSetStart");
    // Until the first playback starts.
    SetStart->setEnabled(false);
    SetEnd = MarkButton(data + "trim_end.png", QStringLiteral("Set End"), this);
    SetEnd->setObjectName("bbSetEnd");

    TPlayerLayout layout;
    layout.PanelSize = QSize(340, 250);
    layout.BarHeight = 30;
    layout.ButtonWidth = 54;
    layout.VolumeWidth = 84;
    layout.Margin = 6;
    layout.ExtraButtons = {SetStart, SetEnd};
    c.Bar->SetThumbLength(18);
    LayOutPlayerControls(c, *this, layout)->addLayout(AddFrameControls());

    connect(SetStart, &QPushButton::clicked, this, &TTrimPage::bbSetStartClick);
    connect(SetEnd, &QPushButton::clicked, this, &TTrimPage::bbSetEndClick);
    connect(&c, &TPlayerControls::PositionShown, this, &TTrimPage::PositionShown);
    // A new playback of the file shows the marks that are set.
    connect(&c, &TPlayerControls::FileOpened, this, &TTrimPage::ShowSelection);

    EndTimer.setInterval(1000);
    connect(&EndTimer, &QTimer::timeout, this, [this] {
        FControls->bbStopClick();
        EndTimer.stop();
    });
    // Not to stop a later playback.
    connect(&c, &TPlayerControls::Stopped, &EndTimer, &QTimer::stop);
}

// The player goes first: it draws into the panel until it has stopped.
TTrimPage::~TTrimPage() {
    // A report that the stopping player hands over meanwhile no longer reaches this half-gone
    // window, whose controls are already null.
    FControls->disconnect(this);
    FControls.reset();
}

QHBoxLayout* TTrimPage::AddFrameControls() {
    auto button = [this](const QString& AText, const QString& ATip, const char* AName) {
        auto* b = new QPushButton(AText, this);
        b->setToolTip(ATip);
        b->setObjectName(AName);
        return b;
    };
    PrevFrame = button(QStringLiteral("\u25C0"), QStringLiteral("Previous frame (Left)"), "bbPrevFrame");
    NextFrame = button(QStringLiteral("\u25B6"), QStringLiteral("Next frame (Right)"), "bbNextFrame");
    ShowFirst = button(QStringLiteral("First"), QStringLiteral("Show the first frame of the part"), "bbShowFirst");
    ShowLast = button(QStringLiteral("Last"), QStringLiteral("Show the last frame of the part"), "bbShowLast");
    FrameTime = new QLabel(this);
    FrameTime->setObjectName("lbFrameTime");
    // Room for the longest time, so that the buttons beside it stay put.
    FrameTime->setMinimumWidth(
        QFontMetrics(FrameTime->font()).horizontalAdvance(QStringLiteral("Frame at 0 00:00:00.000")));
    connect(PrevFrame, &QPushButton::clicked, this, [this] { StepFrame(false); });
    connect(NextFrame, &QPushButton::clicked, this, [this] { StepFrame(true); });
    connect(ShowFirst, &QPushButton::clicked, this, &TTrimPage::bbShowFirstClick);
    connect(ShowLast, &QPushButton::clicked, this, &TTrimPage::bbShowLastClick);
    for (const auto& [key, forward] : {std::pair{Qt::Key_Left, false}, std::pair{Qt::Key_Right, true}}) {
        auto* shortcut = new QShortcut(QKeySequence(key), this);
        shortcut->setContext(Qt::WidgetWithChildrenShortcut);
        connect(shortcut, &QShortcut::activated, this, [this, forward = forward] { StepFrame(forward); });
    }
    auto* line = new QHBoxLayout;
    line->setContentsMargins(4, 0, 4, 2);
    line->setSpacing(4);
    line->addWidget(PrevFrame);
    line->addWidget(NextFrame);
    line->addSpacing(6);
    line->addWidget(FrameTime, 1);
    line->addWidget(ShowFirst);
    line->addWidget(ShowLast);
    return line;
}

void TTrimPage::showEvent(QShowEvent* AEvent) {
    QWidget::showEvent(AEvent);
    // Each time the page comes up; playback starts once the dialog is on the screen.
    QMetaObject::invokeMethod(this, &TTrimPage::PageShow, Qt::QueuedConnection);
}

void TTrimPage::PageShow() {
    if (!isVisible() || !FControls->LoadLibraries())
        return;
    if (FFirstShow) {
        FControls->bbPlayClick();
        SetStart->setEnabled(true);
        FFirstShow = false;
    }
}

void TTrimPage::PositionShown(int64_t APosition) {
    FCurrentPosition = APosition;
    const int64_t picture = FControls->Player().PictureTime();
    FrameTime->setText(picture < 0 ? QString()
                                   : QStringLiteral("Frame at ") + QString::fromStdString(FormatPreviewTime(picture)));
    // A file without a known duration plays on.
    const int64_t duration = FControls->Duration();
    if (duration > 0 && APosition + 200000 >= duration && !EndTimer.isActive())
        EndTimer.start();
}

int64_t TTrimPage::MarkPosition() const {
    const int64_t picture = FControls->Player().PictureTime();
    return picture >= 0 ? picture : FCurrentPosition;
}

void TTrimPage::bbSetStartClick() {
    TrimSetStart(FMarks, StartMarkPosition(MarkPosition()), FControls->Duration(), FControls->Bar->value());
    ShowSelection();
}

void TTrimPage::bbSetEndClick() {
    TrimSetEnd(FMarks, MarkPosition(), FControls->Duration(), FControls->Bar->value(), FControls->Bar->maximum());
    ShowSelection();
}

bool TTrimPage::PauseForFrames() {
    if (FControls->PlayTag() == TPlayerControls::ptStopped)
        return false;
    if (FControls->PlayTag() == TPlayerControls::ptPlaying)
        FControls->bbPlayClick();
    return true;
}

void TTrimPage::StepFrame(bool AForward) {
    if (PauseForFrames())
        FControls->Player().StepPicture(AForward);
}

void TTrimPage::bbShowFirstClick() {
    if (PauseForFrames())
        FControls->Player().SeekToPicture(int64_t(FMarks.StartMs) * 1000);
}

void TTrimPage::bbShowLastClick() {
    if (!PauseForFrames())
        return;
    // The picture on screen just before the end.
    const int64_t end = FMarks.LengthMs > 0 ? int64_t(FMarks.StartMs + FMarks.LengthMs) * 1000 : FControls->Duration();
    FControls->Player().SeekToPicture(std::max<int64_t>(0, end - 1));
}

void TTrimPage::ShowSelection() {
    TPositionBar& bar = *FControls->Bar;
    bar.SetSelStart(FMarks.SelStart);
    // A start alone marks the part up to the end of the file.
    bar.SetSelEnd(FMarks.SelEnd <= FMarks.SelStart && FMarks.LengthMs > 0 ? bar.maximum() : FMarks.SelEnd);
}

} // namespace qm
