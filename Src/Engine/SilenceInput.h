// Endless digital silence as an input of the engine ("-f silence -i NAME", the name unused):
// the raw 16-bit PCM demuxer reading from an I/O context that gives nothing but zero bytes.
// A title whose file has no sound gets its sound track from it; the main loop ends such an
// input together with the last of the others, so the silence is as long as the picture.
#pragma once

#include <memory>

#include "Unicode/UnicodeProtocol.h"

extern "C" {
struct AVDictionary;
struct AVInputFormat;
struct AVIOContext;
}

namespace qm {

inline constexpr char SilenceFormatName[] = "silence";
inline constexpr int SilenceSampleRate = 48000;
inline constexpr int SilenceChannels = 2;

using TGeneratorIOPtr = std::unique_ptr<AVIOContext, TIOContextDeleter>;

// An unseekable I/O context whose reads give zeros for ever; null when out of memory.
TGeneratorIOPtr NewSilenceIO();
// The demuxer that reads it, and the rate and channels it is told to read.
const AVInputFormat* SilenceDemuxer();
void SetSilenceParameters(AVDictionary** ADictionary);

} // namespace qm
