#include "Gui/DiscUsageBar.h"

#include <algorithm>
#include <cmath>

namespace qm {

TDiscUsageBar::TDiscUsageBar(QWidget* AParent) : QProgressBar(AParent) {
    setObjectName("pbDiscUsage");
    setRange(0, 100);
    setTextVisible(true);
    setAlignment(Qt::AlignCenter);
    SetOver(false);
}

void TDiscUsageBar::SetOver(bool AOver) {
    FOver = AOver;
    setStyleSheet(AOver ? "QProgressBar { color: black; } QProgressBar::chunk { background-color: #d9534f; }"
                        : "QProgressBar { color: black; } QProgressBar::chunk { background-color: #5cb85c; }");
}

void TDiscUsageBar::ShowUsage(const TDiscUsage& AUsage) {
    const bool refused = AUsage.Fitted ? !AUsage.Fit.Fits : AUsage.Over;
    SetOver(refused);
    const double percent = AUsage.DiscBytes > 0 ? AUsage.Percent() : 0;
    setValue(std::clamp(static_cast<int>(std::lround(percent)), 0, 100));
    setFormat("Disc: " + QString::fromStdString(AUsage.Text()));
    setToolTip(refused ? QString::fromStdString(AUsage.Fitted ? AUsage.Fit.Error
                                                               : "The listed files do not fit on this disc at "
                                                                 "this preset: choose a lower preset, or Fit to disc.")
                       : QString());
}

void TDiscUsageBar::ShowError(const QString& AText) {
    SetOver(true);
    setValue(0);
    setFormat(AText);
    setToolTip(AText);
}

} // namespace qm
