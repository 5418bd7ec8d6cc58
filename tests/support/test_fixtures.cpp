// Reads every standard fixture back and checks it is what its table entry asked for.
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Fixtures.h"
#include "FrameNumber.h"
#include "LibavPtr.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

using namespace qm::fixtures;

namespace qm::fixtures {
// Test names and failure messages show the fixture, not the bytes of its entry.
void PrintTo(const FixtureEntry& e, std::ostream* os) {
    *os << e.name;
}
} // namespace qm::fixtures

namespace {


const bool kQuiet = (av_log_set_level(AV_LOG_FATAL), true); // the error cases are expected

InputPtr Open(const std::string& path) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
        return nullptr;
    }
    InputPtr in(raw);
    if (avformat_find_stream_info(in.get(), nullptr) < 0) {
        return nullptr;
    }
    return in;
}

// Demuxers list several names ("mov,mp4,m4a,..."); the vob muxer's output reads as "mpeg".
bool DemuxerReads(const std::string& demuxer, const std::string& muxer) {
    const std::string want = muxer == "vob" ? "mpeg" : muxer;
    std::stringstream names(demuxer);
    for (std::string n; std::getline(names, n, ',');) {
        if (n == want) {
            return true;
        }
    }
    return false;
}

AVCodecID EncoderId(const std::string& name) {
    const AVCodec* c = avcodec_find_encoder_by_name(name.c_str());
    return c ? c->id : AV_CODEC_ID_NONE;
}

double Seconds(int64_t ts, AVRational tb) {
    return ts == AV_NOPTS_VALUE ? 0.0 : ts * av_q2d(tb);
}

class StandardFixture : public testing::TestWithParam<FixtureEntry> {};

TEST_P(StandardFixture, ReadsBackAsSpecified) {
    const FixtureEntry& e = GetParam();
    const ClipSettings& s = e.settings;
    const std::string path = FixturePath(e.name);
    InputPtr in = Open(path);
    ASSERT_TRUE(in) << "cannot open " << path;

    EXPECT_TRUE(DemuxerReads(in->iformat->name, s.format)) << in->iformat->name;
    EXPECT_NEAR(in->duration / double(AV_TIME_BASE), s.duration, 0.2);

    int counts[AVMEDIA_TYPE_NB] = {};
    AVStream* video = nullptr;
    AVStream* audio = nullptr;
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        AVStream* st = in->streams[i];
        const AVCodecParameters* par = st->codecpar;
        if (par->codec_type < 0 || par->codec_type >= AVMEDIA_TYPE_NB) {
            continue;
        }
        ++counts[par->codec_type];
        if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
            video = st;
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
            audio = st;
        } else if (par->codec_type == AVMEDIA_TYPE_SUBTITLE) {
            EXPECT_EQ(par->codec_id, EncoderId(s.subtitleCodec));
        }
    }
    EXPECT_EQ(counts[AVMEDIA_TYPE_VIDEO], s.videoCodec.empty() ? 0 : 1);
    EXPECT_EQ(counts[AVMEDIA_TYPE_AUDIO], s.audioCodec.empty() ? 0 : 1);
    EXPECT_EQ(counts[AVMEDIA_TYPE_SUBTITLE], s.subtitleCodec.empty() ? 0 : 1);

    if (video) {
        const AVCodecParameters* par = video->codecpar;
        EXPECT_EQ(par->codec_id, EncoderId(s.videoCodec)) << avcodec_get_name(par->codec_id);
        EXPECT_EQ(par->width, s.width);
        EXPECT_EQ(par->height, s.height);
        const AVRational rate = av_guess_frame_rate(in.get(), video, nullptr);
        EXPECT_NEAR(av_q2d(rate), av_q2d(s.frameRate), av_q2d(s.frameRate) * 0.01);
        AVRational sar = av_guess_sample_aspect_ratio(in.get(), video, nullptr);
        if (sar.num == 0) {
            sar = {1, 1}; // unset means square
        }
        EXPECT_NEAR(av_q2d(sar), av_q2d(s.sampleAspect), 0.001) << sar.num << ":" << sar.den;
    }
    if (audio) {
        const AVCodecParameters* par = audio->codecpar;
        EXPECT_EQ(par->codec_id, EncoderId(s.audioCodec)) << avcodec_get_name(par->codec_id);
        EXPECT_EQ(par->sample_rate, s.sampleRate);
        EXPECT_EQ(par->ch_layout.nb_channels, s.channels);
    }
    if (video && audio) {
        const double lead = Seconds(audio->start_time, audio->time_base) -
                            Seconds(video->start_time, video->time_base);
        EXPECT_NEAR(lead, s.audioStartOffset, 0.05);
    }
}

std::string TestName(const testing::TestParamInfo<FixtureEntry>& info) {
    std::string n = info.param.name;
    for (char& c : n) {
        if (!std::isalnum(static_cast<unsigned char>(c))) {
            c = '_';
        }
    }
    return n;
}

INSTANTIATE_TEST_SUITE_P(Set, StandardFixture, testing::ValuesIn(StandardFixtures()), TestName);
INSTANTIATE_TEST_SUITE_P(Numbered, StandardFixture, testing::ValuesIn(NumberedFixtures()), TestName);

// Decodes the best stream of `type`, handing each frame and its time in seconds to `take`
// until that returns false. False when the file or its decoder cannot be opened.
template <typename Take> bool Decode(const std::string& path, AVMediaType type, Take take) {
    InputPtr in = Open(path);
    if (!in) {
        return false;
    }
    const AVCodec* codec = nullptr;
    const int si = av_find_best_stream(in.get(), type, -1, -1, &codec, 0);
    if (si < 0) {
        return false;
    }
    CodecPtr dec(avcodec_alloc_context3(codec));
    FramePtr frame(av_frame_alloc());
    PacketPtr pkt(av_packet_alloc());
    if (!dec || !frame || !pkt ||
        avcodec_parameters_to_context(dec.get(), in->streams[si]->codecpar) < 0) {
        return false;
    }
    dec->thread_count = 1;
    dec->pkt_timebase = in->streams[si]->time_base;
    if (avcodec_open2(dec.get(), codec, nullptr) < 0) {
        return false;
    }
    const AVRational tb = in->streams[si]->time_base;
    for (bool draining = false;;) {
        const int ret = avcodec_receive_frame(dec.get(), frame.get());
        if (ret == 0) {
            if (!take(*frame, Seconds(frame->best_effort_timestamp, tb))) {
                return true;
            }
            continue;
        }
        if (ret != AVERROR(EAGAIN) || draining) {
            return true;
        }
        int r;
        while ((r = av_read_frame(in.get(), pkt.get())) >= 0 && pkt->stream_index != si) {
            av_packet_unref(pkt.get());
        }
        draining = r < 0;
        avcodec_send_packet(dec.get(), draining ? nullptr : pkt.get());
        av_packet_unref(pkt.get());
    }
}

// Display-order frame `index` of the video as RGB24.
bool DecodeRgb(const std::string& path, int index, std::vector<uint8_t>& rgb, int& w, int& h) {
    int seen = 0;
    bool got = false;
    const bool opened = Decode(path, AVMEDIA_TYPE_VIDEO, [&](const AVFrame& f, double) {
        if (seen++ < index) {
            return true;
        }
        w = f.width;
        h = f.height;
        SwsPtr sws(
            sws_getContext(w, h, static_cast<AVPixelFormat>(f.format), w, h, AV_PIX_FMT_RGB24,
                           SWS_POINT, nullptr, nullptr, nullptr));
        if (sws) {
            rgb.assign(static_cast<size_t>(w) * h * 3 + 64, 0);
            uint8_t* dst[1] = {rgb.data()};
            const int stride[1] = {w * 3};
            sws_scale(sws.get(), f.data, f.linesize, 0, h, dst, stride);
            got = true;
        }
        return false;
    });
    return opened && got;
}

// Times at which the first channel rises above 0.25 after at least 0.3 s of quiet.
std::vector<double> Onsets(const std::string& path) {
    std::vector<double> onsets;
    double lastLoud = -1.0;
    Decode(path, AVMEDIA_TYPE_AUDIO, [&](const AVFrame& f, double start) {
        if (f.format != AV_SAMPLE_FMT_FLTP && f.format != AV_SAMPLE_FMT_FLT) {
            ADD_FAILURE() << "decoder gives sample format " << f.format;
            return false;
        }
        const int step = f.format == AV_SAMPLE_FMT_FLT ? f.ch_layout.nb_channels : 1;
        const auto* x = reinterpret_cast<const float*>(f.extended_data[0]);
        for (int i = 0; i < f.nb_samples; ++i) {
            if (std::fabs(x[i * step]) > 0.25f) {
                const double t = start + double(i) / f.sample_rate;
                if (t - lastLoud > 0.3) {
                    onsets.push_back(t);
                }
                lastLoud = t;
            }
        }
        return true;
    });
    return onsets;
}

struct PixelCase {
    const char* fixture;
    int frame;
    int x, y;
    int r, g, b;
};

// Points of the documented patterns: known_layout.mp4 is 320x240 (square 60x60 at 80,60);
// av_sync.mp4 is 25 fps, so frames 0, 25, 50 and 75 flash.
constexpr PixelCase kPixels[] = {
    {"known_layout.mp4", 0, 4, 4, 255, 0, 0},
    {"known_layout.mp4", 0, 315, 120, 255, 0, 0},
    {"known_layout.mp4", 0, 160, 235, 255, 0, 0},
    {"known_layout.mp4", 0, 200, 180, 128, 128, 128},
    {"known_layout.mp4", 0, 20, 120, 128, 128, 128},
    {"known_layout.mp4", 0, 110, 90, 255, 255, 255},
    {"known_layout.mp4", 0, 82, 62, 255, 255, 255},
    {"known_layout.mp4", 0, 137, 117, 255, 255, 255},
    {"known_layout.mp4", 0, 142, 90, 128, 128, 128},
    {"known_layout.mp4", 40, 110, 90, 255, 255, 255},
    {"av_sync.mp4", 0, 160, 120, 255, 255, 255},
    {"av_sync.mp4", 1, 160, 120, 0, 0, 0},
    {"av_sync.mp4", 24, 160, 120, 0, 0, 0},
    {"av_sync.mp4", 25, 160, 120, 255, 255, 255},
    {"av_sync.mp4", 26, 160, 120, 0, 0, 0},
    {"av_sync.mp4", 75, 10, 10, 255, 255, 255},
};

TEST(FixturePatterns, PixelsAreWhereTheHeaderSays) {
    for (const PixelCase& c : kPixels) {
        SCOPED_TRACE(std::string(c.fixture) + " frame " + std::to_string(c.frame) + " at " +
                     std::to_string(c.x) + "," + std::to_string(c.y));
        std::vector<uint8_t> rgb;
        int w = 0, h = 0;
        ASSERT_TRUE(DecodeRgb(FixturePath(c.fixture), c.frame, rgb, w, h));
        ASSERT_LT(c.x, w);
        ASSERT_LT(c.y, h);
        const uint8_t* p = &rgb[(static_cast<size_t>(c.y) * w + c.x) * 3];
        EXPECT_NEAR(p[0], c.r, 24);
        EXPECT_NEAR(p[1], c.g, 24);
        EXPECT_NEAR(p[2], c.b, 24);
    }
}

struct OnsetCase {
    const char* fixture;
    std::vector<double> onsets;
};

TEST(FixturePatterns, SoundStartsWhereTheHeaderSays) {
    const OnsetCase cases[] = {
        {"av_sync.mp4", {0.0, 1.0, 2.0, 3.0}}, // clicks on every whole second, with the flashes
        {"audio_late_500ms.mkv", {0.5}},       // the tone begins with the late audio stream
        {"mp4_h264_aac.mp4", {0.0}},
    };
    for (const OnsetCase& c : cases) {
        SCOPED_TRACE(c.fixture);
        const std::vector<double> got = Onsets(FixturePath(c.fixture));
        ASSERT_EQ(got.size(), c.onsets.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_NEAR(got[i], c.onsets[i], 0.005) << "onset " << i;
        }
    }
}

// Every frame of a numbered clip reads back its own number at the time FrameTime() gives,
// and the clips are as hard to cut as they say: one key frame, pictures reordered.
TEST(FixturePatterns, NumberedFramesReadBackTheirNumbersAndTimes) {
    for (const char* name : {"numbered_h264_aac.mp4", "numbered_vfr.mkv"}) {
        SCOPED_TRACE(name);
        const ClipSettings& s = FindFixture(name)->settings;
        int64_t expected = 0;
        double first = 0; // a muxer may move the whole clip a little to keep times positive
        ASSERT_TRUE(Decode(FixturePath(name), AVMEDIA_TYPE_VIDEO, [&](const AVFrame& f, double at) {
            if (expected == 0)
                first = at;
            EXPECT_EQ(ReadFrameNumber(f.data[0], f.linesize[0], f.width, f.height), expected);
            EXPECT_NEAR(at - first, FrameTime(s, expected), 0.0015) << "frame " << expected;
            ++expected;
            return true;
        }));
        EXPECT_EQ(expected, std::llround(s.duration * av_q2d(s.frameRate)));

        InputPtr in = Open(FixturePath(name));
        ASSERT_TRUE(in);
        PacketPtr pkt(av_packet_alloc());
        int keys = 0, reordered = 0;
        while (av_read_frame(in.get(), pkt.get()) >= 0) {
            if (in->streams[pkt->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
                keys += (pkt->flags & AV_PKT_FLAG_KEY) != 0;
                reordered += pkt->pts != pkt->dts;
            }
            av_packet_unref(pkt.get());
        }
        EXPECT_EQ(keys, 1);
        EXPECT_GT(reordered, 0);
    }
    // A picture that is not a numbered frame is refused, not misread.
    std::vector<uint8_t> grey(320 * 240, 128);
    EXPECT_EQ(ReadFrameNumber(grey.data(), 320, 320, 240), -1);
    std::vector<uint8_t> odd(320 * 240, 16);
    for (int y = 0; y < 80; ++y)
        std::fill_n(&odd[size_t(y) * 320], 80, 235); // cell 0 alone: the parity fails
    EXPECT_EQ(ReadFrameNumber(odd.data(), 320, 320, 240), -1);
}

struct BadClip {
    const char* what;
    ClipSettings settings;
    const char* mentioned; // the error must name this
};

TEST(WriteClip, FailsClearlyAndLeavesNoFile) {
    ClipSettings ok;
    ok.format = "avi";
    ok.videoCodec = "mpeg4";
    ok.duration = 0.2;
    const auto with = [&ok](auto change) {
        ClipSettings s = ok;
        change(s);
        return s;
    };
    const BadClip cases[] = {
        {"unknown video encoder", with([](ClipSettings& s) { s.videoCodec = "nosuchvideo"; }),
         "nosuchvideo"},
        {"unknown audio encoder", with([](ClipSettings& s) { s.audioCodec = "nosuchaudio"; }),
         "nosuchaudio"},
        {"unknown muxer", with([](ClipSettings& s) { s.format = "nosuchmux"; }), "nosuchmux"},
        {"rate the encoder refuses", with([](ClipSettings& s) {
             s.audioCodec = "mp2";
             s.sampleRate = 8000;
         }),
         "8000"},
    };
    const auto path = std::filesystem::temp_directory_path() / "qm_fixture_bad_clip.avi";
    for (const BadClip& c : cases) {
        SCOPED_TRACE(c.what);
        std::string error;
        EXPECT_FALSE(WriteClip(c.settings, path.string(), error));
        EXPECT_NE(error.find(c.mentioned), std::string::npos) << error;
        EXPECT_FALSE(std::filesystem::exists(path));
    }
}

} // namespace
