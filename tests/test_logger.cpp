#include <atomic>
#include <climits>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Loader/FFmpegLoader.h"
#include "Loader/MediaEntries.h"
#include "Logger/FFmpegLogger.h"
#include "Platform/MainThread.h"
#include <sys/syscall.h>
#include <unistd.h>

using namespace qm;

namespace {

struct TCodecFree {
    void operator()(AVCodecContext* p) const { ff::avcodec_free_context(&p); }
};
using TCodecPtr = std::unique_ptr<AVCodecContext, TCodecFree>;

TCodecPtr EncoderContext(const char* name) {
    return TCodecPtr(ff::avcodec_alloc_context3(ff::avcodec_find_encoder_by_name(name)));
}

uint32_t ThreadId() {
    return static_cast<uint32_t>(::syscall(SYS_gettid));
}

struct TLine {
    const void* Sender;
    uint32_t ThreadID;
    TLogLevel Level;
    std::string Text;
};

class Logger : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        TMainThread::Install();
        ASSERT_TRUE(GlobalLoader.LoadLibraries(ConverterLibraries)) << GlobalLoader.LastErrMsg();
    }
    void SetUp() override {
        GetLogger().SetLogLevel(llInfo);
        GetLogger().SetOnLog(
            [this](const void* sender, uint32_t thread, TLogLevel level, const std::string& text) {
                if (!TMainThread::IsMainThread())
                    ++OffMainThread;
                Lines.push_back({sender, thread, level, text});
            });
    }
    void TearDown() override {
        GetLogger().SetOnLog(nullptr);
        GetLogger().SetLogLevel(llInfo);
    }
    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const auto& line : Lines)
            texts.push_back(line.Text);
        return texts;
    }

    std::vector<TLine> Lines; // main thread only
    int OffMainThread = 0;
};

std::string Prefix(const char* name, const void* context) {
    return Format("[%s @ %p]", name, context);
}

} // namespace

TEST_F(Logger, LevelMapping) {
    const struct {
        int Media;
        TLogLevel Level;
    } cases[] = {{INT_MIN, llQuiet}, {-9, llQuiet},   {-8, llQuiet},  {-7, llPanic},
                 {-1, llPanic},      {0, llPanic},    {7, llPanic},   {8, llFatal},
                 {16, llError},      {24, llWarning}, {32, llInfo},   {39, llInfo},
                 {40, llVerbose},    {48, llDebug},   {100, llDebug}, {INT_MAX, llDebug}};
    for (const auto& c : cases)
        EXPECT_EQ(MediaLevelToLogLevel(c.Media), c.Level) << c.Media;
    for (int l = llQuiet; l <= llDebug; ++l)
        EXPECT_EQ(LogLevelToMediaLevel(static_cast<TLogLevel>(l)), (l - 1) * 8);
}

TEST_F(Logger, LevelByNameOrNumber) {
    TFFLogger& logger = GetLogger();
    const struct {
        const char* Text;
        TLogLevel Level;
    } cases[] = {{"quiet", llQuiet},     {"PANIC", llPanic},     {"Fatal", llFatal},
                 {"error", llError},     {"warning", llWarning}, {"info", llInfo},
                 {"verbose", llVerbose}, {"debug", llDebug},     {"40", llVerbose},
                 {"-8", llQuiet},        {"33", llInfo}};
    for (const auto& c : cases) {
        logger.SetLogLevelByName(c.Text);
        EXPECT_EQ(logger.LogLevel(), c.Level) << c.Text;
        EXPECT_EQ(TFFLogger::LogThreshold(), LogLevelToMediaLevel(c.Level)) << c.Text;
        EXPECT_EQ(ff::av_log_get_level(), LogLevelToMediaLevel(c.Level)) << c.Text;
    }
    logger.SetLogLevel(llWarning);
    for (const char* bad : {"", "loud", "32x", "99999999999"}) {
        EXPECT_THROW(logger.SetLogLevelByName(bad), std::invalid_argument) << bad;
        EXPECT_EQ(logger.LogLevel(), llWarning) << bad;
    }

    // Without avutil bound only the logger's own level changes. (Unbinding the one entry
    // stands in for an unload, which would leave the libraries' dependencies' statics.)
    const auto setLevel = ff::av_log_set_level;
    ff::av_log_set_level = nullptr;
    logger.SetLogLevel(llDebug);
    ff::av_log_set_level = setLevel;
    EXPECT_EQ(logger.LogLevel(), llDebug);
    EXPECT_EQ(TFFLogger::LogThreshold(), LogLevelToMediaLevel(llWarning));
    EXPECT_EQ(ff::av_log_get_level(), LogLevelToMediaLevel(llWarning));
}

TEST_F(Logger, OwnMessagesFollowTheLogLevel) {
    const int sender = 0;
    const struct {
        TLogLevel Setting, Message;
        bool Delivered;
    } cases[] = {{llWarning, llVerbose, true}, {llQuiet, llVerbose, false},
                 {llQuiet, llQuiet, true},     {llWarning, llWarning, true},
                 {llWarning, llInfo, false},   {llWarning, llDebug, false},
                 {llDebug, llDebug, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "level " << c.Setting << ", message " << c.Message);
        Lines.clear();
        GetLogger().SetLogLevel(c.Setting);
        Log(&sender, c.Message, "own line");
        ASSERT_EQ(Lines.size(), c.Delivered ? 1u : 0u);
        if (c.Delivered) {
            EXPECT_EQ(Lines[0].Sender, &sender);
            EXPECT_EQ(Lines[0].ThreadID, ThreadId());
            EXPECT_EQ(Lines[0].Level, c.Message);
            EXPECT_EQ(Lines[0].Text, "own line");
        }
    }
}

TEST_F(Logger, MediaMessagesArriveAsWholeLinesWithOnePrefix) {
    TCodecPtr codec = EncoderContext("mpeg2video");
    const std::string prefix = Prefix("mpeg2video", codec.get());

    ff::av_log(codec.get(), AV_LOG_INFO, "abc");
    EXPECT_TRUE(Lines.empty());
    ff::av_log(codec.get(), AV_LOG_INFO, "def %d\n", 7);
    ff::av_log(codec.get(), AV_LOG_WARNING, "one\ntwo\n");
    ff::av_log(codec.get(), AV_LOG_VERBOSE, "hidden\n"); // above the threshold of 32
    ff::av_log(codec.get(), AV_LOG_INFO, "tail");
    ff::av_log(nullptr, AV_LOG_INFO, " end\n");
    ff::av_log(nullptr, AV_LOG_ERROR, "no context\n");
    EXPECT_EQ(Texts(), (std::vector<std::string>{prefix + "abcdef 7", prefix + "one", "two",
                                                 prefix + "tail end", "no context"}));
    ASSERT_EQ(Lines.size(), 5u);
    EXPECT_EQ(Lines[0].Sender, FindLogger());
    EXPECT_EQ(Lines[0].Level, llInfo);
    EXPECT_EQ(Lines[1].Level, llWarning);
    EXPECT_EQ(Lines[4].Level, llError);

    Lines.clear();
    const std::string big(10000, 'x');
    ff::av_log(codec.get(), AV_LOG_INFO, "%s|\n", big.c_str());
    EXPECT_EQ(Texts(), std::vector<std::string>{prefix + big + "|"});
}

TEST_F(Logger, SplitLinesOfTwoThreadsArriveWholeOnTheMainThread) {
    TCodecPtr contexts[2] = {EncoderContext("mpeg2video"), EncoderContext("mp2")};
    const std::string prefixes[2] = {Prefix("mpeg2video", contexts[0].get()),
                                     Prefix("mp2", contexts[1].get())};
    const int lineCount = 200;
    std::atomic<uint32_t> threadIds[2] = {0, 0};
    std::atomic<int> running{2};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            threadIds[t] = ThreadId();
            for (int n = 0; n < lineCount; ++n) {
                ff::av_log(contexts[t].get(), AV_LOG_INFO, "thread %d ", t);
                ff::av_log(contexts[t].get(), AV_LOG_INFO, "line %d", n);
                ff::av_log(contexts[t].get(), AV_LOG_INFO, " end\n");
            }
            --running;
            TMainThread::Wake();
        });
    }
    EXPECT_TRUE(TMainThread::WaitFor([&] { return running == 0; }));
    for (auto& thread : threads)
        thread.join();

    EXPECT_EQ(OffMainThread, 0);
    ASSERT_EQ(Lines.size(), 2u * lineCount);
    int next[2] = {0, 0};
    for (const auto& line : Lines) {
        const int t = line.ThreadID == threadIds[0] ? 0 : 1;
        ASSERT_EQ(line.ThreadID, threadIds[t]);
        EXPECT_EQ(line.Text, prefixes[t] + Format("thread %d line %d end", t, next[t]));
        ++next[t];
    }
    EXPECT_EQ(next[0], lineCount);
}

TEST_F(Logger, OnlyOneLoggerMayExist) {
    TFFLogger& first = GetLogger();
    try {
        TFFLogger second;
        ADD_FAILURE() << "a second logger was made";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "Allow creating only one instance of TFFLogger.");
    }
    EXPECT_EQ(FindLogger(), &first);
    EXPECT_EQ(&GetLogger(), &first);
}

TEST_F(Logger, AHandlerExceptionNeverUnwindsThroughTheMediaLibrary) {
    std::vector<std::string> seen;
    GetLogger().SetOnLog([&](const void*, uint32_t, TLogLevel, const std::string& text) {
        seen.push_back(text);
        if (text == "first")
            throw std::runtime_error("handler failed");
    });
    EXPECT_NO_THROW(ff::av_log(nullptr, AV_LOG_INFO, "first\nsecond\nthi"));
    ff::av_log(nullptr, AV_LOG_INFO, "rd\n");
    EXPECT_EQ(seen, (std::vector<std::string>{"first", "second", "third"}));
    // The program's own callers still hear of it.
    EXPECT_THROW(Log(nullptr, llError, "first"), std::runtime_error);
}
