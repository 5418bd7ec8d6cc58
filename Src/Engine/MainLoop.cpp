// The main loop: pick the input whose output is furthest behind, read a packet, correct
// its times and hand it to the input side; the trailers at the end.
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

void TCustomFFmpeg::Transcode() {
    try {
        SetupTranscode();
    } catch (...) {
        FreeTranscodeState();
        throw;
    }
    try {
        RunMainLoop();
    } catch (...) {
        FreeTranscodeState();
        throw;
    }
    FreeTranscodeState();
}

double TCustomFFmpeg::OutputTime(const TOutputStreamState& AOutput) const {
    if (AOutput.EncodingNeeded && AOutput.Encoder->codec_type == AVMEDIA_TYPE_VIDEO)
        return AOutput.SyncOpts * av_q2d(AOutput.Encoder->time_base);
    return AOutput.WrittenEnd * av_q2d(AOutput.Stream->time_base);
}

int TCustomFFmpeg::MaxFramesOf(const TOutputStreamState& AOutput) const {
    switch (AOutput.Encoder->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
        return Options.MaxFrames[fsVideo];
    case AVMEDIA_TYPE_AUDIO:
        return Options.MaxFrames[fsAudio];
    case AVMEDIA_TYPE_DATA:
        return Options.MaxFrames[fsData];
    default:
        return Options.MaxFrames[fsSubtitle];
    }
}

void TCustomFFmpeg::StartEncodeThread() {
    // A few pictures queue for the encode thread. Where the loop reads what encoding has
    // done (reports, the size limit, a pause, the join step, the end) it waits until the
    // queue is empty, so it sees what the single-threaded loop would see.
    if (!UsesEncodeThread())
        return;
    FPipeline = std::make_unique<TEncodePipeline>(
        [this](TEncodeJob& AJob) { RunEncodeJob(AJob); },
        [this](TOutputStreamState& AOutput, AVPacket& APacket) { MuxPacket(AOutput, APacket); }, 3);
    // The encode thread scales some pictures, with a scaler of its own.
    for (auto& ost : FState->OutputStreams)
        if (ost->Scaler)
            ost->EncodeScaler = NewScaler(*ost);
}

int TCustomFFmpeg::PickJoinedFile(int AFile, double& ASmallestOut) const {
    const auto& st = *FState;
    const int n = st.StreamsPerOutputFile;
    for (int i = AFile * n; i < (AFile + 1) * n && i < int(st.OutputStreams.size()); ++i) {
        const auto& ost = *st.OutputStreams[static_cast<size_t>(i)];
        ASmallestOut = std::min(ASmallestOut, OutputTime(ost));
        if (ost.FrameNumber >= MaxFramesOf(ost))
            return -1;
    }
    return AFile;
}

int TCustomFFmpeg::PickInputFile(double& ASmallestOut) const {
    const auto& st = *FState;
    double smallestIn = 1e100;
    int file = -1;
    for (const auto& ost : st.OutputStreams) {
        const auto& ist = *st.InputStreams[static_cast<size_t>(ost->SourceIndex)];
        if (st.NoPacket[static_cast<size_t>(ist.FileIndex)] || ist.Cut.Done())
            continue; // a stream past the trimmed part wants nothing more
        const bool atEnd = st.InputFiles[static_cast<size_t>(ist.FileIndex)].EofReached;
        const double inTime = static_cast<double>(ist.Pts);
        if (!atEnd && inTime < smallestIn) {
            smallestIn = inTime;
            if (Options.InputSync)
                file = ist.FileIndex;
        }
        const double outTime = OutputTime(*ost);
        if (!atEnd && outTime < ASmallestOut) {
            ASmallestOut = outTime;
            if (!Options.InputSync)
                file = ist.FileIndex;
        }
        if (ost->FrameNumber >= MaxFramesOf(*ost))
            return -1;
    }
    return file;
}

bool TCustomFFmpeg::OnlyEndlessInputsLeft() const {
    for (size_t f = 0; f < InputFiles.size(); ++f)
        if (!InputFiles[f]->Endless && !FState->InputFiles[f].EofReached)
            return false;
    return true;
}

bool TCustomFFmpeg::OutputLimitReached(double ASmallestOut) const {
    if (static_cast<double>(Options.RecordingTime) / 1000000.0 <= ASmallestOut)
        return true;
    return Options.LimitFileSize != 0 && !OutputFiles.empty() && OutputFiles[0]->Output->pb &&
           ff::avio_seek(OutputFiles[0]->Output->pb, 0, SEEK_CUR) > Options.LimitFileSize;
}

void TCustomFFmpeg::RoutePacket(int AFile, AVPacket& APacket) {
    auto& st = *FState;
    const auto& fileState = st.InputFiles[static_cast<size_t>(AFile)];
    if (APacket.stream_index >= fileState.StreamCount)
        return;
    const int position = fileState.FirstStreamIndex + APacket.stream_index;
    TInputStreamState& ist = *st.InputStreams[static_cast<size_t>(position)];
    if (ist.Discard)
        return;
    CorrectTimestamps(ist, APacket, AFile);
    if (DecodePacket(ist, position, &APacket) >= 0)
        return;
    const std::string message =
        Format("Error while decoding stream #%d.%d (%s)", ist.FileIndex, ist.StreamIndex,
               MediaTypeName(ist.Stream->codecpar->codec_type).c_str());
    if (Options.ExitOnError)
        throw FFmpegException(message);
    if (Options.Verbosity >= 0)
        Log(this, llVerbose, message);
}

void TCustomFFmpeg::RunMainLoop() {
    auto& st = *FState;
    FTranscodeStartTime = ff::av_gettime();
    int64_t lastReport = FTranscodeStartTime;
    int file = 0;
    TPacketPtr packet(ff::av_packet_alloc());
    if (!packet)
        throw FFmpegException("av_packet_alloc failed");
    StartEncodeThread();

    while (!FStopRequested) {
        CheckPause();
        if (FStopRequested)
            break;
        double smallestOut = 1e100;
        file = FJoinMode ? PickJoinedFile(file, smallestOut) : PickInputFile(smallestOut);
        if (file < 0) {
            if (FJoinMode || st.NoPacketCount == 0)
                break;
            std::fill(std::begin(st.NoPacket), std::end(st.NoPacket), false);
            st.NoPacketCount = 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (OutputLimitReached(smallestOut))
            break;

        AVFormatContext* ic = InputFiles[static_cast<size_t>(file)]->Input.Get();
        const int ret = ff::av_read_frame(ic, packet.get());
        if (ret == AVERROR(EAGAIN)) {
            st.NoPacket[static_cast<size_t>(file)] = true;
            ++st.NoPacketCount;
            continue;
        }
        if (ret < 0) {
            st.InputFiles[static_cast<size_t>(file)].EofReached = 1;
            if (!FJoinMode) {
                if (Options.Shortest || OnlyEndlessInputsLeft())
                    break;
                continue;
            }
            if (!JoinStep(file))
                break;
            ++file;
            continue;
        }
        std::fill(std::begin(st.NoPacket), std::end(st.NoPacket), false);
        st.NoPacketCount = 0;
        if (Options.PacketDump)
            ff::av_pkt_dump_log2(nullptr, AV_LOG_DEBUG, packet.get(), Options.HexDump,
                                 ic->streams[packet->stream_index]);
        RoutePacket(file, *packet);
        ff::av_packet_unref(packet.get());
        const int64_t now = ff::av_gettime();
        if (now - lastReport > ProgressIntervalUs) {
            lastReport = now;
            if (FPipeline)
                FPipeline->Sync();
            ProgressReport(false);
        }
    }
    FinishOutputs();
}

void TCustomFFmpeg::FinishOutputs() {
    auto& st = *FState;
    for (size_t i = 0; i < st.InputStreams.size(); ++i) {
        auto& ist = *st.InputStreams[i];
        if (ist.DecodingNeeded && ist.Flushed != 1)
            DecodePacket(ist, static_cast<int>(i), nullptr);
    }
    if (FPipeline) {
        FPipeline->Sync();
        FPipeline.reset();
    }
    const int trailerCount = FJoinMode ? std::min(1, FOutputFileCount) : FOutputFileCount;
    for (int k = 0; k < trailerCount; ++k) {
        TOutputFile& out = *OutputFiles[static_cast<size_t>(k)];
        const int ret = ff::av_write_trailer(out.Output.Get());
        out.HeaderWritten = false;
        if (ret < 0)
            throw FFmpegException(OpenErrorMessage("av_write_trailer()", ret));
        // A file that could not be written to the end is a failed run, not a finished one.
        if (AVIOContext* pb = out.Output->pb) {
            ff::avio_flush(pb);
            if (pb->error < 0)
                throw FFmpegException(OpenErrorMessage(out.FileName, pb->error));
        }
    }
    ProgressReport(true);
    CloseTranscodeCodecs();
    FFinished = !FStopRequested;
}

void TCustomFFmpeg::CorrectTimestamps(TInputStreamState& AInput, AVPacket& APacket, int AFile) {
    const AVRational tb = AInput.Stream->time_base;
    const AVRational us{1, AV_TIME_BASE};
    int64_t& offset = InputTsOffsets[static_cast<size_t>(AFile)];
    const int64_t shift = ff::av_rescale_q(offset, us, tb);
    if (APacket.dts != AV_NOPTS_VALUE)
        APacket.dts += shift;
    if (APacket.pts != AV_NOPTS_VALUE)
        APacket.pts += shift;
    const double scale =
        Options.InputTsScales[static_cast<size_t>(AFile)][static_cast<size_t>(AInput.StreamIndex)];
    if (scale != 0) {
        if (APacket.pts != AV_NOPTS_VALUE)
            APacket.pts = std::llround(APacket.pts * scale);
        if (APacket.dts != AV_NOPTS_VALUE)
            APacket.dts = std::llround(APacket.dts * scale);
    }
    AVFormatContext* ic = InputFiles[static_cast<size_t>(AFile)]->Input.Get();
    if (APacket.dts != AV_NOPTS_VALUE && AInput.NextPts != AV_NOPTS_VALUE &&
        (ic->iformat->flags & AVFMT_TS_DISCONT) && !Options.CopyTimestamps) {
        const int64_t dtsUs = ff::av_rescale_q(APacket.dts, tb, us);
        const int64_t delta = dtsUs - AInput.NextPts;
        if (std::llabs(delta) > Options.DtsDeltaThreshold * 1000000.0 || dtsUs + 1 < AInput.Pts) {
            offset -= delta;
            if (Options.Verbosity > 2)
                LogF(this, llVerbose, "timestamp discontinuity %lld, new offset= %lld",
                     static_cast<long long>(delta), static_cast<long long>(offset));
            const int64_t deltaTb = ff::av_rescale_q(delta, us, tb);
            APacket.dts -= deltaTb;
            if (APacket.pts != AV_NOPTS_VALUE)
                APacket.pts -= deltaTb;
        }
    }
}

} // namespace qm
