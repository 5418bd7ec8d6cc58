#include "Engine/StreamCut.h"

#include <algorithm>

namespace qm {

namespace {

constexpr int64_t Second = 1000000;

// How many of ACount samples at ARate, the first at AFrom, lie before ATo: the samples k with
// AFrom + k / ARate < ATo. AFrom is rounded to the microsecond, so a sample within half a
// microsecond of ATo counts as at ATo.
int SamplesBefore(int64_t AFrom, int64_t ATo, int ACount, int ARate) {
    if (ATo <= AFrom)
        return 0;
    // Beyond an hour the block is wholly before ATo; this also keeps the product in range.
    const int64_t span = ATo - AFrom;
    if (span > 3600 * Second)
        return ACount;
    const int64_t scaled = span * ARate - ARate / 2; // in samples x 1 s
    const int64_t before = (scaled + Second - 1) / Second;
    return static_cast<int>(std::min<int64_t>(before, ACount));
}

} // namespace

TPictureVerdict TStreamCut::OfferPicture(int64_t ATime) {
    TPictureVerdict verdict;
    if (FDone)
        return verdict;
    if (ATime >= FWindow.End) {
        // The held picture lasts until this one, beyond Start.
        verdict.EmitHeld = FHolding;
        FHolding = false;
        FDone = true;
    } else if (ATime <= FWindow.Start) {
        verdict.Hold = true;
        FHolding = true;
    } else {
        verdict.EmitHeld = FHolding;
        FHolding = false;
        verdict.Emit = true;
    }
    return verdict;
}

bool TStreamCut::FlushHeld(int64_t AHeldEnd) {
    const bool shows = FHolding && AHeldEnd > FWindow.Start;
    FHolding = false;
    return shows;
}

void TStreamCut::Delivered(int64_t AEnd) { FShownUntil = std::max(FShownUntil, AEnd); }

int64_t TStreamCut::PicturesEnd() const {
    return FDone ? FWindow.End : std::min(FShownUntil, FWindow.End);
}

TSampleVerdict TStreamCut::OfferSamples(int64_t ATime, int ACount, int ARate) {
    TSampleVerdict verdict;
    if (FDone || ACount <= 0 || ARate <= 0)
        return verdict;
    verdict.Skip = SamplesBefore(ATime, FWindow.Start, ACount, ARate);
    const int beforeEnd = FWindow.End == std::numeric_limits<int64_t>::max()
                              ? ACount
                              : SamplesBefore(ATime, FWindow.End, ACount, ARate);
    verdict.Keep = std::max(0, beforeEnd - verdict.Skip);
    verdict.Time = ATime + (int64_t(verdict.Skip) * Second + ARate / 2) / ARate;
    // The next block starts at or after End: the part is complete.
    if (FWindow.End != std::numeric_limits<int64_t>::max() &&
        SamplesBefore(ATime, FWindow.End, ACount + 1, ARate) <= ACount)
        FDone = true;
    return verdict;
}

} // namespace qm
