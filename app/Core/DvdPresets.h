// The eight DVD presets of the batch: the preset box's items, in its order.
#pragma once

#include <array>
#include <string>

namespace qm {

struct TDvdPreset {
    const char* ShortName; // for the command line: "pal-hq" ...
    const char* ItemText;  // as the preset box shows it
    int NormType;          // 1 pal, 2 ntsc
    int DefaultNorm;
    int VideoBitrate;
    const char* FrameRate;
    const char* FrameSize;
    int Width;
    int Height;
    int AudioSampleRate;
    int AudioBitrate;
};

inline constexpr int DefaultPresetIndex = 4;

const std::array<TDvdPreset, 8>& DvdPresets();
// An index "0".."7" or a short name (letter case ignored); -1 when it names no preset.
int FindDvdPreset(const std::string& AName);

} // namespace qm
