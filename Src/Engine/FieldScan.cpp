// Interlaced sources: kept interlaced, with their field order, when the frame rate stays (the
// scaler then works field by field); deinterlaced first when the rate changes as well, since
// a dropped or repeated frame would otherwise put fields of different instants side by side.
#include <cmath>

#include "Engine/FieldScan.h"

#include "Engine/FFmpeg.h"
#include "Engine/TranscodeState.h"
#include "Loader/MediaEntries.h"
#include "Logger/FFmpegLogger.h"

namespace qm {

namespace {

bool Interlaced(AVFieldOrder AOrder) {
    return AOrder == AV_FIELD_TT || AOrder == AV_FIELD_BB || AOrder == AV_FIELD_TB ||
           AOrder == AV_FIELD_BT;
}

// Whether the top field is shown first (TT, and BT: bottom coded first, top shown first).
bool TopShownFirst(AVFieldOrder AOrder) {
    return AOrder == AV_FIELD_TT || AOrder == AV_FIELD_BT;
}

bool SameRate(AVRational A, AVRational B) {
    if (A.num <= 0 || A.den <= 0 || B.num <= 0 || B.den <= 0)
        return false;
    return std::fabs(av_q2d(A) / av_q2d(B) - 1) < 0.002;
}

} // namespace

void ChooseScan(const TCustomFFmpeg& AEngine, bool AFiltersActive, TOutputStreamState& AOutput,
                const TInputStreamState& AInput) {
    const TOptionSet& o = AEngine.Options;
    const AVCodecParameters* dec = AInput.Stream->codecpar;
    const AVFieldOrder order = dec->field_order;
    // The old same-picture deinterlacer, or a chain of the user's own, decides instead.
    if (!Interlaced(order) || o.Deinterlace || AFiltersActive)
        return;
    AVCodecContext* enc = AOutput.Encoder;
    const AVRational rate = AInput.Stream->avg_frame_rate.num > 0 ? AInput.Stream->avg_frame_rate
                                                                  : AInput.Stream->r_frame_rate;
    if (!SameRate(rate, enc->framerate)) {
        if (o.CropTop || o.CropBottom || o.CropLeft || o.CropRight) {
            Log(&AEngine, llWarning, "The interlaced video is converted to another frame rate without "
                                 "deinterlacing: the filters cannot take crop options");
            return;
        }
        AOutput.DeinterlaceFirst = true;
        AOutput.TopFieldFirst = TopShownFirst(order);
        return;
    }
    AOutput.Interlaced = true;
    AOutput.TopFieldFirst = TopShownFirst(order);
    enc->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
    enc->field_order = AOutput.TopFieldFirst ? AV_FIELD_TT : AV_FIELD_BB;
    // The MPEG video encoders' zigzag for interlaced pictures; others have no such option.
    if (enc->priv_data)
        ff::av_opt_set_int(enc->priv_data, "alternate_scan", 1, 0);
}

bool ScalesByField(const TOutputStreamState& AOutput, int AOutputHeight) {
    // Each field of a 4:2:0 picture has half the chroma lines: whole ones only.
    return AOutput.Interlaced && AOutput.ResampleHeight % 4 == 0 && AOutputHeight % 4 == 0;
}

void ScaleFields(SwsContext* AScaler, const uint8_t* const ASource[4], const int ASourceStride[4],
                 int AHeight, uint8_t* const ATarget[4], const int ATargetStride[4]) {
    for (int field = 0; field < 2; ++field) {
        const uint8_t* src[4] = {};
        uint8_t* dst[4] = {};
        int srcStride[4] = {}, dstStride[4] = {};
        for (int p = 0; p < 4; ++p) {
            if (ASource[p]) {
                src[p] = ASource[p] + static_cast<ptrdiff_t>(field) * ASourceStride[p];
                srcStride[p] = 2 * ASourceStride[p];
            }
            if (ATarget[p]) {
                dst[p] = ATarget[p] + static_cast<ptrdiff_t>(field) * ATargetStride[p];
                dstStride[p] = 2 * ATargetStride[p];
            }
        }
        ff::sws_scale(AScaler, src, srcStride, 0, AHeight / 2, dst, dstStride);
    }
}

} // namespace qm
