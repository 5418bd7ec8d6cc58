// Video encoding on a thread of its own: the same stream, counters and reports as the
// single-threaded engine, and the same stop and pause behaviour.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "EngineTest.h"
#include "Fixtures.h"

using namespace qm;
using namespace qm::test;
using qm::fixtures::FixturePath;

namespace {

struct TReport {
    int32_t Frame, TimeMs, Total;
    float Quality, Bitrate;
    int64_t Size;
    bool operator==(const TReport&) const = default;
};

std::ostream& operator<<(std::ostream& AOut, const TReport& AReport) {
    return AOut << "frame " << AReport.Frame << " time " << AReport.TimeMs << " q "
                << AReport.Quality << " size " << AReport.Size;
}

struct TOutcome {
    std::string Error, Bytes;
    std::vector<TReport> Reports;
    int32_t Duplicated = 0, Dropped = 0;
    int64_t VideoBytes = 0, AudioBytes = 0;
    bool Finished = false;
};

std::string ReadBytes(const std::string& APath) {
    std::ifstream in(APath, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class EncodeThreadTest : public TEngineTest {
protected:
    // One conversion of AArgs into AOut (two outputs join the inputs).
    TOutcome Convert(std::vector<std::string> AArgs, bool AJoin, int AEncodeThread,
                     int64_t AIntervalUs) {
        SetUp();
        const std::string out =
            Dir / ("out" + std::to_string(++FRuns) + (AJoin ? "_joined.mpg" : ".mpg"));
        if (!AJoin)
            AArgs.push_back(out);
        Configure(AArgs);
        if (AJoin) {
            EXPECT_EQ(Engine->OpenOutputFile(out, true), 2) << Engine->LastError();
        }
        Engine->EncodeThread = AEncodeThread;
        Engine->ProgressIntervalUs = AIntervalUs;
        TOutcome o;
        Engine->ProgressNotify = [&o](TCustomFFmpeg*, int32_t frame, int32_t, int32_t timeMs,
                                      float quality, float bitrate, int64_t size, int32_t total) {
            o.Reports.push_back({frame, timeMs, total, quality, bitrate, size});
        };
        o.Error = Run();
        o.Bytes = ReadBytes(out);
        o.Duplicated = Engine->DuplicatedFrames();
        o.Dropped = Engine->DroppedFrames();
        o.VideoBytes = Engine->VideoBytes();
        o.AudioBytes = Engine->AudioBytes();
        o.Finished = Engine->Finished();
        return o;
    }
    int FRuns = 0;
};

TEST_F(EncodeThreadTest, SameStreamCountersAndReportsAsTheSingleThreadedEngine) {
    const std::vector<std::string> mpeg2 = {"-threads", "1", "-f", "vob", "-vcodec", "mpeg2video"};
    auto with = [&](std::vector<std::string> AArgs) {
        AArgs.insert(AArgs.end(), mpeg2.begin(), mpeg2.end());
        return AArgs;
    };
    const struct {
        const char* Name;
        std::vector<std::string> Args;
        bool Join;
    } cases[] = {
        // Scaled into a padded picture, with audio resampled beside it.
        {"scaled and padded",
         with({"-i", FixturePath("mp4_h264_aac.mp4"), "-s", "352x240", "-padtop", "24",
               "-padbottom", "24", "-acodec", "mp2", "-ar", "48000", "-ac", "2"}),
         false},
        {"duplicated", with({"-i", FixturePath("rate_12fps.avi"), "-r", "25", "-an", "1"}), false},
        {"dropped", with({"-i", FixturePath("rate_60fps.mp4"), "-r", "30000/1001", "-an", "1"}),
         false},
        // A fixed quantiser: each picture takes the quality of the last coded one.
        {"frame limit and quantiser",
         with({"-i", FixturePath("mp4_h264_aac.mp4"), "-vframes", "30", "-qscale", "4",
               "-acodec", "mp2", "-ar", "48000"}),
         false},
        {"joined",
         with({"-i", FixturePath("mp4_h264_aac.mp4"), "-i", FixturePath("avi_mpeg4_mp3.avi"),
               "-s", "320x240", "-r", "25", "-acodec", "mp2", "-ar", "48000", "-ac", "2"}),
         true},
    };
    for (const auto& c : cases) {
        // A report after every packet shows the state at every step; without reports
        // until the end the queue runs full.
        for (int64_t interval : {int64_t(0), int64_t(1) << 40}) {
            SCOPED_TRACE(std::string(c.Name) + (interval ? ", last report only" : ", every packet"));
            const TOutcome serial = Convert(c.Args, c.Join, 0, interval);
            const TOutcome threaded = Convert(c.Args, c.Join, 1, interval);
            ASSERT_EQ(serial.Error, "");
            ASSERT_EQ(threaded.Error, "");
            EXPECT_TRUE(threaded.Finished);
            ASSERT_GT(serial.Bytes.size(), 10000u);
            EXPECT_TRUE(serial.Bytes == threaded.Bytes) << "the streams differ";
            EXPECT_EQ(threaded.Reports, serial.Reports);
            EXPECT_EQ(threaded.Duplicated, serial.Duplicated);
            EXPECT_EQ(threaded.Dropped, serial.Dropped);
            EXPECT_EQ(threaded.VideoBytes, serial.VideoBytes);
            EXPECT_EQ(threaded.AudioBytes, serial.AudioBytes);
        }
    }
}

TEST_F(EncodeThreadTest, CodecThreadsBringTheEncodeThreadAndAValidStream) {
    const TOutcome o = Convert({"-threads", "0", "-i", FixturePath("mp4_h264_aac.mp4"), "-target",
                                "pal-dvd", "-acodec", "mp2", "-ab", "224000"},
                               false, -1, int64_t(1) << 40);
    ASSERT_EQ(o.Error, "");
    EXPECT_TRUE(o.Finished);
    ASSERT_EQ(o.Reports.size(), 1u);
    EXPECT_EQ(o.Reports.back().Frame, 50);
    EXPECT_EQ(o.Reports.back().Size, int64_t(o.Bytes.size()));

    // With the encode thread the video decoder runs one codec thread less; the pictures it
    // gives, and so the stream, are the same.
    for (const char* input : {"mp4_h264_aac.mp4", "avi_mpeg4_mp3.avi"}) {
        SCOPED_TRACE(input);
        const std::vector<std::string> args = {"-threads", "3", "-i", FixturePath(input),
                                               "-target", "pal-dvd", "-acodec", "mp2",
                                               "-ab", "224000"};
        const TOutcome serial = Convert(args, false, 0, int64_t(1) << 40);
        const TOutcome threaded = Convert(args, false, -1, int64_t(1) << 40);
        ASSERT_EQ(serial.Error, "");
        ASSERT_EQ(threaded.Error, "");
        EXPECT_TRUE(serial.Bytes == threaded.Bytes) << "the streams differ";
    }
}

TEST_F(EncodeThreadTest, AStopFromTheEncodeThreadEndsTheRunOnceWithATrailer) {
    // The preview is shown from the encode thread, with pictures still queued behind it.
    Configure({"-threads", "1", "-i", FixturePath("mp4_h264_aac.mp4"), "-f", "vob", "-vcodec",
               "mpeg2video", "-acodec", "mp2", "-ar", "48000", Dir / "stopped.mpg"});
    Engine->EncodeThread = 1;
    Engine->ProgressIntervalUs = int64_t(1) << 40;
    Engine->PreviewIntervalUs = 0;
    int previews = 0;
    std::thread::id shownOn;
    Engine->PreviewBitmapNotify = [&](TCustomFFmpeg* AEngine, const TBitmap&, int32_t, int64_t) {
        shownOn = std::this_thread::get_id();
        if (++previews == 10)
            AEngine->RequestStop(false);
    };
    Engine->SetPreviewFlags(pfPreviewBitmap);
    ASSERT_EQ(Run(), "");
    EXPECT_FALSE(Engine->Finished());
    EXPECT_GE(previews, 10);
    EXPECT_NE(shownOn, std::this_thread::get_id()); // the run's own thread is this one
    const int packets = VideoPacketCount(Dir / "stopped.mpg");
    EXPECT_GE(packets, 5);
    EXPECT_LT(packets, 45);
}

TEST_F(EncodeThreadTest, PausingAndResumingFromTheEncodeThreadLeavesTheStreamAsItWas) {
    const std::vector<std::string> args = {"-threads", "1", "-i", FixturePath("mp4_h264_aac.mp4"),
                                           "-f", "vob", "-vcodec", "mpeg2video", "-acodec", "mp2",
                                           "-ar", "48000"};
    const TOutcome serial = Convert(args, false, 0, int64_t(1) << 40);
    ASSERT_EQ(serial.Error, "");
    SetUp();
    std::vector<std::string> paused = args;
    paused.push_back(Dir / "paused.mpg");
    Configure(paused);
    Engine->EncodeThread = 1;
    Engine->ProgressIntervalUs = int64_t(1) << 40;
    Engine->PreviewIntervalUs = 0;
    std::atomic<int> previews{0};
    Engine->PreviewBitmapNotify = [&](TCustomFFmpeg* AEngine, const TBitmap&, int32_t, int64_t) {
        if (++previews == 5)
            AEngine->Pause(); // the run waits at its next packet, its queue emptied
        TMainThread::Wake();
    };
    Engine->SetPreviewFlags(pfPreviewBitmap);
    TConvertThread* worker = Engine->StartConvert(true);
    ASSERT_NE(worker, nullptr);
    worker->Resume();
    TMainThread::WaitFor([&] { return previews >= 5; });
    EXPECT_TRUE(Engine->Paused());
    Engine->Resume();
    TMainThread::WaitFor([&] { return Terminations > 0; });
    Engine.reset(); // joins the worker
    EXPECT_EQ(Terminations, 1);
    EXPECT_GT(previews, 5);
    EXPECT_TRUE(ReadBytes(Dir / "paused.mpg") == serial.Bytes) << "the streams differ";
}

} // namespace
