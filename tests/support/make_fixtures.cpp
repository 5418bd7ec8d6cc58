// make-fixtures OUTDIR [NAME...]          writes the standard fixture set (or the named ones)
// make-fixtures --clip OUT.ext key=value   writes one custom clip
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "Fixtures.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/parseutils.h>
}

namespace fs = std::filesystem;
using namespace qm::fixtures;

namespace {

constexpr char kUsage[] =
    "usage: make-fixtures OUTDIR [NAME...]\n"
    "       make-fixtures --clip OUT.ext [key=value...]\n"
    "keys: format=MUXER vcodec=ENC|none size=WxH rate=N[/D] sar=N:D vb=BITS pixfmt=FMT\n"
    "      acodec=ENC|none ar=HZ ac=N ab=BITS duration=SECONDS offset=SECONDS\n"
    "      pattern=moving|layout|flash|grain|fields fields=progressive|tff|bff\n"
    "      audio=tone|click|silence subs=ENC\n"
    "codecs default to the muxer's own (guessed from the extension); the clip defaults to\n"
    "320x240 at 25 fps, 44.1 kHz stereo, 10 s of moving pattern and tone\n";

// Writes through a temporary name so an interrupted run never leaves a file that looks done.
bool WriteAtomically(const ClipSettings& settings, const fs::path& out, std::string& error) {
    const fs::path part = out.string() + ".part";
    if (!WriteClip(settings, part.string(), error)) {
        return false;
    }
    std::error_code ec;
    fs::rename(part, out, ec);
    if (ec) {
        error = "cannot rename " + part.string() + ": " + ec.message();
        fs::remove(part, ec);
        return false;
    }
    return true;
}

bool Write(const std::string& label, const ClipSettings& settings, const fs::path& out) {
    const auto start = std::chrono::steady_clock::now();
    std::string error;
    if (!WriteAtomically(settings, out, error)) {
        std::fprintf(stderr, "make-fixtures: cannot write %s: %s\n", label.c_str(), error.c_str());
        return false;
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::error_code ec;
    const auto bytes = fs::file_size(out, ec);
    std::printf("wrote %s (%.1f KB, %.2f s)\n", out.string().c_str(),
                ec ? 0.0 : static_cast<double>(bytes) / 1024.0, took.count());
    return true;
}

int WriteStandard(const fs::path& dir, const std::vector<std::string>& names) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        std::fprintf(stderr, "make-fixtures: cannot create %s: %s\n", dir.string().c_str(),
                     ec.message().c_str());
        return 1;
    }
    std::vector<const FixtureEntry*> wanted;
    if (names.empty()) {
        for (const auto* set : {&StandardFixtures(), &NumberedFixtures()}) {
            for (const FixtureEntry& e : *set) {
                wanted.push_back(&e);
            }
        }
    }
    for (const std::string& name : names) {
        const FixtureEntry* e = FindFixture(name);
        if (!e) {
            std::fprintf(stderr, "make-fixtures: no standard fixture is called %s\n", name.c_str());
            return 1;
        }
        wanted.push_back(e);
    }

    // A fixture newer than this program was made by this same code; keep it.
    fs::file_time_type builtAt = fs::file_time_type::max();
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        builtAt = fs::last_write_time(self, ec);
        if (ec) {
            builtAt = fs::file_time_type::max();
        }
    }

    int failed = 0;
    for (const FixtureEntry* e : wanted) {
        const fs::path out = dir / e->name;
        const auto madeAt = fs::last_write_time(out, ec);
        if (!ec && madeAt > builtAt) {
            continue;
        }
        if (!Write(e->name, e->settings, out)) {
            ++failed;
        }
    }
    if (failed) {
        std::fprintf(stderr, "make-fixtures: %d fixture(s) could not be written\n", failed);
        return 1;
    }
    return 0;
}

// ---- --clip ---------------------------------------------------------------------------------

struct BadValue : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string EncoderFor(AVCodecID id) {
    if (id == AV_CODEC_ID_NONE || id == AV_CODEC_ID_PNG) { // png: a muxer's cover-art default
        return {};
    }
    const AVCodec* codec = avcodec_find_encoder(id);
    if (!codec) {
        throw BadValue(std::string("no encoder for the muxer's default codec ") +
                       avcodec_get_name(id));
    }
    return codec->name;
}

int64_t ParseInt(const std::string& key, const std::string& v) {
    char* end = nullptr;
    const double x = std::strtod(v.c_str(), &end);
    double scale = 1;
    if (end && *end == 'k' && end[1] == '\0') {
        scale = 1e3;
    } else if (end && *end == 'M' && end[1] == '\0') {
        scale = 1e6;
    } else if (end == v.c_str() || (end && *end)) {
        throw BadValue(key + "=" + v + " is not a number");
    }
    return static_cast<int64_t>(x * scale);
}

double ParseDouble(const std::string& key, const std::string& v) {
    char* end = nullptr;
    const double x = std::strtod(v.c_str(), &end);
    if (end == v.c_str() || *end) {
        throw BadValue(key + "=" + v + " is not a number");
    }
    return x;
}

AVRational ParseRatio(const std::string& key, const std::string& v) {
    AVRational q{0, 1};
    if (av_parse_ratio(&q, v.c_str(), 1000000, 0, nullptr) < 0 || q.num <= 0 || q.den <= 0) {
        throw BadValue(key + "=" + v + " is not a ratio");
    }
    return q;
}

ClipSettings ParseClip(const std::string& out, const std::vector<std::string>& args) {
    std::map<std::string, std::string> kv;
    for (const std::string& a : args) {
        const auto eq = a.find('=');
        if (eq == std::string::npos || eq == 0) {
            throw BadValue("expected key=value, got '" + a + "'");
        }
        kv[a.substr(0, eq)] = a.substr(eq + 1);
    }
    auto take = [&kv](const char* key) {
        auto it = kv.find(key);
        if (it == kv.end()) {
            return std::string();
        }
        std::string v = it->second;
        kv.erase(it);
        return v;
    };

    ClipSettings c;
    c.duration = 10.0;
    c.format = take("format");
    const AVOutputFormat* ofmt =
        av_guess_format(c.format.empty() ? nullptr : c.format.c_str(), out.c_str(), nullptr);
    if (!ofmt) {
        throw BadValue(c.format.empty() ? "cannot tell the container from " + out
                                        : "no muxer called " + c.format);
    }
    c.format = ofmt->name;

    const std::string vcodec = take("vcodec");
    c.videoCodec = vcodec.empty() ? EncoderFor(ofmt->video_codec) : vcodec;
    const std::string acodec = take("acodec");
    c.audioCodec = acodec.empty() ? EncoderFor(ofmt->audio_codec) : acodec;
    if (c.videoCodec == "none") {
        c.videoCodec.clear();
    }
    if (c.audioCodec == "none") {
        c.audioCodec.clear();
    }
    if (std::string v = take("size"); !v.empty()) {
        if (av_parse_video_size(&c.width, &c.height, v.c_str()) < 0) {
            throw BadValue("size=" + v + " is not WxH");
        }
    }
    if (std::string v = take("rate"); !v.empty()) {
        c.frameRate = ParseRatio("rate", v);
    }
    if (std::string v = take("sar"); !v.empty()) {
        c.sampleAspect = ParseRatio("sar", v);
    }
    if (std::string v = take("vb"); !v.empty()) {
        c.videoBitRate = ParseInt("vb", v);
    }
    c.pixelFormat = take("pixfmt");
    if (std::string v = take("ar"); !v.empty()) {
        c.sampleRate = static_cast<int>(ParseInt("ar", v));
    }
    if (std::string v = take("ac"); !v.empty()) {
        c.channels = static_cast<int>(ParseInt("ac", v));
    }
    if (std::string v = take("ab"); !v.empty()) {
        c.audioBitRate = ParseInt("ab", v);
    }
    if (std::string v = take("duration"); !v.empty()) {
        c.duration = ParseDouble("duration", v);
    }
    if (std::string v = take("offset"); !v.empty()) {
        c.audioStartOffset = ParseDouble("offset", v);
    }
    c.subtitleCodec = take("subs");
    if (std::string v = take("pattern"); !v.empty()) {
        static const std::map<std::string, VideoPattern> names = {
            {"moving", VideoPattern::Moving},
            {"layout", VideoPattern::KnownLayout},
            {"flash", VideoPattern::FlashEverySecond},
            {"grain", VideoPattern::Grain},
            {"fields", VideoPattern::FieldLines}};
        auto it = names.find(v);
        if (it == names.end()) {
            throw BadValue("pattern=" + v + " is not moving, layout, flash, grain or fields");
        }
        c.videoPattern = it->second;
    }
    if (std::string v = take("fields"); !v.empty()) {
        static const std::map<std::string, FieldOrder> names = {
            {"progressive", FieldOrder::Progressive},
            {"tff", FieldOrder::TopFirst},
            {"bff", FieldOrder::BottomFirst}};
        auto it = names.find(v);
        if (it == names.end()) {
            throw BadValue("fields=" + v + " is not progressive, tff or bff");
        }
        c.fieldOrder = it->second;
    }
    if (std::string v = take("audio"); !v.empty()) {
        static const std::map<std::string, AudioPattern> names = {
            {"tone", AudioPattern::Tone},
            {"click", AudioPattern::ClickEverySecond},
            {"silence", AudioPattern::Silence}};
        auto it = names.find(v);
        if (it == names.end()) {
            throw BadValue("audio=" + v + " is not tone, click or silence");
        }
        c.audioPattern = it->second;
    }
    if (!kv.empty()) {
        throw BadValue("unknown key '" + kv.begin()->first + "'");
    }
    return c;
}

} // namespace

int main(int argc, char** argv) {
    av_log_set_level(AV_LOG_ERROR);
    if (argc < 2 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h") {
        std::fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    std::vector<std::string> rest(argv + 2, argv + argc);
    if (std::string(argv[1]) != "--clip") {
        return WriteStandard(argv[1], rest);
    }
    if (rest.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string out = rest.front();
    rest.erase(rest.begin());
    ClipSettings settings;
    try {
        settings = ParseClip(out, rest);
    } catch (const BadValue& e) {
        std::fprintf(stderr, "make-fixtures: %s\n", e.what());
        return 2;
    }
    return Write(out, settings, out) ? 0 : 1;
}
