#include "Player/PictureSeek.h"

#include <cmath>
#include <limits>

#include "Player/PlayerEngine.h"

namespace qm {

void TPictureSeek::Start(int64_t ATarget) {
    FCut = ATarget == AV_NOPTS_VALUE ? TStreamCut() : TStreamCut(TCutWindow{ATarget});
    if (FHeld)
        ff::av_frame_unref(FHeld.get());
    if (!FCut.Active())
        FPlayback.ExactPending = false;
}

bool TPictureSeek::Offer(AVFrame* AFrame, double APts, bool AHasTime) {
    if (!FCut.Active())
        return Show(AFrame, APts);
    if (!AHasTime) {
        // Nothing to measure the target against: shown as it comes.
        Reached();
        return Show(AFrame, APts);
    }
    const TPictureVerdict verdict = FCut.OfferPicture(std::llround(APts * 1e6));
    bool open = true;
    if (verdict.EmitHeld && FHeld && FHeld->buf[0]) {
        open = Show(FHeld.get(), FHeldPts);
        Reached();
    }
    if (verdict.Emit && open) {
        open = Show(AFrame, APts);
        Reached();
    }
    if (verdict.Hold) {
        if (!FHeld)
            FHeld.reset(ff::av_frame_alloc());
        if (FHeld) {
            ff::av_frame_unref(FHeld.get());
            ff::av_frame_ref(FHeld.get(), AFrame);
            FHeldPts = APts;
        }
    }
    return open;
}

bool TPictureSeek::Finish() {
    if (!FCut.Active())
        return true;
    bool open = true;
    if (FHeld && FHeld->buf[0])
        open = Show(FHeld.get(), FHeldPts);
    Reached();
    return open;
}

bool TPictureSeek::Show(AVFrame* AFrame, double APts) {
    const double pts = TPlayerEngine::SynchronizeVideo(FPlayback, AFrame, APts);
    return TPlayerEngine::QueuePicture(FPlayback, AFrame, pts) >= 0;
}

void TPictureSeek::Reached() {
    if (!FCut.Active())
        return;
    FCut = TStreamCut();
    if (FHeld)
        ff::av_frame_unref(FHeld.get());
    FPlayback.StepPending = true;
    FPlayback.ExactPending = false;
}

} // namespace qm
