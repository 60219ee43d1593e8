#pragma once
// Runs one organize or restore pass on a thread of its own. What the pass
// says reaches the UI thread through the queued signal updated(), at most
// about twenty times a second however fast items go by; the UI thread takes
// the messages and the latest progress from here. It does not apply results.

#include "engine/Runs.h"

#include <QElapsedTimer>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <functional>
#include <mutex>

class RunThread : public QThread {
    Q_OBJECT

public:
    using Job = std::function<void(const RunSink &sink, const std::atomic<bool> *stop)>;

    explicit RunThread(Job job, QObject *parent = nullptr);

    // Starts the pass; false when the system would not start a thread (out
    // of memory or of threads), and nothing ran.
    bool begin();

    // Asks the pass to stop at its next safe point.
    void requestStop() { stop_.store(true); }

    // Waits for the pass to end; after it, what the pass wrote may be read.
    void join();

    // What the pass said since the last call, and its latest progress.
    QStringList takeMessages();
    RunProgress progress() const;

    // A stack size for the threads begun from now on, so that tests can make
    // their start fail as the system would; 0 is the system's own.
    static void setStackSizeForTesting(uint bytes);

signals:
    void updated();

protected:
    void run() override;

private:
    void changed(); // on the run's thread, with the lock released

    Job job_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> ended_{false}; // set, with release, when the pass returns
    mutable std::mutex mutex_;
    QStringList messages_;
    RunProgress progress_;
    QElapsedTimer sinceSignal_; // the run's thread only
};
