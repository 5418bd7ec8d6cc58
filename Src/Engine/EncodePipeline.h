// Video encoding on a thread of its own. The run thread decodes, decides how often each
// picture is output and prepares it; the encode thread encodes the copies it queues, at
// most a few pictures behind. Every packet, whichever thread made it, reaches the muxer in
// the order the single-threaded path writes it, so the output is the same byte for byte.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Loader/MediaPtr.h"

namespace qm {

struct TOutputStreamState;

// One call of the video encoder: a picture copy, or the end of the stream (no frame).
struct TEncodeJob {
    TOutputStreamState* Output = nullptr;
    AVFrame* Frame = nullptr;  // owned by the pipeline; null drains the encoder
    AVFrame* Source = nullptr; // owned by the pipeline: the picture to fill Frame from first
    bool SetQuality = false;   // the frame takes the quality of the last coded frame
    bool KeepAsLast = false;   // the stream's last picture, for filling up to the input's end
    bool Preview = false;      // goes to the preview after encoding
    int32_t HookFrameCounter = 0;
};

class TEncodePipeline {
public:
    using TEncode = std::function<void(TEncodeJob&)>;
    using TMux = std::function<void(TOutputStreamState&, AVPacket&)>;

    // AEncode runs on the encode thread; AMux writes one packet to its muxer. At most
    // ADepth jobs wait.
    TEncodePipeline(TEncode AEncode, TMux AMux, size_t ADepth);
    // Stops the thread; what is still queued is dropped.
    ~TEncodePipeline();
    TEncodePipeline(const TEncodePipeline&) = delete;
    TEncodePipeline& operator=(const TEncodePipeline&) = delete;

    // Run thread: queues a job, taking AFrame's reference (AFrame null: drain) and one of
    // ASource, when given. Waits while the queue is full. A failure of the encode thread is
    // raised here.
    void Encode(TEncodeJob AJob, AVFrame* AFrame, const AVFrame* ASource = nullptr);
    // Either thread: a packet for the muxer, written now if nothing queued before it is
    // still being encoded, else when its turn comes.
    void Write(TOutputStreamState& AOutput, AVPacket& APacket);
    // Run thread: waits until everything queued is encoded and written; raises a failure.
    void Sync();
    // The jobs waiting, not counting the one being encoded.
    size_t Queued();

private:
    struct TEntry {
        TOutputStreamState* Output = nullptr; // none: the place of a queued job's packets
        AVPacket* Packet = nullptr;
    };
    void Body();
    void RaiseFailure();               // with FLock held
    void WriteReady();                 // with FLock held: the entries up to the next job
    void Release(TEncodeJob& AJob);    // with FLock held: its frames back to the pool
    void DropAll();                    // with FLock held
    AVFrame* TakeFrame();              // with FLock held
    AVPacket* TakePacket();            // with FLock held

    const TEncode FEncode;
    const TMux FMux;
    const size_t FDepth;
    std::mutex FLock;
    std::condition_variable FWork;     // a job came, or stop
    std::condition_variable FProgress; // a job finished, or the thread failed
    std::deque<TEncodeJob> FJobs;      // guarded by FLock
    // The muxer's order: packets that wait for the jobs queued before them. The front is
    // always a job's place while anything waits.
    std::deque<TEntry> FWrites;        // guarded by FLock
    bool FBusy = false;                // a job is being encoded; guarded by FLock
    bool FStop = false;                // guarded by FLock
    bool FFailed = false;              // guarded by FLock
    std::string FFailure;              // guarded by FLock
    std::vector<TFramePtr> FFrames;    // every frame the jobs use, reused
    std::vector<AVFrame*> FFreeFrames; // guarded by FLock
    std::vector<TPacketPtr> FPackets;  // every packet the waiting writes use, reused
    std::vector<AVPacket*> FFreePackets; // guarded by FLock
    std::thread::id FThreadId;
    std::thread FThread;
};

} // namespace qm
