// What the engine holds of its opened inputs and created outputs until ReleaseResources.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Loader/MediaPtr.h"
#include "Unicode/UnicodeProtocol.h"

namespace qm {

struct TInputFile {
    std::string FileName; // as the user gave it
    // The I/O of a generated input (silence); declared first, as it outlives the context.
    std::unique_ptr<AVIOContext, TIOContextDeleter> GeneratorIO;
    bool Endless = false; // a generator: it ends when every other input has ended
    TFormatInput Input;
    // One decoder context per stream, filled from the stream's parameters (null for data
    // and attachment streams); the transcode opens them.
    std::vector<TCodecContextPtr> Decoders;
    // Where a start time given for the input ("ss" before "-i") sought to, in the file's
    // own microseconds; nothing before it reaches an output. None without a start time.
    int64_t SeekTime = AV_NOPTS_VALUE;
};

// Settings of one output stream that are not in the stream's codec parameters yet.
struct TOutputStreamSetup {
    TCodecContextPtr Codec; // encoder settings; for a copied stream only the basics
    bool StreamCopy = false;
    float Quality = 0.0f;
    const AVCodec* Encoder = nullptr; // forced or guessed encoder, null for copies
    std::vector<const AVBitStreamFilter*> BitstreamFilters;
    std::vector<int64_t> KeyFrameTimes; // microseconds: pictures coded as key frames
};

struct TOutputFile {
    std::string FileName; // as the user gave it
    TFormatOutput Output;
    std::vector<TOutputStreamSetup> Streams; // by stream index
    // Recorded private muxer options ("muxrate", "preload"), for avformat_write_header.
    TDictionaryPtr MuxerOptions;
    bool HeaderWritten = false;
};

} // namespace qm
