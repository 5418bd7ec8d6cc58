#include "MainThread.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

namespace qm {

void TEventQueueDispatcher::Post(std::function<void()> fn) {
    {
        std::lock_guard lock(FLock);
        FQueue.push_back(std::move(fn));
        ++FPosted;
    }
    FSignal.notify_all();
}

void TEventQueueDispatcher::ProcessMessages() {
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard lock(FLock);
            if (FQueue.empty())
                return;
            fn = std::move(FQueue.front());
            FQueue.pop_front();
        }
        fn();
    }
}

void TEventQueueDispatcher::WaitMessage(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(FLock);
    FSignal.wait_until(lock, deadline, [this] { return !FQueue.empty() || FWoken; });
    FWoken = false;
}

void TEventQueueDispatcher::Wake() {
    {
        std::lock_guard lock(FLock);
        FWoken = true;
    }
    FSignal.notify_all();
}

void TEventQueueDispatcher::WaitPosted(int ACount) {
    std::unique_lock lock(FLock);
    FSignal.wait(lock, [&] { return FPosted >= ACount; });
}

namespace {

struct TMainThreadState {
    std::mutex Lock;
    std::shared_ptr<IMainThreadDispatcher> Dispatcher; // guarded by Lock
    std::thread::id MainId;                            // guarded by Lock
    std::mutex WakeLock; // pairs with WakeSignal for waits off the main thread
    std::condition_variable WakeSignal;
};

TMainThreadState& State() {
    static TMainThreadState state;
    return state;
}

std::shared_ptr<IMainThreadDispatcher> CurrentDispatcher() {
    auto& st = State();
    std::lock_guard lock(st.Lock);
    if (!st.Dispatcher) {
        // Nobody installed one: the first thread that asks is the main thread.
        st.Dispatcher = std::make_shared<TEventQueueDispatcher>();
        st.MainId = std::this_thread::get_id();
    }
    return st.Dispatcher;
}

} // namespace

void TMainThread::Install(std::unique_ptr<IMainThreadDispatcher> dispatcher) {
    auto& st = State();
    std::lock_guard lock(st.Lock);
    if (dispatcher)
        st.Dispatcher = std::move(dispatcher);
    else
        st.Dispatcher = std::make_shared<TEventQueueDispatcher>();
    st.MainId = std::this_thread::get_id();
}

std::thread::id TMainThread::MainThreadId() {
    CurrentDispatcher();
    auto& st = State();
    std::lock_guard lock(st.Lock);
    return st.MainId;
}

bool TMainThread::IsMainThread() { return MainThreadId() == std::this_thread::get_id(); }

IMainThreadDispatcher& TMainThread::Dispatcher() { return *CurrentDispatcher(); }

void TMainThread::Synchronize(const std::function<void()>& fn) {
    if (IsMainThread()) {
        fn();
        return;
    }
    struct TCall {
        std::mutex Lock;
        std::condition_variable Done;
        bool Finished = false;
        std::exception_ptr Error;
    };
    auto call = std::make_shared<TCall>();
    CurrentDispatcher()->Post([call, &fn] {
        try {
            fn();
        } catch (...) {
            call->Error = std::current_exception();
        }
        {
            std::lock_guard lock(call->Lock);
            call->Finished = true;
        }
        call->Done.notify_all();
    });
    std::unique_lock lock(call->Lock);
    call->Done.wait(lock, [&] { return call->Finished; });
    if (call->Error)
        std::rethrow_exception(call->Error);
}

void TMainThread::Queue(std::function<void()> fn) { CurrentDispatcher()->Post(std::move(fn)); }

void TMainThread::ProcessMessages() {
    if (IsMainThread())
        CurrentDispatcher()->ProcessMessages();
}

bool TMainThread::WaitFor(const std::function<bool()>& done, Clock::duration timeout) {
    const auto deadline =
        timeout == Clock::duration::max() ? Clock::time_point::max() : Clock::now() + timeout;
    if (!IsMainThread()) {
        // Off the main thread there is nothing to serve: sleep until a Wake.
        auto& st = State();
        std::unique_lock lock(st.WakeLock);
        if (deadline == Clock::time_point::max()) {
            st.WakeSignal.wait(lock, done);
            return true;
        }
        return st.WakeSignal.wait_until(lock, deadline, done);
    }
    auto dispatcher = CurrentDispatcher();
    for (;;) {
        dispatcher->ProcessMessages();
        if (done())
            return true;
        if (Clock::now() >= deadline)
            return false;
        dispatcher->WaitMessage(deadline);
    }
}

void TMainThread::Wake() {
    {
        // Taking the lock orders this wake after a waiter's test of its condition.
        std::lock_guard lock(State().WakeLock);
    }
    State().WakeSignal.notify_all();
    CurrentDispatcher()->Wake();
}

} // namespace qm
