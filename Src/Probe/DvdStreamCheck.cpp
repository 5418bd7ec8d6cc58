#include "Probe/DvdStreamCheck.h"

#include "Loader/MediaPtr.h"
#include "Probe/AVProbe.h"

namespace qm {

namespace {

// Packets read at most while looking for the first picture: far more than a stream's
// start holds before its first picture when it has one there.
constexpr int MaxPacketsBeforePicture = 2000;

std::string SecondsText(int64_t AUs) {
    return std::to_string(AUs / 1000000) + "." + std::to_string(AUs % 1000000 / 100000) + " s";
}

// Microseconds of APacket's time (decoding time, else presentation time); AV_NOPTS_VALUE
// when it has none.
int64_t PacketTimeUs(const AVFormatContext& AContext, const AVPacket& APacket) {
    const int64_t ts = APacket.dts != AV_NOPTS_VALUE ? APacket.dts : APacket.pts;
    if (ts == AV_NOPTS_VALUE)
        return AV_NOPTS_VALUE;
    return ff::av_rescale_q(ts, AContext.streams[APacket.stream_index]->time_base, AVRational{1, 1000000});
}

// How long after the stream's first timed packet its first picture comes; "" with ADelay set,
// else why there is none.
std::string FirstPictureDelay(AVFormatContext& AContext, int AVideo, int64_t& ADelay) {
    TPacketPtr packet(ff::av_packet_alloc());
    if (!packet)
        return "Cannot read the converted stream back: out of memory.";
    int64_t first = AV_NOPTS_VALUE;
    for (int n = 0; n < MaxPacketsBeforePicture && ff::av_read_frame(&AContext, packet.get()) >= 0; ++n) {
        const int64_t at = PacketTimeUs(AContext, *packet);
        const bool picture = packet->stream_index == AVideo;
        ff::av_packet_unref(packet.get());
        if (first == AV_NOPTS_VALUE)
            first = at;
        if (picture && at != AV_NOPTS_VALUE) {
            ADelay = first == AV_NOPTS_VALUE ? 0 : at - first;
            return {};
        }
    }
    return "The converted stream has no picture at its start.";
}

} // namespace

std::string DvdStreamProblem(const std::string& APath, int64_t AExpectedMs) {
    TAVProbe probe;
    if (!probe.LoadFile(APath))
        return "Cannot read the converted stream back: " + probe.LastError();
    const int video = probe.FirstVideoStream();
    if (video < 0)
        return "The converted stream has no picture.";
    int64_t delay = 0;
    if (std::string problem = FirstPictureDelay(*probe.FormatContext(), video, delay); !problem.empty())
        return problem;
    if (delay > MaxPictureDelayUs)
        return "The converted stream's first picture comes " + SecondsText(delay) + " after its start.";
    TFileStreamInfo info;
    probe.GetFileStreamInfo(info);
    if (info.Duration <= 0)
        return "The converted stream has no length.";
    // Broken time stamps can make the conversion fill hours with a still picture.
    if (AExpectedMs > 0 && info.Duration / 1000 > 2 * AExpectedMs + 10000)
        return "The converted stream lasts " + SecondsText(info.Duration) + ", far longer than the " +
               SecondsText(AExpectedMs * 1000) + " converted.";
    return {};
}

} // namespace qm
