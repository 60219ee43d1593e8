#include "app/RunThread.h"

#include <mutex>

namespace {

// Updates closer together than this are gathered into one.
constexpr qint64 UpdateIntervalMs = 50;

} // namespace

RunThread::RunThread(Job job, QObject *parent) : QThread(parent), job_(std::move(job)) {}

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
}

void RunThread::changed() {
    if (sinceSignal_.elapsed() >= UpdateIntervalMs) {
        sinceSignal_.restart();
        emit updated();
    }
}
