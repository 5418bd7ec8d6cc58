// The one place where other threads hand work to the user-interface thread.
//
// The media layer never touches a window toolkit. Whatever runs the user-interface
// thread (the Qt application, the command-line program, a test) installs a dispatcher
// here once; worker threads then call Synchronize (run there and wait) or Queue (run
// there, don't wait). A user-interface thread that has to wait for a worker must keep
// serving these hand-overs, which is what WaitFor does.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace qm {

// What a front end provides. All members are called by TMainThread only.
class IMainThreadDispatcher {
public:
    virtual ~IMainThreadDispatcher() = default;
    // Any thread: arrange for fn to run on the main thread soon.
    virtual void Post(std::function<void()> fn) = 0;
    // Main thread: run what has been posted so far.
    virtual void ProcessMessages() = 0;
    // Main thread: block until something is posted, Wake is called or the deadline passes.
    virtual void WaitMessage(std::chrono::steady_clock::time_point deadline) = 0;
    // Any thread: end a WaitMessage early.
    virtual void Wake() = 0;
};

// A plain event queue: the dispatcher of the command-line program and the tests.
class TEventQueueDispatcher : public IMainThreadDispatcher {
public:
    void Post(std::function<void()> fn) override;
    void ProcessMessages() override;
    void WaitMessage(std::chrono::steady_clock::time_point deadline) override;
    void Wake() override;
    // Any thread: blocks until ACount calls have been posted since creation, without
    // serving them (lets a test hold a hand-over in flight).
    void WaitPosted(int ACount);

private:
    std::mutex FLock;
    std::condition_variable FSignal;
    std::deque<std::function<void()>> FQueue; // guarded by FLock
    int FPosted = 0;                           // guarded by FLock
    bool FWoken = false;                       // guarded by FLock
};

class TMainThread {
public:
    using Clock = std::chrono::steady_clock;

    // Makes the calling thread the main thread and installs the dispatcher (a plain
    // event queue when none is given). Called once at start-up; later calls replace it.
    static void Install(std::unique_ptr<IMainThreadDispatcher> dispatcher = nullptr);
    static bool IsMainThread();
    static std::thread::id MainThreadId();

    // Runs fn on the main thread and waits for it; runs it directly when called there.
    // An exception thrown by fn is passed back to the caller.
    static void Synchronize(const std::function<void()>& fn);
    // Runs fn on the main thread later, without waiting (directly queued even when
    // called on the main thread, so that it never re-enters the caller).
    static void Queue(std::function<void()> fn);
    // Main thread: runs pending hand-overs.
    static void ProcessMessages();
    // Waits until done() is true, serving hand-overs meanwhile when on the main thread.
    // Whoever makes done() true calls Wake(). Returns done() (false after a timeout).
    static bool WaitFor(const std::function<bool()>& done,
                        Clock::duration timeout = Clock::duration::max());
    // Any thread: wakes a WaitFor of the main thread so that it tests its condition again.
    static void Wake();

private:
    static IMainThreadDispatcher& Dispatcher();
};

} // namespace qm
