#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "EngineTest.h"
#include "Engine/FrameHooks.h"
#include "Fixtures.h"
#include "Logger/FFmpegLogger.h"
#include "Preview/Previewer.h"

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;
using qm::fixtures::FixturePath;

namespace {

class HooksTest : public TEngineTest {
protected:
    void SetUp() override {
        TEngineTest::SetUp();
        GetLogger().SetOnLog([this](const void*, uint32_t, TLogLevel, const std::string& line) {
            Lines.push_back(line);
        });
    }
    void TearDown() override { GetLogger().SetOnLog(nullptr); }
    bool Logged(const std::string& text) const {
        for (const auto& line : Lines)
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    }
    std::vector<std::string> Lines;
};

// A 16x16 4:2:0 picture of one luma and one chroma value, handed to plug-ins as they get it.
struct TSmallPicture {
    uint8_t Y[16 * 16], U[8 * 8], V[8 * 8];
    QmHookPicture Picture{{Y, U, V, nullptr}, {16, 8, 8, 0}};
    explicit TSmallPicture(uint8_t AY) {
        std::fill(std::begin(Y), std::end(Y), AY);
        std::fill(std::begin(U), std::end(U), 128);
        std::fill(std::begin(V), std::end(V), 128);
    }
};

// The output's pictures carrying the white box of "libdrawbox.so|200|150|40|40|ffffff" on
// the grey field of known_layout.mp4.
std::vector<bool> Boxed(const std::string& path) {
    std::vector<bool> boxed;
    for (const auto& p : DecodePictures(path))
        boxed.push_back(p.LumaAt(220, 170) > 200);
    return boxed;
}

const char* const WhiteBox = "libdrawbox.so|200|150|40|40|ffffff";

} // namespace

TEST(PreviewerTest, TimeTextsAndAClosedWindow) {
    EXPECT_EQ(FormatPreviewTime(0), "00:00:00.000");
    EXPECT_EQ(FormatPreviewTime(3723004000), "01:02:03.004");
    EXPECT_EQ(FormatPreviewTime(int64_t(100) * 3600 * 1000000 + 999999), "100:00:00.999");
    EXPECT_EQ(FormatPreviewTime(INT64_MIN), "N/A");

    TMainThread::Install();
    TPreviewer previewer;
    TBitmap big, small;
    big.SetSize(64, 48);
    small.SetSize(32, 16);
    EXPECT_TRUE(previewer.PreviewFrame(big, 1, 40000));
    auto* window = dynamic_cast<TOffscreenPreviewWindow*>(previewer.Window());
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(previewer.PreviewFrame(small, 2, 80000));
    // The first frame fixed the window's size; the caption follows every frame.
    EXPECT_EQ(window->ClientWidth(), 64);
    EXPECT_EQ(window->ClientHeight(), 48);
    EXPECT_EQ(window->Picture().Width(), 32);
    EXPECT_EQ(window->Caption(), "00:00:00.080");
    window->Close();
    EXPECT_FALSE(previewer.PreviewFrame(big, 3, 120000));
    EXPECT_EQ(window->FramesShown(), 2);
}

TEST_F(HooksTest, PluginsLoadOnceAndReportWhyTheyCannotBeAdded) {
    TFrameHookList hooks;
    struct {
        std::vector<std::string> Args;
        int Result;
        const char* Logged;
    } cases[] = {
        {{}, -2, nullptr},
        {{"no-such-hook.so"}, -1, "no-such-hook.so"},
        {{"libm.so.6"}, -2, "Failed to find Process entrypoint in libm.so.6"},
        {{"libinvert.so", "1"}, -2, "Failed to find Configure entrypoint in libinvert.so"},
        {{"libdrawbox.so", "1", "2", "3", "4", "red"}, -22, "Failed to Configure libdrawbox.so"},
        {{"libdrawbox.so", "4", "4", "4", "4", "ffffff"}, 0, nullptr},
        {{"libdrawbox.so", "0", "0", "2", "2", "#000000"}, 0, nullptr},
        {{"libinvert.so"}, 0, nullptr}, // no Configure, no Release: its context stays empty
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Args.empty() ? "(none)" : c.Args.back());
        Lines.clear();
        EXPECT_EQ(hooks.AddFrameHook(c.Args), c.Result);
        if (c.Logged) {
            EXPECT_TRUE(Logged(c.Logged));
        }
    }
    EXPECT_EQ(hooks.Count(), 3u);
    EXPECT_TRUE(PluginLoaded("libdrawbox.so"));
    EXPECT_FALSE(PluginLoaded("no-such-hook.so"));

    // Two boxes, each with its own configuration, then the inversion of it all.
    TSmallPicture picture(16);
    hooks.ProcessFrameHooks(picture.Picture, AV_PIX_FMT_YUV420P, 16, 16, 0);
    EXPECT_EQ(picture.Y[0], 255 - 16);           // black box, inverted
    EXPECT_EQ(picture.Y[5 * 16 + 5], 255 - 235); // white box, inverted
    EXPECT_EQ(picture.Y[12 * 16 + 12], 255 - 16);
    EXPECT_EQ(picture.U[0], 255 - 128);
    hooks.ReleaseFrameHooks();
    EXPECT_TRUE(hooks.Empty());
}

TEST_F(HooksTest, APluginMayKeepItsArgumentsForAsLongAsItIsHooked) {
    TFrameHookList hooks;
    {
        // Arguments in texts of the caller's that are gone before the first picture.
        std::vector<std::string> first{"libkeep_arguments_hook.so", "0", "77"};
        std::vector<std::string> second{"libkeep_arguments_hook.so", "1", "99"};
        ASSERT_EQ(hooks.AddFrameHook(first), 0);
        ASSERT_EQ(hooks.AddFrameHook(second), 0);
    }
    // Memory freed by now is handed out again and overwritten.
    std::vector<std::vector<std::string>> clobber;
    for (int i = 0; i < 16; ++i)
        clobber.emplace_back(3, std::string(i % 2 ? 30 : 3, '5'));
    TSmallPicture picture(16);
    hooks.ProcessFrameHooks(picture.Picture, AV_PIX_FMT_YUV420P, 16, 16, 0);
    EXPECT_EQ(picture.Y[0], 77);
    EXPECT_EQ(picture.Y[1], 99);
    EXPECT_EQ(picture.Y[2], 16);
}

TEST_F(HooksTest, APluginFolderIsCurrentOnlyWhileItLoadsAndJoinsPathOnce) {
    const fs::path folder = fs::path(Dir / "plug ins") / "";
    fs::create_directories(folder);
    fs::copy_file(fs::path(BinDir()) / "libdrawbox.so", folder / "libdrawbox.so");
    const std::string before = fs::current_path();
    // The blank in the folder is no separator where "|" separates.
    Engine->SetOption("vhook", (folder / "libdrawbox.so").string() + "|1|1|2|2|ffffff");
    Engine->SetOption("vhook", (folder / "libdrawbox.so").string() + "|3|3|2|2|000000");
    EXPECT_EQ(Engine->FrameHooks.Count(), 2u);
    EXPECT_EQ(fs::current_path().string(), before);
    const std::string path = std::getenv("PATH");
    const size_t first = path.find(folder.string());
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(path.find(folder.string(), first + 1), std::string::npos);
}

TEST_F(HooksTest, PluginsHookEveryPictureOrOnlyInsideTheTimeRanges) {
    Configure({"-i", FixturePath("known_layout.mp4"), "-vhook", WhiteBox, "-f", "vob", "-vcodec",
               "mpeg2video", "-qscale", "2", "-an", "1", Dir / "all.mpg"});
    ASSERT_EQ(Run(), "");
    auto boxed = Boxed(Dir / "all.mpg");
    ASSERT_EQ(boxed.size(), 50u);
    EXPECT_EQ(std::count(boxed.begin(), boxed.end(), true), 50);

    // 10-20 s and 40-50 s of a long film, scaled down to the 2-second fixture: frames 10-20
    // and 30-40 (25 per second) are hooked, and after the last range the plug-ins are off.
    SetUp();
    Configure({"-i", FixturePath("known_layout.mp4"), "-vhook", WhiteBox, "-f", "vob", "-vcodec",
               "mpeg2video", "-qscale", "2", "-an", "1", Dir / "ranges.mpg"});
    Engine->SetHookTimeRanges({{1200000, 1600000}, {400000, 800000}});
    ASSERT_EQ(Run(), "");
    boxed = Boxed(Dir / "ranges.mpg");
    ASSERT_EQ(boxed.size(), 50u);
    for (int i = 0; i < 50; ++i) {
        if (i == 10 || i == 20 || i == 30 || i == 40)
            continue; // on the edges; the ranges are inclusive
        const bool inside = (i > 10 && i < 20) || (i > 30 && i < 40);
        EXPECT_EQ(boxed[size_t(i)], inside) << "picture " << i;
    }
    EXPECT_FALSE(Engine->Options.UsingFrameHooks);
}

TEST_F(HooksTest, DeinterlacingBlendsTheLinesOfAPicture) {
    Configure({"-i", FixturePath("known_layout.mp4"), "-deinterlace", "1", "-f", "vob", "-vcodec",
               "mpeg2video", "-qscale", "2", "-an", "1", Dir / "d.mpg"});
    ASSERT_EQ(Run(), "");
    const auto p = FirstPicture(Dir / "d.mpg");
    // The edge of the red border (rows 0-15) is softened, the field itself kept.
    EXPECT_GT(p.LumaAt(160, 16), p.LumaAt(160, 13) + 5) << p.LumaAt(160, 16);
    EXPECT_LT(p.LumaAt(160, 16), p.LumaAt(160, 19) - 5) << p.LumaAt(160, 16);
    EXPECT_NEAR(p.LumaAt(160, 40), 126, 12);

    // A semi-planar picture is not deinterlaced but passes unchanged, and so does one with
    // an alpha plane.
    for (const char* format : {"nv12", "yuva420p"}) {
        SCOPED_TRACE(format);
        SetUp();
        fixtures::ClipSettings clip = fixtures::VideoOnlyClip(64, 48, 1);
        clip.format = "nut";
        clip.videoCodec = "rawvideo";
        clip.pixelFormat = format;
        std::string error;
        const std::string input = Dir / (std::string(format) + ".nut");
        ASSERT_TRUE(fixtures::WriteClip(clip, input, error)) << error;
        Configure({"-i", input, "-deinterlace", "1", "-f", "vob", "-vcodec", "mpeg2video",
                   Dir / "raw.mpg"});
        ASSERT_EQ(Run(), "");
        EXPECT_EQ(VideoPacketCount(Dir / "raw.mpg"), 25);
    }
}

TEST_F(HooksTest, StreamCopyRefusesEverythingThatNeedsDecodedPictures) {
    struct {
        std::function<void(TCustomFFmpeg&)> Set;
        const char* Message;
    } cases[] = {
        {[](TCustomFFmpeg& e) {
             e.CustomHookNotify = [](TCustomFFmpeg*, TBitmap&, int32_t, int64_t, bool&, bool&) {};
         },
         "-vcodec copy and CustomHook are incompatible (frames are not decoded)"},
        {[](TCustomFFmpeg& e) { e.SetOption("vhook", "libinvert.so"); },
         "-vcodec copy and -vhook are incompatible (frames are not decoded)"},
        {[](TCustomFFmpeg& e) { e.SetPreviewFlags(pfPreviewBitmap); },
         "-vcodec copy and PostHooks are incompatible (frames are not decoded)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Message);
        SetUp();
        Configure({"-i", FixturePath("mp4_h264_aac.mp4"), "-vcodec", "copy", "-an", "1"});
        c.Set(*Engine);
        Configure({Dir / "copy.mkv"});
        EXPECT_EQ(Run(), c.Message);
    }
}

namespace {

// A window that records what it is shown and closes itself after a few frames.
struct TWindowLog {
    int Frames = 0, Destroyed = 0, Width = 0;
    std::vector<std::string> Captions;
};
class TClosingWindow : public IPreviewWindow {
public:
    TClosingWindow(TPreviewer& APreviewer, TWindowLog& ALog) : FPreviewer(APreviewer), FLog(ALog) {}
    ~TClosingWindow() override { ++FLog.Destroyed; }
    void ShowFrame(const TBitmap& ABitmap, const std::string& ACaption) override {
        EXPECT_TRUE(TMainThread::IsMainThread());
        if (FLog.Frames++ == 0)
            FLog.Width = ABitmap.Width();
        FLog.Captions.push_back(ACaption);
        if (FLog.Frames == 5)
            FPreviewer.WindowClosed();
    }

private:
    TPreviewer& FPreviewer;
    TWindowLog& FLog;
};

} // namespace

TEST_F(HooksTest, PreviewWindowShowsEncodedFramesUntilTheUserClosesIt) {
    TWindowLog log;
    SetPreviewWindowFactory([&](TPreviewer& APreviewer) {
        return std::make_unique<TClosingWindow>(APreviewer, log);
    });
    Configure({"-i", FixturePath("known_layout.mp4"), "-f", "vob", "-vcodec", "mpeg2video", "-s",
               "352x288", "-an", "1", Dir / "p.mpg"});
    Engine->SetPreviewFlags(pfPreview);
    Engine->PreviewIntervalUs = 0; // every frame that comes at another microsecond
    TConvertThread* worker = Engine->StartConvert(true);
    ASSERT_NE(worker, nullptr);
    worker->Resume();
    ASSERT_TRUE(TMainThread::WaitFor([&] { return Terminations == 1; }, std::chrono::seconds(60)));
    SetPreviewWindowFactory(nullptr);
    ASSERT_EQ(Engine->ExceptionMessage(), "");
    EXPECT_EQ(log.Frames, 5); // closing stopped the previews
    EXPECT_EQ(log.Destroyed, 1);
    EXPECT_EQ(log.Width, 352);
    EXPECT_EQ(Engine->PreviewFlags(), 0);
    const std::regex time(R"(\d\d:\d\d:\d\d\.\d\d\d|N/A)");
    for (const auto& caption : log.Captions)
        EXPECT_TRUE(std::regex_match(caption, time)) << caption;
}
