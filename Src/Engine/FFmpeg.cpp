#include "FFmpeg.h"

#include <unistd.h>

#include "Engine/MediaFiles.h"
#include "Engine/OptionContexts.h"
#include "Engine/TranscodeState.h"
#include "Loader/FFmpegLoader.h"
#include "Logger/FFmpegLogger.h"
#include "Platform/FileUtils.h"
#include "Platform/MainThread.h"

namespace qm {

std::mutex& EngineLock() {
    static std::mutex lock;
    return lock;
}

TCustomFFmpeg::TCustomFFmpeg() { ResetOptions(); }

TCustomFFmpeg::~TCustomFFmpeg() {
    RequestStop(true);
    // A never-started task may still have its termination thread on the way.
    if (FTerminateThread)
        WaitRunEnded();
    JoinFinishedThreads();
    ReleaseResources();
}

void TCustomFFmpeg::ResetEngine() {
    if (!GlobalLoader.LibrariesLoaded(ConverterLibraries))
        return;
    JoinFinishedThreads();
    ReleaseResources();
    ResetOptions();
    FJoinMode = false;
    FRunning = false;
    FStopRequested = false;
    FFinished = false;
    FTerminated = false;
    FTotalOutputDuration = -1;
    {
        std::lock_guard lock(FRunLock);
        FTerminatePending = false;
    }
    OptionContexts = TOptionContexts::Create(Options.ScalerFlags);
}

void TCustomFFmpeg::ReleaseResources() {
    if (!GlobalLoader.LibrariesLoaded(ConverterLibraries))
        return;
    OptionContexts.reset();
    FreeTranscodeState();
    CloseFiles();
    Options.IntraMatrix.reset();
    Options.InterMatrix.reset();
    Options.VstatsFileName.clear();
    FVstatsFile.reset();
    Options.VideoCodecName.clear();
    Options.AudioCodecName.clear();
    Options.SubtitleCodecName.clear();
    Options.VideoStandard.clear();
    Options.RcOverride.clear();
    Options.HasRcOverride = false;
    Options.AudioLanguage.clear();
    Options.SubtitleLanguage.clear();
    Options.SubtitleCodecTag = 0;
    ResetHooks();
}

void TCustomFFmpeg::CloseFiles() {
    // Each output once (joined entries share one); an output that stayed empty is removed
    // so that a failed run leaves no zero-byte file behind.
    std::vector<std::string> written;
    for (auto& file : OutputFiles) {
        if (!file || !file->Output)
            continue;
        const bool hasFile = !(file->Output->oformat->flags & AVFMT_NOFILE);
        file->Output.Close();
        if (hasFile)
            written.push_back(file->FileName);
    }
    OutputFiles.clear();
    OutputCodecs.clear();
    FOutputFileCount = 0;
    for (const auto& name : written)
        if (FileSize(name) == 0)
            ::unlink(name.c_str());
    InputFiles.clear();
    InputCodecs.clear();
    InputTsOffsets.fill(0);
    FInputFileCount = 0;
}

void TCustomFFmpeg::ResetOptions() {
    CloseFiles();
    // Pending metadata is consumed by output creation only.
    auto metadata = std::move(Options.Metadata);
    Options = TOptionSet{};
    Options.Metadata = std::move(metadata);
    OptionContexts.reset();
    FVideoBytes = FAudioBytes = FGlobalHeaderBytes = 0;
    FDuplicatedFrames = FDroppedFrames = 0;
    FQpHistogram.fill(0);
    FExceptionRaised = false;
    ResetHooks();
    FPreviewFlags = 0;
}

std::string TCustomFFmpeg::ExceptionMessage() const {
    std::lock_guard lock(FRunLock);
    return FExceptionMessage;
}

TConvertThread* TCustomFFmpeg::WorkerThread() const {
    std::lock_guard lock(FRunLock);
    return FWorkerRef;
}

bool TCustomFFmpeg::Paused() const {
    std::lock_guard lock(FRunLock);
    return FWorkerRef && FWorkerRef->Suspended();
}

void TCustomFFmpeg::RecordException(const std::string& message) {
    Log(this, llQuiet, message);
    FExceptionRaised = true;
    std::lock_guard lock(FRunLock);
    FExceptionMessage = message;
}

TConvertThread* TCustomFFmpeg::StartConvert(bool AUseThread, TThreadPriority APriority) {
    if (FRunning || FTerminated)
        return nullptr;
    try {
        if (FOutputFileCount <= 0) {
            ReleaseResources();
            throw FFmpegException("At least one output file must be specified");
        }
        if (FInputFileCount == 0) {
            ReleaseResources();
            throw FFmpegException("At least one input file must be specified");
        }
    } catch (const std::exception& e) {
        RecordException(e.what());
        {
            std::lock_guard lock(FRunLock);
            FRunEnded = false;
        }
        DoTerminate();
        return nullptr;
    }

    JoinFinishedThreads();
    FRunning = true;
    FStopRequested = false;
    FFinished = false;
    FTerminated = false;
    {
        std::lock_guard lock(FRunLock);
        FRunEnded = false;
    }
    if (!AUseThread) {
        DoConvert();
        return nullptr;
    }
    FWorker = std::make_unique<TConvertThread>(this, APriority);
    std::lock_guard lock(FRunLock);
    FWorkerRef = FWorker.get();
    return FWorkerRef;
}

void TCustomFFmpeg::DoConvert() {
    FFinished = false;
    try {
        Transcode();
    } catch (const std::exception& e) {
        RecordException(e.what());
    }
    ForgetOpenCodecs();
    ReleaseResources();
    DoTerminate();
}

void TCustomFFmpeg::ForgetOpenCodecs() {
    // The stream records that own the codec contexts come with the transcode setup;
    // until then nothing can be open.
    OpenEncoders.clear();
    OpenDecoders.clear();
}

void TCustomFFmpeg::DoTerminate() {
    FRunning = false;
    FTerminated = true;
    {
        std::lock_guard lock(FRunLock);
        FWorkerRef = nullptr;
    }
    if (TerminateNotify)
        TerminateNotify(this);
    {
        std::lock_guard lock(FRunLock);
        FRunEnded = true;
    }
    FRunEndedSignal.notify_all();
    TMainThread::Wake();
}

void TCustomFFmpeg::WaitRunEnded() {
    std::unique_lock lock(FRunLock);
    FRunEndedSignal.wait(lock, [this] { return FRunEnded; });
}

void TCustomFFmpeg::CheckPause() {
    TConvertThread* worker;
    {
        std::lock_guard lock(FRunLock);
        worker = FWorkerRef;
    }
    if (!worker)
        return;
    // A paused run has encoded and written everything it decoded.
    if (FPipeline && worker->Suspended())
        FPipeline->Sync();
    worker->WaitWhileSuspended();
}

void TCustomFFmpeg::RequestStop(bool AWait) {
    FStopRequested = true;
    TConvertThread* worker;
    {
        std::lock_guard lock(FRunLock);
        worker = FWorkerRef;
    }
    if (!worker)
        return;
    worker->Resume();
    if (!AWait)
        return; // the run ends by itself at its next stop check
    TWaitThread waiter(this);
    waiter.Resume();
    // The worker may hand log lines or notifications to the main thread meanwhile.
    TMainThread::WaitFor([&] { return waiter.Done(); });
}

void TCustomFFmpeg::StopConvert(bool AWait) {
    if (FRunning) {
        RequestStop(AWait);
        return;
    }
    if (FTerminated)
        return;
    {
        std::lock_guard lock(FRunLock);
        if (FTerminatePending)
            return; // its termination is already on the way
        FTerminatePending = true;
        FRunEnded = false;
    }
    FTerminateThread = std::make_unique<TDoTerminateThread>(this);
    FTerminateThread->Resume();
    if (AWait) {
        TMainThread::WaitFor([this] {
            std::lock_guard lock(FRunLock);
            return FRunEnded;
        });
        FTerminateThread.reset();
    }
}

void TCustomFFmpeg::Pause() {
    std::lock_guard lock(FRunLock);
    if (FWorkerRef && !FWorkerRef->Suspended())
        FWorkerRef->Suspend();
}

void TCustomFFmpeg::Resume() {
    std::lock_guard lock(FRunLock);
    if (FWorkerRef && FWorkerRef->Suspended())
        FWorkerRef->Resume();
}

void TCustomFFmpeg::JoinFinishedThreads() {
    // Only threads whose run has ended are joined; they are past everything but their exit.
    bool ended;
    {
        std::lock_guard lock(FRunLock);
        ended = FRunEnded;
    }
    if (!ended)
        return;
    FWorker.reset();
    FTerminateThread.reset();
}

} // namespace qm
