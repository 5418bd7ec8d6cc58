// Routing: a decoded frame, subtitle or packet of an input stream to every output stage
// that takes it, and the end of an input to each of them.
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

void TCustomFFmpeg::DistributeFrame(TInputStreamState& AInput, int AInputIndex, AVFrame& AFrame) {
    for (auto& ost : FState->OutputStreams) {
        if (ost->SourceIndex != AInputIndex || !ost->EncodingNeeded)
            continue;
        switch (ost->Encoder->codec_type) {
        case AVMEDIA_TYPE_AUDIO:
            AudioOut(*ost, AInput, AFrame);
            break;
        case AVMEDIA_TYPE_VIDEO:
            if (ost->FilterSource)
                FilterVideo(*ost, AInput, &AFrame);
            else
                VideoOut(*ost, AInput, AFrame);
            break;
        default:
            throw FFmpegException("invalid codec_type");
        }
    }
}

void TCustomFFmpeg::CopyToStages(TInputStreamState& AInput, int AInputIndex,
                                 const AVPacket& APacket) {
    if (!PassesStartTime(AInput))
        return;
    for (auto& ost : FState->OutputStreams)
        if (ost->SourceIndex == AInputIndex && !ost->EncodingNeeded)
            StreamCopy(*ost, AInput, APacket);
}

void TCustomFFmpeg::DistributeSubtitle(TInputStreamState& AInput, int AInputIndex,
                                       AVSubtitle& ASubtitle, int64_t APacketPts) {
    for (auto& ost : FState->OutputStreams) {
        if (ost->SourceIndex != AInputIndex || !ost->EncodingNeeded)
            continue;
        if (ost->Encoder->codec_type != AVMEDIA_TYPE_SUBTITLE)
            throw FFmpegException("invalid codec_type");
        SubtitleOut(*ost, AInput, ASubtitle, APacketPts);
    }
}

void TCustomFFmpeg::DrainEncoders(int AInputIndex) {
    for (auto& ost : FState->OutputStreams) {
        if (ost->SourceIndex != AInputIndex || !ost->EncodingNeeded || !ost->EncoderOpen)
            continue;
        switch (ost->Encoder->codec_type) {
        case AVMEDIA_TYPE_AUDIO:
            EncodeAudioFifo(*ost, true);
            EncodeAndWrite(*ost, nullptr);
            break;
        case AVMEDIA_TYPE_VIDEO:
            if (ost->FilterSource)
                FilterVideo(*ost, *FState->InputStreams[static_cast<size_t>(AInputIndex)], nullptr);
            FillToInputEnd(*ost);
            EncodeVideo(TEncodeJob{ost.get()}, nullptr);
            break;
        default:
            break;
        }
    }
}

} // namespace qm
