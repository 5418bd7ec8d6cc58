// The stream-copy stage: an input packet written unchanged with its times moved into the
// output stream.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <utility>

#include "Engine/EngineUtils.h"
#include "Engine/FFmpeg.h"
#include "Engine/MediaFiles.h"
#include "Engine/OptionContexts.h"
#include "Engine/TranscodeState.h"
#include "Engine/TranscodeTime.h"
#include "Loader/FFmpegLoader.h"
#include "Logger/FFmpegLogger.h"

namespace qm {

void TCustomFFmpeg::StreamCopy(TOutputStreamState& AOutput, const TInputStreamState& AInput,
                               const AVPacket& APacket) {
    if (AOutput.FrameNumber == 0 && !(APacket.flags & AV_PKT_FLAG_KEY) &&
        !Options.CopyInitialNonKeyframes)
        return;
    const AVRational inBase = AInput.Stream->time_base;
    const AVRational outBase = AOutput.Stream->time_base;
    // "t" holds for every stream: none runs past the recording time because another lags.
    if (APacket.pts != AV_NOPTS_VALUE &&
        ff::av_rescale_q(APacket.pts, inBase, MicrosecondBase) - Options.InputStartTime >=
            Options.RecordingTime)
        return;
    const int64_t start = ff::av_rescale_q(Options.InputStartTime, MicrosecondBase, outBase);
    const AVMediaType type = AOutput.Stream->codecpar->codec_type;
    if (type == AVMEDIA_TYPE_AUDIO)
        FAudioBytes += APacket.size;
    else if (type == AVMEDIA_TYPE_VIDEO) {
        FVideoBytes += APacket.size;
        ++AOutput.SyncOpts;
    }
    AVPacket* out = AOutput.WorkPacket();
    if (ff::av_packet_ref(out, &APacket) < 0)
        throw FFmpegException("Could not copy a packet");
    out->stream_index = AOutput.Index;
    out->pts = APacket.pts != AV_NOPTS_VALUE ? ff::av_rescale_q(APacket.pts, inBase, outBase) - start
                                             : AV_NOPTS_VALUE;
    if (APacket.dts != AV_NOPTS_VALUE)
        out->dts = ff::av_rescale_q(APacket.dts, inBase, outBase) - start;
    else if (APacket.pts != AV_NOPTS_VALUE)
        out->dts = AV_NOPTS_VALUE; // the muxer derives it from the stream's reorder delay
    else
        out->dts = ff::av_rescale_q(AInput.Pts, MicrosecondBase, outBase) - start;
    KeepDtsRising(AOutput, *out);
    out->duration = ff::av_rescale_q(APacket.duration, inBase, outBase);
    out->time_base = outBase;
    WritePacket(AOutput, *out);
    ++AOutput.FrameNumber;
}

} // namespace qm
