#include "Converter/FFmpegConverter.h"

#include <stdexcept>

#include "Engine/MediaFiles.h"
#include "Engine/OptionValues.h"
#include "Loader/FFmpegLoader.h"
#include "Logger/FFmpegLogger.h"
#include "Platform/MainThread.h"

namespace qm {

namespace {

// The delivery whose handler the current thread is running, if any.
thread_local const TTerminateDelivery* CurrentDelivery = nullptr;

TExtraOptionKind KindOfOption(const std::string& AName) {
    if (AName == "newvideo" || AName == "newaudio" || AName == "newsubtitle")
        return eoNewStream;
    if (AName == "apre" || AName == "vpre" || AName == "spre")
        return eoPreset;
    return eoGeneral;
}

// Every line break (CR LF, CR, LF) as one line feed.
std::string UnifyLineFeeds(const std::string& AText) {
    std::string out;
    out.reserve(AText.size());
    for (size_t i = 0; i < AText.size(); ++i) {
        if (AText[i] == '\r') {
            out += '\n';
            if (i + 1 < AText.size() && AText[i + 1] == '\n')
                ++i;
        } else {
            out += AText[i];
        }
    }
    return out;
}

// Runs a function when the scope ends, also by an exception.
template <typename F> class TAtExit {
public:
    explicit TAtExit(F fn) : FFn(std::move(fn)) {}
    ~TAtExit() { FFn(); }
    TAtExit(const TAtExit&) = delete;
    TAtExit& operator=(const TAtExit&) = delete;

private:
    F FFn;
};

} // namespace

// ---- TFFmpeg

TFFmpeg::TFFmpeg() : Probe(std::make_unique<TAVProbe>()) {}

TFFmpeg::~TFFmpeg() {
    RequestStop(true);
    // A never-started task that was stopped may still have its termination on the way.
    if (FTerminateThread)
        TMainThread::WaitFor([this] {
            std::lock_guard lock(FRunLock);
            return FRunEnded;
        });
    Probe.reset();
}

void TFFmpeg::ApplyExtraOptions(const std::string& AText, TExtraOptionKind AKind) {
    const std::string text = UnifyLineFeeds(Trim(AText));
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        const size_t eq = line.find('=');
        const std::string name = line.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
        if (KindOfOption(name) == AKind)
            SetOption(name, value);
    }
}

void TFFmpeg::SetHookTimeRanges(const std::string& AText) {
    SetHookTimeRanges(ParseHookTimeRanges(AText));
}

// ---- TFFmpegList

int32_t TFFmpegList::Add(std::unique_ptr<TFFmpeg> ATask) {
    std::lock_guard lock(FLock);
    const auto index = static_cast<int32_t>(FItems.size());
    ATask->TaskIndex = index;
    FItems.push_back(std::move(ATask));
    FCount = static_cast<int32_t>(FItems.size());
    return index;
}

TFFmpeg& TFFmpegList::Items(int32_t AIndex) {
    std::lock_guard lock(FLock);
    if (AIndex < 0 || static_cast<size_t>(AIndex) >= FItems.size())
        throw std::out_of_range("List index out of bounds (" + std::to_string(AIndex) + ")");
    return *FItems[static_cast<size_t>(AIndex)];
}

void TFFmpegList::Clear() {
    std::lock_guard lock(FLock);
    for (auto& task : FItems)
        task.reset();
    FItems.clear();
    FCount = 0;
}

void TFFmpegList::StopAll(bool AWait) {
    std::lock_guard lock(FLock);
    for (auto& task : FItems)
        task->StopConvert(AWait);
}

void TFFmpegList::PauseAll() {
    std::lock_guard lock(FLock);
    for (auto& task : FItems)
        task->Pause();
}

void TFFmpegList::ResumeAll() {
    std::lock_guard lock(FLock);
    for (auto& task : FItems)
        task->Resume();
}

void TFFmpegList::SetFlagAll(TPreviewFlag AFlag, bool AOn) {
    std::lock_guard lock(FLock);
    for (auto& task : FItems) {
        const TPreviewFlags flags = task->PreviewFlags();
        task->SetPreviewFlags(static_cast<TPreviewFlags>(AOn ? flags | AFlag : flags & ~AFlag));
    }
}

void TFFmpegList::SetPreviewAll(bool AOn) {
    SetFlagAll(pfPreview, AOn);
}

void TFFmpegList::SetPreviewBitmapAll(bool AOn) {
    SetFlagAll(pfPreviewBitmap, AOn);
}

// ---- TTerminateDelivery

TTerminateDelivery::~TTerminateDelivery() {
    Stop();
}

void TTerminateDelivery::Push(TTerminateEvent AHandler, int32_t AIndex, bool AFinished,
                              bool AException, std::string AMessage) {
    {
        std::lock_guard lock(FLock);
        FQueue.push_back({std::move(AHandler), AIndex, AFinished, AException, std::move(AMessage)});
        if (!FThread.joinable()) {
            FStopping = FEnded = false;
            FThread = std::thread([this] { Run(); });
        }
    }
    FSignal.notify_all();
}

void TTerminateDelivery::Run() {
    CurrentDelivery = this;
    std::unique_lock lock(FLock);
    for (;;) {
        FSignal.wait(lock, [this] { return !FQueue.empty() || FStopping; });
        if (FQueue.empty())
            break;
        TItem item = std::move(FQueue.front());
        FQueue.pop_front();
        FBusy = true;
        lock.unlock();
        try {
            if (item.Handler)
                item.Handler(item.Index, item.Finished, item.Exception, item.Message);
        } catch (const std::exception& e) {
            // Nobody up this thread could catch it; the remaining events still go out.
            Log(this, llError, std::string("OnTerminate handler failed: ") + e.what());
        }
        lock.lock();
        FBusy = false;
        lock.unlock();
        TMainThread::Wake();
        lock.lock();
    }
    FEnded = true;
    lock.unlock();
    TMainThread::Wake();
}

bool TTerminateDelivery::Idle() {
    std::lock_guard lock(FLock);
    return FQueue.empty() && !FBusy;
}

void TTerminateDelivery::Drain() {
    if (CurrentDelivery == this)
        return; // the handler that calls us is part of what we would wait for
    TMainThread::WaitFor([this] { return Idle(); });
}

void TTerminateDelivery::Stop() {
    {
        std::lock_guard lock(FLock);
        if (!FThread.joinable())
            return;
        FStopping = true;
    }
    FSignal.notify_all();
    TMainThread::WaitFor([this] {
        std::lock_guard lock(FLock);
        return FEnded;
    });
    FThread.join();
}

// ---- TCustomFFmpegConverter

class TCustomFFmpegConverter::TNotifyGuard {
public:
    explicit TNotifyGuard(TCustomFFmpegConverter& AOwner) : FOwner(AOwner) {
        FOwner.NotifyLock.lock();
        if (FOwner.FNotifyDepth++ == 0)
            FOwner.FNotifyOwner = std::this_thread::get_id();
    }
    ~TNotifyGuard() {
        if (--FOwner.FNotifyDepth == 0)
            FOwner.FNotifyOwner = std::thread::id();
        FOwner.NotifyLock.unlock();
    }
    TNotifyGuard(const TNotifyGuard&) = delete;
    TNotifyGuard& operator=(const TNotifyGuard&) = delete;

private:
    TCustomFFmpegConverter& FOwner;
};

TCustomFFmpegConverter::TCustomFFmpegConverter()
    : FAlive(std::make_shared<TCustomFFmpegConverter*>(this)),
      FProbe(std::make_unique<TAVProbe>()) {}

TCustomFFmpegConverter::~TCustomFFmpegConverter() {
    FAlive.reset();
    StopPendingStarts(); // also waits for a handler in progress
    FTasks.Clear();
    FProbe.reset();
    FDelivery.Stop();
}

bool TCustomFFmpegConverter::LoadLibraries(const std::string& AFolder) {
    GlobalLoader.SetLibraryPath(AFolder);
    const bool loaded = GlobalLoader.LoadLibraries(ConverterLibraries);
    if (!loaded)
        FLastError = GlobalLoader.LastErrMsg();
    return loaded;
}

void TCustomFFmpegConverter::StopPendingStarts() {
    // Without this, a terminating task would ask the list for the next one while the list
    // lock is held by whoever waits for that task.
    TNotifyGuard guard(*this);
    FPendingCount = 0;
}

void TCustomFFmpegConverter::ClearTasks() {
    StopPendingStarts();
    FTasks.Clear();
    FDelivery.Drain();
    FLastError.clear();
    FThreaded = false;
    std::lock_guard lock(FPauseLock);
    FPaused = false;
}

int32_t TCustomFFmpegConverter::AddTask(const std::string& AFileName, TInputOptions* AOptions) {
    // The engine calls the libraries through their entries: never while they are away.
    if (!GlobalLoader.LibrariesLoaded(ConverterLibraries)) {
        FLastError = "The media libraries are not loaded";
        if (!GlobalLoader.LastErrMsg().empty())
            FLastError += " (" + GlobalLoader.LastErrMsg() + ")";
        FLastError += ". Install the packages libavcodec59, libavformat59, libavfilter8, libswscale6 "
                      "and libswresample4, remove broken copies from the program's Dll folder, "
                      "and start the program again.";
        return -1;
    }
    auto task = std::make_unique<TFFmpeg>();
    TFFmpeg* t = task.get();
    try {
        task->ResetEngine();
        task->SetVerbosity(FVerbosity);
        if (FPreview || FPreviewBitmap) {
            const auto flags = static_cast<TPreviewFlags>((FPreview ? pfPreview : 0) |
                                                          (FPreviewBitmap ? pfPreviewBitmap : 0));
            // Through the gate: running tasks may be handing frames over right now.
            ChangePreviewFlags([&] { task->SetPreviewFlags(flags); });
        }
        task->PreviewBitmapNotify = [this, t](TCustomFFmpeg*, const TBitmap& ABitmap,
                                              int32_t AFrameNumber, int64_t APTS) {
            HandlePreviewBitmap(*t, ABitmap, AFrameNumber, APTS);
        };
        if (AOptions) {
            if (AOptions->FileName.empty())
                AOptions->FileName = AFileName;
            task->SetInputOptions(*AOptions);
            task->ApplyExtraOptions(task->InputOptions.ExtraOptions, eoGeneral);
            ApplyInputFields(*task, task->InputOptions);
        } else {
            task->ResetInputOptions();
        }
        if (!task->OpenInputFile(AFileName)) {
            FLastError = task->LastError();
            return -1;
        }
        task->Probe->AttachContext(task->InputFiles.back()->Input.Get());
        task->ProgressNotify = [this, t](TCustomFFmpeg*, int32_t AFrameNumber, int32_t AFPS,
                                         int32_t ACurrentDuration, float AQuality, float ABitRate,
                                         int64_t ASize, int32_t ATotalDuration) {
            HandleProgress(*t, AFrameNumber, AFPS, ACurrentDuration, AQuality, ABitRate, ASize,
                           ATotalDuration);
        };
        task->TerminateNotify = [this, t](TCustomFFmpeg*) { HandleTerminate(*t); };
        return FTasks.Add(std::move(task));
    } catch (const std::exception& e) {
        FLastError = e.what();
        return -1;
    }
}

bool TCustomFFmpegConverter::SetTaskOutput(int32_t ATaskIndex, const std::string& AFileName,
                                           TOutputOptions* AOptions) {
    TFFmpeg& task = FTasks.Items(ATaskIndex);
    TFFmpeg* t = &task;
    int outputs = -1;
    try {
        if (AOptions) {
            if (AOptions->FileName.empty())
                AOptions->FileName = AFileName;
            task.SetOutputOptions(*AOptions);
        } else {
            task.ResetOutputOptions();
        }
        const TOutputOptions& o = task.OutputOptions;
        if (AOptions) {
            ApplyOutputTarget(task, o);
            task.ApplyExtraOptions(o.ExtraOptions, eoGeneral);
            ApplyOutputFields(task, o);
            task.ApplyExtraOptions(o.ExtraOptions, eoPreset);
            if (o.CustomHook)
                task.CustomHookNotify = [this, t](TCustomFFmpeg*, TBitmap& ABitmap,
                                                  int32_t AFrameNumber, int64_t APTS, bool& AUpdate,
                                                  bool& AStopHook) {
                    HandleCustomHook(*t, ABitmap, AFrameNumber, APTS, AUpdate, AStopHook);
                };
            else if (o.BeforeHook)
                task.BeforeHookNotify = [this, t](TCustomFFmpeg*, int64_t APTS,
                                                  THookAction& AHookAction) {
                    HandleBeforeHook(*t, APTS, AHookAction);
                };
            else
                task.SetHookTimeRanges(o.HookTimeRange);
        }
        outputs = task.OpenOutputFile(AFileName, o.Join);
        if (outputs < 0)
            FLastError = task.LastError();
        else
            task.ApplyExtraOptions(o.ExtraOptions, eoNewStream);
    } catch (const std::exception& e) {
        FLastError = e.what();
        return false;
    }
    return outputs != -1;
}

void TCustomFFmpegConverter::StartTasks(int32_t AThreadCount) {
    {
        TNotifyGuard guard(*this);
        FNextTask = 0;
        FTerminatedCount = 0;
        FThreaded = AThreadCount > 0;
        FPendingCount = FTasks.Count();
    }
    for (int32_t left = AThreadCount;;) {
        {
            TNotifyGuard guard(*this);
            if (FPendingCount <= 0)
                break;
        }
        StartNext();
        if (FThreaded && --left <= 0)
            break;
    }
}

void TCustomFFmpegConverter::StartNext() {
    int32_t index;
    {
        TNotifyGuard guard(*this);
        if (FPendingCount <= 0)
            return;
        --FPendingCount;
        index = FNextTask++;
    }
    // Outside the lock: without threads the whole run happens inside this call.
    StartTask(index);
}

void TCustomFFmpegConverter::StartTask(int32_t AIndex) {
    TFFmpeg& task = FTasks.Items(AIndex);
    task.Probe->Close(); // the run closes the input the probe looks at
    task.ProgressIntervalUs = static_cast<int64_t>(FProgressInterval.load()) * 1000;
    if (FThreaded) {
        if (TConvertThread* worker = task.StartConvert(true, FThreadPriority)) {
            // A task started while the run is paused (when another ended) stays suspended
            // before its first packet, as PauseTasks would leave it; ResumeTasks lets it go.
            std::lock_guard lock(FPauseLock);
            if (!FPaused)
                worker->Resume();
        }
    } else {
        task.StartConvert(false, FThreadPriority);
    }
}

void TCustomFFmpegConverter::StopTasks(bool AWait) {
    // A handler under the notification lock cannot wait: the tasks it stops report
    // through that lock.
    const bool wait = AWait && !NotifyLockHeldHere();
    StopPendingStarts();
    FTasks.StopAll(wait);
}

void TCustomFFmpegConverter::PauseTasks() {
    {
        std::lock_guard lock(FPauseLock);
        FPaused = true;
    }
    FTasks.PauseAll();
}

void TCustomFFmpegConverter::ResumeTasks() {
    {
        std::lock_guard lock(FPauseLock);
        FPaused = false;
    }
    FTasks.ResumeAll();
}

void TCustomFFmpegConverter::DeliverTermination(int32_t AIndex, bool AFinished, bool AException,
                                                const std::string& AMessage) {
    if (!OnTerminate)
        return;
    if (FThreaded)
        FDelivery.Push(OnTerminate, AIndex, AFinished, AException, AMessage);
    else
        OnTerminate(AIndex, AFinished, AException, AMessage);
}

void TCustomFFmpegConverter::HandleTerminate(TFFmpeg& ATask) {
    TNotifyGuard guard(*this);
    DeliverTermination(ATask.TaskIndex, ATask.Finished(), ATask.ExceptionRaised(),
                       ATask.ExceptionMessage());
    ++FTerminatedCount;
    if (FPendingCount >= 1) {
        if (FThreaded)
            StartNext();
    } else if (FTasks.Count() <= FTerminatedCount) {
        DeliverTermination(-1, true, false, std::string());
    }
}

void TCustomFFmpegConverter::HandleProgress(TFFmpeg& ATask, int32_t AFrameNumber, int32_t AFPS,
                                            int32_t ACurrentDuration, float AQuality,
                                            float ABitRate, int64_t ACurrentSize,
                                            int32_t ATotalOutputDuration) {
    if (!OnProgress)
        return;
    TNotifyGuard guard(*this);
    OnProgress(ATask.TaskIndex, AFrameNumber, AFPS, ACurrentDuration, AQuality, ABitRate,
               ACurrentSize, ATotalOutputDuration);
}

void TCustomFFmpegConverter::HandleBeforeHook(TFFmpeg& ATask, int64_t APTS,
                                              THookAction& AHookAction) {
    if (OnBeforeHook)
        OnBeforeHook(ATask.TaskIndex, APTS, AHookAction);
}

void TCustomFFmpegConverter::HandleCustomHook(TFFmpeg& ATask, TBitmap& ABitmap,
                                              int32_t AFrameNumber, int64_t APTS, bool& AUpdate,
                                              bool& AStopHook) {
    if (OnCustomHook)
        OnCustomHook(ATask.TaskIndex, ABitmap, AFrameNumber, APTS, AUpdate, AStopHook);
}

void TCustomFFmpegConverter::HandlePreviewBitmap(TFFmpeg& ATask, const TBitmap& ABitmap,
                                                 int32_t AFrameNumber, int64_t APTS) {
    if (!OnPreviewBitmap)
        return;
    // The values travel with the call, so concurrent tasks never see each other's frame.
    const int32_t index = ATask.TaskIndex;
    if (TMainThread::IsMainThread()) {
        DeliverPreview(index, ABitmap, AFrameNumber, APTS);
        return;
    }
    {
        std::lock_guard lock(FPreviewGate);
        if (FFlagChanges > 0)
            return; // a flag setter waits for the engine lock we hold: skip this frame
        ++FHandOvers;
    }
    TAtExit done([this] {
        {
            std::lock_guard lock(FPreviewGate);
            --FHandOvers;
        }
        TMainThread::Wake();
    });
    TMainThread::Synchronize([&] { DeliverPreview(index, ABitmap, AFrameNumber, APTS); });
}

void TCustomFFmpegConverter::DeliverPreview(int32_t AIndex, const TBitmap& ABitmap,
                                            int32_t AFrameNumber, int64_t APTS) {
    ++FPreviewDeliveries;
    TAtExit done([this] {
        if (--FPreviewDeliveries > 0 || !FPreviewSyncPending)
            return;
        // A setter ran inside the handler while the engine lock was held for this very
        // frame; its flags go to the tasks once the main thread is free again.
        FPreviewSyncPending = false;
        std::weak_ptr<TCustomFFmpegConverter*> alive = FAlive;
        TMainThread::Queue([alive] {
            if (auto self = alive.lock())
                (*self)->SyncPreviewFlags();
        });
    });
    OnPreviewBitmap(AIndex, ABitmap, AFrameNumber, APTS);
}

void TCustomFFmpegConverter::ChangePreviewFlags(const std::function<void()>& AChange) {
    if (TMainThread::IsMainThread() && FPreviewDeliveries > 0) {
        FPreviewSyncPending = true;
        return;
    }
    {
        std::lock_guard lock(FPreviewGate);
        ++FFlagChanges;
    }
    TAtExit done([this] {
        std::lock_guard lock(FPreviewGate);
        --FFlagChanges;
    });
    TMainThread::WaitFor([this] {
        std::lock_guard lock(FPreviewGate);
        return FHandOvers == 0;
    });
    AChange();
}

void TCustomFFmpegConverter::SyncPreviewFlags() {
    ChangePreviewFlags([this] {
        FTasks.SetPreviewAll(FPreview);
        FTasks.SetPreviewBitmapAll(FPreviewBitmap);
    });
}

void TCustomFFmpegConverter::SetPreview(bool AValue) {
    ChangePreviewFlags([&] { FTasks.SetPreviewAll(AValue); });
    FPreview = AValue;
}

void TCustomFFmpegConverter::SetPreviewBitmap(bool AValue) {
    ChangePreviewFlags([&] { FTasks.SetPreviewBitmapAll(AValue); });
    FPreviewBitmap = AValue;
}

} // namespace qm
