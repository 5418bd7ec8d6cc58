#include "Core/TrimCheck.h"

#include <limits>

#include "Core/InputList.h"

namespace qm {

namespace {

constexpr int64_t MaxFieldMs = std::numeric_limits<int32_t>::max();

// "2147483.648 s", whatever the locale.
std::string SecondsText(int64_t AMs) {
    const std::string fraction = std::to_string(1000 + AMs % 1000).substr(1);
    return std::to_string(AMs / 1000) + "." + fraction + " s";
}

std::string StartProblem(const std::string& AFileName, int64_t AStartMs, int64_t ADurationUs) {
    if (AStartMs < 0)
        return "The trim of " + AFileName + " starts before the file does.";
    if (ADurationUs >= 0 && AStartMs >= ADurationUs / 1000)
        return "The trim of " + AFileName + " starts at " + SecondsText(AStartMs) +
               ", at or after the end of the file (" + SecondsText(ADurationUs / 1000) + ").";
    if (AStartMs > MaxFieldMs)
        return "The trim of " + AFileName + " starts at " + SecondsText(AStartMs) +
               ", later than a conversion can start (" + SecondsText(MaxFieldMs) + ").";
    return {};
}

} // namespace

bool SetTrim(rInputStreamInfo& AItem, int64_t AStartMs, int64_t ALengthMs, std::string& AError) {
    AError = StartProblem(AItem.FileName, AStartMs, AItem.DurationUs);
    if (!AError.empty())
        return false;
    if (ALengthMs < 0) {
        AError = "The trim of " + AItem.FileName + " ends before it starts.";
        return false;
    }
    const bool pastEnd = AItem.DurationUs >= 0 && ALengthMs >= AItem.DurationUs / 1000 - AStartMs;
    if (!pastEnd && ALengthMs > MaxFieldMs) {
        AError = "The trim of " + AItem.FileName + " is longer (" + SecondsText(ALengthMs) +
                 ") than a conversion can be.";
        return false;
    }
    AItem.TrimStart = AStartMs;
    AItem.TrimLength = pastEnd ? 0 : static_cast<int32_t>(ALengthMs);
    return true;
}

std::string TrimProblem(const rInputStreamInfo& AItem) {
    std::string problem = StartProblem(AItem.FileName, AItem.TrimStart, AItem.DurationUs);
    if (problem.empty() && AItem.TrimLength < 0)
        problem = "The trim of " + AItem.FileName + " ends before it starts.";
    return problem;
}

} // namespace qm
