#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Engine/FFmpeg.h"
#include "Platform/MainThread.h"

using namespace qm;

namespace {

// An engine whose transcode is a stand-in main loop: it counts passes, waits at the
// pause point and ends on a stop request, as the real loop does between packets.
class TLoopEngine : public TCustomFFmpeg {
public:
    TLoopEngine() {
        TerminateNotify = [this](TCustomFFmpeg* sender) {
            EXPECT_EQ(sender, this);
            ++Terminations;
            FinishedAtNotify = Finished();
            RaisedAtNotify = ExceptionRaised();
            MessageAtNotify = ExceptionMessage();
            // A handler that hands work to the main thread must not block a waiting owner.
            TMainThread::Synchronize([this] { ++MainThreadCalls; });
        };
    }
    // A subclass that replaces the transcode ends the run itself: by the time the base
    // destructor stops it, this part of the object is gone.
    ~TLoopEngine() override { RequestStop(true); }
    void SetFileCounts(int inputs, int outputs) {
        FInputFileCount = inputs;
        FOutputFileCount = outputs;
    }

    std::atomic<int> Passes{0};
    std::atomic<int> Terminations{0};
    std::atomic<int> MainThreadCalls{0};
    std::atomic<bool> FinishedAtNotify{false};
    std::atomic<bool> RaisedAtNotify{false};
    std::string MessageAtNotify;
    std::atomic<int> StopAfter{-1}; // end normally after this many passes
    std::atomic<bool> Throw{false};

protected:
    void Transcode() override {
        if (Throw)
            throw FFmpegException("broken stream");
        while (!StopRequested()) {
            CheckPause();
            int n = ++Passes;
            TMainThread::Wake(); // lets a waiting test look at Passes again
            if (StopAfter >= 0 && n >= StopAfter)
                break;
            std::this_thread::yield();
        }
        FFinished = !StopRequested();
    }
};

class RunControlTest : public ::testing::Test {
protected:
    void SetUp() override { TMainThread::Install(); }
};

} // namespace

TEST_F(RunControlTest, MissingFilesEndInOneTerminationWithoutAThread) {
    struct {
        int Inputs, Outputs;
        const char* Message;
    } cases[] = {{1, 0, "At least one output file must be specified"},
                 {0, 0, "At least one output file must be specified"},
                 {0, 1, "At least one input file must be specified"}};
    for (const auto& c : cases) {
        TLoopEngine engine;
        engine.SetFileCounts(c.Inputs, c.Outputs);
        EXPECT_EQ(engine.StartConvert(true), nullptr);
        EXPECT_EQ(engine.Terminations, 1);
        EXPECT_TRUE(engine.RaisedAtNotify);
        EXPECT_FALSE(engine.FinishedAtNotify);
        EXPECT_EQ(engine.MessageAtNotify, c.Message);
        EXPECT_EQ(engine.WorkerThread(), nullptr);
        EXPECT_TRUE(engine.Terminated());
        EXPECT_FALSE(engine.Running());
        EXPECT_EQ(engine.Passes, 0);

        // A terminated engine does not start again and reports nothing more.
        engine.SetFileCounts(1, 1);
        EXPECT_EQ(engine.StartConvert(true), nullptr);
        engine.StopConvert(true);
        EXPECT_EQ(engine.Terminations, 1);
        EXPECT_EQ(engine.Passes, 0);
    }
}

TEST_F(RunControlTest, StopOfANeverStartedEngineNotifiesExactlyOnce) {
    for (bool wait : {true, false}) {
        SCOPED_TRACE(wait);
        TLoopEngine engine;
        engine.StopConvert(wait);
        engine.StopConvert(wait); // already on its way or done: nothing more
        TMainThread::WaitFor([&] { return engine.Terminated() && engine.MainThreadCalls == 1; });
        engine.StopConvert(wait);
        EXPECT_EQ(engine.Terminations, 1);
        EXPECT_FALSE(engine.FinishedAtNotify);
        EXPECT_FALSE(engine.RaisedAtNotify);
        EXPECT_TRUE(engine.Terminated());
    }
}

TEST_F(RunControlTest, RequestStopWithoutAWorkerOnlySetsTheFlag) {
    TLoopEngine engine;
    engine.RequestStop(true);
    EXPECT_TRUE(engine.StopRequested());
    EXPECT_FALSE(engine.Terminated());
    EXPECT_FALSE(engine.Running());
    EXPECT_EQ(engine.Terminations, 0);
}

TEST_F(RunControlTest, SynchronousRunEndsBeforeStartConvertReturns) {
    TLoopEngine engine;
    engine.SetFileCounts(1, 1);
    engine.StopAfter = 5;
    EXPECT_EQ(engine.StartConvert(false), nullptr);
    EXPECT_EQ(engine.Passes, 5);
    EXPECT_EQ(engine.Terminations, 1);
    EXPECT_TRUE(engine.FinishedAtNotify);
    EXPECT_FALSE(engine.RaisedAtNotify);
    EXPECT_TRUE(engine.Terminated());
}

TEST_F(RunControlTest, AnExceptionInTheTranscodeIsReportedOnce) {
    TLoopEngine engine;
    engine.SetFileCounts(1, 1);
    engine.Throw = true;
    TConvertThread* worker = engine.StartConvert(true);
    ASSERT_NE(worker, nullptr);
    worker->Resume();
    TMainThread::WaitFor([&] { return engine.Terminated() && engine.MainThreadCalls == 1; });
    EXPECT_EQ(engine.Terminations, 1);
    EXPECT_TRUE(engine.RaisedAtNotify);
    EXPECT_FALSE(engine.FinishedAtNotify);
    EXPECT_EQ(engine.MessageAtNotify, "broken stream");
    EXPECT_EQ(engine.WorkerThread(), nullptr);
}

TEST_F(RunControlTest, ThreadedRunStartsSuspendedPausesResumesAndStops) {
    TLoopEngine engine;
    engine.SetFileCounts(1, 1);
    TConvertThread* worker = engine.StartConvert(true, tpLower);
    ASSERT_NE(worker, nullptr);
    EXPECT_EQ(engine.WorkerThread(), worker);
    EXPECT_TRUE(engine.Running());
    EXPECT_TRUE(worker->Suspended());
    EXPECT_EQ(engine.Passes, 0); // nothing runs before the caller resumes it

    worker->Resume();
    TMainThread::WaitFor([&] { return engine.Passes > 10; });
    engine.Pause();
    EXPECT_TRUE(engine.Paused());
    engine.Resume();
    EXPECT_FALSE(engine.Paused());
    const int before = engine.Passes;
    TMainThread::WaitFor([&] { return engine.Passes > before + 10; });

    // Stopping a paused run resumes it so that it can end; the wait covers the notification.
    engine.Pause();
    engine.RequestStop(true);
    EXPECT_EQ(engine.Terminations, 1);
    EXPECT_EQ(engine.MainThreadCalls, 1);
    EXPECT_FALSE(engine.FinishedAtNotify);
    EXPECT_FALSE(engine.RaisedAtNotify);
    EXPECT_FALSE(engine.Running());
    EXPECT_TRUE(engine.Terminated());
    EXPECT_EQ(engine.WorkerThread(), nullptr);

    engine.StopConvert(true); // terminated: left alone
    EXPECT_EQ(engine.Terminations, 1);
}

TEST_F(RunControlTest, ARunThatEndsByItselfIsFinished) {
    TLoopEngine engine;
    engine.SetFileCounts(1, 1);
    engine.StopAfter = 100;
    engine.StartConvert(true)->Resume();
    TMainThread::WaitFor([&] { return engine.MainThreadCalls == 1; });
    EXPECT_EQ(engine.Passes, 100);
    EXPECT_TRUE(engine.FinishedAtNotify);
    EXPECT_EQ(engine.Terminations, 1);
}

TEST_F(RunControlTest, DestroyingARunningEngineWaitsForTheEndOfTheRun) {
    std::atomic<int> terminations{0};
    {
        TLoopEngine engine;
        engine.SetFileCounts(1, 1);
        engine.TerminateNotify = [&](TCustomFFmpeg*) { ++terminations; };
        engine.StartConvert(true)->Resume();
        TMainThread::WaitFor([&] { return engine.Passes > 0; });
        engine.Pause();
    }
    EXPECT_EQ(terminations, 1);

    // Started but never resumed: destruction still lets the run end once.
    terminations = 0;
    {
        TLoopEngine engine;
        engine.SetFileCounts(1, 1);
        engine.TerminateNotify = [&](TCustomFFmpeg*) { ++terminations; };
        ASSERT_NE(engine.StartConvert(true), nullptr);
    }
    EXPECT_EQ(terminations, 1);
}

TEST_F(RunControlTest, PreviewFlagsChangeUnderTheEngineLock) {
    TLoopEngine engine;
    engine.SetPreviewFlags(pfPreview | pfPreviewBitmap);
    EXPECT_EQ(engine.PreviewFlags(), pfPreview | pfPreviewBitmap);
    engine.SetPreviewFlags(pfPreviewBitmap);
    EXPECT_EQ(engine.PreviewFlags(), pfPreviewBitmap);
}
