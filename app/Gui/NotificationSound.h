// The sound played after a successful batch: a wave file through SDL's audio output, with
// the window kept responsive until it has been heard.
#pragma once

#include <string>

namespace qm {

// Plays AWaveFile and returns once it has been played. SDL is loaded on first use from the
// loader's library folder. False with the reason in AError when there is no sound (no SDL,
// no audio device, a file SDL cannot read); nothing is shown to the user then.
bool PlayNotificationSound(const std::string& AWaveFile, std::string& AError);

} // namespace qm
