// Targets, which set everything an output needs for a disc or tape format, and presets,
// which apply lists of library options from a built-in table or a file.
#include "Engine/Targets.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "Engine/FFmpeg.h"
#include "Engine/MediaFiles.h"
#include "Engine/OptionContexts.h"
#include "Engine/OptionValues.h"
#include "Loader/MediaEntries.h"
#include "Logger/FFmpegLogger.h"
#include "Platform/FileUtils.h"

namespace qm {

namespace {

enum TNorm : int { nmPal, nmNtsc, nmFilm, nmUndecided = -1 };

// The frame rate text that the "r" handler takes, by norm.
const char* const NormRates[] = {"25", "30000/1001", "24000/1001"};

// 25 frames per second is PAL; 29.97 and 23.976 are NTSC. AMilliRate is in frames per
// 1000 seconds and is rounded to the nearest integer first (ties to even).
TNorm NormOfMilliRate(double AMilliRate) {
    const double r = std::nearbyint(AMilliRate);
    if (r == 25000)
        return nmPal;
    if (r == 29970 || r == 23976)
        return nmNtsc;
    return nmUndecided;
}

// The norm of the first video stream of the opened inputs that tells one. The codec time
// base is one field long for MPEG-2 and H.264 in this library (1/50 at 25 frames per
// second), so the stream's frame rate is asked when the time base tells nothing.
TNorm NormOfInputs(const std::vector<std::unique_ptr<TInputFile>>& AInputs) {
    for (const auto& input : AInputs) {
        const AVFormatContext* ic = input->Input.Get();
        if (!ic)
            continue;
        for (unsigned i = 0; i < ic->nb_streams; ++i) {
            AVStream* st = ic->streams[i];
            if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO)
                continue;
            TNorm norm = nmUndecided;
            const AVRational base = ff::av_stream_get_codec_timebase(st);
            if (base.num > 0 && base.den > 0)
                norm = NormOfMilliRate(base.den * 1000.0 / base.num);
            const AVRational rate = st->r_frame_rate;
            if (norm == nmUndecided && rate.num > 0 && rate.den > 0)
                norm = NormOfMilliRate(rate.num * 1000.0 / rate.den);
            if (norm != nmUndecided)
                return norm;
        }
    }
    return nmUndecided;
}

bool StartsWith(const std::string& AText, const char* APrefix) {
    return AText.rfind(APrefix, 0) == 0;
}

// The whole file as bytes; a file that exists but cannot be opened or read is an error.
std::string ReadWholeFile(const std::string& AFileName) {
    const int fd = ::open(AFileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw FFmpegException(
            Format("Cannot open file \"%s\". %s", AFileName.c_str(), std::strerror(errno)));
    std::string content;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            throw FFmpegException(
                Format("Cannot read file \"%s\". %s", AFileName.c_str(), std::strerror(error)));
        }
        if (n == 0)
            break;
        content.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return content;
}

// CR LF and lone CR become LF.
std::string UnifyLineBreaks(const std::string& AText) {
    std::string out;
    out.reserve(AText.size());
    for (size_t i = 0; i < AText.size(); ++i) {
        if (AText[i] != '\r') {
            out += AText[i];
            continue;
        }
        out += '\n';
        if (i + 1 < AText.size() && AText[i + 1] == '\n')
            ++i;
    }
    return out;
}

// clang-format off
const TOptionsPreset PresetTable[] = {
    {"libx264-baseline",
     "coder=0\nbf=0\nflags2=-wpred-dct8x8\n"},
    {"libx264-default",
     "coder=1\nflags=+loop\ncmp=+chroma\npartitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
     "me_method=hex\nsubq=7\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\n"
     "b_strategy=1\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nbf=3\nrefs=3\ndirectpred=1\ntrellis=1\n"
     "flags2=+mixed_refs+wpred+dct8x8+fastpskip\n"},
    {"libx264-fastfirstpass",
     "coder=1\nflags=+loop\ncmp=+chroma\n"
     "partitions=-parti8x8-parti4x4-partp8x8-partp4x4-partb8x8\nme_method=dia\nsubq=1\n"
     "me_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\nb_strategy=1\n"
     "qcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nbf=3\nrefs=1\ndirectpred=3\ntrellis=0\n"
     "flags2=-bpyramid-wpred-mixed_refs-dct8x8+fastpskip\n"},
    {"libx264-hq",
     "coder=1\nflags=+loop\ncmp=+chroma\npartitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
     "me_method=umh\nsubq=8\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\n"
     "b_strategy=2\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nbf=3\nrefs=4\ndirectpred=3\ntrellis=1\n"
     "flags2=+wpred+mixed_refs+dct8x8+fastpskip\n"},
    {"libx264-ipod320",
     "coder=0\nbf=0\nflags2=-wpred-dct8x8\nlevel=13\nmaxrate=768000\nbufsize=3000000\n"},
    {"libx264-ipod640",
     "coder=0\nbf=0\nrefs=1\nflags2=-wpred-dct8x8\nlevel=30\nmaxrate=10000000\nbufsize=10000000\n"},
    {"libx264-lossless_fast",
     "coder=0\nflags=+loop\ncmp=+chroma\n"
     "partitions=-parti8x8+parti4x4+partp8x8-partp4x4-partb8x8\nme_method=hex\nsubq=3\n"
     "me_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\nb_strategy=1\n"
     "qcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\ndirectpred=1\nflags2=+fastpskip\ncqp=0\n"},
    {"libx264-lossless_max",
     "coder=1\nflags=+loop\ncmp=+chroma\n"
     "partitions=+parti8x8+parti4x4+partp8x8+partp4x4-partb8x8\nme_method=esa\nsubq=8\n"
     "me_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\nb_strategy=1\n"
     "qcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nrefs=16\ndirectpred=1\n"
     "flags2=+mixed_refs+dct8x8+fastpskip\ncqp=0\n"},
    {"libx264-lossless_medium",
     "coder=1\nflags=+loop\ncmp=+chroma\n"
     "partitions=-parti8x8+parti4x4+partp8x8+partp4x4-partb8x8\nme_method=hex\nsubq=5\n"
     "me_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\nb_strategy=1\n"
     "qcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\ndirectpred=1\nflags2=+fastpskip\ncqp=0\n"},
    {"libx264-lossless_slow",
     "coder=1\nflags=+loop\ncmp=+chroma\n"
     "partitions=+parti8x8+parti4x4+partp8x8+partp4x4-partb8x8\nme_method=umh\nsubq=6\n"
     "me_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\nb_strategy=1\n"
     "qcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nrefs=2\ndirectpred=1\nflags2=+dct8x8+fastpskip\n"
     "cqp=0\n"},
    {"libx264-lossless_slower",
     "coder=1\nflags=+loop\ncmp=+chroma\n"
     "partitions=+parti8x8+parti4x4+partp8x8+partp4x4-partb8x8\nme_method=umh\nsubq=8\n"
     "me_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\nb_strategy=1\n"
     "qcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nrefs=4\ndirectpred=1\n"
     "flags2=+mixed_refs+dct8x8+fastpskip\ncqp=0\n"},
    {"libx264-lossless_ultrafast",
     "coder=0\nflags=+loop\ncmp=+chroma\n"
     "partitions=-parti8x8-parti4x4-partp8x8-partp4x4-partb8x8\nme_method=dia\nsubq=0\n"
     "me_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\nb_strategy=1\n"
     "qcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\ndirectpred=1\nflags2=+fastpskip\ncqp=0\n"},
    {"libx264-main",
     "flags2=-dct8x8\n"},
    {"libx264-max",
     "coder=1\nflags=+loop\ncmp=+chroma\n"
     "partitions=+parti8x8+parti4x4+partp8x8+partp4x4+partb8x8\nme_method=tesa\nsubq=10\n"
     "me_range=24\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\nb_strategy=2\n"
     "qcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nbf=3\nrefs=16\ndirectpred=3\ntrellis=2\n"
     "flags2=+wpred+mixed_refs+dct8x8-fastpskip\n"},
    {"libx264-normal",
     "coder=1\nflags=+loop\ncmp=+chroma\npartitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
     "me_method=hex\nsubq=6\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\n"
     "b_strategy=1\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nbf=3\nrefs=2\ndirectpred=3\ntrellis=0\n"
     "flags2=+wpred+dct8x8+fastpskip\n"},
    {"libx264-slowfirstpass",
     "coder=1\nflags=+loop\ncmp=+chroma\npartitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
     "me_method=hex\nsubq=6\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\n"
     "b_strategy=2\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nbf=3\nrefs=1\ndirectpred=3\ntrellis=0\n"
     "flags2=+wpred+dct8x8+fastpskip\n"},
};
// clang-format on

static_assert(std::size(PresetTable) == 16);

} // namespace

std::span<const TOptionsPreset> BuiltInPresets() {
    return PresetTable;
}

std::string BuiltInPresetContent(const std::string& AName) {
    for (const auto& preset : PresetTable)
        if (::strcasecmp(preset.Name, AName.c_str()) == 0)
            return preset.Content;
    return {};
}

void TCustomFFmpeg::SetTarget(const std::string& ATarget, const std::string& ANorm,
                              const std::string& ADefaultNorm) {
    TNorm norm;
    if (ANorm == "pal")
        norm = nmPal;
    else if (ANorm == "ntsc")
        norm = nmNtsc;
    else if (ANorm == "film")
        norm = nmFilm;
    else {
        if (Options.FrameRate.Den == 0)
            throw FFmpegException("frame_rate is invalid.");
        norm = NormOfMilliRate(Options.FrameRate.Num * 1000.0 / Options.FrameRate.Den);
        if (norm == nmUndecided)
            norm = NormOfInputs(InputFiles);
        if (norm == nmUndecided)
            norm = ADefaultNorm == "film" ? nmFilm : ADefaultNorm == "ntsc" ? nmNtsc : nmPal;
        if (Options.Verbosity > 0)
            LogF(this, llVerbose, "Assuming %s for target.", norm == nmPal ? "PAL" : "NTSC");
    }
    const bool pal = norm == nmPal;
    const char* const rate = NormRates[norm];

    // Library options; as everywhere in a target, a refusal is not an error.
    auto option = [this](const char* AName, const char* AValue) {
        SetContextOption(OptionContexts.get(), AName, AValue);
    };
    auto assumeAspect = [this](const char* AAspect) {
        if (Options.FrameAspectRatio != 0)
            return;
        Log(this, llInfo, std::string("Assuming ") + AAspect + " for aspect ratio");
        AspectOption("aspect", AAspect);
    };
    auto stereoIfMono = [this] {
        if (Options.AudioChannels == 1)
            Options.AudioChannels = 2;
    };

    if (ATarget == "vcd") {
        CodecOption("vcodec", "mpeg1video");
        CodecOption("acodec", "mp2");
        SetOutputFormat("vcd");
        FrameSizeOption("s", pal ? "352x288" : "352x240");
        FrameRateOption("r", rate);
        option("g", pal ? "15" : "18");
        option("b", "1150000");
        option("maxrate", "1150000");
        option("minrate", "1150000");
        option("bufsize", "327680");
        option("ab", "224000");
        Options.AudioSampleRate = 44100;
        Options.AudioChannels = 2;
        option("packetsize", "2324");
        // A private option of the MPEG muxers: kept for the output's muxer.
        option("muxrate", "1411200");
        Options.MuxPreload = 0.44f;
        assumeAspect("4:3");
    } else if (ATarget == "svcd") {
        CodecOption("vcodec", "mpeg2video");
        CodecOption("acodec", "mp2");
        SetOutputFormat("svcd");
        FrameSizeOption("s", pal ? "480x576" : "480x480");
        FrameRateOption("r", rate);
        option("g", pal ? "15" : "18");
        option("b", "2040000");
        option("maxrate", "2516000");
        option("minrate", "0");
        option("bufsize", "1835008");
        // Scan offsets are no longer a value of "flags" but a private option of the MPEG
        // video encoders.
        SetPrivateCodecOption(OptionContexts.get(), AVMEDIA_TYPE_VIDEO, "scan_offset", "1");
        option("ab", "224000");
        Options.AudioSampleRate = 44100;
        option("packetsize", "2324");
        stereoIfMono();
        assumeAspect("4:3");
    } else if (ATarget == "dvd") {
        CodecOption("vcodec", "mpeg2video");
        CodecOption("acodec", "ac3");
        SetOutputFormat("dvd");
        FrameSizeOption("s", pal ? "720x576" : "720x480");
        FrameRateOption("r", rate);
        option("g", pal ? "15" : "18");
        option("b", "6000000");
        option("maxrate", "9000000");
        option("minrate", "0");
        option("bufsize", "1835008");
        option("packetsize", "2048");
        option("muxrate", "10080000");
        option("ab", "448000");
        Options.AudioSampleRate = 48000;
        stereoIfMono();
        assumeAspect("16:9");
    } else if (ATarget == "dv" || ATarget == "dv50") {
        SetOutputFormat("dv");
        FrameSizeOption("s", pal ? "720x576" : "720x480");
        PixelFormatOption("pix_fmt", ATarget == "dv50" ? "yuv422p" : pal ? "yuv420p" : "yuv411p");
        FrameRateOption("r", rate);
        Options.AudioSampleRate = 48000;
        Options.AudioChannels = 2;
    } else {
        throw FFmpegException("Unknown target type");
    }
}

void TCustomFFmpeg::TargetOption(const std::string&, const std::string& AValue) {
    const std::string value = Trim(AValue);
    if (StartsWith(value, "pal-"))
        SetTarget(value.substr(4), "pal", "ntsc");
    else if (StartsWith(value, "ntsc-"))
        SetTarget(value.substr(5), "ntsc", "ntsc");
    else if (StartsWith(value, "film-"))
        SetTarget(value.substr(5), "film", "ntsc");
    else
        SetTarget(value, "auto", "ntsc");
}

void TCustomFFmpeg::ApplyPreset(const std::string& AOptionName, const std::string& AValue) {
    if (AOptionName.empty() || AValue.empty())
        return;
    std::string name = AValue;
    std::string content = BuiltInPresetContent(name);
    if (content.empty()) {
        const std::string* codec = nullptr;
        if (AOptionName[0] == 'v' && !Options.VideoCodecName.empty())
            codec = &Options.VideoCodecName;
        else if (AOptionName[0] == 'a' && !Options.AudioCodecName.empty())
            codec = &Options.AudioCodecName;
        else if (!Options.SubtitleCodecName.empty())
            codec = &Options.SubtitleCodecName;
        if (codec) {
            name = *codec + "-" + AValue;
            content = BuiltInPresetContent(name);
        }
    }
    if (content.empty() && IsRegularFile(AValue)) {
        name = AValue;
        content = ReadWholeFile(AValue);
    }
    if (content.empty())
        throw FFmpegException("Preset \"" + name + "\" not found");

    const std::string text = UnifyLineBreaks(Trim(content));
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = Trim(text.substr(start, end - start));
        start = end + 1;
        if (line.empty())
            continue;
        const size_t eq = line.find('=');
        const std::string key = eq == std::string::npos ? std::string() : line.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
        if (key.empty() || value.empty())
            throw FFmpegException(Format("%s: Invalid syntax: \"%s\"", name.c_str(), line.c_str()));
        // The codec handler tells the media type by the first letter of its name.
        if (::strcasecmp(key.c_str(), "vcodec") == 0)
            CodecOption("vcodec", value);
        else if (::strcasecmp(key.c_str(), "acodec") == 0)
            CodecOption("acodec", value);
        else if (::strcasecmp(key.c_str(), "scodec") == 0)
            CodecOption("scodec", value);
        else if (!SetContextOption(OptionContexts.get(), key, value))
            throw FFmpegException(
                Format("%s: Invalid option or argument: \"%s\", parsed as \"%s\" = \"%s\"",
                       name.c_str(), line.c_str(), key.c_str(), value.c_str()));
    }
}

} // namespace qm
