// How long a running batch still takes, from how fast its bar has moved while it worked.
// Paused time does not count, and each stage is weighed by what it costs rather than by its
// share of the bar: the authoring has a fifth of the bar but takes a small part of the time
// of the conversions (bench/README.md: 0.05 s of dvdauthor after 5.4 s of converting).
#pragma once

#include <chrono>
#include <string>

namespace qm {

class TBatchEta {
public:
    using TClock = std::chrono::steady_clock;

    // The share of the bar that the conversions fill (the rest is the authoring's).
    static constexpr double ConversionShare = 80;
    // The authoring's time for each second of converting, until it can be measured.
    static constexpr double AuthoringCost = 0.05;

    // A new batch starts at ANow.
    void Start(TClock::time_point ANow);
    void Pause(TClock::time_point ANow);
    void Resume(TClock::time_point ANow);
    // A position of the bar (0..100) while converting or, with AAuthoring, while authoring.
    // Returns SecondsLeft(ANow).
    double Report(double APercent, bool AAuthoring, TClock::time_point ANow);
    // Seconds left; negative while there is too little to measure from.
    double SecondsLeft(TClock::time_point ANow) const;

private:
    // Seconds since Start, without the paused ones.
    double Working(TClock::time_point ANow) const;
    double ConversionSecondsLeft(double AWorking) const;

    TClock::time_point FStart{};
    TClock::time_point FPausedAt{};
    bool FPaused = false;
    double FPausedSeconds = 0;
    double FPercent = 0;
    bool FAuthoring = false;
    double FConversionSeconds = -1; // the conversions' working time, once the authoring began
};

// "m:ss", or "h:mm:ss" from an hour on; "" for a negative time.
std::string EtaText(double ASeconds);

} // namespace qm
