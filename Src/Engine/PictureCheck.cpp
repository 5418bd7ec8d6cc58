#include "Engine/PictureCheck.h"

#include <climits>
#include <cstdint>

#include "Engine/FFmpegException.h"
#include "Loader/MediaEntries.h"

namespace qm {

namespace {

std::string FormatName(int AFormat) {
    const char* name = ff::av_get_pix_fmt_name(static_cast<AVPixelFormat>(AFormat));
    return name ? name : "unknown (" + std::to_string(AFormat) + ")";
}

// The media library's own limit for one picture (av_image_check_size).
bool SizeUsable(int AWidth, int AHeight) {
    return AWidth > 0 && AHeight > 0 &&
           uint64_t(AWidth + 128) * uint64_t(AHeight + 128) < uint64_t(INT_MAX / 8);
}

} // namespace

std::string PictureProblem(int AFormat, int AWidth, int AHeight, TPictureUse AUse) {
    const auto format = static_cast<AVPixelFormat>(AFormat);
    const AVPixFmtDescriptor* desc = AFormat < 0 ? nullptr : ff::av_pix_fmt_desc_get(format);
    if (!desc)
        return "the picture's pixel format is unknown (the file may be damaged)";
    if (desc->flags & (AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM))
        return "the pixel format " + FormatName(AFormat) + " holds no picture in memory";
    const bool supported = AUse == puScalerInput    ? ff::sws_isSupportedInput(format) > 0
                           : AUse == puScalerOutput ? ff::sws_isSupportedOutput(format) > 0
                                                    : true;
    if (!supported)
        return "the scaler cannot convert the pixel format " + FormatName(AFormat);
    if (!SizeUsable(AWidth, AHeight))
        return "the picture's size " + std::to_string(AWidth) + "x" + std::to_string(AHeight) +
               " is not usable (the file may be damaged)";
    return {};
}

void CheckPicture(int AFormat, int AWidth, int AHeight, TPictureUse AUse, const std::string& AWhat) {
    const std::string problem = PictureProblem(AFormat, AWidth, AHeight, AUse);
    if (!problem.empty())
        throw FFmpegException(AWhat + ": " + problem);
}

} // namespace qm
