// The packet queues between the read thread and the decoders.
//
// Bounded by bytes: each queued packet counts its payload plus 72 bytes. The read thread
// watches ByteSize without the lock and pauses while a queue is full; the video thread
// takes packets blocking, the audio callback never blocks.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>

#include "Loader/MediaPtr.h"
#include "Player/SdlSync.h"

namespace qm {

// Put into a queue after a seek: the consumer that takes it flushes its decoder. Only the
// data pointer tells it apart; it owns nothing, so unreferencing it frees nothing.
bool IsFlushPacket(const AVPacket* APacket);

class TPacketQueue {
public:
    // Bytes counted for every queued packet on top of its payload.
    static constexpr int32_t NodeOverhead = 72;

    TPacketQueue() = default;
    ~TPacketQueue() { End(); }
    TPacketQueue(const TPacketQueue&) = delete;
    TPacketQueue& operator=(const TPacketQueue&) = delete;

    // All counters zero, not aborted, a new mutex and condition. False when SDL cannot
    // make them.
    bool Init();
    // APacket's data goes into the queue, APacket is left blank: the reference is handed
    // over whole, so that only the consumer lets go of it. 0, or -1 when the packet cannot
    // be stored (it is dropped).
    int Put(AVPacket* APacket);
    // Queues the flush marker.
    int PutFlush();
    // 1: a packet was moved into AOut; 0: none queued (only when not blocking); -1: aborted,
    // also while packets remain.
    int Get(AVPacket* AOut, bool ABlock);
    void Abort();
    // Drops every queued packet; the abort state stays.
    void Flush();
    // Flush, then the mutex and the condition go.
    void End();

    bool Aborted() const { return FAbortRequest.load(); }
    int32_t PacketCount() const { return FPacketCount.load(); }
    int32_t ByteSize() const { return FByteSize.load(); }

private:
    TSdlMutexPtr FMutex;
    TSdlCondPtr FCond;
    std::deque<TPacketPtr> FPackets; // guarded by FMutex
    // Written under FMutex; read without it by the read thread and the end detection.
    std::atomic<int32_t> FPacketCount{0};
    std::atomic<int32_t> FByteSize{0};
    std::atomic<bool> FAbortRequest{false};
};

} // namespace qm
