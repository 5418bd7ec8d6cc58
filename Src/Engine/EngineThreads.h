// The worker threads of one engine.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace qm {

class TCustomFFmpeg;

// The runtime's thread priorities; the converter offers only tpIdle..tpNormal.
enum TThreadPriority : uint8_t {
    tpIdle,
    tpLowest,
    tpLower,
    tpNormal,
    tpHigher,
    tpHighest,
    tpTimeCritical,
};

// A worker thread that is created suspended. Suspension is cooperative: the body waits
// at the points where it calls WaitWhileSuspended (before it starts, and in the
// engine's main loop between packets).
class TEngineThread {
public:
    explicit TEngineThread(std::function<void()> body, TThreadPriority priority = tpNormal);
    virtual ~TEngineThread();
    TEngineThread(const TEngineThread&) = delete;
    TEngineThread& operator=(const TEngineThread&) = delete;

    void Resume();
    void Suspend();
    bool Suspended() const;
    // Body side: blocks while the thread is suspended.
    void WaitWhileSuspended();
    // Waits for the body to return; a thread that joins itself lets go of it instead.
    void Join();

private:
    mutable std::mutex FLock;
    std::condition_variable FResumed;
    bool FSuspended = true; // guarded by FLock
    std::thread FThread;
};

// Runs DoConvert of its engine.
class TConvertThread final : public TEngineThread {
public:
    TConvertThread(TCustomFFmpeg* engine, TThreadPriority priority);
};

// Runs DoTerminate of its engine (a task stopped before it was started).
class TDoTerminateThread final : public TEngineThread {
public:
    explicit TDoTerminateThread(TCustomFFmpeg* engine);
};

// Waits until the engine's run has ended, i.e. its termination notification has returned.
class TWaitThread final : public TEngineThread {
public:
    explicit TWaitThread(TCustomFFmpeg* engine);
    bool Done() const;

private:
    std::atomic<bool> FDone{false};
};

} // namespace qm
