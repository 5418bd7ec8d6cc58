// What of a decoded stream lies in the part to convert, [Start, End) on the input's time line
// (microseconds). A picture belongs when it is on screen at some instant of the part: it
// starts before End and the next picture starts after Start, so a start that falls between
// two pictures takes the one showing at that instant, and a picture that starts exactly at
// End is the first one left out. A sample belongs when its own instant lies in the part.
// Plain arithmetic on times, so that any stage that meets pictures or samples can ask it.
#pragma once

#include <cstdint>
#include <limits>

namespace qm {

struct TCutWindow {
    int64_t Start = 0;
    int64_t End = std::numeric_limits<int64_t>::max(); // max: to the end of the input
};

// What to do with a picture offered to the cut, in this order.
struct TPictureVerdict {
    bool EmitHeld = false; // the held picture is on screen at Start: deliver it first
    bool Emit = false;     // deliver this picture
    bool Hold = false;     // keep this picture instead of the held one: it may be on screen at Start
};

// The samples of a block that belong to the part: skip Skip from the front, keep Keep after them.
struct TSampleVerdict {
    int Skip = 0;
    int Keep = 0;
    int64_t Time = 0; // of the first sample kept
};

class TStreamCut {
public:
    TStreamCut() = default; // inactive: everything passes untouched
    explicit TStreamCut(const TCutWindow& AWindow) : FWindow(AWindow), FActive(true) {}

    bool Active() const { return FActive; }
    const TCutWindow& Window() const { return FWindow; }
    // Something at or after End was met: nothing more of the stream belongs to the part.
    bool Done() const { return FDone; }

    TPictureVerdict OfferPicture(int64_t ATime);
    // The end of the input: whether the held picture, on screen until AHeldEnd, shows at Start.
    bool FlushHeld(int64_t AHeldEnd);
    // The time a delivered picture takes in the part: the held one starts the part at Start.
    int64_t ShownTime(int64_t ATime) const { return ATime < FWindow.Start ? FWindow.Start : ATime; }
    // Records that a picture on screen until AEnd was delivered.
    void Delivered(int64_t AEnd);
    // Where the part's pictures end: End once the input reached it, else where the last
    // delivered picture ends (the input ended first).
    int64_t PicturesEnd() const;

    TSampleVerdict OfferSamples(int64_t ATime, int ACount, int ARate);

private:
    TCutWindow FWindow;
    bool FActive = false;
    bool FHolding = false;
    bool FDone = false;
    int64_t FShownUntil = std::numeric_limits<int64_t>::min();
};

} // namespace qm
