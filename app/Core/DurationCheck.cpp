#include "Core/DurationCheck.h"

#include <algorithm>

#include "Core/InputList.h"

namespace qm {

namespace {

// The longest a file of ABytes can be at the thinnest plausible rate.
int64_t LongestMs(int64_t ABytes) {
    return ABytes * 8 * 1000 / MinPlausibleBitsPerSecond;
}

} // namespace

bool DurationPlausible(const rInputStreamInfo& AItem) {
    return AItem.DurationUs < 0 || AItem.FileSize <= 0 || AItem.DurationUs / 1000 <= LongestMs(AItem.FileSize);
}

int64_t PlausibleConvertedLengthMs(const rInputStreamInfo& AItem) {
    const int64_t length = AItem.ConvertedLengthMs();
    if (DurationPlausible(AItem) || length < 0)
        return length;
    return std::min(length, LongestMs(AItem.FileSize));
}

} // namespace qm
