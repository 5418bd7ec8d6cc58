#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Engine/BitmapConversion.h"
#include "Engine/EngineUtils.h"
#include "Engine/OptionContexts.h"
#include "Loader/FFmpegLoader.h"
#include "Loader/MediaEntries.h"
#include "Logger/FFmpegLogger.h"
#include "Platform/MainThread.h"

using namespace qm;

namespace {

struct TCodecFree {
    void operator()(AVCodecContext* p) const { ff::avcodec_free_context(&p); }
};
struct TFormatFree {
    void operator()(AVFormatContext* p) const { ff::avformat_free_context(p); }
};
struct TFrameFree {
    void operator()(AVFrame* p) const { ff::av_frame_free(&p); }
};
struct TDict {
    AVDictionary* Items = nullptr;
    ~TDict() { ff::av_dict_free(&Items); }
};
using TCodecPtr = std::unique_ptr<AVCodecContext, TCodecFree>;
using TFramePtr = std::unique_ptr<AVFrame, TFrameFree>;

TCodecPtr EncoderContext(const char* name) {
    return TCodecPtr(ff::avcodec_alloc_context3(ff::avcodec_find_encoder_by_name(name)));
}

int64_t OptionInt(void* object, const char* name) {
    int64_t value = -1;
    EXPECT_GE(ff::av_opt_get_int(object, name, 0, &value), 0) << name;
    return value;
}

struct TLine {
    TLogLevel Level;
    std::string Text;
};

class EngineHelpers : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        TMainThread::Install();
        ASSERT_TRUE(GlobalLoader.LoadLibraries(ConverterLibraries)) << GlobalLoader.LastErrMsg();
    }
    void SetUp() override {
        GetLogger().SetLogLevel(llInfo);
        GetLogger().SetOnLog(
            [this](const void*, uint32_t, TLogLevel level, const std::string& text) {
                Lines.push_back({level, text});
            });
        Contexts = TOptionContexts::Create(SWS_BICUBIC);
        ASSERT_NE(Contexts, nullptr);
    }
    void TearDown() override {
        GetLogger().SetOnLog(nullptr);
        GetLogger().SetLogLevel(llInfo);
    }
    bool Set(const std::string& name, const std::string& value) {
        return SetContextOption(Contexts.get(), name, value);
    }
    int64_t CodecInt(AVMediaType type, const char* name) {
        return OptionInt(Contexts->CodecOptions(type), name);
    }
    bool Logged(const std::string& text) const {
        for (const auto& line : Lines)
            if (line.Text == text)
                return line.Level == llError;
        return false;
    }

    std::unique_ptr<TOptionContexts> Contexts;
    std::vector<TLine> Lines;
};

const AVMediaType AllTypes[] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_DATA,
                                AVMEDIA_TYPE_SUBTITLE, AVMEDIA_TYPE_ATTACHMENT};

} // namespace

TEST_F(EngineHelpers, CodecOptionsReachEveryMediaTypeWhoseOptionsHaveThem) {
    const auto fresh = TOptionContexts::Create(SWS_BICUBIC);
    const struct {
        const char* Name;
        const char* Value;
        bool Audio; // besides video, data and attachment
    } cases[] = {{"g", "15", false}, {"bufsize", "1835008", true}, {"maxrate", "9000000", true}};
    std::vector<std::string> names;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        ASSERT_TRUE(Set(c.Name, c.Value));
        names.push_back(c.Name);
        for (AVMediaType type : AllTypes) {
            const bool expected =
                type != AVMEDIA_TYPE_SUBTITLE && (type != AVMEDIA_TYPE_AUDIO || c.Audio);
            const int64_t want =
                expected ? std::stoll(c.Value) : OptionInt(fresh->CodecOptions(type), c.Name);
            EXPECT_EQ(CodecInt(type, c.Name), want) << "media type " << type;
        }
    }
    EXPECT_EQ(Contexts->OptionNames(), names);
    EXPECT_TRUE(Lines.empty());

    // Applied by the flags of media type and direction.
    TCodecPtr video = EncoderContext("mpeg2video");
    TCodecPtr audio = EncoderContext("mp2");
    const int gopDefault = audio->gop_size;
    ApplyContextOptions(Contexts.get(), video.get(), AVMEDIA_TYPE_VIDEO,
                        AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    ApplyContextOptions(Contexts.get(), audio.get(), AVMEDIA_TYPE_AUDIO,
                        AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    EXPECT_EQ(video->gop_size, 15);
    EXPECT_EQ(video->rc_buffer_size, 1835008);
    EXPECT_EQ(video->rc_max_rate, 9000000);
    EXPECT_EQ(audio->gop_size, gopDefault);
    EXPECT_EQ(audio->rc_max_rate, 9000000);

    // Encoding options never reach a decoder.
    TCodecPtr decoder(ff::avcodec_alloc_context3(ff::avcodec_find_decoder_by_name("mpeg2video")));
    ApplyContextOptions(Contexts.get(), decoder.get(), AVMEDIA_TYPE_VIDEO,
                        AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
    EXPECT_NE(decoder->gop_size, 15);
    EXPECT_EQ(decoder->rc_max_rate, 0);
}

TEST_F(EngineHelpers, BitRatesKeepTheTargetOrderPerMediaType) {
    // "b" is the video bit rate only, though the library lists it for audio too: a video
    // rate must not reach an audio encoder. "ab" is the audio rate; "vb" is no library
    // option and falls back to "b" of the video options alone.
    ASSERT_TRUE(Set("b", "6000000"));
    EXPECT_EQ(Contexts->CodecOptionInt(AVMEDIA_TYPE_VIDEO, "b"), 6000000);
    EXPECT_NE(Contexts->CodecOptionInt(AVMEDIA_TYPE_AUDIO, "b"), 6000000);
    ASSERT_TRUE(Set("ab", "448000"));
    ASSERT_TRUE(Set("vb", "5000000"));
    EXPECT_EQ(Contexts->OptionNames(), (std::vector<std::string>{"b", "ab", "b"}));
    EXPECT_EQ(Contexts->CodecOptionInt(AVMEDIA_TYPE_VIDEO, "b"), 5000000);
    EXPECT_EQ(Contexts->CodecOptionInt(AVMEDIA_TYPE_AUDIO, "b"), 448000);

    TCodecPtr video = EncoderContext("mpeg2video");
    TCodecPtr audio = EncoderContext("mp2");
    ApplyContextOptions(Contexts.get(), video.get(), AVMEDIA_TYPE_VIDEO,
                        AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    ApplyContextOptions(Contexts.get(), audio.get(), AVMEDIA_TYPE_AUDIO,
                        AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    EXPECT_EQ(video->bit_rate, 5000000);
    EXPECT_EQ(audio->bit_rate, 448000);
}

TEST_F(EngineHelpers, UnknownNamesAreRetriedWithoutTheirMediaTypeLetter) {
    const struct {
        const char* Name;
        const char* LibraryName;
        AVMediaType Type;
    } cases[] = {{"vb", "b", AVMEDIA_TYPE_VIDEO},
                 {"ag", "g", AVMEDIA_TYPE_AUDIO},
                 {"sg", "g", AVMEDIA_TYPE_SUBTITLE}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Contexts = TOptionContexts::Create(SWS_BICUBIC);
        const auto fresh = TOptionContexts::Create(SWS_BICUBIC);
        ASSERT_TRUE(Set(c.Name, "77"));
        EXPECT_EQ(Contexts->OptionNames(), std::vector<std::string>{c.LibraryName});
        for (AVMediaType type : AllTypes) {
            EXPECT_EQ(CodecInt(type, c.LibraryName),
                      type == c.Type ? 77 : OptionInt(fresh->CodecOptions(type), c.LibraryName))
                << "media type " << type;
        }
    }
}

TEST_F(EngineHelpers, FormatOptionsReachTheOutputContextAndTheMuxerOptions) {
    ASSERT_TRUE(Set("packetsize", "2048"));
    ASSERT_TRUE(Set("muxrate", "10080000")); // private to the mpeg muxers
    ASSERT_TRUE(Set("preload", "440000"));
    EXPECT_EQ(Contexts->OptionNames(),
              (std::vector<std::string>{"packetsize", "muxrate", "preload"}));
    EXPECT_EQ(Contexts->FormatOptions()->packet_size, 2048u);

    AVFormatContext* raw = nullptr;
    ASSERT_GE(ff::avformat_alloc_output_context2(&raw, nullptr, "dvd", nullptr), 0);
    std::unique_ptr<AVFormatContext, TFormatFree> output(raw);
    TDict muxerOptions;
    ApplyContextOptions(Contexts.get(), output.get(), &muxerOptions.Items,
                        AV_OPT_FLAG_ENCODING_PARAM);
    EXPECT_EQ(output->packet_size, 2048u);
    ASSERT_EQ(ff::av_dict_count(muxerOptions.Items), 2);
    // The dvd muxer takes both from the dictionary, as avformat_write_header does.
    ASSERT_GE(ff::av_opt_set_dict(output->priv_data, &muxerOptions.Items), 0);
    EXPECT_EQ(ff::av_dict_count(muxerOptions.Items), 0);
    EXPECT_EQ(OptionInt(output->priv_data, "muxrate"), 10080000);
    EXPECT_EQ(OptionInt(output->priv_data, "preload"), 440000);

    // None of them is an input option.
    std::unique_ptr<AVFormatContext, TFormatFree> input(ff::avformat_alloc_context());
    TDict inputOptions;
    ApplyContextOptions(Contexts.get(), input.get(), &inputOptions.Items,
                        AV_OPT_FLAG_DECODING_PARAM);
    EXPECT_EQ(input->packet_size, 0u);
    EXPECT_EQ(inputOptions.Items, nullptr);
}

TEST_F(EngineHelpers, ScalerOptionsStartFromTheCreationFlags) {
    EXPECT_EQ(Contexts->ScalerOptionInt("sws_flags"), SWS_BICUBIC);
    ASSERT_TRUE(Set("sws_flags", "bilinear"));
    EXPECT_EQ(Contexts->ScalerOptionInt("sws_flags"), SWS_BILINEAR);
    EXPECT_EQ(Contexts->OptionNames(), std::vector<std::string>{"sws_flags"});
    EXPECT_EQ(TOptionContexts::Create(SWS_POINT)->ScalerOptionInt("sws_flags"), SWS_POINT);
}

TEST_F(EngineHelpers, UnknownBlankAndRejectedOptionsRecordNothing) {
    const struct {
        const char* Name;
        const char* Value;
        bool Rejected; // known name, value refused: one "Invalid value" line
    } cases[] = {{"nosuchoption", "1", false},
                 {"vnosuchoption", "1", false},
                 {" \t", "1", false},
                 {"g", "  ", false},
                 {"g", "abc", true},
                 {"muxrate", "fast", true},
                 {"sws_flags", "nosuchflag", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Name) + "=" + c.Value);
        Lines.clear();
        EXPECT_FALSE(Set(c.Name, c.Value));
        EXPECT_TRUE(Contexts->OptionNames().empty());
        const std::string message =
            Format("Invalid value \"%s\" for option \"%s\"", c.Value, c.Name);
        if (c.Rejected)
            EXPECT_TRUE(Logged(message));
        else
            EXPECT_TRUE(Lines.empty()) << Lines.front().Text;
    }
    EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "g"), 12);
    EXPECT_EQ(Contexts->PrivateFormatOptions(), nullptr);
    EXPECT_FALSE(SetContextOption(nullptr, "g", "15"));
}

TEST_F(EngineHelpers, DebugOptionsRaiseTheLogLevel) {
    for (const char* name : {"debug", "fdebug"}) {
        SCOPED_TRACE(name);
        GetLogger().SetLogLevel(llInfo);
        Contexts = TOptionContexts::Create(SWS_BICUBIC);
        ASSERT_TRUE(Set(name, "0"));
        EXPECT_EQ(GetLogger().LogLevel(), llInfo);
        ASSERT_TRUE(Set(name, "1"));
        EXPECT_EQ(GetLogger().LogLevel(), llDebug);
        EXPECT_EQ(TFFLogger::LogThreshold(), AV_LOG_DEBUG);
    }
}

TEST_F(EngineHelpers, OpenErrorMessages) {
    const struct {
        int Error;
        bool Forced;
        const char* Text;
    } cases[] = {
        {AVERROR_INVALIDDATA, false, "in.avi: Unknown format"},
        {AVERROR_INVALIDDATA, true, "in.avi: Error while parsing header"},
        {AVERROR(EILSEQ), false, "in.avi: Unknown format"},
        {AVERROR(EINVAL), false, "in.avi: Error while parsing header"},
        {AVERROR(ENOMEM), false, "in.avi: memory allocation error occurred"},
        {AVERROR(EIO), false,
         "in.avi: I/O error occurred\n"
         "Usually that means that input file is truncated and/or corrupted."},
        {AVERROR(ENOENT), false, "in.avi: no such file or directory"},
        {AVERROR(EDOM), false,
         "in.avi: Incorrect image filename syntax.\n"
         "Use '%d' to specify the image number:\n"
         "  for img1.jpg, img2.jpg, ..., use 'img%d.jpg';\n"
         "  for img001.jpg, img002.jpg, ..., use 'img%03d.jpg'."},
        {AVERROR(ENOSPC), false,
         "in.avi: No space left on device: the disk is full. Make room on it or choose another output folder."},
        {AVERROR(EDQUOT), false,
         "in.avi: Disk quota exceeded: the disk is full. Make room on it or choose another output folder."},
        {-1, false, "in.avi: Error while opening file"},
        {AVERROR_EOF, true, "in.avi: Error while opening file"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(OpenErrorMessage("in.avi", c.Error, c.Forced), c.Text) << c.Error;
    // The name is data, never part of the format.
    EXPECT_EQ(OpenErrorMessage("100%s %d.avi", AVERROR(ENOENT)),
              "100%s %d.avi: no such file or directory");
}

TEST_F(EngineHelpers, MediaTypeNamesAndMetadata) {
    const char* names[] = {"Unknown",  "Video",      "Audio",  "Data",
                           "Subtitle", "Attachment", "Unknown"};
    for (int type = -1; type <= 5; ++type)
        EXPECT_EQ(MediaTypeName(type), names[type + 1]) << type;

    TDict tags;
    ff::av_dict_set(&tags.Items, "title", "Harbour", 0);
    ff::av_dict_set(&tags.Items, "comment", "", 0);
    EXPECT_EQ(MetadataValue(tags.Items, "TITLE", "none"), "Harbour");
    EXPECT_EQ(MetadataValue(tags.Items, "comment", "none"), "");
    EXPECT_EQ(MetadataValue(tags.Items, "artist", "none"), "none");
    EXPECT_EQ(MetadataValue(nullptr, "title", "none"), "none");
}

TEST_F(EngineHelpers, NumericRoutines) {
    EXPECT_DOUBLE_EQ(RationalToDouble({1, 25}), 0.04);
    EXPECT_DOUBLE_EQ(RationalToDouble({-30000, 1001}), -30000.0 / 1001);

    const struct {
        int32_t A, Min, Max, Result;
    } clamps[] = {{5, 0, 10, 5},   {0, 0, 10, 0},          {10, 0, 10, 10},      {-1, 0, 10, 0},
                  {11, 0, 10, 10}, {INT32_MIN, -5, 5, -5}, {INT32_MAX, -5, 5, 5}};
    for (const auto& c : clamps)
        EXPECT_EQ(ClampInt(c.A, c.Min, c.Max), c.Result) << c.A << " in " << c.Min << ".." << c.Max;

    const struct {
        double D;
        int Num, Den;
    } rationals[] = {{16.0 / 9, 16, 9},   {4.0 / 3, 4, 3},   {-4.0 / 3, -4, 3}, {64.0 / 45, 64, 45},
                     {10.0 / 11, 10, 11}, {1.0, 1, 1},       {0.0, 0, 1},       {NAN, 0, 0},
                     {1e30, 1, 0},        {-INFINITY, -1, 0}};
    for (const auto& r : rationals) {
        const AVRational q = DoubleToRational(r.D, 255);
        EXPECT_EQ(q.num, r.Num) << r.D;
        EXPECT_EQ(q.den, r.Den) << r.D;
    }
    // The limit holds for a number with no small fraction.
    const AVRational pi = DoubleToRational(std::numbers::pi, 255);
    EXPECT_LE(pi.num, 255);
    EXPECT_LE(pi.den, 255);
    EXPECT_NEAR(RationalToDouble(pi), std::numbers::pi, 1e-3);
}

namespace {

// A YUV 4:2:0 frame whose quadrants are red, green, blue and white (BT.601, limited range).
struct TQuadrant {
    uint8_t Y, U, V;
    uint8_t B, G, R;
};
const TQuadrant Quadrants[4] = {{81, 90, 240, 0, 0, 255},        // top left: red
                                {145, 54, 34, 0, 255, 0},        // top right: green
                                {41, 240, 110, 255, 0, 0},       // bottom left: blue
                                {235, 128, 128, 255, 255, 255}}; // bottom right: white

TFramePtr MakeYuvFrame(int size) {
    TFramePtr frame(ff::av_frame_alloc());
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = size;
    frame->height = size;
    if (ff::av_frame_get_buffer(frame.get(), 0) < 0)
        return nullptr;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const TQuadrant& q = Quadrants[(y >= size / 2) * 2 + (x >= size / 2)];
            frame->data[0][y * frame->linesize[0] + x] = q.Y;
            frame->data[1][y / 2 * frame->linesize[1] + x / 2] = q.U;
            frame->data[2][y / 2 * frame->linesize[2] + x / 2] = q.V;
        }
    }
    return frame;
}

TPicture PictureOf(const AVFrame& frame) {
    TPicture picture;
    for (int i = 0; i < 4; ++i) {
        picture.Data[i] = frame.data[i];
        picture.LineSize[i] = frame.linesize[i];
    }
    return picture;
}

} // namespace

TEST_F(EngineHelpers, YuvFrameBecomesBgrBitmapAndBack) {
    const int size = 32;
    TFramePtr frame = MakeYuvFrame(size);
    ASSERT_NE(frame, nullptr);
    TBitmapConversion conversion;
    ASSERT_TRUE(conversion.FrameToBitmap(*frame));
    TBitmap* bitmap = conversion.Bitmap();
    ASSERT_NE(bitmap, nullptr);
    EXPECT_EQ(bitmap->Width(), size);
    EXPECT_EQ(bitmap->Height(), size);
    EXPECT_EQ(bitmap->PixelFormat(), bpf24bit);
    EXPECT_NE(conversion.CurrentPicture().Data[0], frame->data[0]);

    const int centres[4][2] = {{8, 8}, {24, 8}, {8, 24}, {24, 24}}; // x, y
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const uint8_t* px = bitmap->ScanLine(centres[i][1]) + centres[i][0] * 3;
        EXPECT_NEAR(px[0], Quadrants[i].B, 6);
        EXPECT_NEAR(px[1], Quadrants[i].G, 6);
        EXPECT_NEAR(px[2], Quadrants[i].R, 6);
    }

    // A hook paints the whole bitmap red: the frame becomes red in every quadrant.
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
            std::memcpy(bitmap->ScanLine(y) + x * 3, "\x00\x00\xff", 3);
    ASSERT_TRUE(conversion.BitmapToPicture(PictureOf(*frame), AV_PIX_FMT_YUV420P, size, size));
    for (const auto& c : centres) {
        EXPECT_NEAR(frame->data[0][c[1] * frame->linesize[0] + c[0]], Quadrants[0].Y, 3);
        EXPECT_NEAR(frame->data[1][c[1] / 2 * frame->linesize[1] + c[0] / 2], Quadrants[0].U, 3);
        EXPECT_NEAR(frame->data[2][c[1] / 2 * frame->linesize[2] + c[0] / 2], Quadrants[0].V, 3);
    }

    // A hook that resized the bitmap gets nothing copied back.
    bitmap->SetSize(size / 2, size);
    EXPECT_FALSE(conversion.BitmapToPicture(PictureOf(*frame), AV_PIX_FMT_YUV420P, size, size));
}

TEST_F(EngineHelpers, PackedBgrPictureIsCopiedWithoutConversion) {
    // 5 pixels of 3 bytes in lines of 32 bytes: the line padding must not reach the bitmap.
    const int width = 5, height = 2, line = 32;
    std::vector<uint8_t> pixels(line * height, 0xEE);
    for (int y = 0; y < height; ++y)
        for (int i = 0; i < width * 3; ++i)
            pixels[y * line + i] = static_cast<uint8_t>(y * 100 + i);
    TPicture picture;
    picture.Data[0] = pixels.data();
    picture.LineSize[0] = line;

    TBitmapConversion conversion;
    ASSERT_TRUE(conversion.FrameToBitmap(picture, AV_PIX_FMT_BGR24, width, height));
    EXPECT_EQ(conversion.CurrentPicture().Data[0], pixels.data());
    EXPECT_EQ(conversion.BufferSize(), 0);
    TBitmap& bitmap = *conversion.Bitmap();
    ASSERT_EQ(bitmap.Stride(), 16);
    for (int y = 0; y < height; ++y) {
        EXPECT_EQ(std::memcmp(bitmap.ScanLine(y), &pixels[y * line], width * 3), 0) << y;
        EXPECT_EQ(bitmap.ScanLine(y)[15], 0) << y;
    }

    // Edited rows go straight back into the picture, its padding untouched.
    std::memset(bitmap.Bits(), 0x11, bitmap.Stride() * height);
    ASSERT_TRUE(conversion.BitmapToPicture(picture, AV_PIX_FMT_BGR24, width, height));
    for (int y = 0; y < height; ++y) {
        EXPECT_EQ(pixels[y * line], 0x11);
        EXPECT_EQ(pixels[y * line + width * 3 - 1], 0x11);
        EXPECT_EQ(pixels[y * line + width * 3], 0xEE);
    }
}

TEST_F(EngineHelpers, ConversionBufferGrowsButIsNeverShrunk) {
    TBitmapConversion conversion;
    TFramePtr small = MakeYuvFrame(32), large = MakeYuvFrame(64), smaller = MakeYuvFrame(16);
    ASSERT_TRUE(conversion.FrameToBitmap(*small));
    const int first = conversion.BufferSize();
    ASSERT_TRUE(conversion.FrameToBitmap(*large));
    const int grown = conversion.BufferSize();
    const uint8_t* buffer = conversion.CurrentPicture().Data[0];
    EXPECT_GT(grown, first);
    ASSERT_TRUE(conversion.FrameToBitmap(*smaller));
    EXPECT_EQ(conversion.BufferSize(), grown);
    EXPECT_EQ(conversion.CurrentPicture().Data[0], buffer);
    EXPECT_EQ(conversion.Bitmap()->Width(), 16);

    // Failures: no scaler for the format (the bitmap takes the size), no picture, no size.
    ASSERT_FALSE(conversion.FrameToBitmap(PictureOf(*large), AV_PIX_FMT_NONE, 64, 48));
    EXPECT_EQ(conversion.Bitmap()->Width(), 64);
    EXPECT_EQ(conversion.Bitmap()->Height(), 48);
    EXPECT_FALSE(conversion.FrameToBitmap(TPicture{}, AV_PIX_FMT_YUV420P, 16, 16));
    EXPECT_FALSE(conversion.FrameToBitmap(PictureOf(*small), AV_PIX_FMT_YUV420P, 0, 16));
    EXPECT_FALSE(conversion.FrameToBitmap(PictureOf(*small), AV_PIX_FMT_YUV420P, INT_MAX, 16));

    conversion.Reset();
    EXPECT_EQ(conversion.Bitmap(), nullptr);
    EXPECT_EQ(conversion.BufferSize(), 0);
    EXPECT_TRUE(conversion.FrameToBitmap(*small));
}
