// Small helpers shared by the engine, the probe and the player: texts for open errors and
// media types, metadata lookup, and the numeric routines for rationals and ranges.
#pragma once

#include <cstdint>
#include <string>

extern "C" {
#include <libavutil/rational.h>
}

struct AVDictionary;

namespace qm {

// The message for a failed open of AFileName (or, from the transcode, the name of the
// failed library call). A probe failure (AVERROR_INVALIDDATA) reads "Unknown format"
// unless AFormatForced, when the forced format could not parse the file; any code not
// listed gives "%s: Error while opening file".
std::string OpenErrorMessage(const std::string& AFileName, int AError, bool AFormatForced = false);

// AMessage followed by the media library's own reason for AError (av_strerror).
std::string WithLibraryReason(const std::string& AMessage, int AError);

// "Video", "Audio", "Data", "Subtitle", "Attachment"; "Unknown" for any other value.
std::string MediaTypeName(int AType);

// The value of the first tag AKey (letter case ignored, as the library's lookup does),
// else ADefault. AMetadata may be null.
std::string MetadataValue(const AVDictionary* AMetadata, const std::string& AKey,
                          const std::string& ADefault);

// Numerator divided by denominator.
double RationalToDouble(AVRational r);

// Peak signal-to-noise ratio in dB of a summed squared error against its peak scale
// (pixels × 255² × frames).
double Psnr(double AError, double AScale);

// min when a < min, else max when a > max, else a.
int32_t ClampInt(int32_t a, int32_t min, int32_t max);

// The fraction nearest to d with numerator and denominator not above max (sample
// aspect ratios). NaN gives 0/0; values beyond the 32-bit range give 1/0 or -1/0.
AVRational DoubleToRational(double d, int32_t max);

} // namespace qm
