#include <atomic>
#include <chrono>
#include <cstring>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <ostream>
#include <set>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "Converter/FFmpegConverter.h"
#include "EngineTest.h"
#include "Engine/MediaFiles.h"
#include "Engine/OptionContexts.h"
#include "Fixtures.h"
#include "Loader/FFmpegLoader.h"
#include "Loader/MediaEntries.h"
#include "Platform/MainThread.h"
#include "Preview/Previewer.h"
#include "TestUtils.h"

using namespace qm;
using qm::fixtures::FixturePath;

namespace {

// Two seconds of H.264 and AAC at 25 frames per second.
const char* const Clip = "mp4_h264_aac.mp4";

struct TTermination {
    int32_t Index;
    bool Finished;
    bool Exception;
    std::string Message;
    bool operator==(const TTermination&) const = default;
};

std::ostream& operator<<(std::ostream& os, const TTermination& t) {
    return os << "{" << t.Index << ", finished " << t.Finished << ", exception " << t.Exception
              << ", \"" << t.Message << "\"}";
}

struct TProgress {
    int32_t Index;
    int32_t Frame;
    int32_t Duration;
    int Running; // tasks running while the event was handled
    int Ended;   // tasks terminated by then
    bool OnMain;
};

std::string DictEntry(const AVDictionary* dict, const char* key) {
    const AVDictionaryEntry* e = ff::av_dict_get(dict, key, nullptr, AV_DICT_MATCH_CASE);
    return e ? e->value : "";
}

class ConverterTest : public ::testing::Test {
protected:
    void SetUp() override {
        TMainThread::Install();
        ASSERT_TRUE(GlobalLoader.LoadLibraries(ConverterLibraries)) << GlobalLoader.LastErrMsg();
        Converter = std::make_unique<TFFmpegConverter>();
        Converter->OnTerminate = [this](int32_t AIndex, bool AFinished, bool AException,
                                        const std::string& AMessage) {
            {
                std::lock_guard lock(Lock);
                Terminations.push_back({AIndex, AFinished, AException, AMessage});
                TerminationsOnMain.push_back(TMainThread::IsMainThread());
            }
            TMainThread::Wake();
        };
        Converter->OnProgress = [this](int32_t AIndex, int32_t AFrame, int32_t, int32_t ADuration,
                                       float, float, int64_t, int32_t) {
            int running = 0, ended = 0;
            for (TFFmpeg* task : Started) {
                running += task->Running();
                ended += task->Terminated();
            }
            {
                std::lock_guard lock(Lock);
                Progress.push_back(
                    {AIndex, AFrame, ADuration, running, ended, TMainThread::IsMainThread()});
            }
            if (ProgressHook)
                ProgressHook(AIndex);
            TMainThread::Wake();
        };
    }
    void TearDown() override { Converter.reset(); }

    // A task that copies the clip's streams into an own Matroska file.
    int32_t AddCopyTask(const std::string& AExtra = {}) {
        TOutputOptions o;
        InitOutputOptions(o);
        o.VideoCodec = "copy";
        o.AudioCodec = "copy";
        o.ExtraOptions = AExtra;
        const int32_t index = Converter->AddTask(FixturePath(Clip));
        EXPECT_GE(index, 0) << Converter->LastError();
        if (index < 0)
            return index;
        EXPECT_TRUE(
            Converter->SetTaskOutput(index, Dir / ("copy" + std::to_string(index) + ".mkv"), &o))
            << Converter->LastError();
        Started.push_back(&Converter->Tasks().Items(index));
        return index;
    }
    std::vector<TTermination> TerminationsNow() {
        std::lock_guard lock(Lock);
        return Terminations;
    }
    std::vector<TProgress> ProgressNow() {
        std::lock_guard lock(Lock);
        return Progress;
    }
    bool AllDone() {
        std::lock_guard lock(Lock);
        return !Terminations.empty() && Terminations.back().Index == -1;
    }
    bool HasProgressOf(int32_t AIndex) {
        std::lock_guard lock(Lock);
        for (const auto& p : Progress)
            if (p.Index == AIndex)
                return true;
        return false;
    }
    void WaitAllDone() {
        TMainThread::WaitFor([this] { return AllDone(); });
    }
    // Every task's own events come with rising values.
    void ExpectRisingProgress() {
        std::map<int32_t, TProgress> last;
        for (const auto& p : ProgressNow()) {
            SCOPED_TRACE("task " + std::to_string(p.Index));
            if (auto it = last.find(p.Index); it != last.end()) {
                EXPECT_GE(p.Frame, it->second.Frame);
                EXPECT_GE(p.Duration, it->second.Duration);
            }
            last[p.Index] = p;
        }
    }

    std::unique_ptr<TFFmpegConverter> Converter;
    std::vector<TFFmpeg*> Started; // read by the progress handler without the list lock
    std::function<void(int32_t)> ProgressHook;
    std::mutex Lock;
    std::vector<TTermination> Terminations; // guarded by Lock
    std::vector<bool> TerminationsOnMain;   // guarded by Lock
    std::vector<TProgress> Progress;        // guarded by Lock
    test::TTempDir Dir;
};

const TTermination AllDoneEvent{-1, true, false, ""};

} // namespace

// ---- Properties and the task list

TEST_F(ConverterTest, PropertiesKeepTheirLimits) {
    EXPECT_STREQ(TFFmpegConverter::Version(), "2.5");
    EXPECT_EQ(Converter->ProgressInterval(), 500);
    EXPECT_EQ(Converter->ThreadPriority(), tpNormal);
    EXPECT_EQ(Converter->Verbosity(), 1);
    for (auto [set, read] : {std::pair{50, 100}, {100, 100}, {101, 101}, {-5, 100}, {2000, 2000}}) {
        Converter->SetProgressInterval(set);
        EXPECT_EQ(Converter->ProgressInterval(), read) << set;
    }
    for (auto [set, read] :
         {std::pair{tpIdle, tpIdle}, {tpLower, tpLower}, {tpHighest, tpNormal}}) {
        Converter->SetThreadPriority(set);
        EXPECT_EQ(Converter->ThreadPriority(), read) << int(set);
    }
    EXPECT_TRUE(Converter->LoadLibraries(Dir.Path().string() + "/")) << Converter->LastError();
    EXPECT_EQ(Converter->LastError(), "");
}

TEST_F(ConverterTest, NewTasksTakeVerbosityAndPreviewFlagsAndSettersReachExistingTasks) {
    Converter->SetVerbosity(-1);
    Converter->SetPreview(true);
    const int32_t first = Converter->AddTask(FixturePath(Clip));
    ASSERT_EQ(first, 0) << Converter->LastError();
    TFFmpeg& task = Converter->Tasks().Items(first);
    EXPECT_EQ(task.Options.Verbosity, -1);
    EXPECT_EQ(task.PreviewFlags(), pfPreview);
    EXPECT_EQ(task.TaskIndex, 0);

    Converter->SetPreviewBitmap(true);
    EXPECT_EQ(task.PreviewFlags(), pfPreview | pfPreviewBitmap);
    Converter->SetPreview(false);
    EXPECT_EQ(task.PreviewFlags(), pfPreviewBitmap);
    EXPECT_FALSE(Converter->Preview());
    EXPECT_TRUE(Converter->PreviewBitmap());
    EXPECT_EQ(Converter->AddTask(FixturePath(Clip)), 1);
    EXPECT_EQ(Converter->Tasks().Items(1).PreviewFlags(), pfPreviewBitmap);
    EXPECT_EQ(Converter->Tasks().Count(), 2);

    Converter->ClearTasks();
    EXPECT_EQ(Converter->Tasks().Count(), 0);
    EXPECT_THROW(Converter->Tasks().Items(0), std::out_of_range);
}

// A converter whose libraries went away (a failed load of another set once took them) says
// so instead of calling through an unbound entry.
TEST_F(ConverterTest, WithoutItsLibrariesAddTaskSaysSoAndOpensNothing) {
    GlobalLoader.UnloadLibraries(ConverterLibraries);
    EXPECT_EQ(Converter->AddTask(FixturePath(Clip)), -1);
    EXPECT_EQ(Converter->LastError().rfind("The media libraries are not loaded", 0), 0u) << Converter->LastError();
    EXPECT_NE(Converter->LastError().find("libavcodec59"), std::string::npos) << Converter->LastError();
    EXPECT_EQ(Converter->Tasks().Count(), 0);
    ASSERT_TRUE(GlobalLoader.LoadLibraries(ConverterLibraries)) << GlobalLoader.LastErrMsg();
    EXPECT_EQ(Converter->AddTask(FixturePath(Clip)), 0) << Converter->LastError();
}

TEST_F(ConverterTest, AddTaskFillsTheRecordOpensTheArgumentAndFailsCleanly) {
    TInputOptions empty;
    InitInputOptions(empty);
    ASSERT_EQ(Converter->AddTask(FixturePath(Clip), &empty), 0) << Converter->LastError();
    EXPECT_EQ(empty.FileName, FixturePath(Clip));
    EXPECT_EQ(Converter->Tasks().Items(0).InputOptions.FileName, FixturePath(Clip));

    // The record's own name is kept and not opened.
    TInputOptions named;
    InitInputOptions(named);
    named.FileName = "/nowhere/else.avi";
    ASSERT_EQ(Converter->AddTask(FixturePath(Clip), &named), 1) << Converter->LastError();
    EXPECT_EQ(named.FileName, "/nowhere/else.avi");

    // The task's probe looks at its input until the task runs.
    TFFmpeg& task = Converter->Tasks().Items(1);
    EXPECT_EQ(task.Probe->StreamCount(), 2);
    EXPECT_EQ(task.Probe->FirstVideoStream(), 0);

    struct {
        const char* File;
        const char* Format;
        const char* Message; // the start of LastError
    } failures[] = {
        {Clip, "nosuchformat", "Unknown input format: nosuchformat"},
        {"missing-file.mp4", "", ""},
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.File);
        TInputOptions o;
        InitInputOptions(o);
        o.FileFormat = f.Format;
        const std::string path = FixturePath(f.File);
        EXPECT_EQ(Converter->AddTask(path, &o), -1);
        EXPECT_EQ(Converter->LastError().rfind(f.Message, 0), 0u) << Converter->LastError();
        EXPECT_NE(Converter->LastError(), "");
        EXPECT_EQ(Converter->Tasks().Count(), 2);
    }
    Converter->ClearTasks();
    EXPECT_EQ(Converter->LastError(), "");
}

TEST_F(ConverterTest, ExtraOptionsOfAnInputRecordApplyOnlyGeneralLines) {
    TInputOptions o;
    InitInputOptions(o);
    // Applied, these would fail: no such preset, no output yet.
    o.ExtraOptions = "vpre=nosuchpreset\r\nnewaudio=\r\nre=1";
    ASSERT_EQ(Converter->AddTask(FixturePath(Clip), &o), 0) << Converter->LastError();
    EXPECT_TRUE(Converter->Tasks().Items(0).Options.RateEmulation);
}

TEST_F(ConverterTest, ExtraOptionLinesAreSplitFilteredByKindAndStopAtAnError) {
    struct {
        const char* Text;
        TExtraOptionKind Kind;
        bool Video, Audio, Subtitle; // the disable flags afterwards
        const char* Error;           // the start of the exception's text, "" for none
    } cases[] = {
        {"vn=1\r\nan=1\rsn=1\n", eoGeneral, true, true, true, ""},
        {" \t vn=1 \r\n\r\n", eoGeneral, true, false, false, ""},
        {"vn=1\n an=1", eoGeneral, true, false, false, ""}, // " an" is no option name
        {"an", eoGeneral, false, true, false, ""},          // no "=": an empty value
        {"vn=0\nsn=1", eoGeneral, false, false, true, ""},
        {"vn=1\nnewaudio=\nvpre=nosuchpreset", eoGeneral, true, false, false, ""},
        {"vn=1\nnewaudio=", eoNewStream, false, false, false,
         "At least one output file must be specified"},
        {"vn=1\nvpre=nosuchpreset", eoPreset, false, false, false, "Preset \"nosuchpreset\""},
        {"vn=1\natag=abc\nan=1", eoGeneral, true, false, false,
         "audio tag parameter must be 4 chars"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        TFFmpeg task;
        task.ResetEngine();
        std::string error;
        try {
            task.ApplyExtraOptions(c.Text, c.Kind);
        } catch (const std::exception& e) {
            error = e.what();
        }
        EXPECT_EQ(error.rfind(c.Error, 0), 0u) << error;
        EXPECT_EQ(error.empty(), std::string(c.Error).empty()) << error;
        EXPECT_EQ(task.Options.VideoDisable, c.Video);
        EXPECT_EQ(task.Options.AudioDisable, c.Audio);
        EXPECT_EQ(task.Options.SubtitleDisable, c.Subtitle);
    }
}

// ---- Runs

TEST_F(ConverterTest, OneThreadRunsTheTasksStrictlyOneAfterAnotherOnWorkers) {
    Converter->SetProgressInterval(100);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(AddCopyTask(), i);
    Converter->StartTasks(1);
    WaitAllDone();
    EXPECT_EQ(TerminationsNow(),
              (std::vector<TTermination>{
                  {0, true, false, ""}, {1, true, false, ""}, {2, true, false, ""}, AllDoneEvent}));
    for (bool onMain : TerminationsOnMain)
        EXPECT_FALSE(onMain);
    const auto progress = ProgressNow();
    ASSERT_FALSE(progress.empty());
    int32_t previous = 0;
    std::set<int32_t> reported;
    for (const auto& p : progress) {
        EXPECT_EQ(p.Running, 1) << "task " << p.Index;
        EXPECT_FALSE(p.OnMain);
        EXPECT_GE(p.Index, previous);
        previous = p.Index;
        reported.insert(p.Index);
    }
    EXPECT_EQ(reported, (std::set<int32_t>{0, 1, 2}));
    ExpectRisingProgress();
}

TEST_F(ConverterTest, WithoutThreadsEverythingHappensInsideStartTasks) {
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(AddCopyTask(), i);
    Converter->StartTasks(0);
    EXPECT_EQ(TerminationsNow(),
              (std::vector<TTermination>{
                  {0, true, false, ""}, {1, true, false, ""}, {2, true, false, ""}, AllDoneEvent}));
    for (bool onMain : TerminationsOnMain)
        EXPECT_TRUE(onMain);
    for (const auto& p : ProgressNow())
        EXPECT_TRUE(p.OnMain);
    for (TFFmpeg* task : Started) {
        EXPECT_TRUE(task->Finished());
        EXPECT_EQ(task->Probe->StreamCount(), -1); // detached before the run closed the input
    }
}

TEST_F(ConverterTest, TwoThreadsRunTwoTasksAtOnceAndQueueTheThird) {
    Converter->SetProgressInterval(100);
    ASSERT_EQ(AddCopyTask("re=1"), 0); // real time: two seconds each
    ASSERT_EQ(AddCopyTask("re=1"), 1);
    ASSERT_EQ(AddCopyTask(), 2);
    Converter->StartTasks(2);
    EXPECT_FALSE(Started[2]->Running()); // waits for a termination
    EXPECT_FALSE(Started[2]->Terminated());
    WaitAllDone();

    const auto terminations = TerminationsNow();
    ASSERT_EQ(terminations.size(), 4u);
    EXPECT_EQ(terminations.back(), AllDoneEvent);
    std::set<int32_t> tasks;
    for (size_t i = 0; i < 3; ++i) {
        tasks.insert(terminations[i].Index);
        EXPECT_TRUE(terminations[i].Finished);
    }
    EXPECT_EQ(tasks, (std::set<int32_t>{0, 1, 2}));
    EXPECT_NE(terminations[0].Index, 2); // the third starts when one of the first two ends
    int most = 0;
    for (const auto& p : ProgressNow()) {
        EXPECT_LE(p.Running, 2);
        if (p.Index == 2) {
            EXPECT_GE(p.Ended, 1);
        }
        most = std::max(most, p.Running);
        EXPECT_FALSE(p.OnMain);
    }
    EXPECT_EQ(most, 2);
    ExpectRisingProgress();
    size_t realTimeEvents = 0;
    for (const auto& p : ProgressNow())
        realTimeEvents += p.Index == 0;
    EXPECT_GT(realTimeEvents, 3u); // a two-second run at 100 ms intervals
}

TEST_F(ConverterTest, StopWithWaitEndsTheRunningTaskAndReportsTheQueuedOnes) {
    ASSERT_EQ(AddCopyTask("re=1"), 0);
    ASSERT_EQ(AddCopyTask(), 1);
    ASSERT_EQ(AddCopyTask(), 2);
    Converter->StartTasks(1);
    TMainThread::WaitFor([this] { return HasProgressOf(0); });
    Converter->PauseTasks();
    EXPECT_TRUE(Started[0]->Paused());
    Converter->ResumeTasks();
    EXPECT_FALSE(Started[0]->Paused());
    Converter->PauseTasks(); // a paused task stops as well
    Converter->StopTasks(true);
    for (TFFmpeg* task : Started)
        EXPECT_TRUE(task->Terminated());
    WaitAllDone();
    EXPECT_EQ(
        TerminationsNow(),
        (std::vector<TTermination>{
            {0, false, false, ""}, {1, false, false, ""}, {2, false, false, ""}, AllDoneEvent}));
}

TEST_F(ConverterTest, ATaskStartedWhileTheRunIsPausedStartsPaused) {
    // Paused with one task running: the first ends anyway (stopped on its own here, as one
    // that fails or was past its last packet would), and the next must not run.
    ASSERT_EQ(AddCopyTask("re=1"), 0);
    ASSERT_EQ(AddCopyTask(), 1);
    ASSERT_EQ(AddCopyTask(), 2);
    Converter->StartTasks(1);
    TMainThread::WaitFor([this] { return HasProgressOf(0); });
    Converter->PauseTasks();
    Started[0]->StopConvert(true); // returns once its termination, which starts the next, is done
    EXPECT_TRUE(Started[1]->Running());
    EXPECT_TRUE(Started[1]->Paused());
    TMainThread::WaitFor([this] { return !TerminationsNow().empty(); });
    EXPECT_FALSE(HasProgressOf(1)) << "suspended before its first packet";
    Converter->ResumeTasks();
    WaitAllDone();
    EXPECT_EQ(TerminationsNow(), (std::vector<TTermination>{{0, false, false, ""},
                                                            {1, true, false, ""},
                                                            {2, true, false, ""},
                                                            AllDoneEvent}));

    // Paused before the start, with a first task that fails at once: the next starts paused
    // too; a new list starts unpaused.
    Converter->ClearTasks();
    {
        std::lock_guard lock(Lock);
        Terminations.clear();
    }
    Started.clear();
    ASSERT_EQ(Converter->AddTask(FixturePath(Clip)), 0); // no output
    Started.push_back(&Converter->Tasks().Items(0));
    ASSERT_EQ(AddCopyTask(), 1);
    Converter->PauseTasks();
    Converter->StartTasks(1);
    EXPECT_TRUE(Started[1]->Paused());
    Converter->ResumeTasks();
    WaitAllDone();
    EXPECT_EQ(TerminationsNow().size(), 3u);
    Converter->ClearTasks();
    Started.clear();
    ASSERT_EQ(AddCopyTask(), 0);
    Converter->StartTasks(1);
    EXPECT_FALSE(Started[0]->Paused());
    WaitAllDone();
}

TEST_F(ConverterTest, StopFromAProgressHandlerWithoutThreadsDoesNotDeadlock) {
    ASSERT_EQ(AddCopyTask("re=1"), 0);
    ASSERT_EQ(AddCopyTask(), 1);
    ASSERT_EQ(AddCopyTask(), 2);
    bool stopped = false; // main thread only: the run is on it
    ProgressHook = [&](int32_t) {
        if (!stopped) {
            stopped = true;
            Converter->StopTasks(true);
        }
    };
    Converter->StartTasks(0);
    WaitAllDone();
    const auto terminations = TerminationsNow();
    ASSERT_EQ(terminations.size(), 4u);
    // The never-started ones end on threads of their own, so the three come in any order.
    std::set<int32_t> tasks;
    for (size_t i = 0; i < 3; ++i) {
        tasks.insert(terminations[i].Index);
        EXPECT_EQ(terminations[i], (TTermination{terminations[i].Index, false, false, ""}));
    }
    EXPECT_EQ(tasks, (std::set<int32_t>{0, 1, 2}));
    EXPECT_EQ(terminations[3], AllDoneEvent);
}

TEST_F(ConverterTest, ClearTasksDuringAThreadedRunStopsWithoutStartingTheRest) {
    for (auto* extra : {"re=1", "", ""})
        AddCopyTask(extra);
    Converter->StartTasks(1);
    TMainThread::WaitFor([this] { return HasProgressOf(0); });
    Converter->ClearTasks();
    EXPECT_EQ(Converter->Tasks().Count(), 0);
    // The stopped task's event is delivered before ClearTasks returns; the run is gone,
    // so no all-done follows.
    EXPECT_EQ(TerminationsNow(), (std::vector<TTermination>{{0, false, false, ""}}));
    for (const auto& p : ProgressNow())
        EXPECT_EQ(p.Index, 0);
}

TEST_F(ConverterTest, DestroyingTheConverterDuringARunStopsAndReportsIt) {
    AddCopyTask("re=1");
    AddCopyTask();
    Converter->StartTasks(1);
    TMainThread::WaitFor([this] { return HasProgressOf(0); });
    Started.clear();
    Converter.reset();
    EXPECT_EQ(TerminationsNow(), (std::vector<TTermination>{{0, false, false, ""}}));
}

TEST_F(ConverterTest, ATaskWithoutOutputReportsTheMissingOutputWhenStarted) {
    for (int threads : {0, 1}) {
        SCOPED_TRACE(threads);
        SetUp();
        ASSERT_EQ(Converter->AddTask(FixturePath(Clip)), 0);
        const std::string bad = Dir / "out.nosuchextension";
        EXPECT_FALSE(Converter->SetTaskOutput(0, bad));
        EXPECT_EQ(Converter->LastError(),
                  "Unable to find a suitable output format for '" + bad + "'");
        {
            std::lock_guard lock(Lock);
            Terminations.clear();
        }
        Converter->StartTasks(threads);
        WaitAllDone();
        EXPECT_EQ(
            TerminationsNow(),
            (std::vector<TTermination>{
                {0, false, true, "At least one output file must be specified"}, AllDoneEvent}));
    }
}

TEST_F(ConverterTest, StartTasksOnAnEmptyListSendsNothing) {
    for (int threads : {0, 2}) {
        Converter->StartTasks(threads);
        TMainThread::ProcessMessages();
        EXPECT_TRUE(TerminationsNow().empty());
    }
}

// ---- Output records

TEST_F(ConverterTest, SetTaskOutputChecksTheIndexAndWorksWithoutARecord) {
    EXPECT_THROW(Converter->SetTaskOutput(0, Dir / "x.mkv"), std::out_of_range);
    ASSERT_EQ(Converter->AddTask(FixturePath(Clip)), 0);
    EXPECT_THROW(Converter->SetTaskOutput(1, Dir / "x.mkv"), std::out_of_range);
    EXPECT_THROW(Converter->SetTaskOutput(-1, Dir / "x.mkv"), std::out_of_range);
    EXPECT_TRUE(Converter->SetTaskOutput(0, Dir / "x.mkv")) << Converter->LastError();
    EXPECT_EQ(Converter->Tasks().Items(0).OutputFileCount(), 1);
}

TEST_F(ConverterTest, AFreshOutputRecordLeavesTheEngineAtItsDefaults) {
    ASSERT_EQ(Converter->AddTask(FixturePath(Clip)), 0);
    ASSERT_EQ(Converter->AddTask(FixturePath(Clip)), 1);
    TOutputOptions fresh;
    InitOutputOptions(fresh);
    ASSERT_TRUE(Converter->SetTaskOutput(0, Dir / "record.mkv", &fresh)) << Converter->LastError();
    EXPECT_EQ(fresh.FileName, Dir / "record.mkv");
    ASSERT_TRUE(Converter->SetTaskOutput(1, Dir / "plain.mkv")) << Converter->LastError();

    const TOptionSet defaults;
    auto state = [](const TCustomFFmpeg& e) {
        const TOptionSet& o = e.Options;
        return std::make_tuple(o.PadColor.Y, o.PadColor.U, o.PadColor.V, o.AudioLanguage,
                               o.SubtitleLanguage, o.AudioSyncMethod, o.VideoSyncMethod,
                               o.CopyTimestamps, o.VolumeScale, o.AudioChannels, o.AudioSampleRate,
                               o.RecordingTime, o.InputStartTime, o.RecordingTimestamp,
                               o.MuxPreload, o.MuxMaxDelay, o.VideoFilters, o.AudioCodecTag,
                               o.VideoCodecTag, o.FrameWidth, o.FrameHeight, o.FrameRate.Num,
                               o.FrameRate.Den, o.CropTop + o.CropBottom + o.CropLeft + o.CropRight,
                               o.PadTop + o.PadBottom + o.PadLeft + o.PadRight,
                               e.TotalOutputDuration(), e.OptionContexts->OptionNames());
    };
    TFFmpeg& withRecord = Converter->Tasks().Items(0);
    TFFmpeg& without = Converter->Tasks().Items(1);
    EXPECT_EQ(state(withRecord), state(without));
    EXPECT_EQ(withRecord.Options.PadColor, defaults.PadColor);
    EXPECT_EQ(withRecord.Options.VideoSyncMethod, defaults.VideoSyncMethod);
    EXPECT_EQ(withRecord.Options.CopyTimestamps, defaults.CopyTimestamps);
    EXPECT_TRUE(withRecord.OptionContexts->OptionNames().empty());
    EXPECT_TRUE(withRecord.HookTimeRanges.empty());

    const TOutputFile& a = *withRecord.OutputFiles[0];
    const TOutputFile& b = *without.OutputFiles[0];
    ASSERT_EQ(a.Streams.size(), b.Streams.size());
    for (size_t i = 0; i < a.Streams.size(); ++i) {
        const AVCodecContext* x = a.Streams[i].Codec.get();
        const AVCodecContext* y = b.Streams[i].Codec.get();
        EXPECT_EQ(x->codec_id, y->codec_id);
        EXPECT_EQ(x->bit_rate, y->bit_rate);
        EXPECT_EQ(x->width, y->width);
        EXPECT_EQ(x->sample_rate, y->sample_rate);
    }
}

TEST_F(ConverterTest, FieldsBecomeEngineOptions) {
    struct {
        const char* Name;
        std::function<void(TOutputOptions&)> Set;
        std::function<void(const TCustomFFmpeg&)> Check;
    } cases[] = {
        {"Volume 0 is silence", [](auto& o) { o.Volume = 0; },
         [](auto& e) { EXPECT_EQ(e.Options.VolumeScale, 0); }},
        {"Volume -1 leaves 256", [](auto& o) { o.Volume = -1; },
         [](auto& e) { EXPECT_EQ(e.Options.VolumeScale, 256); }},
        {"StartTimeMs 0 does nothing", [](auto& o) { o.StartTimeMs = 0; },
         [](auto& e) { EXPECT_EQ(e.Options.InputStartTime, 0); }},
        {"StartTimeMs 1500", [](auto& o) { o.StartTimeMs = 1500; },
         [](auto& e) { EXPECT_EQ(e.Options.InputStartTime, 1500000); }},
        {"StartTimeUs wins", [](auto& o) { o.StartTimeMs = 1500, o.StartTimeUs = 700; },
         [](auto& e) { EXPECT_EQ(e.Options.InputStartTime, 700); }},
        {"DurationMs 60000", [](auto& o) { o.DurationMs = 60000; },
         [](auto& e) {
             EXPECT_EQ(e.Options.RecordingTime, 60000000);
             EXPECT_EQ(e.TotalOutputDuration(), 60000);
         }},
        {"DurationUs wins, truncated to ms",
         [](auto& o) { o.DurationMs = 60000, o.DurationUs = 2500; },
         [](auto& e) {
             EXPECT_EQ(e.Options.RecordingTime, 2500);
             EXPECT_EQ(e.TotalOutputDuration(), 2);
         }},
        {"always-fields",
         [](auto& o) {
             o.NoAudio = o.NoVideo = o.NoSubtitle = o.CopyTimestamp = true;
             o.AudioLanguage = "eng", o.SubtitleLanguage = "ger";
             o.AudioSync = 1, o.VideoSync = 2;
         },
         [](auto& e) {
             const auto& s = e.Options;
             EXPECT_TRUE(s.AudioDisable && s.VideoDisable && s.SubtitleDisable && s.CopyTimestamps);
             EXPECT_EQ(s.AudioLanguage, "eng");
             EXPECT_EQ(s.SubtitleLanguage, "ger");
             EXPECT_EQ(s.AudioSyncMethod, 1);
             EXPECT_EQ(s.VideoSyncMethod, 2);
         }},
        {"audio numbers",
         [](auto& o) { o.AudioChannels = 1, o.AudioSampleRate = 22050, o.AudioBitrate = 96000; },
         [](auto& e) {
             EXPECT_EQ(e.Options.AudioChannels, 1);
             EXPECT_EQ(e.Options.AudioSampleRate, 22050);
             EXPECT_EQ(e.OptionContexts->CodecOptionInt(AVMEDIA_TYPE_AUDIO, "b"), 96000);
         }},
        {"video numbers",
         [](auto& o) {
             o.GroupOfPictures = 12, o.VideoBitrate = 3000000, o.VideoMaxRate = 4000000;
             o.VideoMinRate = 1000000, o.VideoBufSize = 917504;
         },
         [](auto& e) {
             auto v = [&](const char* n) {
                 return e.OptionContexts->CodecOptionInt(AVMEDIA_TYPE_VIDEO, n);
             };
             EXPECT_EQ(v("g"), 12);
             EXPECT_EQ(v("b"), 3000000);
             EXPECT_EQ(v("maxrate"), 4000000);
             EXPECT_EQ(v("minrate"), 1000000);
             EXPECT_EQ(v("bufsize"), 917504);
         }},
        {"picture",
         [](auto& o) {
             o.FrameSize = "640x480", o.FrameRate = "30000/1001", o.CropTop = 8, o.PadLeft = 4;
             o.Filters = "";
         },
         [](auto& e) {
             EXPECT_EQ(e.Options.FrameWidth, 640);
             EXPECT_EQ(e.Options.FrameRate, (TRational32{30000, 1001}));
             EXPECT_EQ(e.Options.CropTop, 8);
             EXPECT_EQ(e.Options.PadLeft, 4);
         }},
        {"tags", [](auto& o) { o.AudioTag = "mp4a", o.VideoTag = "XVID"; },
         [](auto& e) {
             EXPECT_EQ(e.Options.AudioCodecTag, 0x6134706du);
             EXPECT_EQ(e.Options.VideoCodecTag, 0x44495658u);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TFFmpeg task;
        task.ResetEngine();
        TOutputOptions o;
        InitOutputOptions(o);
        c.Set(o);
        ApplyOutputFields(task, o);
        c.Check(task);
    }
}

TEST_F(ConverterTest, InputFieldsBecomeEngineOptions) {
    struct {
        int32_t Ms;
        int64_t Us;
        int32_t Program;
        int64_t StartTime;
        int32_t ProgramId;
    } cases[] = {
        {-1, -1, -1, 0, 0},
        {0, 0, 0, 0, 0},
        {1500, -1, 3, 1500000, 3},
        {1500, 700, -1, 700, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Ms);
        TFFmpeg task;
        task.ResetEngine();
        TInputOptions o;
        InitInputOptions(o);
        o.StartTimeMs = c.Ms;
        o.StartTimeUs = c.Us;
        o.ProgramID = c.Program;
        ApplyInputFields(task, o);
        EXPECT_EQ(task.Options.InputStartTime, c.StartTime);
        EXPECT_EQ(task.Options.ProgramId, c.ProgramId);
    }
}

TEST_F(ConverterTest, AFailingFieldEndsTheRecordAndSetTaskOutput) {
    struct {
        std::function<void(TOutputOptions&)> Set;
        const char* Message; // the start of LastError
    } cases[] = {
        {[](auto& o) { o.AudioTag = "abc"; }, "audio tag parameter must be 4 chars"},
        {[](auto& o) { o.VideoTag = "abcde"; }, "video tag parameter must be 4 chars"},
        {[](auto& o) { o.FrameSize = "abc"; }, "Incorrect frame size"},
        {[](auto& o) { o.FrameSize = "321x241"; }, "Frame size must be a multiple of 2"},
        {[](auto& o) { o.FrameRate = "fast"; }, "Incorrect frame rate"},
        {[](auto& o) { o.FileFormat = "nosuchformat"; }, "Unknown output format: nosuchformat"},
        {[](auto& o) { o.VideoPreset = "nosuchpreset"; }, "Preset \"nosuchpreset\" not found"},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Message);
        const int32_t index = Converter->AddTask(FixturePath(Clip));
        ASSERT_GE(index, 0) << Converter->LastError();
        TOutputOptions o;
        InitOutputOptions(o);
        c.Set(o);
        o.SubtitleLanguage = "ger"; // a field after every failing one
        EXPECT_FALSE(
            Converter->SetTaskOutput(index, Dir / ("f" + std::to_string(n++) + ".mkv"), &o));
        EXPECT_EQ(Converter->LastError().rfind(c.Message, 0), 0u) << Converter->LastError();
        TFFmpeg& task = Converter->Tasks().Items(index);
        EXPECT_EQ(task.Options.SubtitleLanguage, "");
        EXPECT_EQ(task.OutputFileCount(), 0);
    }
}

TEST_F(ConverterTest, ExtraLinesOfAnOutputRecordComeBeforeAfterAndBehindTheFields) {
    const std::string preset = Dir / "low.ffpreset";
    std::ofstream(preset) << "b=1500000\n";
    struct {
        std::string Extra;
        int64_t Video, Audio; // the bit rates of the two streams
        size_t Streams;
    } cases[] = {
        // "b" is the video rate only; the field then sets it. The audio keeps its own rate.
        {"b=3000000", 2000000, 128000, 2},
        // The preset comes after the fields.
        {"b=3000000\nvpre=" + preset, 1500000, 128000, 2},
        // A new stream needs the output made before.
        {"b=3000000\nnewaudio=", 2000000, 128000, 3},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Extra);
        const int32_t index = Converter->AddTask(FixturePath(Clip));
        ASSERT_GE(index, 0);
        TOutputOptions o;
        InitOutputOptions(o);
        o.VideoBitrate = 2000000;
        o.ExtraOptions = c.Extra;
        ASSERT_TRUE(Converter->SetTaskOutput(index, Dir / ("x" + std::to_string(n++) + ".mpg"), &o))
            << Converter->LastError();
        const TOutputFile& file = *Converter->Tasks().Items(index).OutputFiles[0];
        ASSERT_EQ(file.Streams.size(), c.Streams);
        EXPECT_EQ(file.Streams[0].Codec->codec_type, AVMEDIA_TYPE_VIDEO);
        EXPECT_EQ(file.Streams[0].Codec->bit_rate, c.Video);
        EXPECT_EQ(file.Streams[1].Codec->codec_type, AVMEDIA_TYPE_AUDIO);
        EXPECT_EQ(file.Streams[1].Codec->bit_rate, c.Audio);
    }
}

TEST_F(ConverterTest, TheDvdRecordMakesExactlyTheRecordsStreams) {
    struct {
        int32_t Norm;
        const char* Rate;
        const char* Size;
        int W, H;
        AVRational StreamRate; // the nearest rate an MPEG-2 stream can have
    } cases[] = {{1, "25", "720x576", 720, 576, {25, 1}},
                 {2, "29.97", "720x480", 720, 480, {30000, 1001}}};
    int n = 0;
    // Also where the C library writes "29,97": the rates are the preset's texts all the same.
    for (const char* locale : {"C", test::CommaLocale})
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(locale) + " " + c.Rate);
        test::TScopedLocale scoped(locale);
        ASSERT_TRUE(scoped.Active()) << locale << " is not generated (scripts/install-deps.sh does it)";
        // With subtitles in the input, so that NoSubtitle has something to keep out.
        const int32_t index = Converter->AddTask(FixturePath("mkv_h264_vorbis_srt.mkv"));
        ASSERT_GE(index, 0) << Converter->LastError();
        TOutputOptions o;
        InitOutputOptions(o);
        o.TargetType = 3;
        o.NormType = c.Norm;
        o.VideoCodec = "mpeg2video";
        o.AudioCodec = "mp2"; // the target's is AC-3
        o.AudioChannels = 2;
        o.NoSubtitle = true;
        o.VideoBitrate = 4500000; // the target's is 6000000
        o.AudioBitrate = 192000;  // the target's is 448000
        o.FrameRate = c.Rate;
        o.FrameSize = c.Size;
        o.AudioSampleRate = 48000;
        o.GroupOfPictures = 12; // the target's is 15 or 18
        ASSERT_TRUE(
            Converter->SetTaskOutput(index, Dir / ("dvd" + std::to_string(n++) + ".mpg"), &o))
            << Converter->LastError();
        const TOutputFile& file = *Converter->Tasks().Items(index).OutputFiles[0];
        EXPECT_STREQ(file.Output.Get()->oformat->name, "dvd");
        EXPECT_EQ(file.Output.Get()->packet_size, 2048); // the target's, not overridden
        ASSERT_EQ(file.Streams.size(), 2u);

        const AVCodecContext* v = file.Streams[0].Codec.get();
        EXPECT_EQ(v->codec_type, AVMEDIA_TYPE_VIDEO);
        EXPECT_EQ(v->codec_id, AV_CODEC_ID_MPEG2VIDEO);
        EXPECT_EQ(v->width, c.W);
        EXPECT_EQ(v->height, c.H);
        EXPECT_EQ(av_cmp_q(v->framerate, c.StreamRate), 0)
            << v->framerate.num << "/" << v->framerate.den;
        EXPECT_EQ(v->bit_rate, 4500000);
        EXPECT_EQ(v->rc_max_rate, 9000000); // the target's
        EXPECT_EQ(v->gop_size, 12);

        const AVCodecContext* a = file.Streams[1].Codec.get();
        EXPECT_EQ(a->codec_type, AVMEDIA_TYPE_AUDIO);
        EXPECT_EQ(a->codec_id, AV_CODEC_ID_MP2);
        EXPECT_EQ(a->sample_rate, 48000);
        EXPECT_EQ(a->ch_layout.nb_channels, 2);
        EXPECT_EQ(a->bit_rate, 192000);
    }
}

TEST_F(ConverterTest, MetadataAndTimestampReachTheOutput) {
    ASSERT_EQ(Converter->AddTask(FixturePath(Clip)), 0);
    TOutputOptions o;
    InitOutputOptions(o);
    o.Info.Timestamp = 25570.5; // 2 January 1970, noon, local standard time
    o.Info.Year = 2009;
    o.Info.Track = 3;
    o.Info.Title = "Title";
    o.Info.Author = "Author";
    o.Info.Copyright = "(c)";
    o.Info.Comment = "Comment";
    o.Info.Album = "Album";
    o.Info.Genre = "Genre";
    ASSERT_TRUE(Converter->SetTaskOutput(0, Dir / "meta.mkv", &o)) << Converter->LastError();
    TFFmpeg& task = Converter->Tasks().Items(0);
    EXPECT_EQ(task.Options.RecordingTimestamp, 86400 + 43200 + TimeZoneBaseOffsetMinutes() * 60);
    const AVDictionary* meta = task.OutputFiles[0]->Output.Get()->metadata;
    for (auto [key, value] : {std::pair{"year", "2009"},
                              {"track", "3"},
                              {"title", "Title"},
                              {"author", "Author"},
                              {"copyright", "(c)"},
                              {"comment", "Comment"},
                              {"album", "Album"},
                              {"genre", "Genre"}})
        EXPECT_EQ(DictEntry(meta, key), value) << key;
    EXPECT_NE(DictEntry(meta, "creation_time"), "");

    // 0 is now.
    ASSERT_EQ(Converter->AddTask(FixturePath(Clip)), 1);
    InitOutputOptions(o);
    o.Info.Timestamp = 0;
    const int64_t before = std::time(nullptr);
    ASSERT_TRUE(Converter->SetTaskOutput(1, Dir / "now.mkv", &o)) << Converter->LastError();
    const int64_t after = std::time(nullptr);
    const int64_t stamp = Converter->Tasks().Items(1).Options.RecordingTimestamp;
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
}

TEST_F(ConverterTest, DateTimesBecomeUnixSeconds) {
    struct {
        double DateTime;
        int32_t Bias;
        int64_t Seconds;
    } cases[] = {
        {25569.0, 0, 0},           {25569.5, 0, 43200},    {25570.0, 0, 86400},
        {25569.0, 60, 3600},       {25569.0, -120, -7200}, {0.0, 0, -2209161600},
        {39448.25, 0, 1199167200}, // 1 January 2008, 06:00
    };
    for (const auto& c : cases)
        EXPECT_EQ(DateTimeToUnixSeconds(c.DateTime, c.Bias), c.Seconds)
            << c.DateTime << " " << c.Bias;
    EXPECT_LT(DateTimeToUnixSeconds(-1e300, 0), 0); // defined, however far out
    EXPECT_GT(DateTimeToUnixSeconds(1e300, 0), 0);
}

TEST_F(ConverterTest, TheBaseOffsetLeavesDaylightSavingOut) {
    const char* saved = std::getenv("TZ");
    const std::string restore = saved ? saved : "";
    struct {
        const char* Zone;
        int32_t Minutes;
    } cases[] = {
        {"UTC0", 0},
        {"CET-1CEST,M3.5.0,M10.5.0/3", -60},
        {"EST5EDT,M3.2.0,M11.1.0", 300},
        {"AEST-10AEDT,M10.1.0,M4.1.0/3", -600}, // daylight saving in January
    };
    for (const auto& c : cases) {
        ::setenv("TZ", c.Zone, 1);
        ::tzset();
        EXPECT_EQ(TimeZoneBaseOffsetMinutes(), c.Minutes) << c.Zone;
    }
    if (saved)
        ::setenv("TZ", restore.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

TEST_F(ConverterTest, PadColorsAreReadAsTheirRgbBytes) {
    struct {
        uint32_t Color;
        TYUVColor Expected;
    } cases[] = {
        {0x000000, TYUVColor{}}, // black is the engine's own black
        {0x0000FF, RgbToPadColor(0x0000FF)},
        {0xFFFFFF, RgbToPadColor(0xFFFFFF)},
        {0xFF00FF00, RgbToPadColor(0x00FF00)}, // a window-system colour number: its low bytes
        {0xFF000000, TYUVColor{}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Color);
        TFFmpeg task;
        task.ResetEngine();
        task.ApplyExtraOptions("padcolor=255", eoGeneral); // the field is applied always
        TOutputOptions o;
        InitOutputOptions(o);
        o.PadColor = c.Color;
        ApplyOutputFields(task, o);
        EXPECT_EQ(task.Options.PadColor, c.Expected);
    }
}

TEST_F(ConverterTest, HookTimeRangesAreParsedFilteredAndSortedByEnd) {
    using R = std::vector<THookTimeRange>;
    struct {
        const char* Text;
        R Ranges;
    } cases[] = {
        {"1000-2000, 500-800, 3000", R{{500000, 800000}, {1000000, 2000000}}},
        {"", R{}},
        {"  ,  ", R{}},
        {"200-100", R{}},
        {"0-0", R{{0, 0}}},
        {" 5 - 10 ,20-30", R{{5000, 10000}, {20000, 30000}}},
        {"x-100, 100-y", R{{-1000, 100000}}}, // a bound that is no number is -1
        {"300-900,100-900,50-60", R{{50000, 60000}, {300000, 900000}, {100000, 900000}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        EXPECT_EQ(ParseHookTimeRanges(c.Text), c.Ranges);
    }

    ASSERT_EQ(Converter->AddTask(FixturePath(Clip)), 0);
    TOutputOptions o;
    InitOutputOptions(o);
    o.HookTimeRange = "1000-2000, 500-800, 3000";
    ASSERT_TRUE(Converter->SetTaskOutput(0, Dir / "hooks.mkv", &o)) << Converter->LastError();
    TFFmpeg& task = Converter->Tasks().Items(0);
    EXPECT_EQ(task.HookTimeRanges, (R{{500000, 800000}, {1000000, 2000000}}));
    EXPECT_EQ(task.HookTimeRangeIndex, 0u);
    EXPECT_FALSE(task.CustomHookNotify);
    EXPECT_FALSE(task.BeforeHookNotify);

    // A hook flag wins over the ranges; the custom hook over the other one.
    for (auto [custom, before] : {std::pair{true, true}, {false, true}}) {
        const int32_t index = Converter->AddTask(FixturePath(Clip));
        InitOutputOptions(o);
        o.CustomHook = custom;
        o.BeforeHook = before;
        o.HookTimeRange = "0-100";
        ASSERT_TRUE(
            Converter->SetTaskOutput(index, Dir / ("h" + std::to_string(index) + ".mkv"), &o));
        TFFmpeg& hooked = Converter->Tasks().Items(index);
        EXPECT_EQ(static_cast<bool>(hooked.CustomHookNotify), custom);
        EXPECT_EQ(static_cast<bool>(hooked.BeforeHookNotify), !custom);
        EXPECT_TRUE(hooked.HookTimeRanges.empty());
    }
}

TEST_F(ConverterTest, HookEventsCarryTheTaskIndexAndPassTheirVarsBack) {
    ASSERT_EQ(Converter->AddTask(FixturePath(Clip)), 0);
    ASSERT_EQ(Converter->AddTask(FixturePath(Clip)), 1);
    TOutputOptions o;
    InitOutputOptions(o);
    o.BeforeHook = true;
    ASSERT_TRUE(Converter->SetTaskOutput(1, Dir / "before.mkv", &o));
    InitOutputOptions(o);
    o.CustomHook = true;
    ASSERT_TRUE(Converter->SetTaskOutput(0, Dir / "custom.mkv", &o));

    int32_t seenIndex = -2;
    Converter->OnBeforeHook = [&](int32_t AIndex, int64_t APTS, THookAction& AAction) {
        seenIndex = AIndex;
        EXPECT_EQ(APTS, 40000);
        AAction = haStop;
    };
    Converter->OnCustomHook = [&](int32_t AIndex, TBitmap& ABitmap, int32_t AFrame, int64_t APTS,
                                  bool& AUpdate, bool& AStopHook) {
        seenIndex = AIndex;
        EXPECT_EQ(ABitmap.Width(), 4);
        EXPECT_EQ(AFrame, 9);
        EXPECT_EQ(APTS, 360000);
        AUpdate = true;
        AStopHook = true;
    };
    TFFmpeg& before = Converter->Tasks().Items(1);
    THookAction action = haContinue;
    before.BeforeHookNotify(&before, 40000, action);
    EXPECT_EQ(seenIndex, 1);
    EXPECT_EQ(action, haStop);

    TFFmpeg& custom = Converter->Tasks().Items(0);
    TBitmap bitmap;
    bitmap.SetSize(4, 2);
    bool update = false, stop = false;
    custom.CustomHookNotify(&custom, bitmap, 9, 360000, update, stop);
    EXPECT_EQ(seenIndex, 0);
    EXPECT_TRUE(update && stop);
}

// ---- Preview hand-over

namespace {


struct TPreviewCall {
    int32_t Index;
    int Width;
    int32_t Frame;
    int64_t PTS;
    bool operator==(const TPreviewCall&) const = default;
};

class ConverterPreviewTest : public ConverterTest {
protected:
    void SetUp() override {
        ConverterTest::SetUp();
        auto dispatcher = std::make_unique<TEventQueueDispatcher>();
        Dispatcher = dispatcher.get();
        TMainThread::Install(std::move(dispatcher));
        for (int i = 0; i < 2; ++i)
            ASSERT_EQ(Converter->AddTask(FixturePath(Clip)), i) << Converter->LastError();
        Converter->OnPreviewBitmap = [this](int32_t AIndex, const TBitmap& ABitmap, int32_t AFrame,
                                            int64_t APTS) {
            EXPECT_TRUE(TMainThread::IsMainThread());
            {
                std::lock_guard lock(Lock);
                Calls.push_back({AIndex, ABitmap.Width(), AFrame, APTS});
            }
            if (InHandler)
                InHandler();
        };
    }
    // What an engine does with a preview frame: it holds the engine lock while it hands
    // the frame on.
    static void Deliver(TFFmpeg& ATask, int AWidth, int32_t AFrame) {
        TBitmap bitmap;
        bitmap.SetSize(AWidth, 2);
        std::lock_guard lock(EngineLock());
        ATask.PreviewBitmapNotify(&ATask, bitmap, AFrame, AFrame * 40000);
    }
    std::vector<TPreviewCall> CallsNow() {
        std::lock_guard lock(Lock);
        return Calls;
    }

    TEventQueueDispatcher* Dispatcher = nullptr;
    std::vector<TPreviewCall> Calls; // guarded by Lock
    std::function<void()> InHandler;
};

} // namespace

TEST_F(ConverterPreviewTest, ASetterDoesNotDeadlockWithAHandOverOnItsWay) {
    TFFmpeg& task = Converter->Tasks().Items(0);
    std::thread worker([&] { Deliver(task, 8, 7); });
    Dispatcher->WaitPosted(1); // the worker holds the engine lock and waits for us
    Converter->SetPreview(true);
    worker.join();
    EXPECT_EQ(CallsNow(), (std::vector<TPreviewCall>{{0, 8, 7, 280000}}));
    EXPECT_EQ(task.PreviewFlags(), pfPreview);
    EXPECT_EQ(Converter->Tasks().Items(1).PreviewFlags(), pfPreview);
}

TEST_F(ConverterPreviewTest, ConcurrentHandOversKeepTheirOwnValues) {
    std::atomic<int> done{0};
    std::vector<std::thread> workers;
    for (int i = 0; i < 2; ++i)
        workers.emplace_back([&, i] {
            for (int32_t frame = 1; frame <= 5; ++frame)
                Deliver(Converter->Tasks().Items(i), 2 + i, frame + 10 * i);
            ++done;
            TMainThread::Wake();
        });
    TMainThread::WaitFor([&] { return done == 2; });
    for (auto& w : workers)
        w.join();
    const auto calls = CallsNow();
    ASSERT_EQ(calls.size(), 10u);
    for (const auto& c : calls) {
        EXPECT_EQ(c.Width, 2 + c.Index);
        EXPECT_EQ(c.Frame / 10, c.Index);
        EXPECT_EQ(c.PTS, c.Frame * 40000);
    }
}

TEST_F(ConverterPreviewTest, ASetterInsideTheHandlerTakesEffectAfterTheFrame) {
    for (bool fromWorker : {true, false}) {
        SCOPED_TRACE(fromWorker);
        TFFmpeg& task = Converter->Tasks().Items(0);
        const bool on = fromWorker;
        InHandler = [&] {
            Converter->SetPreviewBitmap(on);
            EXPECT_EQ(Converter->PreviewBitmap(), on);
        };
        if (fromWorker) {
            std::atomic<bool> finished{false};
            std::thread worker([&] {
                Deliver(task, 4, 1);
                finished = true;
                TMainThread::Wake();
            });
            TMainThread::WaitFor([&] { return finished.load(); });
            worker.join();
        } else {
            Deliver(task, 4, 1); // as a run on the main thread does
        }
        TMainThread::ProcessMessages();
        EXPECT_EQ(task.PreviewFlags(), on ? pfPreviewBitmap : 0);
        EXPECT_EQ(Converter->Tasks().Items(1).PreviewFlags(), on ? pfPreviewBitmap : 0);
    }
    EXPECT_EQ(CallsNow().size(), 2u);
}

// ---- Hook and preview events of running conversions

namespace {

// One task that re-encodes known_layout.mp4 (50 pictures of 320x240, grey at (220, 170))
// on a worker thread.
class ConverterHookTest : public ConverterTest {
protected:
    void AddEncodeTask(TOutputOptions& AOptions, const std::string& AInput = FixturePath("known_layout.mp4")) {
        AOptions.FileFormat = "vob";
        AOptions.VideoCodec = "mpeg2video";
        AOptions.NoAudio = true;
        AOptions.ExtraOptions = "qscale=2\n" + AOptions.ExtraOptions;
        ASSERT_EQ(Converter->AddTask(AInput), 0) << Converter->LastError();
        ASSERT_TRUE(Converter->SetTaskOutput(0, Out, &AOptions)) << Converter->LastError();
    }
    void RunThreaded() {
        Converter->StartTasks(1);
        ASSERT_TRUE(TMainThread::WaitFor([this] { return AllDone(); }, std::chrono::seconds(60)));
        EXPECT_EQ(TerminationsNow().front(), (TTermination{0, true, false, ""}));
    }
    // Per output picture: white at (220, 170), where the tests put their box.
    std::vector<bool> Boxed() {
        std::vector<bool> boxed;
        for (const auto& p : test::DecodePictures(Out))
            boxed.push_back(p.LumaAt(220, 170) > 200);
        return boxed;
    }
    std::string Out = Dir / "hooked.mpg";
};

} // namespace

TEST_F(ConverterHookTest, BeforeHookSkipsAPictureWithIgnoreAndEndsThePlugInsWithStop) {
    TOutputOptions o;
    InitOutputOptions(o);
    o.BeforeHook = true;
    o.ExtraOptions = "vhook=libdrawbox.so|200|150|40|40|ffffff";
    AddEncodeTask(o);
    std::vector<int64_t> times;
    std::atomic<bool> onWorker{true};
    Converter->OnBeforeHook = [&](int32_t AIndex, int64_t APTS, THookAction& AAction) {
        EXPECT_EQ(AIndex, 0);
        onWorker = onWorker && !TMainThread::IsMainThread();
        times.push_back(APTS);
        AAction = times.size() == 5 ? haIgnore : times.size() == 20 ? haStop : haContinue;
    };
    RunThreaded();
    EXPECT_TRUE(onWorker);
    ASSERT_EQ(times.size(), 20u); // never asked again after haStop
    EXPECT_EQ(times[1] - times[0], 40000);
    const auto boxed = Boxed();
    ASSERT_EQ(boxed.size(), 50u);
    for (size_t i = 0; i < boxed.size(); ++i)
        EXPECT_EQ(boxed[i], i < 19 && i != 4) << "picture " << i;
}

TEST_F(ConverterHookTest, CustomHookChangesThePicturesItUpdatesUntilItStops) {
    TOutputOptions o;
    InitOutputOptions(o);
    o.CustomHook = true;
    AddEncodeTask(o);
    int calls = 0;
    Converter->OnCustomHook = [&](int32_t AIndex, TBitmap& ABitmap, int32_t AFrame, int64_t,
                                  bool& AUpdate, bool& AStopHook) {
        ++calls;
        EXPECT_EQ(AIndex, 0);
        EXPECT_EQ(AFrame, calls);
        EXPECT_EQ(ABitmap.Width(), 320);
        // A white box on every second picture; the others are left as they were.
        AUpdate = calls % 2 == 0;
        if (AUpdate)
            for (int y = 150; y < 190; ++y)
                std::memset(ABitmap.ScanLine(y) + 200 * 3, 255, 40 * 3);
        AStopHook = calls == 10;
    };
    RunThreaded();
    EXPECT_EQ(calls, 10);
    const auto boxed = Boxed();
    ASSERT_EQ(boxed.size(), 50u);
    for (size_t i = 0; i < boxed.size(); ++i)
        EXPECT_EQ(boxed[i], i < 10 && i % 2 == 1) << "picture " << i;
}

TEST_F(ConverterHookTest, PreviewBitmapsComeOnTheMainThreadAtMostOncePerInterval) {
    TOutputOptions o;
    InitOutputOptions(o);
    AddEncodeTask(o);
    Converter->SetPreviewBitmap(true);
    Converter->Tasks().Items(0).PreviewIntervalUs = 50000;
    std::vector<std::chrono::steady_clock::time_point> at;
    std::vector<int32_t> frames;
    Converter->OnPreviewBitmap = [&](int32_t AIndex, const TBitmap& ABitmap, int32_t AFrame,
                                     int64_t APTS) {
        EXPECT_TRUE(TMainThread::IsMainThread());
        EXPECT_EQ(AIndex, 0);
        EXPECT_EQ(ABitmap.Width(), 320);
        EXPECT_TRUE(APTS == AV_NOPTS_VALUE || APTS >= 0);
        at.push_back(std::chrono::steady_clock::now());
        frames.push_back(AFrame);
    };
    const auto start = std::chrono::steady_clock::now();
    RunThreaded();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_GE(at.size(), 1u);
    EXPECT_EQ(frames.front(), 1); // the first encoded picture is shown
    // The engine measures the interval before it hands the frame over; the hand-over's
    // own delay varies, hence the margin.
    EXPECT_LE(at.size(), size_t(elapsed / std::chrono::milliseconds(50)) + 1);
    for (size_t i = 1; i < at.size(); ++i) {
        EXPECT_GT(at[i] - at[i - 1], std::chrono::milliseconds(25));
        EXPECT_GT(frames[i], frames[i - 1]);
    }
}

namespace {

// Counts the frames a previewer window is shown.
class TCountingWindow : public IPreviewWindow {
public:
    explicit TCountingWindow(std::atomic<int>& AShown) : FShown(AShown) {}
    void ShowFrame(const TBitmap&, const std::string&) override {
        ++FShown;
        TMainThread::Wake();
    }

private:
    std::atomic<int>& FShown;
};

} // namespace

TEST_F(ConverterHookTest, ChangingThePreviewWhileFramesAreHandedOverNeverDeadlocks) {
    const fixtures::ClipSettings clip = fixtures::VideoOnlyClip(96, 64, 6);
    const std::string input = Dir / "long.mkv";
    std::string error;
    ASSERT_TRUE(fixtures::WriteClip(clip, input, error)) << error;

    std::atomic<int> shown{0};
    SetPreviewWindowFactory([&](TPreviewer&) { return std::make_unique<TCountingWindow>(shown); });
    Converter->OnPreviewBitmap = [&](int32_t, const TBitmap&, int32_t, int64_t) {
        ++shown;
    };
    int toggles = 0;
    for (int run = 0; run < 10 && toggles < 100; ++run) {
        Converter->ClearTasks();
        {
            std::lock_guard lock(Lock);
            Terminations.clear();
        }
        TOutputOptions o;
        InitOutputOptions(o);
        AddEncodeTask(o, input);
        Converter->SetPreviewBitmap(true);
        Converter->Tasks().Items(0).PreviewIntervalUs = 0;
        Converter->StartTasks(1);
        // Each change comes while the worker hands frames to this thread: as a bitmap
        // event, or to the previewer's window when only the window is on.
        while (toggles < 100 && !AllDone()) {
            const int seen = shown;
            ASSERT_TRUE(TMainThread::WaitFor([&] { return shown > seen || AllDone(); },
                                             std::chrono::seconds(30)))
                << "no frame and no end after " << toggles << " changes";
            const bool bitmap = toggles % 3 != 0;
            Converter->SetPreviewBitmap(bitmap);
            Converter->SetPreview(!bitmap || toggles % 2 == 0);
            ++toggles;
        }
        ASSERT_TRUE(TMainThread::WaitFor([this] { return AllDone(); }, std::chrono::seconds(60)));
    }
    SetPreviewWindowFactory(nullptr);
    EXPECT_GE(toggles, 100);
}
