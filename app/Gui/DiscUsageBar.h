// The bar under the input list: how much of the disc the listed files take at the chosen
// preset ("Disc: 1.23 GB of 4.70 GB (26 %)"), red when they do not fit.
#pragma once

#include <QProgressBar>

#include "Core/BatchPlan.h"

namespace qm {

class TDiscUsageBar : public QProgressBar {
    Q_OBJECT
public:
    explicit TDiscUsageBar(QWidget* AParent = nullptr);

    void ShowUsage(const TDiscUsage& AUsage);
    // A disc that cannot be planned (a size that is not one): the reason, in red.
    void ShowError(const QString& AText);
    bool Over() const { return FOver; }

private:
    void SetOver(bool AOver);
    bool FOver = false;
};

} // namespace qm
