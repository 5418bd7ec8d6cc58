// The converter: a list of conversion tasks, each one engine with its input and outputs,
// run one after another on the caller's thread or a few at a time on worker threads, and
// reported through events that carry the task's index.
//
// A run: ClearTasks; AddTask and SetTaskOutput for each conversion; StartTasks; events
// until the all-done termination (AIndex -1); ClearTasks before the next run. Every
// operation belongs to the caller's (main) thread. Threads meet the caller through
// TMainThread only; the waiting operations keep serving its hand-overs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Converter/TaskOptions.h"
#include "Engine/FFmpeg.h"
#include "Probe/AVProbe.h"

namespace qm {

// Only the four lowest priorities can be chosen.
using TConvertPriority = TThreadPriority;

using TProgressEvent = std::function<void(int32_t AIndex, int32_t AFrameNumber, int32_t AFPS,
                                          int32_t ACurrentDuration, float AQuality, float ABitRate,
                                          int64_t ACurrentSize, int32_t ATotalOutputDuration)>;
// AIndex -1: every task of the run has terminated (AFinished true, no exception).
using TTerminateEvent = std::function<void(int32_t AIndex, bool AFinished, bool AException,
                                           const std::string& AMessage)>;
using TBeforeHookEvent =
    std::function<void(int32_t AIndex, int64_t APTS, THookAction& AHookAction)>;
using TCustomHookEvent = std::function<void(int32_t AIndex, TBitmap& ABitmap, int32_t AFrameNumber,
                                            int64_t APTS, bool& AUpdate, bool& AStopHook)>;
using TPreviewBitmapEvent =
    std::function<void(int32_t AIndex, const TBitmap& ABitmap, int32_t AFrameNumber, int64_t APTS)>;

// Which lines of an extra-options text an application takes.
enum TExtraOptionKind : uint8_t {
    eoGeneral,   // every name not listed below
    eoPreset,    // "apre", "vpre", "spre"
    eoNewStream, // "newvideo", "newaudio", "newsubtitle"
};

// One task: the engine, its place in the list and copies of the records it was given.
class TFFmpeg : public TCustomFFmpeg {
public:
    TFFmpeg();
    // Ends the run first: its notifications treat the engine as a task.
    ~TFFmpeg() override;

    void SetInputOptions(const TInputOptions& AOptions) { InputOptions = AOptions; }
    void SetOutputOptions(const TOutputOptions& AOptions) { OutputOptions = AOptions; }
    void ResetInputOptions() { InitInputOptions(InputOptions); }
    void ResetOutputOptions() { InitOutputOptions(OutputOptions); }
    // Hands the name=value lines of AKind to SetOption, in order. Line breaks of any kind
    // separate lines; names and values are taken as written. An option's exception ends
    // the loop and passes to the caller.
    void ApplyExtraOptions(const std::string& AText, TExtraOptionKind AKind);
    // Replaces the frame-hook time ranges and rewinds to the first one; "" empties them.
    using TCustomFFmpeg::SetHookTimeRanges;
    void SetHookTimeRanges(const std::string& AText);

    int32_t TaskIndex = -1; // set when the task joins a list
    TInputOptions InputOptions;
    TOutputOptions OutputOptions;
    // The task's own probe, attached to its last opened input until the task is started
    // (the run closes the input).
    std::unique_ptr<TAVProbe> Probe;
};

// The task list; it owns its tasks. Every operation but Count holds the list lock for
// its whole duration; the lock is recursive, so hand-overs served while StopAll waits
// may use the list too.
class TFFmpegList {
public:
    TFFmpegList() = default;
    TFFmpegList(const TFFmpegList&) = delete;
    TFFmpegList& operator=(const TFFmpegList&) = delete;

    // Sets the task's TaskIndex; returns it.
    int32_t Add(std::unique_ptr<TFFmpeg> ATask);
    // std::out_of_range for an index outside the list.
    TFFmpeg& Items(int32_t AIndex);
    // Read without the lock; it changes only in Add and Clear.
    int32_t Count() const { return FCount.load(); }
    // Destroys the tasks in index order (a running task is stopped and waited for).
    void Clear();
    void StopAll(bool AWait);
    void PauseAll();
    void ResumeAll();
    void SetPreviewAll(bool AOn);
    void SetPreviewBitmapAll(bool AOn);

private:
    void SetFlagAll(TPreviewFlag AFlag, bool AOn);

    std::recursive_mutex FLock;
    std::vector<std::unique_ptr<TFFmpeg>> FItems; // guarded by FLock
    std::atomic<int32_t> FCount{0};
};

// Delivers termination events of threaded runs on a thread of its own, in the order in
// which they were pushed, outside every lock of the converter.
class TTerminateDelivery {
public:
    TTerminateDelivery() = default;
    ~TTerminateDelivery();
    TTerminateDelivery(const TTerminateDelivery&) = delete;
    TTerminateDelivery& operator=(const TTerminateDelivery&) = delete;

    void Push(TTerminateEvent AHandler, int32_t AIndex, bool AFinished, bool AException,
              std::string AMessage);
    // Returns once everything pushed so far has been delivered; serves the main thread's
    // hand-overs meanwhile. Does not wait when called by a handler it is delivering to.
    void Drain();
    // Drains, then ends the thread.
    void Stop();

private:
    struct TItem {
        TTerminateEvent Handler;
        int32_t Index;
        bool Finished;
        bool Exception;
        std::string Message;
    };
    void Run();
    bool Idle();

    std::mutex FLock;
    std::condition_variable FSignal;
    std::deque<TItem> FQueue; // guarded by FLock
    bool FBusy = false;       // guarded by FLock: a handler is being called
    bool FStopping = false;   // guarded by FLock
    bool FEnded = false;      // guarded by FLock
    std::thread FThread;      // started by the first Push
};

class TCustomFFmpegConverter {
public:
    TCustomFFmpegConverter();
    // Stops and waits for running tasks, then delivers what is still on its way.
    virtual ~TCustomFFmpegConverter();
    TCustomFFmpegConverter(const TCustomFFmpegConverter&) = delete;
    TCustomFFmpegConverter& operator=(const TCustomFFmpegConverter&) = delete;

    // AFolder: where private copies of the libraries lie (with a trailing '/').
    bool LoadLibraries(const std::string& AFolder);
    // Destroys every task (running ones are stopped and waited for) and delivers their
    // pending terminations before it returns. Not from inside an event handler.
    void ClearTasks();
    // The new task's index, or -1 with the reason in LastError. AOptions may be null; its
    // FileName is filled in when empty.
    int32_t AddTask(const std::string& AFileName, TInputOptions* AOptions = nullptr);
    // Adds an output to the task; false with the reason in LastError. An index outside the
    // list throws std::out_of_range. AOptions may be null.
    bool SetTaskOutput(int32_t ATaskIndex, const std::string& AFileName,
                       TOutputOptions* AOptions = nullptr);
    // AThreadCount <= 0: every task runs to its end on this thread, inside this call.
    // Otherwise up to AThreadCount tasks start on worker threads and each termination
    // starts the next one.
    void StartTasks(int32_t AThreadCount);
    // No further task starts; every task that has not terminated is stopped (and with
    // AWait waited for). Called from inside a progress or termination handler that holds
    // the notification lock, it does not wait: the tasks it stopped could not report.
    void StopTasks(bool AWait);
    // Pauses the running tasks and the run: a task that starts on a worker later (also
    // when one called before StartTasks) starts paused, until ResumeTasks. ClearTasks
    // ends the pause with the run.
    void PauseTasks();
    void ResumeTasks();

    const std::string& LastError() const { return FLastError; }
    TAVProbe& Probe() { return *FProbe; }
    TFFmpegList& Tasks() { return FTasks; }

protected:
    // The receivers placed into each task's notification slots.
    virtual void HandleBeforeHook(TFFmpeg& ATask, int64_t APTS, THookAction& AHookAction);
    virtual void HandleCustomHook(TFFmpeg& ATask, TBitmap& ABitmap, int32_t AFrameNumber,
                                  int64_t APTS, bool& AUpdate, bool& AStopHook);
    virtual void HandlePreviewBitmap(TFFmpeg& ATask, const TBitmap& ABitmap, int32_t AFrameNumber,
                                     int64_t APTS);
    virtual void HandleProgress(TFFmpeg& ATask, int32_t AFrameNumber, int32_t AFPS,
                                int32_t ACurrentDuration, float AQuality, float ABitRate,
                                int64_t ACurrentSize, int32_t ATotalOutputDuration);
    virtual void HandleTerminate(TFFmpeg& ATask);

    void StartNext();
    void StartTask(int32_t AIndex);

    // Properties, published by TFFmpegConverter. Set the events while no task runs.
    static const char* Version() { return "2.5"; }
    bool Preview() const { return FPreview; }
    void SetPreview(bool AValue);
    bool PreviewBitmap() const { return FPreviewBitmap; }
    void SetPreviewBitmap(bool AValue);
    int32_t ProgressInterval() const { return FProgressInterval; }
    // Milliseconds; 100 at least.
    void SetProgressInterval(int32_t AValue) { FProgressInterval = AValue <= 100 ? 100 : AValue; }
    TConvertPriority ThreadPriority() const { return FThreadPriority; }
    // Stored for the next start; priorities above tpNormal are taken as tpNormal.
    void SetThreadPriority(TConvertPriority AValue) {
        FThreadPriority = AValue > tpNormal ? tpNormal : AValue;
    }
    int32_t Verbosity() const { return FVerbosity; }
    // The engine option "v" of tasks added later.
    void SetVerbosity(int32_t AValue) { FVerbosity = AValue; }

    TBeforeHookEvent OnBeforeHook;
    TCustomHookEvent OnCustomHook;
    TPreviewBitmapEvent OnPreviewBitmap;
    TProgressEvent OnProgress;
    TTerminateEvent OnTerminate;

    // Serialises the progress and termination handling of all tasks. Recursive: a
    // termination handled on the thread that starts a task may start the next one.
    std::recursive_mutex NotifyLock;

private:
    class TNotifyGuard;
    bool NotifyLockHeldHere() const { return FNotifyOwner.load() == std::this_thread::get_id(); }
    void DeliverTermination(int32_t AIndex, bool AFinished, bool AException,
                            const std::string& AMessage);
    void DeliverPreview(int32_t AIndex, const TBitmap& ABitmap, int32_t AFrameNumber, int64_t APTS);
    void ChangePreviewFlags(const std::function<void()>& AChange);
    void SyncPreviewFlags();
    void StopPendingStarts();

    std::string FLastError;
    // Run bookkeeping, guarded by NotifyLock.
    int32_t FNextTask = -1;
    int32_t FTerminatedCount = 0;
    int32_t FPendingCount = 0;
    std::atomic<bool> FThreaded{false};
    std::atomic<std::thread::id> FNotifyOwner{};
    int FNotifyDepth = 0; // guarded by NotifyLock

    std::atomic<int32_t> FProgressInterval{500};
    std::atomic<TConvertPriority> FThreadPriority{tpNormal};
    std::atomic<bool> FPreview{false};
    std::atomic<bool> FPreviewBitmap{false};
    int32_t FVerbosity = 1;

    // The preview hand-over. An engine may hold the engine lock while the main thread
    // shows its frame (ours lets go of it first, but the converter does not rely on that),
    // and the flag setters take that lock on the main thread: so while a setter runs, new
    // hand-overs drop their frame, and the setter serves those already on their way before
    // it takes the lock.
    std::mutex FPreviewGate;
    int FHandOvers = 0;   // guarded by FPreviewGate: hand-overs waiting for the main thread
    int FFlagChanges = 0; // guarded by FPreviewGate: setters at work
    std::atomic<int> FPreviewDeliveries{0}; // main thread inside OnPreviewBitmap
    bool FPreviewSyncPending = false;       // main thread: a setter ran inside a delivery
    // Lets a queued flag update find out that the converter is gone.
    std::shared_ptr<TCustomFFmpegConverter*> FAlive;

    // The run is paused. Its own lock: a task that starts when another ends does so under
    // NotifyLock, which a progress handler may hold while it waits for the main thread.
    std::mutex FPauseLock;
    bool FPaused = false; // guarded by FPauseLock

    std::unique_ptr<TAVProbe> FProbe;
    TFFmpegList FTasks;
    TTerminateDelivery FDelivery;
};

// The converter with its properties and events published.
class TFFmpegConverter : public TCustomFFmpegConverter {
public:
    using TCustomFFmpegConverter::OnBeforeHook;
    using TCustomFFmpegConverter::OnCustomHook;
    using TCustomFFmpegConverter::OnPreviewBitmap;
    using TCustomFFmpegConverter::OnProgress;
    using TCustomFFmpegConverter::OnTerminate;
    using TCustomFFmpegConverter::Preview;
    using TCustomFFmpegConverter::PreviewBitmap;
    using TCustomFFmpegConverter::ProgressInterval;
    using TCustomFFmpegConverter::SetPreview;
    using TCustomFFmpegConverter::SetPreviewBitmap;
    using TCustomFFmpegConverter::SetProgressInterval;
    using TCustomFFmpegConverter::SetThreadPriority;
    using TCustomFFmpegConverter::SetVerbosity;
    using TCustomFFmpegConverter::ThreadPriority;
    using TCustomFFmpegConverter::Verbosity;
    using TCustomFFmpegConverter::Version;
};

} // namespace qm
