// Pictures coded as key frames at given times ("force_key_frames"): a chapter of a disc
// starts on one, and its group of pictures is closed so that a player jumping there needs
// nothing from before it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/rational.h>
}

struct AVCodecContext;

namespace qm {

// "T,T,…", each T in seconds ("300", "12.5") or [hh:]mm:ss[.xxx], as microseconds in
// increasing order; an empty text gives none. A time that is no time throws FFmpegException.
std::vector<int64_t> ParseKeyFrameTimes(const std::string& AText);

// For pictures coming in increasing APts (in ATimeBase): true for the picture shown at each
// of ATimes (the last one that starts at or before it), which ANext walks through (start it
// at 0).
bool KeyFrameDue(const std::vector<int64_t>& ATimes, size_t& ANext, int64_t APts, AVRational ATimeBase);

// Every group of pictures closed, and the encoder's own scene-change key frames off (the
// MPEG video encoders refuse closed groups with them).
void CloseGroupsOfPictures(AVCodecContext* AEncoder);

} // namespace qm
