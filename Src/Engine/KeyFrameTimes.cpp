#include "Engine/KeyFrameTimes.h"

#include <algorithm>

#include "Engine/FFmpegException.h"
#include "Engine/OptionValues.h"
#include "Loader/MediaEntries.h"

namespace qm {

std::vector<int64_t> ParseKeyFrameTimes(const std::string& AText) {
    std::vector<int64_t> times;
    size_t start = 0;
    while (start <= AText.size()) {
        const size_t comma = AText.find(',', start);
        const std::string part = Trim(AText.substr(start, comma == std::string::npos ? comma : comma - start));
        if (!part.empty()) {
            const int64_t us = ParseTime("force_key_frames", part, true);
            if (us < 0)
                throw FFmpegException("Not a time in force_key_frames: " + part);
            times.push_back(us);
        } else if (comma != std::string::npos || !times.empty()) {
            throw FFmpegException("An empty time in force_key_frames: " + AText);
        }
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    std::sort(times.begin(), times.end());
    times.erase(std::unique(times.begin(), times.end()), times.end());
    return times;
}

bool KeyFrameDue(const std::vector<int64_t>& ATimes, size_t& ANext, int64_t APts, AVRational ATimeBase) {
    if (ANext >= ATimes.size() || ATimeBase.den <= 0)
        return false;
    // The picture on the screen at a time is the one that ends after it: a disc's chapter
    // begins with the group of pictures that starts at or before the chapter's time.
    const long double us = static_cast<long double>(APts + 1) * 1000000.0L * ATimeBase.num / ATimeBase.den;
    const int64_t end = static_cast<int64_t>(us + 0.5L);
    if (end <= ATimes[ANext])
        return false;
    while (ANext < ATimes.size() && ATimes[ANext] < end)
        ++ANext;
    return true;
}

void CloseGroupsOfPictures(AVCodecContext* AEncoder) {
    if (!AEncoder)
        return;
    AEncoder->flags |= AV_CODEC_FLAG_CLOSED_GOP;
    // Not every encoder has the option; those without it need nothing.
    if (AEncoder->priv_data)
        ff::av_opt_set_int(AEncoder->priv_data, "sc_threshold", 1000000000, 0);
}

} // namespace qm
