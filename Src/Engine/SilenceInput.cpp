#include "Engine/SilenceInput.h"

#include <cstring>

#include "Loader/MediaEntries.h"

namespace qm {

namespace {

constexpr int SilenceBufferSize = 16384;

int ReadZeros(void*, uint8_t* ABuffer, int ASize) {
    std::memset(ABuffer, 0, static_cast<size_t>(ASize));
    return ASize;
}

} // namespace

TGeneratorIOPtr NewSilenceIO() {
    auto* buffer = static_cast<unsigned char*>(ff::av_malloc(SilenceBufferSize));
    if (!buffer)
        return nullptr;
    AVIOContext* io = ff::avio_alloc_context(buffer, SilenceBufferSize, 0, nullptr, ReadZeros, nullptr, nullptr);
    if (!io) {
        ff::av_free(buffer);
        return nullptr;
    }
    io->seekable = 0;
    return TGeneratorIOPtr(io);
}

const AVInputFormat* SilenceDemuxer() { return ff::av_find_input_format("s16le"); }

void SetSilenceParameters(AVDictionary** ADictionary) {
    ff::av_dict_set_int(ADictionary, "sample_rate", SilenceSampleRate, 0);
    ff::av_dict_set_int(ADictionary, "channels", SilenceChannels, 0);
}

} // namespace qm
