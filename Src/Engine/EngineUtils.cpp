#include "EngineUtils.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "Loader/MediaEntries.h"
#include "Logger/FFmpegLogger.h"

namespace qm {

std::string OpenErrorMessage(const std::string& AFileName, int AError, bool AFormatForced) {
    const char* name = AFileName.c_str();
    // The probe of 5.1 answers AVERROR_INVALIDDATA both for "no format matched" and for
    // a forced format that could not read the header.
    if (AError == AVERROR_INVALIDDATA)
        AError = AFormatForced ? AVERROR(EINVAL) : AVERROR(EILSEQ);
    // A demuxer that refused the file said why in its log ("moov atom not found").
    const std::string said = LastLibraryError();
    const std::string why = said.empty() ? std::string() : " (" + said + ")";
    switch (AError) {
    case AVERROR(EILSEQ):
        return Format("%s: Unknown format%s", name, why.c_str());
    case AVERROR(EDOM):
        return Format("%s: Incorrect image filename syntax.\n"
                      "Use '%%d' to specify the image number:\n"
                      "  for img1.jpg, img2.jpg, ..., use 'img%%d.jpg';\n"
                      "  for img001.jpg, img002.jpg, ..., use 'img%%03d.jpg'.",
                      name);
    case AVERROR(EINVAL):
        return Format("%s: Error while parsing header%s", name, why.c_str());
    case AVERROR(ENOMEM):
        return Format("%s: memory allocation error occurred", name);
    case AVERROR(EIO):
        return Format("%s: I/O error occurred\n"
                      "Usually that means that input file is truncated and/or corrupted.",
                      name);
    case AVERROR(ENOENT):
        return Format("%s: no such file or directory", name);
    case AVERROR(ENOSPC):
    case AVERROR(EDQUOT):
        return Format("%s: %s: the disk is full. Make room on it or choose another output folder.", name,
                      AError == AVERROR(ENOSPC) ? "No space left on device" : "Disk quota exceeded");
    default:
        return Format("%s: Error while opening file", name);
    }
}

std::string WithLibraryReason(const std::string& AMessage, int AError) {
    char reason[256] = "";
    if (ff::av_strerror(AError, reason, sizeof reason) < 0)
        std::snprintf(reason, sizeof reason, "error %d", AError);
    return AMessage + ": " + reason;
}

std::string MediaTypeName(int AType) {
    switch (AType) {
    case AVMEDIA_TYPE_VIDEO:
        return "Video";
    case AVMEDIA_TYPE_AUDIO:
        return "Audio";
    case AVMEDIA_TYPE_DATA:
        return "Data";
    case AVMEDIA_TYPE_SUBTITLE:
        return "Subtitle";
    case AVMEDIA_TYPE_ATTACHMENT:
        return "Attachment";
    default:
        return "Unknown";
    }
}

std::string MetadataValue(const AVDictionary* AMetadata, const std::string& AKey,
                          const std::string& ADefault) {
    const AVDictionaryEntry* tag = ff::av_dict_get(AMetadata, AKey.c_str(), nullptr, 0);
    return tag ? std::string(tag->value) : ADefault;
}

double RationalToDouble(AVRational r) {
    return r.num / static_cast<double>(r.den);
}

double Psnr(double AError, double AScale) {
    return -10.0 * std::log10(AError / AScale);
}

int32_t ClampInt(int32_t a, int32_t min, int32_t max) {
    if (a < min)
        return min;
    if (a > max)
        return max;
    return a;
}

AVRational DoubleToRational(double d, int32_t max) {
    // Beyond these the exponent arithmetic below overflows its 64-bit numerator; the
    // library's own conversion gives the same answers for them.
    if (std::isnan(d))
        return {0, 0};
    if (std::fabs(d) > INT32_MAX + 3.0)
        return {d < 0 ? -1 : 1, 0};
    // nearbyint rounds halves to even, like the rounding this arithmetic was made for.
    int e = static_cast<int>(std::nearbyint(std::log10(std::fabs(d) + 1e-20) / 0.6931471805599453));
    if (e < 0)
        e = 0;
    const int64_t den = int64_t{1} << ((61 - e) % 32);
    const int64_t num = std::llrint(d * static_cast<double>(den) + 0.5);
    AVRational r{0, 1};
    ff::av_reduce(&r.num, &r.den, num, den, max);
    return r;
}

} // namespace qm
