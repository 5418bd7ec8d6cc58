#include "PacketQueue.h"

#include <new>

namespace qm {

namespace {
uint8_t FlushText[] = "FLUSH";
} // namespace

bool IsFlushPacket(const AVPacket* APacket) { return APacket && APacket->data == FlushText; }

bool TPacketQueue::Init() {
    End();
    FAbortRequest = false;
    FMutex.reset(ff::SDL_CreateMutex());
    FCond.reset(ff::SDL_CreateCond());
    return FMutex && FCond;
}

int TPacketQueue::Put(AVPacket* APacket) {
    TPacketPtr node(ff::av_packet_alloc());
    if (!node)
        return -1;
    if (IsFlushPacket(APacket)) {
        node->data = FlushText;
        node->size = 0;
    } else {
        // The data must be the packet's own (the demuxer's may be borrowed).
        if (ff::av_packet_make_refcounted(APacket) < 0)
            return -1;
        ff::av_packet_move_ref(node.get(), APacket);
    }
    const int32_t bytes = node->size + NodeOverhead;
    {
        TSdlLock lock(FMutex.get());
        try {
            FPackets.push_back(std::move(node));
        } catch (const std::bad_alloc&) {
            return -1;
        }
        FPacketCount += 1;
        FByteSize += bytes;
        ff::SDL_CondSignal(FCond.get());
    }
    return 0;
}

int TPacketQueue::PutFlush() {
    AVPacket marker{};
    marker.data = FlushText;
    return Put(&marker);
}

int TPacketQueue::Get(AVPacket* AOut, bool ABlock) {
    TSdlLock lock(FMutex.get());
    for (;;) {
        if (FAbortRequest)
            return -1;
        if (!FPackets.empty()) {
            TPacketPtr node = std::move(FPackets.front());
            FPackets.pop_front();
            FPacketCount -= 1;
            FByteSize -= node->size + NodeOverhead;
            ff::av_packet_unref(AOut);
            ff::av_packet_move_ref(AOut, node.get());
            return 1;
        }
        if (!ABlock)
            return 0;
        ff::SDL_CondWait(FCond.get(), FMutex.get());
    }
}

void TPacketQueue::Abort() {
    if (!FMutex)
        return;
    TSdlLock lock(FMutex.get());
    FAbortRequest = true;
    ff::SDL_CondSignal(FCond.get());
}

void TPacketQueue::Flush() {
    if (!FMutex)
        return;
    std::deque<TPacketPtr> dropped;
    {
        TSdlLock lock(FMutex.get());
        dropped.swap(FPackets);
        FPacketCount = 0;
        FByteSize = 0;
    }
    // The flush marker's data is not its own: unreferencing frees nothing.
}

void TPacketQueue::End() {
    Flush();
    FCond.reset();
    FMutex.reset();
}

} // namespace qm
