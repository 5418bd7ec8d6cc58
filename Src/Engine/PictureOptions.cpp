// Handlers of the picture and video options that do more than store a value.
#include <cstdlib>

#include "Engine/FFmpeg.h"
#include "Engine/OptionValues.h"
#include "Loader/MediaEntries.h"
#include "Logger/FFmpegLogger.h"

namespace qm {

void TCustomFFmpeg::FrameRateOption(const std::string&, const std::string& AValue) {
    if (AValue.empty())
        return;
    AVRational rate{0, 0};
    if (!ParseVideoRate(AValue, rate))
        throw FFmpegException("Incorrect frame rate");
    Options.FrameRate = {rate.num, rate.den};
}

void TCustomFFmpeg::FrameSizeOption(const std::string&, const std::string& AValue) {
    if (AValue.empty())
        return;
    int w = 0, h = 0;
    if (ff::av_parse_video_size(&w, &h, AValue.c_str()) < 0)
        throw FFmpegException("Incorrect frame size");
    Options.FrameWidth = w;
    Options.FrameHeight = h;
    if (w % 2 != 0 || h % 2 != 0)
        throw FFmpegException("Frame size must be a multiple of 2");
}

void TCustomFFmpeg::AspectOption(const std::string&, const std::string& AValue) {
    if (AValue.empty())
        return;
    double ratio = 0;
    const size_t colon = AValue.find(':');
    auto readInt = [](const std::string& text) -> long long {
        try {
            return ParseInt64(text);
        } catch (const EConvertError&) {
            return 0;
        }
    };
    if (colon != std::string::npos) {
        const long long a = readInt(AValue.substr(0, colon));
        const long long b = readInt(AValue.substr(colon + 1));
        ratio = b > 0 ? static_cast<double>(a) / static_cast<double>(b) : 0;
    } else {
        try {
            ratio = ParseFloat(AValue);
        } catch (const EConvertError&) {
            ratio = 0;
        }
    }
    if (ratio == 0)
        throw FFmpegException("Incorrect aspect ratio specification.");
    Options.FrameAspectRatio = static_cast<float>(ratio);
}

void TCustomFFmpeg::PixelFormatOption(const std::string&, const std::string& AValue) {
    if (AValue == "list") {
        char line[128];
        ff::av_get_pix_fmt_string(line, sizeof line, AV_PIX_FMT_NONE);
        Log(this, llInfo, Trim(line));
        for (const AVPixFmtDescriptor* d = ff::av_pix_fmt_desc_next(nullptr); d;
             d = ff::av_pix_fmt_desc_next(d)) {
            ff::av_get_pix_fmt_string(line, sizeof line, ff::av_pix_fmt_desc_get_id(d));
            Log(this, llInfo, Trim(line));
        }
        return;
    }
    const AVPixelFormat format = ff::av_get_pix_fmt(AValue.c_str());
    if (format == AV_PIX_FMT_NONE) {
        Options.FramePixelFormat = -1;
        throw FFmpegException("Unknown pixel format requested: " + AValue);
    }
    Options.FramePixelFormat = format;
}

void TCustomFFmpeg::CropOption(const std::string& AName, const std::string& AValue) {
    const int32_t n = ParseInt32(AValue);
    if (n < 0)
        return;
    const bool vertical = AName == "croptop" || AName == "cropbottom";
    int32_t& size = vertical ? Options.FrameHeight : Options.FrameWidth;
    if (n >= size)
        throw FFmpegException(std::string(vertical ? "Vertical" : "Horizontal") +
                              " crop dimensions are outside the range of the original image.\n"
                              "Remember to crop first and scale second.");
    int32_t& field = AName == "croptop"      ? Options.CropTop
                     : AName == "cropbottom" ? Options.CropBottom
                     : AName == "cropleft"   ? Options.CropLeft
                                             : Options.CropRight;
    field = n;
    size -= n;
}

void TCustomFFmpeg::PadOption(const std::string& AName, const std::string& AValue) {
    const int32_t n = ParseInt32(AValue);
    if (n < 0)
        return;
    int32_t& field = AName == "padtop"      ? Options.PadTop
                     : AName == "padbottom" ? Options.PadBottom
                     : AName == "padleft"   ? Options.PadLeft
                                            : Options.PadRight;
    field = n;
}

TYUVColor RgbToPadColor(int32_t ARgb) {
    const int r = ARgb & 0xff;
    const int g = (ARgb >> 8) & 0xff;
    const int b = (ARgb >> 16) & 0xff;
    // Fixed-point BT.601 with coefficients scaled by 1024; >> rounds toward minus infinity.
    TYUVColor c;
    c.Y = (307 * r + 602 * g + 117 * b + 512) >> 10;
    c.U = ((-173 * r - 340 * g + 512 * b + 511) >> 10) + 128;
    c.V = ((512 * r - 429 * g - 84 * b + 511) >> 10) + 128;
    return c;
}

void TCustomFFmpeg::PadColorOption(const std::string&, const std::string& AValue) {
    Options.PadColor = RgbToPadColor(ParseInt32(AValue));
}

void TCustomFFmpeg::QscaleOption(const std::string&, const std::string& AValue) {
    const double q = ParseFloat(AValue);
    if (!(q > 0) || q > 255)
        throw FFmpegException("qscale must be > 0.0 and <= 255");
    Options.VideoQscale = static_cast<float>(q);
}

void TCustomFFmpeg::PassOption(const std::string&, const std::string& AValue) {
    const int32_t p = ParseInt32(AValue);
    if (p != 1 && p != 2)
        throw FFmpegException("pass number can be only 1 or 2");
    Options.Pass = p;
}

void TCustomFFmpeg::MatrixOption(const std::string& AName, const std::string& AValue) {
    auto& matrix = AName == "intra_matrix" ? Options.IntraMatrix : Options.InterMatrix;
    if (matrix)
        matrix->fill(0);
    else
        matrix = std::make_unique<TQuantMatrix>();
    size_t pos = 0;
    for (int i = 0; i < 64; ++i) {
        const char* start = AValue.c_str() + pos;
        char* end = nullptr;
        const long value = std::strtol(start, &end, 10);
        (*matrix)[static_cast<size_t>(i)] = static_cast<uint16_t>(value & 0xffff);
        if (i == 63)
            break;
        const size_t comma = AValue.find(',', pos);
        if (comma == std::string::npos)
            throw FFmpegException("Syntax error in matrix \"" + AValue + "\" at coeff " +
                                  std::to_string(i));
        pos = comma + 1;
    }
}

std::vector<TRcOverrideEntry> ParseRcOverride(const std::string& AText) {
    std::vector<TRcOverrideEntry> entries;
    size_t pos = 0;
    // An integer of at least one character, followed by one more character (its separator).
    auto readBounded = [&](int32_t& out) {
        const char* start = AText.c_str() + pos;
        char* end = nullptr;
        const long value = std::strtol(start, &end, 10);
        const size_t used = static_cast<size_t>(end - start);
        if (used == 0 || pos + used >= AText.size())
            throw FFmpegException("error parsing rc_override");
        out = static_cast<int32_t>(value);
        pos += used + 1;
    };
    for (;;) {
        TRcOverrideEntry entry;
        readBounded(entry.StartFrame);
        readBounded(entry.EndFrame);
        const size_t qPos = pos;
        const int32_t q = static_cast<int32_t>(std::strtol(AText.c_str() + pos, nullptr, 10));
        if (q > 0) {
            entry.Qscale = q;
            entry.QualityFactor = 1.0f;
        } else {
            entry.Qscale = 0;
            entry.QualityFactor = static_cast<float>(-q) / 100.0f;
        }
        entries.push_back(entry);
        const size_t slash = AText.find('/', qPos);
        if (slash == std::string::npos)
            break;
        pos = slash + 1;
    }
    return entries;
}

} // namespace qm
