#include "Core/BatchEta.h"

#include <algorithm>
#include <cmath>

#include "Platform/Numbers.h"

namespace qm {

namespace {

// Before this much of the bar and of working time, a rate says nothing yet.
constexpr double MinimumPercent = 1;
constexpr double MinimumSeconds = 1;

double Seconds(TBatchEta::TClock::duration ADuration) { return std::chrono::duration<double>(ADuration).count(); }

} // namespace

void TBatchEta::Start(TClock::time_point ANow) { *this = TBatchEta(), FStart = ANow; }

void TBatchEta::Pause(TClock::time_point ANow) {
    if (FPaused)
        return;
    FPaused = true;
    FPausedAt = ANow;
}

void TBatchEta::Resume(TClock::time_point ANow) {
    if (!FPaused)
        return;
    FPaused = false;
    FPausedSeconds += Seconds(ANow - FPausedAt);
}

double TBatchEta::Working(TClock::time_point ANow) const {
    return Seconds((FPaused ? FPausedAt : ANow) - FStart) - FPausedSeconds;
}

double TBatchEta::Report(double APercent, bool AAuthoring, TClock::time_point ANow) {
    if (AAuthoring && !FAuthoring) {
        FAuthoring = true;
        FConversionSeconds = Working(ANow);
    }
    FPercent = APercent;
    return SecondsLeft(ANow);
}

double TBatchEta::ConversionSecondsLeft(double AWorking) const {
    if (FPercent < MinimumPercent || AWorking < MinimumSeconds)
        return -1;
    const double total = AWorking * ConversionShare / std::min(FPercent, ConversionShare);
    return total - AWorking + total * AuthoringCost;
}

double TBatchEta::SecondsLeft(TClock::time_point ANow) const {
    const double working = Working(ANow);
    if (!FAuthoring)
        return ConversionSecondsLeft(working);
    const double authoring = working - FConversionSeconds;
    const double done = FPercent - ConversionShare;
    const double share = 100 - ConversionShare;
    if (done >= MinimumPercent && authoring >= MinimumSeconds / 2)
        return std::max(0.0, authoring * (share - done) / done);
    return std::max(0.0, FConversionSeconds * AuthoringCost - authoring);
}

std::string EtaText(double ASeconds) {
    if (ASeconds < 0)
        return {};
    const long s = std::lround(ASeconds);
    return s >= 3600 ? FormatC("%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60) : FormatC("%ld:%02ld", s / 60, s % 60);
}

} // namespace qm
