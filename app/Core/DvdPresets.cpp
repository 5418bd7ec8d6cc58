#include "Core/DvdPresets.h"

#include <strings.h>

namespace qm {

const std::array<TDvdPreset, 8>& DvdPresets() {
    static const std::array<TDvdPreset, 8> presets{{
        {"ntsc-hq", "DVD NTSC High Quality  (MPEG2,  9Mbit,  29.97fps,  720x480,  Audio-256Kbit)",
         2, 1, 9000000, "29.97", "720x480", 720, 480, 48000, 256000},
        {"ntsc-good", "DVD NTSC Good Quality  (MPEG2,  6Mbit,  29.97fps,  720x480,  Audio-224Kbit)",
         2, 1, 6000000, "29.97", "720x480", 720, 480, 48000, 224000},
        {"ntsc-std",
         "DVD NTSC Standard Quality  (MPEG2,  4.5Mbit,  29.97fps,  720x480,  Audio-192Kbit)", 2, 1,
         4500000, "29.97", "720x480", 720, 480, 48000, 192000},
        {"ntsc-lp", "DVD NTSC Long Play  (MPEG2,  2.15Mbit,  29.97fps,  352x240,  Audio-128Kbit)",
         2, 1, 2150000, "29.97", "352x240", 352, 240, 48000, 128000},
        {"pal-hq", "DVD PAL High Quality  (MPEG2,  9Mbit,  25fps,  720x576,  Audio-256Kbit)", 1, 1,
         9000000, "25", "720x576", 720, 576, 48000, 256000},
        {"pal-good", "DVD PAL Good Quality  (MPEG2,  6Mbit,  25fps,  720x576,  Audio-224Kbit)", 1,
         1, 6000000, "25", "720x576", 720, 576, 48000, 224000},
        {"pal-std", "DVD PAL Standard Quality  (MPEG2,  4.5Mbit,  25fps,  720x576,  Audio-192Kbit)",
         1, 1, 4500000, "25", "720x576", 720, 576, 48000, 192000},
        {"pal-lp", "DVD PAL Long Play  (MPEG2,  2.15Mbit,  25fps,  352x288,  Audio-128Kbit)", 1, 1,
         2150000, "25", "352x288", 352, 288, 48000, 128000},
    }};
    return presets;
}

int FindDvdPreset(const std::string& AName) {
    if (AName.size() == 1 && AName[0] >= '0' && AName[0] <= '7')
        return AName[0] - '0';
    const auto& presets = DvdPresets();
    for (size_t i = 0; i < presets.size(); ++i)
        if (strcasecmp(presets[i].ShortName, AName.c_str()) == 0)
            return static_cast<int>(i);
    return -1;
}

} // namespace qm
