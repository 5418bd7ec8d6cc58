#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "Fixtures.h"
#include "Loader/FFmpegLoader.h"
#include "Loader/MediaEntries.h"
#include "TestUtils.h"
#include "Unicode/UnicodeProtocol.h"

using namespace qm;
namespace fs = std::filesystem;

namespace {

const std::string Prefix = UnicodeNamePrefix;

struct TNameCase {
    std::string Name;
    bool Needs;
};

const std::string LongPlain(5000, 'a');
const std::string LongColon = std::string(4990, 'b') + ":1.mp4";

const TNameCase NameCases[] = {
    {"", false},
    {"movie.mp4", false},
    {"/home/u/My Videos/a b.mp4", false},
    {"Été vidéo – 東京.mp4", false},
    {"\xf0\x9f\x8e\xac.mp4", false}, // four-byte sequence
    {"/tmp/a:b.mp4", false},         // the colon comes after the first slash
    {"./clip:1.mp4", false},
    {"http://x/y", false},
    {"tcp://host:1234", false},
    {"pipe:0", false},
    {"unicode:utf8:clip:1.mp4", false}, // already encoded
    {"unicode:other", false},
    {"clip:1.mp4", true},
    {"C:\\x.avi", true},
    {"dir:x/clip.mp4", true},
    {":x.mp4", true},              // empty scheme
    {"HTTP://x/y", true},          // schemes are case-sensitive
    {"unicode", false},            // no colon at all
    {"bad\xff name.mp4", true},    // not UTF-8
    {"cut\xc3", true},             // truncated sequence
    {"over\xc0\xaf", true},        // overlong '/'
    {"sur\xed\xa0\x80", true},     // surrogate
    {"big\xf4\x90\x80\x80", true}, // above U+10FFFF
    {LongPlain, false},
    {LongColon, true},
};

TEST(UnicodeNames, EncodeAndDecodeRoundTrip) {
    for (const auto& c : NameCases) {
        SCOPED_TRACE(c.Name.size() > 60 ? c.Name.substr(0, 60) + "..." : c.Name);
        EXPECT_EQ(NeedsUnicodeName(c.Name), c.Needs);
        const std::string encoded = EncodeFileName(c.Name);
        EXPECT_EQ(encoded, c.Needs ? Prefix + c.Name : c.Name);
        EXPECT_EQ(IsUnicodeName(encoded), c.Needs || IsUnicodeName(c.Name));
        EXPECT_EQ(EncodeFileName(encoded), encoded); // idempotent
        if (!IsUnicodeName(c.Name)) {
            EXPECT_EQ(DecodeFileName(encoded), c.Name);
        }
        EXPECT_EQ(DecodeFileName(encoded.c_str()), DecodeFileName(encoded));
    }
}

TEST(UnicodeNames, OnlyAPrefixFollowedByANameIsUnicode) {
    const struct {
        std::string Name;
        bool Unicode;
        std::string Decoded;
    } cases[] = {
        {"unicode:utf8:x", true, "x"},
        {"unicode:utf8::", true, ":"},
        {"unicode:utf8:", false, "unicode:utf8:"}, // shorter than 14 bytes: nothing stripped
        {"unicode:utf8", false, "unicode:utf8"},
        {"Unicode:utf8:x", false, "Unicode:utf8:x"},
        {"unicode:utf16:x", false, "unicode:utf16:x"},
        {"", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(IsUnicodeName(c.Name), c.Unicode);
        EXPECT_EQ(DecodeFileName(c.Name), c.Decoded);
    }
    EXPECT_EQ(DecodeFileName(static_cast<const char*>(nullptr)), "");
}

TEST(UnicodeNames, ThreadsEncodingAtOnceKeepTheirOwnResults) {
    auto work = [](std::string name, bool& ok) {
        const std::string expected = Prefix + name;
        ok = true;
        for (int i = 0; i < 20000 && ok; ++i)
            ok = EncodeFileName(name) == expected && DecodeFileName(expected) == name;
    };
    bool okA = false, okB = false;
    std::thread a(work, "first:" + std::string(300, 'x'), std::ref(okA));
    std::thread b(work, "second:東京", std::ref(okB));
    a.join();
    b.join();
    EXPECT_TRUE(okA);
    EXPECT_TRUE(okB);
}

class UnicodeMedia : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(GlobalLoader.LoadLibraries(ConverterLibraries)) << GlobalLoader.LastErrMsg();
    }
    void SetUp() override {
        if (!ff::avformat_open_input)
            GTEST_SKIP() << "media libraries not loaded";
        FOldCwd = fs::current_path();
        // Relative names: only a name without a leading folder can have a scheme-like prefix.
        fs::current_path(FDir.Path());
    }
    void TearDown() override {
        if (!FOldCwd.empty())
            fs::current_path(FOldCwd);
    }

    test::TTempDir FDir;
    fs::path FOldCwd;
};

// What the registration stands for: a name that the format library alone misreads as an
// address opens through the program's own I/O, after every load of the libraries, and the
// protocol is in the table once however often (and from however many threads) it is asked.
TEST_F(UnicodeMedia, NamesTheLibraryMisreadsOpenAfterEveryLoadAndRegistrationHappensOnce) {
    const std::string name = "clip:1.mp4";
    fs::copy_file(fixtures::FixturePath("mp4_h264_aac.mp4"), name);
    for (int load = 0; load < 3; ++load) {
        SCOPED_TRACE(load);
        if (load == 2)
            GlobalLoader.UnloadLibraries(ConverterLibraries);
        ASSERT_TRUE(GlobalLoader.LoadLibraries(ConverterLibraries)) << GlobalLoader.LastErrMsg();
        AVFormatContext* plain = nullptr;
        EXPECT_LT(ff::avformat_open_input(&plain, name.c_str(), nullptr, nullptr), 0) << "the library alone";
        AVFormatContext* ctx = nullptr;
        std::unique_ptr<TUnicodeIO> io;
        ASSERT_EQ(OpenInputContext(&ctx, name, nullptr, nullptr, io), 0);
        EXPECT_TRUE(io != nullptr);
        ff::avformat_close_input(&ctx);
    }
    std::thread t([] { EnsureUnicodeProtocol(); });
    EnsureUnicodeProtocol();
    t.join();
    EXPECT_EQ(RegisteredProtocols(), std::vector<std::string>{"unicode"});
}

TEST_F(UnicodeMedia, InputsUnderAwkwardNamesOpenWithAllTheirStreams) {
    const std::string fixture = fixtures::FixturePath("mp4_h264_aac.mp4");
    ASSERT_TRUE(fs::exists(fixture)) << fixture;
    const std::string names[] = {
        "clip:1.mp4",
        "C:\\x.mp4",
        "Été vidéo – 東京.mp4",
        "folder with blanks/Été vidéo – 東京.mp4",
        "folder:with colon/clip.mp4",
        "bad\xff name.mp4",
        FDir / "clip:1.mp4",
        FDir / "folder with blanks/Été vidéo – 東京.mp4",
    };
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        fs::path file(name);
        if (file.has_parent_path())
            fs::create_directories(file.parent_path());
        fs::copy_file(fixture, file, fs::copy_options::overwrite_existing);

        AVFormatContext* ctx = nullptr;
        std::unique_ptr<TUnicodeIO> io;
        ASSERT_EQ(OpenInputContext(&ctx, name, nullptr, nullptr, io), 0);
        EXPECT_EQ(io != nullptr, NeedsUnicodeName(name));
        EXPECT_EQ(DecodeFileName(ctx->url), name);
        EXPECT_GE(ff::avformat_find_stream_info(ctx, nullptr), 0);
        EXPECT_EQ(ctx->nb_streams, 2u);
        ff::avformat_close_input(&ctx);
        io.reset();
    }
    // Without the encoding the format library takes the name for a URL.
    AVFormatContext* raw = nullptr;
    EXPECT_LT(ff::avformat_open_input(&raw, "clip:1.mp4", nullptr, nullptr), 0);
    EXPECT_EQ(raw, nullptr);
}

TEST_F(UnicodeMedia, APreparedContextIsUsedOnSuccessAndFreedOnFailure) {
    fs::copy_file(fixtures::FixturePath("mp4_h264_aac.mp4"), "clip:2.mp4");
    {
        TFormatInput input;
        AVFormatContext* prepared = ff::avformat_alloc_context();
        ASSERT_NE(prepared, nullptr);
        ASSERT_EQ(input.Open("clip:2.mp4", nullptr, nullptr, prepared), 0);
        EXPECT_EQ(input.Get(), prepared);
        EXPECT_GE(ff::avformat_find_stream_info(input.Get(), nullptr), 0);
        EXPECT_EQ(input->nb_streams, 2u);

        // A second open of an open input is refused and still takes the prepared context.
        EXPECT_EQ(input.Open("clip:2.mp4", nullptr, nullptr, ff::avformat_alloc_context()),
                  AVERROR(EINVAL));

        // Moving onto an open input closes the old one first.
        TFormatInput other;
        ASSERT_EQ(other.Open(FDir / "clip:2.mp4"), 0);
        input = std::move(other);
        EXPECT_FALSE(other);
        ASSERT_TRUE(input);
        EXPECT_GE(ff::avformat_find_stream_info(input.Get(), nullptr), 0);
        EXPECT_EQ(input->nb_streams, 2u);
    }
    for (const std::string name : {"missing:1.mp4", "missing.mp4"}) {
        SCOPED_TRACE(name);
        AVFormatContext* ctx = ff::avformat_alloc_context();
        std::unique_ptr<TUnicodeIO> io;
        EXPECT_EQ(OpenInputContext(&ctx, name, nullptr, nullptr, io), AVERROR(ENOENT));
        EXPECT_EQ(ctx, nullptr);
        EXPECT_EQ(io, nullptr);
    }
}

TEST_F(UnicodeMedia, FilesThatCannotBeOpenedGiveMinusTwo) {
    fs::create_directory("a:folder");
    const std::string names[] = {
        Prefix + "missing:1.mp4",
        Prefix + "no such folder/x.mp4",
        Prefix + "a:folder", // a folder is no file
        Prefix + std::string("nul\0l.mp4", 9),
        Prefix + std::string(5000, 'n'), // too long for the file system
    };
    for (const auto& name : names) {
        SCOPED_TRACE(name.substr(0, 60));
        int error = 1;
        EXPECT_EQ(TUnicodeIO::Open(name, false, error), nullptr);
        EXPECT_EQ(error, -2);
        EXPECT_EQ(error, AVERROR(ENOENT));
    }
    int error = 1;
    EXPECT_EQ(TUnicodeIO::Open(Prefix + "no such folder/x.mp4", true, error), nullptr);
    EXPECT_EQ(error, -2);
}

TEST_F(UnicodeMedia, BytesWrittenReadBackWithSizeSeekAndEnd) {
    const std::string name = Prefix + "data:1.bin";
    std::vector<uint8_t> data(3 * TUnicodeIO::BufferSize + 123);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);

    for (size_t length : {data.size(), size_t(10)}) { // the second write truncates
        SCOPED_TRACE(length);
        int error = 1;
        auto out = TUnicodeIO::Open(name, true, error);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(error, 0);
        ff::avio_write(out->Context(), data.data(), static_cast<int>(length));
        EXPECT_EQ(out->Close(), 0);
        EXPECT_EQ(out->Context(), nullptr);
        EXPECT_EQ(out->Close(), 0);
        EXPECT_EQ(fs::file_size("data:1.bin"), length);
    }

    std::ofstream("data:1.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
    int error = 1;
    auto in = TUnicodeIO::Open(name, false, error);
    ASSERT_NE(in, nullptr);
    AVIOContext* pb = in->Context();
    const auto size = static_cast<int64_t>(data.size());
    EXPECT_EQ(pb->seek(pb->opaque, 0, AVSEEK_SIZE), size);
    EXPECT_EQ(pb->seek(pb->opaque, 0, AVSEEK_SIZE | AVSEEK_FORCE), size);
    EXPECT_EQ(ff::avio_size(pb), size);

    std::vector<uint8_t> back(data.size());
    EXPECT_EQ(ff::avio_read(pb, back.data(), static_cast<int>(back.size())), size);
    EXPECT_EQ(back, data);
    uint8_t byte;
    EXPECT_EQ(ff::avio_read(pb, &byte, 1), AVERROR_EOF);
    EXPECT_EQ(pb->read_packet(pb->opaque, &byte, 1), AVERROR_EOF); // never 0

    EXPECT_EQ(pb->seek(pb->opaque, 10, SEEK_SET | AVSEEK_FORCE), 10);
    EXPECT_EQ(pb->seek(pb->opaque, 5, SEEK_CUR), 15);
    EXPECT_EQ(pb->seek(pb->opaque, -1, SEEK_END), size - 1);
    EXPECT_EQ(pb->seek(pb->opaque, 0, 7), -1);
    EXPECT_EQ(pb->seek(pb->opaque, -1, SEEK_SET), -1);
    EXPECT_EQ(ff::avio_seek(pb, 100, SEEK_SET), 100);
    EXPECT_EQ(ff::avio_read(pb, &byte, 1), 1);
    EXPECT_EQ(byte, data[100]);
    EXPECT_EQ(pb->write_packet(pb->opaque, &byte, 1), AVERROR(EBADF)); // opened for reading only
}

// A full disk comes back as one, so that the engine can say so (OpenErrorMessage).
TEST_F(UnicodeMedia, AWriteToAFullDiskSaysTheDiskIsFull) {
    int error = 0;
    auto out = TUnicodeIO::Open("/dev/full", true, error);
    ASSERT_TRUE(out) << error;
    uint8_t data[64] = {};
    AVIOContext* pb = out->Context();
    EXPECT_EQ(pb->write_packet(pb->opaque, data, sizeof data), AVERROR(ENOSPC));
}

// Blocks a signal in this thread, so that the system call that raises it fails instead, and
// takes the signal back if it became pending meanwhile.
class TBlockSignal {
public:
    explicit TBlockSignal(int ASignal) {
        sigemptyset(&FSet);
        sigaddset(&FSet, ASignal);
        pthread_sigmask(SIG_BLOCK, &FSet, &FOld);
    }
    ~TBlockSignal() {
        sigset_t pending;
        sigpending(&pending);
        for (int sig = 1; sig < NSIG; ++sig) {
            if (sigismember(&FSet, sig) && sigismember(&pending, sig)) {
                int taken;
                sigwait(&FSet, &taken);
            }
        }
        pthread_sigmask(SIG_SETMASK, &FOld, nullptr);
    }

private:
    sigset_t FSet, FOld;
};

TEST_F(UnicodeMedia, FailedAndShortWritesAreReportedAtClose) {
    std::vector<uint8_t> data(2 * TUnicodeIO::BufferSize);
    {
        SCOPED_TRACE("pipe without reader");
        ASSERT_EQ(::mkfifo("pipe:fifo", 0600), 0);
        const int reader = ::open("pipe:fifo", O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader, 0);
        int error = 1;
        auto out = TUnicodeIO::Open(Prefix + "pipe:fifo", true, error);
        ::close(reader);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(out->Context()->seekable, 0);
        EXPECT_EQ(out->Context()->seek(out->Context()->opaque, 0, AVSEEK_SIZE), -1); // no size

        TBlockSignal guard(SIGPIPE);
        ff::avio_write(out->Context(), data.data(), static_cast<int>(data.size()));
        EXPECT_LT(out->Close(), 0);
    }
    {
        SCOPED_TRACE("file size limit in the middle of the last write");
        int error = 1;
        auto out = TUnicodeIO::Open(Prefix + "limit:1.bin", true, error);
        ASSERT_NE(out, nullptr);
        ff::avio_write(out->Context(), data.data(), 2000); // stays in the buffer until Close

        TBlockSignal guard(SIGXFSZ);
        rlimit old{};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
        rlimit limit = old;
        limit.rlim_cur = 1000;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
        error = out->Close();
        ::setrlimit(RLIMIT_FSIZE, &old);
        EXPECT_LT(error, 0);
        EXPECT_EQ(fs::file_size("limit:1.bin"), 1000u);
    }
}

TEST_F(UnicodeMedia, OutputsAreWrittenUnderAwkwardAndPlainNames) {
    const std::string names[] = {"out:1.wav", FDir / "bad\xff.wav", FDir / "plain vidéo.wav"};
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        {
            TFormatOutput output;
            ASSERT_EQ(output.Create(name), 0); // the muxer is guessed from the encoded name
            EXPECT_STREQ(output->oformat->name, "wav");
            AVStream* st = ff::avformat_new_stream(output.Get(), nullptr);
            ASSERT_NE(st, nullptr);
            AVCodecParameters* par = st->codecpar;
            par->codec_type = AVMEDIA_TYPE_AUDIO;
            par->codec_id = AV_CODEC_ID_PCM_S16LE;
            par->format = AV_SAMPLE_FMT_S16;
            par->sample_rate = 48000;
            ff::av_channel_layout_default(&par->ch_layout, 2);
            par->bits_per_coded_sample = 16;
            par->block_align = 4;
            st->time_base = {1, 48000};
            ASSERT_EQ(output.OpenIO(), 0);
            ASSERT_GE(ff::avformat_write_header(output.Get(), nullptr), 0);

            std::unique_ptr<AVPacket, void (*)(AVPacket*)> pkt(
                ff::av_packet_alloc(), [](AVPacket* p) { ff::av_packet_free(&p); });
            ASSERT_EQ(ff::av_new_packet(pkt.get(), 4800 * 4), 0);
            std::memset(pkt->data, 0, static_cast<size_t>(pkt->size));
            pkt->pts = pkt->dts = 0;
            pkt->duration = 4800;
            EXPECT_EQ(ff::av_interleaved_write_frame(output.Get(), pkt.get()), 0);
            EXPECT_EQ(ff::av_write_trailer(output.Get()), 0);
            EXPECT_EQ(output.Close(), 0);
        }
        ASSERT_TRUE(fs::exists(name));
        EXPECT_GT(fs::file_size(name), 4800u * 4);

        TFormatInput input;
        ASSERT_EQ(input.Open(name), 0);
        ASSERT_GE(ff::avformat_find_stream_info(input.Get(), nullptr), 0);
        ASSERT_EQ(input->nb_streams, 1u);
        EXPECT_EQ(input->streams[0]->codecpar->codec_id, AV_CODEC_ID_PCM_S16LE);
        // The header written after the data was patched through seek: the length is known.
        EXPECT_EQ(input->duration, 100000);
    }
}

TEST_F(UnicodeMedia, MisuseIsRefusedWithoutLeaks) {
    std::unique_ptr<TUnicodeIO> io;
    int error = 0;
    io = TUnicodeIO::Open(Prefix + "busy:1.bin", true, error);
    ASSERT_NE(io, nullptr);

    // An io that is still in use is never replaced.
    AVFormatContext* ctx = ff::avformat_alloc_context();
    EXPECT_EQ(OpenInputContext(&ctx, "busy:1.bin", nullptr, nullptr, io), AVERROR(EINVAL));
    EXPECT_EQ(ctx, nullptr);
    EXPECT_NE(io, nullptr);

    TFormatOutput output;
    ASSERT_EQ(output.Create("second:1.wav"), 0);
    EXPECT_EQ(OpenOutputIO(output.Get(), "second:1.wav", io), AVERROR(EINVAL));
    std::unique_ptr<TUnicodeIO> fresh;
    ASSERT_EQ(OpenOutputIO(output.Get(), "second:1.wav", fresh), 0);
    std::unique_ptr<TUnicodeIO> again;
    EXPECT_EQ(OpenOutputIO(output.Get(), "second:1.wav", again), AVERROR(EINVAL)); // pb is set
    EXPECT_EQ(OpenOutputIO(nullptr, "x.wav", again), AVERROR(EINVAL));
    output.Close(); // the context goes before the io it writes through
    EXPECT_EQ(fresh->Close(), 0);
}

} // namespace
