#include "Gui/TrimPage.h"

#include <QCheckBox>
#include <QFile>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QSlider>

#include "Gui/PlayerLayout.h"
#include "Gui/PositionBar.h"

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
    LayOutPlayerControls(c, *this, layout);

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
    // A file without a known duration plays on.
    const int64_t duration = FControls->Duration();
    if (duration > 0 && APosition + 200000 >= duration && !EndTimer.isActive())
        EndTimer.start();
}

void TTrimPage::bbSetStartClick() {
    TrimSetStart(FMarks, FCurrentPosition, FControls->Duration(), FControls->Bar->value());
    ShowSelection();
}

void TTrimPage::bbSetEndClick() {
    TrimSetEnd(FMarks, FCurrentPosition, FControls->Duration(), FControls->Bar->value(), FControls->Bar->maximum());
    ShowSelection();
}

void TTrimPage::ShowSelection() {
    TPositionBar& bar = *FControls->Bar;
    bar.SetSelStart(FMarks.SelStart);
    // A start alone marks the part up to the end of the file.
    bar.SetSelEnd(FMarks.SelEnd <= FMarks.SelStart && FMarks.LengthMs > 0 ? bar.maximum() : FMarks.SelEnd);
}

} // namespace qm
