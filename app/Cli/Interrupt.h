// Ctrl-C, SIGTERM and SIGHUP (a closed terminal, a lost ssh session) as a request handed to
// the main thread: a thread of its own waits for the signal and queues AOnInterrupt; the
// signal itself does nothing else.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <functional>
#include <thread>

#include "Platform/MainThread.h"

namespace qm::cli {

class TInterruptToMainThread {
public:
    // The signals served; a program blocks them before it starts any thread, so that none
    // of its threads takes them.
    static sigset_t Signals() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGHUP);
        return set;
    }

    explicit TInterruptToMainThread(std::function<void()> AOnInterrupt)
        : FOnInterrupt(std::move(AOnInterrupt)) {
        const sigset_t set = Signals();
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        FThread = std::thread([this, set] {
            int sig = 0;
            while (sigwait(&set, &sig) == 0 && !FQuit) {
                TMainThread::Queue(FOnInterrupt);
                TMainThread::Wake();
            }
        });
    }
    ~TInterruptToMainThread() {
        FQuit = true;
        pthread_kill(FThread.native_handle(), SIGTERM);
        FThread.join();
    }
    TInterruptToMainThread(const TInterruptToMainThread&) = delete;
    TInterruptToMainThread& operator=(const TInterruptToMainThread&) = delete;

private:
    std::function<void()> FOnInterrupt;
    std::atomic<bool> FQuit{false};
    std::thread FThread;
};

} // namespace qm::cli
