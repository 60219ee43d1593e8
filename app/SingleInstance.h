#pragma once
// One running copy per user account. The manifest is read once at start-up
// and rewritten whole at each save, so two copies would drop each other's
// records. The first copy holds a lock file in the support folder for its
// whole run and listens on a local socket beside it; a later launch finds
// the lock held, asks that copy through the socket to come to the front,
// and ends without reading or writing anything. A copy that is quitting
// (its run stopping, its last save still to make) has no window to show: it
// stops answering and says so in a file beside the lock, and a launch
// meanwhile waits for the lock and then starts.

#include <QLockFile>
#include <QString>
#include <functional>
#include <memory>

class QLocalServer;
class QWidget;

class SingleInstance {
public:
    enum class Role {
        First,     // holds the lock and answers later launches
        Second,    // another copy runs and was asked to come forward: end now
        Unguarded, // the lock cannot be had for another reason: run as before
        Quitting,  // another copy was still quitting when the wait ran out
    };

    // folder: where the lock and, when its path is short enough, the socket
    // live. Nothing is taken or asked before start().
    explicit SingleInstance(const QString &folder);
    ~SingleInstance();
    SingleInstance(const SingleInstance &) = delete;
    SingleInstance &operator=(const SingleInstance &) = delete;

    // Takes the lock, or asks the copy that holds it to come forward, or
    // waits for a copy that is quitting to end. As the first copy,
    // onActivation runs in the event loop at each later launch, until the
    // application is about to quit.
    Role start(std::function<void()> onActivation);
    // Answers no more, and tells later launches to wait for the lock.
    void stopAnswering();

    QString lockPath() const;
    QString serverName() const { return serverName_; }

private:
    enum class Answer { Answered, Quitting, None };
    bool takeLock();
    Answer askRunningCopy();
    Role waitForQuittingCopy();
    void serve(std::function<void()> onActivation);

    QLockFile lock_;
    QString quittingPath_;
    bool quitting_ = false; // this copy wrote the file that says so
    QString serverName_;
    std::unique_ptr<QLocalServer> server_;
};

// Shows the window again if it is minimised or hidden, raises it and gives it
// the focus. A null window (not built yet) is left alone.
void BringToFront(QWidget *window);
