#include "Core/Trim.h"

#include "Core/InputList.h"
#include "Preview/Previewer.h"

namespace qm {

namespace {

bool InsideFile(int64_t APosition, int64_t ADuration) { return APosition >= 0 && APosition <= ADuration; }

} // namespace

int64_t StartMarkPosition(int64_t APictureTime) {
    if (APictureTime <= 0)
        return APictureTime;
    return (APictureTime + 999) / 1000 * 1000;
}

void TrimSetStart(TTrimMarks& AMarks, int64_t APosition, int64_t ADuration, int32_t ABarPosition) {
    if (InsideFile(APosition, ADuration)) {
        AMarks.StartMs = static_cast<int32_t>(APosition / 1000);
        AMarks.LengthMs = static_cast<int32_t>(ADuration / 1000 - AMarks.StartMs);
    }
    AMarks.SelStart = ABarPosition;
}

void TrimSetEnd(TTrimMarks& AMarks, int64_t APosition, int64_t ADuration, int32_t ABarPosition, int32_t ABarMax) {
    AMarks.SelEnd = ABarPosition;
    if (!InsideFile(APosition, ADuration))
        return;
    int64_t start = AMarks.StartMs;
    int64_t end = APosition / 1000;
    const int64_t length = ADuration / 1000;
    if (start < 0) {
        start = 0;
        AMarks.SelStart = 0;
    }
    if (end > length) {
        end = length;
        AMarks.SelEnd = ABarMax;
    }
    if (start >= end) {
        start = 0;
        AMarks.SelStart = 0;
    }
    if (start < end) {
        AMarks.StartMs = static_cast<int32_t>(start);
        AMarks.LengthMs = static_cast<int32_t>(end - start);
    }
}

std::string TrimRangeText(const rInputStreamInfo& AItem) {
    if (AItem.TrimStart <= 0 && AItem.TrimLength <= 0)
        return {};
    const int64_t start = AItem.TrimStart > 0 ? AItem.TrimStart : 0;
    const int64_t length = AItem.ConvertedLengthMs();
    // To the millisecond, as the part is cut.
    return FormatPreviewTime(start * 1000) + "\u2013" +
           (length < 0 ? std::string() : FormatPreviewTime((start + length) * 1000));
}

} // namespace qm
