// Handlers of the audio and general options that do more than store a value.
#include <charconv>
#include <cstdlib>
#include <ctime>

#include "Engine/FFmpeg.h"
#include "Engine/OptionValues.h"
#include "Loader/MediaEntries.h"
#include "Logger/FFmpegLogger.h"
#include "Platform/FileUtils.h"

namespace qm {

void TCustomFFmpeg::SampleFormatOption(const std::string&, const std::string& AValue) {
    if (AValue == "list") {
        char line[128];
        for (int f = -1; f < AV_SAMPLE_FMT_NB; ++f) {
            ff::av_get_sample_fmt_string(line, sizeof line, static_cast<AVSampleFormat>(f));
            Log(this, llInfo, Trim(line));
        }
        return;
    }
    Options.AudioSampleFormat = ff::av_get_sample_fmt(AValue.c_str());
}

void TCustomFFmpeg::MetadataOption(const std::string&, const std::string& AValue) {
    const size_t eq = AValue.find('=');
    if (eq == std::string::npos)
        throw FFmpegException("Missing =");
    AddMetadata(AValue.substr(0, eq), AValue.substr(eq + 1));
}

void TCustomFFmpeg::ItsScaleOption(const std::string&, const std::string& AValue) {
    size_t pos = 0;
    const long stream = ReadPrefixedInt(AValue, pos);
    if (pos < AValue.size())
        ++pos;
    // The scale is written with a full stop whatever the locale.
    double scale = 0.0;
    if (pos < AValue.size()) {
        const std::string rest = AValue.substr(pos);
        std::from_chars(rest.data(), rest.data() + rest.size(), scale);
    }
    if (stream < 0 || stream >= MaxStreams)
        throw FFmpegException("stream index over MAX_STREAMS(" + std::to_string(MaxStreams) + ")");
    if (FInputFileCount >= MaxFiles)
        throw FFmpegException("No more input files can be opened (at most " +
                              std::to_string(MaxFiles) + ")");
    Options.InputTsScales[static_cast<size_t>(FInputFileCount)][static_cast<size_t>(stream)] =
        scale;
}

void TCustomFFmpeg::VstatsOption(const std::string&, const std::string&) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[16];
    std::strftime(stamp, sizeof stamp, "%H%M%S", &local);
    Options.VstatsFileName = ProgramFolder() + "vstats_" + stamp + ".log";
}

} // namespace qm
