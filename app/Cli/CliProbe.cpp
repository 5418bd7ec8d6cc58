// quillmoor-cli probe: what the media probe reads from each file, one block per file.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "Cli/CliCommands.h"
#include "Probe/AVProbe.h"
#include "Probe/MediaText.h"
#include "Platform/Numbers.h"

namespace qm::cli {

namespace {

// "25", "29.97": up to three decimals, without trailing zeros.
std::string RateText(AVRational ARate) {
    if (ARate.num <= 0 || ARate.den <= 0)
        return "?";
    std::string s = FormatC("%.3f", double(ARate.num) / ARate.den);
    s.erase(s.find_last_not_of('0') + 1);
    if (s.back() == '.')
        s.pop_back();
    return s;
}

std::string StreamLine(const TStreamFacts& AFacts) {
    std::string line = "  stream #" + std::to_string(AFacts.Index) + ": ";
    switch (AFacts.MediaType) {
    case AVMEDIA_TYPE_VIDEO:
        line += "video " + AFacts.CodecName + ", " + std::to_string(AFacts.Width) + "x" +
                std::to_string(AFacts.Height) + ", " + RateText(AFacts.FrameRate) + " fps";
        break;
    case AVMEDIA_TYPE_AUDIO:
        line += "audio " + AFacts.CodecName + ", " + std::to_string(AFacts.SampleRate) + " Hz, " +
                std::to_string(AFacts.Channels) + (AFacts.Channels == 1 ? " channel" : " channels");
        break;
    case AVMEDIA_TYPE_SUBTITLE:
        line += "subtitle " + AFacts.CodecName;
        break;
    case AVMEDIA_TYPE_DATA:
        line += "data " + AFacts.CodecName;
        break;
    default:
        line += "other " + AFacts.CodecName;
        break;
    }
    if (!AFacts.Language.empty())
        line += ", language " + AFacts.Language;
    return line;
}

void PrintBlock(const std::string& AFileName, TAVProbe& AProbe) {
    TFileStreamInfo info;
    AProbe.GetFileStreamInfo(info);
    std::printf("%s\n", AFileName.c_str());
    std::printf("  container: %s", AProbe.ContainerName().c_str());
    const std::string longName = AProbe.ContainerLongName();
    if (!longName.empty())
        std::printf(" (%s)", longName.c_str());
    std::printf("\n  duration:  %s", DurationTextUs(info.Duration).c_str());
    if (info.Duration >= 0)
        std::fputs(FormatC(" (%.3f s)\n", info.Duration / 1e6).c_str(), stdout);
    else
        std::printf(" (none)\n");
    std::printf("  size:      %s\n", SizeText(AProbe.FileSize()).c_str());
    std::printf("  bit rate:  %" PRId32 " bit/s\n", info.BitRate);
    const struct {
        const char* Label;
        const std::string& Value;
    } tags[] = {{"title", info.Title},     {"author", info.Author}, {"copyright", info.Copyright},
                {"comment", info.Comment}, {"album", info.Album},   {"genre", info.Genre}};
    for (const auto& t : tags)
        if (!t.Value.empty())
            std::printf("  %-10s %s\n", (std::string(t.Label) + ":").c_str(), t.Value.c_str());
    for (int32_t i = 0; i < AProbe.StreamCount(); ++i) {
        TStreamFacts facts;
        if (AProbe.GetStreamFacts(i, facts))
            std::printf("%s\n", StreamLine(facts).c_str());
    }
}

} // namespace

int RunProbe(const TArgs& args) {
    for (const auto& a : args) {
        if (a == "--help" || a == "-h") {
            std::printf("Usage: quillmoor-cli probe FILE...\n"
                        "Shows each file's container, duration, size, bit rate and streams.\n"
                        "Exit status: 0 when every file was read, 1 otherwise.\n");
            return 0;
        }
    }
    if (args.empty()) {
        std::fprintf(stderr, "Usage: quillmoor-cli probe FILE...\n");
        return 1;
    }
    if (!LoadConverterLibraries())
        return 1;

    TAVProbe probe;
    int status = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        // Messages come in the order of the files, also when stdout is a pipe.
        std::fflush(stdout);
        if (!probe.LoadFile(args[i])) {
            std::fprintf(stderr, "%s\n", probe.LastError().c_str());
            status = 1;
            continue;
        }
        if (i > 0)
            std::printf("\n");
        PrintBlock(args[i], probe);
        probe.Close();
    }
    std::fflush(stdout);
    return status;
}

} // namespace qm::cli
