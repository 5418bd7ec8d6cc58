// The muxer writer: what an encoder gives becomes packets, through the bitstream filters,
// into the muxer, directly or in turn behind the encode thread.
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

void TCustomFFmpeg::EncodeAndWrite(TOutputStreamState& AOutput, AVFrame* AFrame) {
    AVCodecContext* enc = AOutput.Encoder;
    const bool video = enc->codec_type == AVMEDIA_TYPE_VIDEO;
    const char* failure = video ? "Video encoding failed" : "Audio encoding failed";
    int ret = ff::avcodec_send_frame(enc, AFrame);
    if (ret < 0 && ret != AVERROR_EOF)
        throw FFmpegException(failure);
    AVPacket* packet = AOutput.WorkPacket();
    for (;;) {
        ret = ff::avcodec_receive_packet(enc, packet);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            return;
        if (ret < 0)
            throw FFmpegException(failure);
        AOutput.LastCodedPts = packet->pts;
        // Quality and picture type travel with the packet.
        size_t size = 0;
        if (const uint8_t* stats =
                ff::av_packet_get_side_data(packet, AV_PKT_DATA_QUALITY_STATS, &size);
            stats && size >= 4) {
            // u32 quality, u8 picture type, u8 error count, u16 reserved, u64 errors[]
            AOutput.Setup->Quality = static_cast<float>(stats[0] | stats[1] << 8 |
                                                        stats[2] << 16 | uint32_t(stats[3]) << 24);
            if (size >= 5)
                AOutput.LastPictureType = stats[4];
            const size_t errors = std::min<size_t>({stats[5], 3, size >= 8 ? (size - 8) / 8 : 0});
            for (size_t p = 0; p < errors; ++p) {
                uint64_t error = 0;
                std::memcpy(&error, stats + 8 + 8 * p, sizeof error);
                AOutput.LastErrors[p] = static_cast<double>(error);
                AOutput.SummedErrors[p] += static_cast<double>(error);
            }
        }
        if (video)
            FVideoBytes += packet->size;
        else
            FAudioBytes += packet->size;
        AOutput.LastFrameSize = packet->size;
        if (AOutput.LogFile && enc->stats_out)
            std::fprintf(AOutput.LogFile.get(), "%s", enc->stats_out);
        packet->stream_index = AOutput.Index;
        ff::av_packet_rescale_ts(packet, enc->time_base, AOutput.Stream->time_base);
        KeepDtsRising(AOutput, *packet); // a joined file's fresh encoder starts anew
        WritePacket(AOutput, *packet);
        ff::av_packet_unref(packet);
    }
}

void TCustomFFmpeg::KeepDtsRising(TOutputStreamState& AOutput, AVPacket& APacket) {
    // Muxers refuse decoding times that do not grow; nudge the rare stray one.
    if (APacket.dts != AV_NOPTS_VALUE && AOutput.LastDts != AV_NOPTS_VALUE &&
        APacket.dts <= AOutput.LastDts) {
        APacket.dts = AOutput.LastDts + 1;
        if (APacket.pts != AV_NOPTS_VALUE && APacket.pts < APacket.dts)
            APacket.pts = APacket.dts;
    }
    if (APacket.dts != AV_NOPTS_VALUE)
        AOutput.LastDts = APacket.dts;
}

void TCustomFFmpeg::WritePacket(TOutputStreamState& AOutput, AVPacket& APacket) {
    for (auto& bsf : AOutput.BitstreamFilters) {
        int ret = ff::av_bsf_send_packet(bsf.get(), &APacket);
        if (ret >= 0)
            ret = ff::av_bsf_receive_packet(bsf.get(), &APacket);
        if (ret < 0) {
            const char* codec = AOutput.EncodingNeeded && AOutput.Encoder->codec
                                    ? AOutput.Encoder->codec->name
                                    : "copy";
            const std::string text = OpenErrorMessage(
                Format("%s failed for stream %d, codec %s", bsf->filter->name,
                       APacket.stream_index, codec),
                ret);
            if (Options.ExitOnError)
                throw FFmpegException(text);
            Log(this, llError, text);
            ff::av_packet_unref(&APacket);
            return;
        }
    }
    const int64_t at = APacket.pts != AV_NOPTS_VALUE ? APacket.pts : APacket.dts;
    if (at != AV_NOPTS_VALUE)
        AOutput.WrittenEnd = std::max(AOutput.WrittenEnd, at + APacket.duration);
    if (FPipeline)
        FPipeline->Write(AOutput, APacket); // in the order of the calls, whatever encodes first
    else
        MuxPacket(AOutput, APacket);
}

void TCustomFFmpeg::MuxPacket(TOutputStreamState& AOutput, AVPacket& APacket) {
    ForgetLibraryError(); // a refused packet is told with the muxer's own words
    const int ret = ff::av_interleaved_write_frame(AOutput.File->Output.Get(), &APacket);
    if (ret < 0)
        throw FFmpegException(OpenErrorMessage("av_interleaved_write_frame()", ret));
}

} // namespace qm
