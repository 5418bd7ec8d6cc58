#include "Fixtures.h"

#ifndef QM_FIXTURE_DIR
#error "QM_FIXTURE_DIR must name the fixture directory"
#endif

namespace qm::fixtures {
namespace {

struct Video {
    std::string codec;
    int width = 160;
    int height = 120;
    AVRational rate{25, 1};
    AVRational sar{1, 1};
};
struct Audio {
    std::string codec;
    int rate = 44100;
    int channels = 2;
};

ClipSettings Clip(std::string format, Video v, Audio a, double duration) {
    ClipSettings c;
    c.format = std::move(format);
    c.videoCodec = std::move(v.codec);
    c.width = v.width;
    c.height = v.height;
    c.frameRate = v.rate;
    c.sampleAspect = v.sar;
    c.audioCodec = std::move(a.codec);
    c.sampleRate = a.rate;
    c.channels = a.channels;
    c.duration = duration;
    return c;
}

// No native MP3 encoder exists in libavcodec; libmp3lame is the one there is.
constexpr char kMp3[] = "libmp3lame";
constexpr AVRational kNtsc{30000, 1001};

std::vector<FixtureEntry> MakeTable() {
    std::vector<FixtureEntry> t;
    auto add = [&t](std::string name, ClipSettings settings, std::string what, std::string note = {}) {
        t.push_back({std::move(name), std::move(settings), std::move(what), std::move(note)});
    };
    const std::string mp3Note = "MP3 written by libmp3lame (libavcodec has no native MP3 encoder)";
    const std::string aviMp3Note =
        mp3Note + "; AVI cannot mark the encoder's 1105 priming samples, so the sound is heard "
                  "1105 samples after the first frame";

    add("avi_mpeg4_mp3.avi", Clip("avi", {"mpeg4"}, {kMp3}, 2.0), "AVI with MPEG-4 video + MP3",
        aviMp3Note);
    add("wmv_wmv2_wmav2.wmv", Clip("asf", {"wmv2"}, {"wmav2"}, 2.0),
        "ASF/WMV with WMV2 video + WMA v2");
    add("flv_flv1_mp3.flv", Clip("flv", {"flv"}, {kMp3}, 2.0),
        "Flash video (FLV1, an H.263 variant) + MP3", mp3Note);
    {
        ClipSettings c = Clip("matroska", {"libx264"}, {"libvorbis"}, 2.0);
        c.subtitleCodec = "subrip";
        add("mkv_h264_vorbis_srt.mkv", c, "Matroska with H.264 + Vorbis + SubRip text subtitles",
            "Vorbis written by libvorbis (the native encoder is experimental); two cues at "
            "0.25-0.75 s and 1.25-1.75 s");
    }
    add("mov_h264_aac.mov", Clip("mov", {"libx264"}, {"aac", 48000}, 2.0),
        "QuickTime with H.264 + AAC at 48 kHz");
    add("mp4_h264_aac.mp4", Clip("mp4", {"libx264", 320, 240}, {"aac"}, 2.0),
        "MP4 with H.264 + AAC, the common case");
    add("mp4_h264_aac_5_1.mp4", Clip("mp4", {"libx264"}, {"aac", 44100, 6}, 2.0),
        "MP4 with 5.1 AAC at 44.1 kHz (downmix and resampling)");
    add("mpeg1_mp2.mpg", Clip("mpeg", {"mpeg1video"}, {"mp2"}, 2.0),
        "MPEG-1 program stream with MPEG-1 video + MP2");
    add("vob_mpeg2_ac3.vob", Clip("vob", {"mpeg2video", 352, 240, kNtsc}, {"ac3", 48000}, 2.0),
        "MPEG-2 program stream (VOB) with MPEG-2 video + AC-3");
    add("rm_rv10_ac3.rm", Clip("rm", {"rv10", 176, 144}, {"ac3"}, 2.0),
        "RealMedia with RealVideo 1.0 + AC-3",
        "AC-3 is the rm muxer's own audio codec (RealAudio cook has no encoder); RV10 needs sizes "
        "that are multiples of 16");
    add("ts_mpeg2_mp2.ts", Clip("mpegts", {"mpeg2video"}, {"mp2", 48000}, 2.0),
        "MPEG transport stream with MPEG-2 video + MP2");
    add("mp4_no_audio.mp4", Clip("mp4", {"libx264"}, {}, 2.0), "MP4 with H.264 and no audio track");
    add("audio_only.mp3", Clip("mp3", {}, {kMp3}, 3.0), "MP3 file, no video track", mp3Note);
    add("anamorphic_16x9.mpg",
        Clip("vob", {"mpeg2video", 720, 480, kNtsc, {32, 27}}, {"mp2", 48000}, 1.0),
        "720x480 MPEG-2 with sample aspect 32:27 (16:9 display)");
    add("dvd_4x3.mpg", Clip("vob", {"mpeg2video", 720, 480, kNtsc, {8, 9}}, {"ac3", 48000}, 1.0),
        "DVD-like 720x480 MPEG-2 with sample aspect 8:9 (4:3 display, 1.3333)");
    add("odd_321x241.avi", Clip("avi", {"mjpeg", 321, 241}, {kMp3}, 1.0), "odd frame size 321x241",
        "Motion JPEG, full-range yuvj420p: libx264 refuses odd sizes in 4:2:0; " + aviMp3Note);
    add("rate_60fps.mp4", Clip("mp4", {"libx264", 160, 120, {60, 1}}, {"aac"}, 2.0),
        "60 frames per second");
    add("rate_12fps.avi", Clip("avi", {"mpeg4", 160, 120, {12, 1}}, {kMp3}, 2.0),
        "12 frames per second", aviMp3Note);
    add("portrait_480x854.mp4", Clip("mp4", {"libx264", 480, 854, {30, 1}}, {"aac"}, 1.0),
        "portrait 480x854 (phone video)");
    add("mono_8khz.avi", Clip("avi", {"mpeg4"}, {kMp3, 8000, 1}, 2.0),
        "mono 8 kHz audio with video", aviMp3Note + " (138 ms at 8 kHz)");
    {
        ClipSettings c = Clip("matroska", {"libx264"}, {"libvorbis"}, 2.0);
        c.audioStartOffset = 0.5;
        add("audio_late_500ms.mkv", c, "audio stream starts 0.5 s after the video (sync)",
            "Vorbis rather than AAC: AAC's 1024-sample priming would put the stream's first "
            "packet 23 ms before the first real sample");
    }
    {
        ClipSettings c = Clip("mp4", {"libx264", 320, 240}, {"aac"}, 2.0);
        c.videoPattern = VideoPattern::KnownLayout;
        add("known_layout.mp4", c,
            "still picture of known layout (red 16-pixel border, grey field, white 60x60 square "
            "at 80,60) for geometry checks");
    }
    {
        ClipSettings c = Clip("mp4", {"libx264", 320, 240}, {"aac"}, 4.0);
        c.videoPattern = VideoPattern::FlashEverySecond;
        c.audioPattern = AudioPattern::ClickEverySecond;
        add("av_sync.mp4", c, "white flash and 10 ms click at every whole second (A/V sync)");
    }
    return t;
}

std::vector<FixtureEntry> MakeNumberedTable() {
    std::vector<FixtureEntry> t;
    auto add = [&t](std::string name, ClipSettings settings, std::string what) {
        t.push_back({std::move(name), std::move(settings), std::move(what), {}});
    };
    {
        ClipSettings c = Clip("mp4", {"libx264", 320, 240}, {"aac", 48000}, 8.0);
        c.videoPattern = VideoPattern::Numbered;
        c.audioPattern = AudioPattern::ClickEverySecond;
        c.keyFrameInterval = 250;
        add("numbered_h264_aac.mp4", c,
            "every frame carries its number; one key frame, B-frames; a click at every whole "
            "second (exact cuts)");
    }
    {
        ClipSettings c = Clip("matroska", {"libx264", 320, 240}, {"libvorbis", 48000}, 4.0);
        c.videoPattern = VideoPattern::Numbered;
        c.audioPattern = AudioPattern::ClickEverySecond;
        c.keyFrameInterval = 250;
        c.oddFrameShift = 0.012;
        add("numbered_vfr.mkv", c,
            "numbered frames at a variable rate: every odd frame 12 ms early (gaps of 28 and "
            "52 ms)");
    }
    return t;
}

} // namespace

const std::vector<FixtureEntry>& StandardFixtures() {
    static const std::vector<FixtureEntry> table = MakeTable();
    return table;
}

const std::vector<FixtureEntry>& NumberedFixtures() {
    static const std::vector<FixtureEntry> table = MakeNumberedTable();
    return table;
}

const FixtureEntry* FindFixture(const std::string& name) {
    for (const auto* set : {&StandardFixtures(), &NumberedFixtures()}) {
        for (const FixtureEntry& e : *set) {
            if (e.name == name) {
                return &e;
            }
        }
    }
    return nullptr;
}

std::string FixturePath(const std::string& name) {
    return std::string(QM_FIXTURE_DIR) + "/" + name;
}

} // namespace qm::fixtures
