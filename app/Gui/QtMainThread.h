// The main-thread dispatcher of the window: hand-overs from other threads arrive as queued
// calls on the Qt event loop, and a wait of the main thread runs a Qt event loop, so that
// the window keeps painting and answering clicks while the batch waits for a worker.
#pragma once

#include <QObject>

#include <vector>

#include "Platform/MainThread.h"

class QEventLoop;

namespace qm {

class TQtMainThreadDispatcher : public IMainThreadDispatcher {
public:
    TQtMainThreadDispatcher();
    ~TQtMainThreadDispatcher() override;

    void Post(std::function<void()> fn) override;
    // Runs the hand-overs posted so far, not the window's own events.
    void ProcessMessages() override;
    // Runs the event loop until a hand-over has run, Wake is called or the deadline passes.
    void WaitMessage(std::chrono::steady_clock::time_point deadline) override;
    void Wake() override;

private:
    void EndWaits();

    QObject FTarget; // lives on the main thread; the queued calls are delivered to it
    // Main thread only: the waits in progress (nested when a handler run inside a wait
    // waits in turn) and a wake that came while none was running.
    std::vector<QEventLoop*> FLoops;
    bool FWoken = false;
};

// Installs the Qt dispatcher for its lifetime and the plain event queue again after it, so
// that no hand-over reaches the event loop once the application object is gone.
class TQtMainThreadScope {
public:
    TQtMainThreadScope();
    ~TQtMainThreadScope();
    TQtMainThreadScope(const TQtMainThreadScope&) = delete;
    TQtMainThreadScope& operator=(const TQtMainThreadScope&) = delete;
};

} // namespace qm
