// The subtitle stage: a decoded subtitle encoded into one packet (two for DVB).
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

void TCustomFFmpeg::SubtitleOut(TOutputStreamState& AOutput, TInputStreamState& AInput,
                                AVSubtitle& ASubtitle, int64_t APacketPts) {
    if (APacketPts == AV_NOPTS_VALUE) {
        if (Options.ExitOnError)
            throw FFmpegException("Subtitle packets must have a pts");
        Log(this, llError, "Subtitle packets must have a pts");
        return;
    }
    constexpr int BufferSize = 1048576;
    if (FSubtitleBuffer.empty())
        FSubtitleBuffer.resize(BufferSize);
    const bool dvb = AOutput.Encoder->codec_id == AV_CODEC_ID_DVB_SUBTITLE;
    const int count = dvb ? 2 : 1;
    const uint32_t start = ASubtitle.start_display_time;
    for (int i = 0; i < count; ++i) {
        const int64_t pts =
            ff::av_rescale_q(APacketPts, AInput.Stream->time_base, MicrosecondBase) +
            int64_t(start) * 1000;
        AVSubtitle sub = ASubtitle;
        sub.pts = pts;
        sub.end_display_time -= sub.start_display_time;
        sub.start_display_time = 0;
        if (dvb && i == 1)
            sub.num_rects = 0; // the second packet clears the picture
        const int size = ff::avcodec_encode_subtitle(AOutput.Encoder, FSubtitleBuffer.data(),
                                                     BufferSize, &sub);
        if (size < 0)
            throw FFmpegException("Subtitle encoding failed");
        TPacketPtr packet(ff::av_packet_alloc());
        if (!packet || ff::av_new_packet(packet.get(), size) < 0)
            throw FFmpegException("Subtitle encoding failed");
        std::memcpy(packet->data, FSubtitleBuffer.data(), static_cast<size_t>(size));
        packet->stream_index = AOutput.Index;
        packet->pts = ff::av_rescale_q(pts, MicrosecondBase, AOutput.Stream->time_base);
        if (dvb)
            packet->pts += 90 * (i == 0 ? sub.start_display_time : sub.end_display_time);
        packet->dts = packet->pts;
        packet->duration =
            ff::av_rescale_q(sub.end_display_time, AVRational{1, 1000}, AOutput.Stream->time_base);
        WritePacket(AOutput, *packet);
        ++AOutput.FrameNumber;
    }
}

} // namespace qm
