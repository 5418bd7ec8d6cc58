// The window's sound settings under the preset: the disc's sound format, and all sound
// tracks of a file or its first.
#pragma once

#include <QWidget>

#include "Core/SoundTracks.h"

class QCheckBox;
class QComboBox;

namespace qm {

class TTrackRow : public QWidget {
    Q_OBJECT
public:
    explicit TTrackRow(QWidget* AParent = nullptr);

    TTrackChoices Choices() const;
    void SetChoices(const TTrackChoices& AChoices);

signals:
    // The user changed a setting.
    void Changed();

private:
    QComboBox* FFormat = nullptr;
    QCheckBox* FAllTracks = nullptr;
};

} // namespace qm
