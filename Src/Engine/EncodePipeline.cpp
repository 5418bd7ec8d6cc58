#include "Engine/EncodePipeline.h"

#include <exception>

#include "Engine/FFmpegException.h"

namespace qm {

TEncodePipeline::TEncodePipeline(TEncode AEncode, TMux AMux, size_t ADepth)
    : FEncode(std::move(AEncode)), FMux(std::move(AMux)), FDepth(ADepth > 0 ? ADepth : 1) {
    // The thread looks at its own id only after it has taken the lock.
    std::lock_guard lock(FLock);
    FThread = std::thread([this] { Body(); });
    FThreadId = FThread.get_id();
}

TEncodePipeline::~TEncodePipeline() {
    {
        std::lock_guard lock(FLock);
        FStop = true;
    }
    FWork.notify_all();
    FThread.join();
    DropAll();
}

namespace {

// A free object of a pool that only grows: AAll owns them, AFree lists the unused ones.
template <typename T, typename TPtr>
T* TakeFree(std::vector<TPtr>& AAll, std::vector<T*>& AFree, T* (*AAllocate)(), const char* AFailure) {
    if (AFree.empty()) {
        AAll.emplace_back(AAllocate());
        if (!AAll.back())
            throw FFmpegException(AFailure);
        AFree.push_back(AAll.back().get());
    }
    T* item = AFree.back();
    AFree.pop_back();
    return item;
}

} // namespace

AVFrame* TEncodePipeline::TakeFrame() {
    return TakeFree(FFrames, FFreeFrames, ff::av_frame_alloc, "Video encoding failed");
}

AVPacket* TEncodePipeline::TakePacket() {
    return TakeFree(FPackets, FFreePackets, ff::av_packet_alloc, "av_packet_alloc failed");
}

void TEncodePipeline::RaiseFailure() {
    if (FFailed)
        throw FFmpegException(FFailure);
}

void TEncodePipeline::Encode(TEncodeJob AJob, AVFrame* AFrame, const AVFrame* ASource) {
    std::unique_lock lock(FLock);
    FProgress.wait(lock, [this] { return FFailed || FJobs.size() < FDepth; });
    RaiseFailure();
    AJob.Frame = AJob.Source = nullptr;
    if (AFrame) {
        AJob.Frame = TakeFrame();
        ff::av_frame_move_ref(AJob.Frame, AFrame);
    }
    if (ASource) {
        AJob.Source = TakeFrame();
        if (ff::av_frame_ref(AJob.Source, ASource) < 0) {
            FFreeFrames.push_back(AJob.Source);
            if (AJob.Frame) {
                ff::av_frame_unref(AJob.Frame);
                FFreeFrames.push_back(AJob.Frame);
            }
            throw FFmpegException("Video encoding failed");
        }
    }
    FJobs.push_back(AJob);
    FWrites.push_back({});
    lock.unlock();
    FWork.notify_one();
}

void TEncodePipeline::Write(TOutputStreamState& AOutput, AVPacket& APacket) {
    // The encode thread's packets belong to the job at the front: nothing waits before them.
    if (std::this_thread::get_id() == FThreadId) {
        FMux(AOutput, APacket);
        return;
    }
    std::lock_guard lock(FLock);
    RaiseFailure();
    if (FWrites.empty()) {
        FMux(AOutput, APacket);
        return;
    }
    AVPacket* copy = TakePacket();
    ff::av_packet_move_ref(copy, &APacket);
    FWrites.push_back({&AOutput, copy});
}

void TEncodePipeline::WriteReady() {
    while (!FWrites.empty() && FWrites.front().Output) {
        TEntry entry = FWrites.front();
        FWrites.pop_front();
        FFreePackets.push_back(entry.Packet);
        FMux(*entry.Output, *entry.Packet);
        ff::av_packet_unref(entry.Packet);
    }
}

void TEncodePipeline::Sync() {
    std::unique_lock lock(FLock);
    FProgress.wait(lock, [this] { return FFailed || (FJobs.empty() && !FBusy); });
    RaiseFailure();
}

void TEncodePipeline::Release(TEncodeJob& AJob) {
    for (AVFrame* frame : {AJob.Frame, AJob.Source})
        if (frame) {
            ff::av_frame_unref(frame);
            FFreeFrames.push_back(frame);
        }
}

size_t TEncodePipeline::Queued() {
    std::lock_guard lock(FLock);
    return FJobs.size();
}

void TEncodePipeline::DropAll() {
    for (TEncodeJob& job : FJobs)
        Release(job);
    FJobs.clear();
    for (TEntry& entry : FWrites)
        if (entry.Packet) {
            ff::av_packet_unref(entry.Packet);
            FFreePackets.push_back(entry.Packet);
        }
    FWrites.clear();
}

void TEncodePipeline::Body() {
    std::unique_lock lock(FLock);
    for (;;) {
        FWork.wait(lock, [this] { return FStop || (!FJobs.empty() && !FFailed); });
        if (FStop)
            return;
        TEncodeJob job = FJobs.front();
        FJobs.pop_front();
        FBusy = true;
        lock.unlock();
        std::string failure;
        try {
            FEncode(job);
        } catch (const std::exception& e) {
            failure = e.what();
        }
        lock.lock();
        Release(job);
        FBusy = false;
        if (failure.empty()) {
            // This job's place is the front; the packets written after it may go now.
            FWrites.pop_front();
            try {
                WriteReady();
            } catch (const std::exception& e) {
                failure = e.what();
            }
        }
        if (!failure.empty()) {
            FFailed = true;
            FFailure = failure;
            DropAll();
        }
        FProgress.notify_all();
    }
}

} // namespace qm
