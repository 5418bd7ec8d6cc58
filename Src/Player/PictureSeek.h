// The video thread's side of a seek to a picture: the pictures decoded from the key frame
// before the target go past until the one on screen at the target (StreamCut.h decides), which
// the queue gets first; after it every picture goes to the queue as it comes. A paused
// playback shows that picture and stays paused.
#pragma once

#include <cstdint>

#include "Engine/StreamCut.h"
#include "Loader/MediaPtr.h"

namespace qm {

struct TPlayback;

class TPictureSeek {
public:
    explicit TPictureSeek(TPlayback& APlayback) : FPlayback(APlayback) {}
    // After a seek's flush marker: ATarget in microseconds (the file's start time included),
    // or AV_NOPTS_VALUE for an ordinary seek.
    void Start(int64_t ATarget);
    // A decoded picture at APts seconds (AHasTime false: the stream gave none); false when the
    // picture queue is closing.
    bool Offer(AVFrame* AFrame, double APts, bool AHasTime);
    // The input has ended: a held picture is the last one, and shown.
    bool Finish();

private:
    bool Show(AVFrame* AFrame, double APts);
    // The target's picture is queued: a paused playback takes it, later pictures go on.
    void Reached();

    TPlayback& FPlayback;
    TStreamCut FCut;
    TFramePtr FHeld;
    double FHeldPts = 0;
};

} // namespace qm
