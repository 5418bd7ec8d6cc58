#include "Gui/QtMainThread.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace qm {

TQtMainThreadDispatcher::TQtMainThreadDispatcher() = default;

TQtMainThreadDispatcher::~TQtMainThreadDispatcher() = default;

void TQtMainThreadDispatcher::Post(std::function<void()> fn) {
    QMetaObject::invokeMethod(
        &FTarget,
        [this, fn = std::move(fn)] {
            fn();
            // The waiter tests its condition again after every hand-over.
            EndWaits();
        },
        Qt::QueuedConnection);
}

void TQtMainThreadDispatcher::ProcessMessages() {
    QCoreApplication::sendPostedEvents(&FTarget, QEvent::MetaCall);
}

void TQtMainThreadDispatcher::WaitMessage(std::chrono::steady_clock::time_point deadline) {
    if (FWoken) {
        FWoken = false;
        return;
    }
    using namespace std::chrono;
    QTimer timer;
    if (deadline != steady_clock::time_point::max()) {
        const auto left = ceil<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0)
            return;
        timer.setSingleShot(true);
        timer.start(static_cast<int>(std::min<long long>(left, 24LL * 3600 * 1000)));
    }
    QEventLoop loop;
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    FLoops.push_back(&loop);
    loop.exec();
    FLoops.pop_back();
    FWoken = false;
}

void TQtMainThreadDispatcher::Wake() {
    QMetaObject::invokeMethod(
        &FTarget,
        [this] {
            FWoken = true;
            EndWaits();
        },
        Qt::QueuedConnection);
}

void TQtMainThreadDispatcher::EndWaits() {
    // Every wait in progress, not only the innermost: the condition that became true may
    // be an outer one's.
    for (QEventLoop* loop : FLoops)
        loop->quit();
}

TQtMainThreadScope::TQtMainThreadScope() {
    TMainThread::Install(std::make_unique<TQtMainThreadDispatcher>());
}

TQtMainThreadScope::~TQtMainThreadScope() { TMainThread::Install(); }

} // namespace qm
