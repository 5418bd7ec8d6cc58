#include "EngineThreads.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "Engine/FFmpeg.h"
#include "Platform/MainThread.h"

namespace qm {

namespace {

// Nice values for the priorities below normal; raising a priority needs privileges a
// desktop program does not have, so those stay at normal.
void ApplyPriority(TThreadPriority priority) {
    int nice = 0;
    switch (priority) {
    case tpIdle:
        nice = 19;
        break;
    case tpLowest:
        nice = 10;
        break;
    case tpLower:
        nice = 5;
        break;
    default:
        return;
    }
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), nice);
}

} // namespace

TEngineThread::TEngineThread(std::function<void()> body, TThreadPriority priority)
    : FThread([this, body = std::move(body), priority] {
          ApplyPriority(priority);
          WaitWhileSuspended();
          // Nothing of this object may be touched after the body: the body's last act
          // may be a notification whose handler lets go of the engine and this thread.
          body();
      }) {}

TEngineThread::~TEngineThread() {
    Resume(); // a thread that was never resumed still has to leave its body
    Join();
}

void TEngineThread::Resume() {
    {
        std::lock_guard lock(FLock);
        FSuspended = false;
    }
    FResumed.notify_all();
}

void TEngineThread::Suspend() {
    std::lock_guard lock(FLock);
    FSuspended = true;
}

bool TEngineThread::Suspended() const {
    std::lock_guard lock(FLock);
    return FSuspended;
}

void TEngineThread::WaitWhileSuspended() {
    std::unique_lock lock(FLock);
    FResumed.wait(lock, [this] { return !FSuspended; });
}

void TEngineThread::Join() {
    if (!FThread.joinable())
        return;
    if (FThread.get_id() == std::this_thread::get_id())
        FThread.detach();
    else
        FThread.join();
}

TConvertThread::TConvertThread(TCustomFFmpeg* engine, TThreadPriority priority)
    : TEngineThread(
          [engine] {
              if (engine)
                  engine->DoConvert();
          },
          priority) {}

TDoTerminateThread::TDoTerminateThread(TCustomFFmpeg* engine)
    : TEngineThread([engine] {
          if (engine)
              engine->DoTerminate();
      }) {}

TWaitThread::TWaitThread(TCustomFFmpeg* engine)
    : TEngineThread([this, engine] {
          engine->WaitRunEnded();
          FDone = true;
          TMainThread::Wake();
      }) {}

bool TWaitThread::Done() const { return FDone; }

} // namespace qm
