#include "app/RunThread.h"

#include <mutex>

namespace {

// Updates closer together than this are gathered into one.
constexpr qint64 UpdateIntervalMs = 50;

std::atomic<uint> &StackSize() {
    static std::atomic<uint> size{0};
    return size;
}

} // namespace

RunThread::RunThread(Job job, QObject *parent) : QThread(parent), job_(std::move(job)) {}

bool RunThread::begin() {
    setStackSize(StackSize().load());
    start();
    // A thread that could not be made is neither running nor finished; Qt
    // only prints a warning.
    return isRunning() || isFinished();
}

void RunThread::setStackSizeForTesting(uint bytes) {
    StackSize().store(bytes);
}

QStringList RunThread::takeMessages() {
    const std::lock_guard lock(mutex_);
    return std::exchange(messages_, {});
}

RunProgress RunThread::progress() const {
    const std::lock_guard lock(mutex_);
    return progress_;
}

void RunThread::run() {
    RunSink sink;
    sink.message = [this](const QString &message) {
        {
            const std::lock_guard lock(mutex_);
            messages_.append(message);
        }
        changed();
    };
    sink.progress = [this](const RunProgress &progress) {
        {
            const std::lock_guard lock(mutex_);
            progress_ = progress;
        }
        changed();
    };
    sinceSignal_.start();
    job_(sink, &stop_);
    ended_.store(true, std::memory_order_release);
}

void RunThread::join() {
    wait();
    // wait() already orders the pass's writes before this point, but only
    // through Qt's own locking, which ThreadSanitizer cannot see into. This
    // acquire pairs with the release at the end of run() and says the same
    // in code it does see, so the outcome's hand-over is checked, not assumed.
    static_cast<void>(ended_.load(std::memory_order_acquire));
}

void RunThread::changed() {
    if (sinceSignal_.elapsed() >= UpdateIntervalMs) {
        sinceSignal_.restart();
        emit updated();
    }
}
