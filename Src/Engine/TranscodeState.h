// The working records of one transcode: built by the setup, used by the main loop and
// the packet decoder, freed when the transcode ends.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "Engine/FFmpeg.h"
#include "Engine/FFmpegException.h"
#include "Engine/StreamCut.h"
#include "Loader/MediaPtr.h"

namespace qm {

struct TOutputFile;
struct TOutputStreamSetup;

// A new, unopened encoder context with the settings of ASource (its options, its
// encoder's private options and the fields that are no options): an encoder that was
// drained starts again from it.
TCodecContextPtr CopyEncoderSettings(const AVCodecContext& ASource);

struct TInputFileState {
    int32_t EofReached = 0;
    int32_t FirstStreamIndex = 0;
    int32_t StreamCount = 0;
};

struct TInputStreamState {
    int32_t FileIndex = 0;
    int32_t StreamIndex = 0;
    AVStream* Stream = nullptr;
    AVCodecContext* Decoder = nullptr; // owned by the input file
    bool DecoderOpen = false;
    int32_t Discard = 1;
    int32_t DecodingNeeded = 0;
    int64_t StartTime = 0; // wall clock when reading began (rate emulation)
    int64_t NextPts = AV_NOPTS_VALUE;
    int64_t Pts = 0;
    int32_t IsStart = 1;
    int32_t Flushed = 0;
    TFramePtr Frame; // decoded picture or samples, reused
    // The trimmed part of this stream, and the picture that may be on screen at its start.
    TStreamCut Cut;
    TFramePtr HeldPicture;
    int64_t HeldTime = 0, HeldDuration = 0;
};

struct TOutputStreamState {
    int32_t FileIndex = 0;
    int32_t Index = 0;
    int32_t SourceIndex = 0;
    AVStream* Stream = nullptr;
    TOutputFile* File = nullptr;
    TOutputStreamSetup* Setup = nullptr;
    AVCodecContext* Encoder = nullptr; // owned by the output file's stream setup
    bool EncoderOpen = false;
    int32_t EncodingNeeded = 0;
    int32_t FrameNumber = 0;
    TInputStreamState* SyncInput = nullptr;
    int64_t SyncOpts = 0;
    // End of the last packet written, in the stream's time base: the output time of
    // streams whose position is not counted in frames.
    int64_t WrittenEnd = 0;
    int64_t LastDts = AV_NOPTS_VALUE; // of the packets written, in the stream's time base
    std::vector<TBsfPtr> BitstreamFilters;

    // Video re-encoding.
    int32_t VideoResample = 0;
    int32_t VideoCrop = 0;
    int32_t VideoPad = 0;
    TFramePtr TempPicture; // what scaling and padding write into
    std::vector<TFramePtr> SparePictures; // taken when the encoder still holds TempPicture
    TSwsPtr Scaler;
    TSwsPtr EncodeScaler; // the same, for the encode thread
    int32_t ResampleWidth = 0, ResampleHeight = 0, ResamplePixFmt = -1;
    int32_t OriginalWidth = 0, OriginalHeight = 0;
    int32_t TopBand = 0, BottomBand = 0, LeftBand = 0, RightBand = 0;
    int32_t OriginalTopBand = 0, OriginalBottomBand = 0, OriginalLeftBand = 0,
            OriginalRightBand = 0;
    int32_t StreamPadTop = 0, StreamPadBottom = 0, StreamPadLeft = 0, StreamPadRight = 0;
    // An interlaced source: encoded interlaced (its fields scaled apart), or deinterlaced
    // first by the filters when the frame rate changes too.
    bool Interlaced = false;
    bool FieldScaling = false;
    bool DeinterlaceFirst = false;
    bool TopFieldFirst = true;
    TFramePtr EncodeFrame; // the frame handed to the encoder, reused
    size_t NextKeyFrame = 0; // into Setup->KeyFrameTimes
    int32_t LastFrameSize = 0;
    int64_t LastCodedPts = AV_NOPTS_VALUE; // of the last packet, in the encoder's time base
    // "vfilters": this output's graph and its two ends (owned by the graph).
    TFilterGraphPtr FilterGraph;
    AVFilterContext* FilterSource = nullptr;
    AVFilterContext* FilterSink = nullptr;
    TFramePtr FilterFrame; // reused for what goes in and comes out
    int32_t LastPictureType = 0; // of the last packet, from its quality side data
    // Squared errors of Y, U, V when the encoder measures PSNR: of the last packet, and
    // summed over every packet of the stream.
    double LastErrors[3] = {};
    double SummedErrors[3] = {};
    std::unique_ptr<FILE, TFileCloser> LogFile; // first-pass statistics
    std::unique_ptr<char, TAvFreeDeleter> PassStats; // second pass: this entry's, until it opens
    TFramePtr LastPicture;
    TPacketPtr Packet;    // reused for every packet this stream writes
    TFramePtr FifoFrame;  // reused for every frame taken from the FIFO

    // The reusable packet, empty.
    AVPacket* WorkPacket() {
        if (!Packet)
            Packet.reset(ff::av_packet_alloc());
        if (!Packet)
            throw FFmpegException("av_packet_alloc failed");
        ff::av_packet_unref(Packet.get());
        return Packet.get();
    } // the last picture encoded, for filling up to the input's end

    // Audio re-encoding: decoded samples are converted straight to the encoder's format,
    // rate and layout, and wait in the FIFO for whole encoder frames.
    TSwrPtr Resampler;
    int32_t ResamplerInRate = 0, ResamplerInFormat = -1;
    AVChannelLayout ResamplerInLayout{};
    TAudioFifoPtr Fifo;
    TFramePtr AudioFrame;       // resampled samples on their way into the FIFO
    int32_t AudioFrameRoom = 0; // the samples its buffer holds
    ~TOutputStreamState() { ff::av_channel_layout_uninit(&ResamplerInLayout); }
    TOutputStreamState() = default;
    TOutputStreamState(const TOutputStreamState&) = delete;
    TOutputStreamState& operator=(const TOutputStreamState&) = delete;
};

struct TTranscodeState {
    std::vector<TInputFileState> InputFiles;
    std::vector<std::unique_ptr<TInputStreamState>> InputStreams;
    std::vector<std::unique_ptr<TOutputStreamState>> OutputStreams;
    int32_t StreamsPerOutputFile = 0;
    // JoinMode: the settings of each encoder of the first file's entries before it was
    // opened; every later file gets a fresh encoder made from them.
    std::vector<TCodecContextPtr> EncoderTemplates;
    std::array<bool, MaxFiles> NoPacket{}; // per input file: nothing to read just now
    int32_t NoPacketCount = 0;
};

} // namespace qm
