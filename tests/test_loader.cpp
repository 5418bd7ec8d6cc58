#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Loader/FFmpegLoader.h"
#include "Loader/MediaEntries.h"
#include "TestUtils.h"

using namespace qm;
namespace fs = std::filesystem;

namespace {

const TLibraryKind AllKinds[] = {lkAVUtil,   lkSwResample, lkSwScale, lkAVCodec,
                                 lkAVFormat, lkAVFilter,   lkAVDevice, lkSDL};

void ExpectSetAgrees(TLibraryKinds set) {
    bool all = true;
    for (auto k : AllKinds)
        if (set.Contains(k))
            all = all && GlobalLoader.LibraryLoaded(k);
    EXPECT_EQ(all, GlobalLoader.LibrariesLoaded(set));
}

// Every library of the kinds above.
constexpr TLibraryKinds AllLibraries{lkAVUtil,   lkSwResample, lkSwScale,  lkAVCodec,
                                     lkAVFormat, lkAVFilter,   lkAVDevice, lkSDL};

// Each test starts with nothing loaded, whatever ran before it in this process: a loaded
// library is not looked for again, so one left over would hide the file a test puts down.
class LoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        GlobalLoader.UnloadLibraries(AllLibraries);
        GlobalLoader.SetLibraryPath("");
    }
};

} // namespace

TEST_F(LoaderTest, BothSetsLoadFromTheSystemAndBindEveryEntry) {
    ASSERT_TRUE(GlobalLoader.LoadLibraries(ConverterLibraries)) << GlobalLoader.LastErrMsg();
    ASSERT_TRUE(GlobalLoader.LoadLibraries(PlayerLibraries)) << GlobalLoader.LastErrMsg();
    EXPECT_TRUE(GlobalLoader.LibrariesLoaded(ConverterLibraries));
    EXPECT_TRUE(GlobalLoader.LibrariesLoaded(PlayerLibraries));
    EXPECT_FALSE(GlobalLoader.LibraryLoaded(lkAVDevice)); // in neither set
    ExpectSetAgrees(ConverterLibraries);
    ExpectSetAgrees(PlayerLibraries);
    EXPECT_EQ(GlobalLoader.LoadedFrom(lkAVCodec), "libavcodec.so.59");

    // Entries are real: the bound functions answer.
    EXPECT_EQ(ff::avcodec_version() >> 16, unsigned(LIBAVCODEC_VERSION_MAJOR));
    EXPECT_NE(ff::avcodec_find_encoder_by_name("mpeg2video"), nullptr);
    EXPECT_NE(ff::SDL_LockMutex, nullptr);

    // Loading a loaded set maps nothing again.
    void* before = ff::av_malloc == nullptr ? nullptr : reinterpret_cast<void*>(ff::av_malloc);
    EXPECT_TRUE(GlobalLoader.LoadLibraries(ConverterLibraries));
    EXPECT_EQ(before, reinterpret_cast<void*>(ff::av_malloc));
}

TEST_F(LoaderTest, LibraryFileNamesAreTheSonames) {
    EXPECT_EQ(TFFmpegLoader::LibraryFileName(lkAVUtil), "libavutil.so.57");
    EXPECT_EQ(TFFmpegLoader::LibraryFileName(lkSwResample), "libswresample.so.4");
    EXPECT_EQ(TFFmpegLoader::LibraryFileName(lkSwScale), "libswscale.so.6");
    EXPECT_EQ(TFFmpegLoader::LibraryFileName(lkAVCodec), "libavcodec.so.59");
    EXPECT_EQ(TFFmpegLoader::LibraryFileName(lkAVFormat), "libavformat.so.59");
    EXPECT_EQ(TFFmpegLoader::LibraryFileName(lkAVFilter), "libavfilter.so.8");
    EXPECT_EQ(TFFmpegLoader::LibraryFileName(lkAVDevice), "libavdevice.so.59");
    EXPECT_EQ(TFFmpegLoader::LibraryFileName(lkSDL), "libSDL2-2.0.so.0");
}

TEST_F(LoaderTest, AFileThatIsNoLibraryIsNamedAndTheWholeSetIsUnloaded) {
    test::TTempDir dir;
    const std::string broken = dir / "libavutil.so.57";
    std::ofstream(broken) << "this is not a library\n";

    for (std::string path : {dir.Path().string(), dir.Path().string() + "/"}) {
        SCOPED_TRACE(path);
        GlobalLoader.SetLibraryPath(path);
        EXPECT_FALSE(GlobalLoader.LoadLibraries(ConverterLibraries));
        EXPECT_EQ(GlobalLoader.LastErrMsg().rfind("Load library " + broken + " error: ", 0), 0u)
            << GlobalLoader.LastErrMsg();
        EXPECT_FALSE(GlobalLoader.LibrariesLoaded(ConverterLibraries));
        for (auto k : AllKinds) {
            if (ConverterLibraries.Contains(k)) {
                EXPECT_FALSE(GlobalLoader.LibraryLoaded(k)) << TFFmpegLoader::Item(k).Name;
            }
        }
        EXPECT_EQ(ff::av_malloc, nullptr);
        EXPECT_EQ(ff::avcodec_open2, nullptr);
    }
    // Without the broken folder the system copies load again; the old message stays.
    const std::string failure = GlobalLoader.LastErrMsg();
    GlobalLoader.SetLibraryPath(dir.Path().string() + "/missing");
    EXPECT_TRUE(GlobalLoader.LoadLibraries(ConverterLibraries));
    EXPECT_EQ(GlobalLoader.LastErrMsg(), failure);
}

// A set that fails gives back what it mapped itself and nothing that was loaded before it:
// the converter's libraries stay usable when the player's SDL is broken.
TEST_F(LoaderTest, AMissingEntryIsNamedAndAFailedSetKeepsWhatWasLoadedBefore) {
    const std::string fakeDir = std::string(QM_FAKE_DLL_DIR);
    const std::string expected = "Load function SDL_Init@" + fakeDir + "/libSDL2-2.0.so.0 error: ";
    const struct {
        const char* Name;
        bool ConverterFirst;
    } cases[] = {{"converter loaded before", true}, {"nothing loaded before", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        GlobalLoader.UnloadLibraries(AllLibraries);
        GlobalLoader.SetLibraryPath("");
        if (c.ConverterFirst) {
            ASSERT_TRUE(GlobalLoader.LoadLibraries(ConverterLibraries)) << GlobalLoader.LastErrMsg();
        }
        GlobalLoader.SetLibraryPath(fakeDir);
        EXPECT_FALSE(GlobalLoader.LoadLibraries(PlayerLibraries));
        EXPECT_EQ(GlobalLoader.LastErrMsg().rfind(expected, 0), 0u) << GlobalLoader.LastErrMsg();
        EXPECT_FALSE(GlobalLoader.LibraryLoaded(lkSDL));
        EXPECT_EQ(ff::SDL_Init, nullptr);
        EXPECT_EQ(GlobalLoader.LibrariesLoaded(ConverterLibraries), c.ConverterFirst);
        ExpectSetAgrees(ConverterLibraries);
        ExpectSetAgrees(PlayerLibraries);
        if (c.ConverterFirst) {
            // Still bound and callable, as a conversion started now would call them.
            ASSERT_NE(ff::avcodec_find_encoder_by_name, nullptr);
            EXPECT_NE(ff::avcodec_find_encoder_by_name("mpeg2video"), nullptr);
        } else {
            for (auto k : AllKinds)
                EXPECT_FALSE(GlobalLoader.LibraryLoaded(k)) << TFFmpegLoader::Item(k).Name;
            EXPECT_EQ(ff::av_malloc, nullptr);
        }
    }
    GlobalLoader.SetLibraryPath("");
    EXPECT_TRUE(GlobalLoader.LoadLibraries(PlayerLibraries));
}

TEST(LoaderCli, LibrariesCommandListsTheLibrariesAndFailsWithABrokenDllFolder) {
    const std::string cli = test::BinDir() + "/quillmoor-cli";
    auto ok = test::RunCommand(test::ShellQuote(cli) + " libraries");
    EXPECT_EQ(ok.ExitCode, 0) << ok.Output;
    for (const char* name : {"avutil", "swresample", "swscale", "avcodec", "avformat", "avfilter",
                             "SDL2-2.0", "libavcodec.so.59"})
        EXPECT_NE(ok.Output.find(name), std::string::npos) << name;

    test::TTempDir dir;
    fs::copy_file(cli, dir / "quillmoor-cli");
    fs::create_directory(dir / "Dll");
    std::ofstream(dir / "Dll/libavutil.so.57") << "broken";
    auto bad = test::RunCommand(test::ShellQuote(dir / "quillmoor-cli") + " libraries");
    EXPECT_EQ(bad.ExitCode, 1);
    EXPECT_NE(bad.Output.find("Load library " + (dir / "Dll/libavutil.so.57") + " error: "),
              std::string::npos)
        << bad.Output;
}
