#include "app/SingleInstance.h"

#include "engine/FileName.h"
#include "engine/PathRules.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLoggingCategory>
#include <QSysInfo>
#include <QThread>
#include <QWidget>
#include <unistd.h>

namespace {

Q_LOGGING_CATEGORY(InstanceLog, "kestrue.instance", QtWarningMsg)

const QString LockName = QStringLiteral(".instance.lock");
const QString SocketName = QStringLiteral(".instance.socket");
const QString QuittingName = QStringLiteral(".instance.quitting");

// How long a later launch keeps knocking: the first copy listens right after
// it takes the lock, so only a copy that is starting or quitting is slow.
constexpr int AskForMs = 3000;
// How long it waits for a copy that is quitting: stopping a run and removing
// its half-made copy can take some seconds on a slow disk.
constexpr int WaitForQuitMs = 60000;

// One knock at the socket; the connection itself is the request.
bool Knock(const QString &serverName, int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(serverName);
    if (!socket.waitForConnected(timeoutMs)) {
        return false;
    }
    socket.disconnectFromServer();
    return true;
}

// A socket path must fit sun_path (104 bytes on macOS, 108 on Linux). A
// longer one falls back to a name in the temporary folder that is still one
// per support folder, and so one per account.
QString ServerNameFor(const QString &folder) {
    QString inFolder = JoinPath(folder, SocketName);
    if (NameBytes(inFolder).size() < 100) {
        return inFolder;
    }
    const QByteArray digest =
        QCryptographicHash::hash(NameBytes(folder), QCryptographicHash::Sha256).toHex();
    return QStringLiteral("kestrue-%1-%2")
        .arg(static_cast<qulonglong>(::getuid()))
        .arg(QString::fromLatin1(digest.left(16)));
}

} // namespace

SingleInstance::SingleInstance(const QString &folder)
    : lock_(JoinPath(folder, LockName)), quittingPath_(JoinPath(folder, QuittingName)),
      serverName_(ServerNameFor(folder)) {
    // Held for the whole run, so never stale by age; a lock whose process is
    // gone is taken over at once (Qt checks the process id and its name).
    lock_.setStaleLockTime(0);
}

SingleInstance::~SingleInstance() {
    if (quitting_) {
        lock_.unlock();
        QFile::remove(quittingPath_);
    }
}

QString SingleInstance::lockPath() const {
    return lock_.fileName();
}

SingleInstance::Role SingleInstance::start(std::function<void()> onActivation) {
    if (!takeLock()) {
        if (lock_.error() != QLockFile::LockFailedError) {
            qCInfo(InstanceLog) << "no lock at" << lockPath() << "error" << lock_.error()
                                << "- running unguarded";
            return Role::Unguarded;
        }
        const Answer answer = askRunningCopy();
        if (answer == Answer::Answered) {
            qCInfo(InstanceLog) << "another copy runs; asked it to come to the front";
            return Role::Second;
        }
        if (answer == Answer::Quitting) {
            if (const Role role = waitForQuittingCopy(); role != Role::First) {
                return role;
            }
        } else if (!takeLock()) {
            // No answer, and the lock was not let go meanwhile.
            qCInfo(InstanceLog) << "another copy holds the lock but does not answer";
            return lock_.error() == QLockFile::LockFailedError ? Role::Second : Role::Unguarded;
        }
    }
    serve(std::move(onActivation));
    return Role::First;
}

bool SingleInstance::takeLock() {
    if (lock_.tryLock(0)) {
        return true;
    }
    if (lock_.error() != QLockFile::LockFailedError) {
        return false;
    }
    // In a process-id namespace (a sandboxed launch) a killed copy can leave
    // the very id this process now has, and Qt takes it for a live copy. The
    // removal is refused while any process still holds the file's own lock.
    qint64 pid = 0;
    QString host;
    if (lock_.getLockInfo(&pid, &host, nullptr) && pid == QCoreApplication::applicationPid() &&
        host == QSysInfo::machineHostName() && lock_.removeStaleLockFile()) {
        return lock_.tryLock(0);
    }
    return false;
}

SingleInstance::Answer SingleInstance::askRunningCopy() {
    const QDeadlineTimer deadline(AskForMs);
    for (;;) {
        if (Knock(serverName_, static_cast<int>(deadline.remainingTime()))) {
            return Answer::Answered;
        }
        if (QFile::exists(quittingPath_)) {
            return Answer::Quitting;
        }
        if (deadline.hasExpired()) {
            return Answer::None;
        }
        QThread::msleep(50);
    }
}

SingleInstance::Role SingleInstance::waitForQuittingCopy() {
    qCInfo(InstanceLog) << "another copy is quitting; waiting for its lock";
    const QDeadlineTimer deadline(WaitForQuitMs);
    while (!deadline.hasExpired()) {
        if (takeLock()) {
            return Role::First;
        }
        if (lock_.error() != QLockFile::LockFailedError) {
            return Role::Unguarded;
        }
        // A launch that came after it may have started first.
        if (Knock(serverName_, 100)) {
            return Role::Second;
        }
        QThread::msleep(100);
    }
    return Role::Quitting;
}

void SingleInstance::serve(std::function<void()> onActivation) {
    server_ = std::make_unique<QLocalServer>();
    // A socket left by a copy that was killed, and what it said if it was
    // quitting: the lock is ours, so no running copy listens or quits.
    QLocalServer::removeServer(serverName_);
    QFile::remove(quittingPath_);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(serverName_)) {
        qCWarning(InstanceLog) << "cannot listen at" << serverName_ << server_->errorString();
        return;
    }
    qCInfo(InstanceLog) << "first copy, listening at" << server_->fullServerName();
    QLocalServer *server = server_.get();
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, server,
                     [this] { stopAnswering(); });
    QObject::connect(server, &QLocalServer::newConnection, server,
                     [server, onActivation = std::move(onActivation)] {
                         while (QLocalSocket *peer = server->nextPendingConnection()) {
                             peer->deleteLater();
                         }
                         qCInfo(InstanceLog) << "a later launch asked for the window";
                         onActivation();
                     });
}

void SingleInstance::stopAnswering() {
    if (!server_ || quitting_) {
        return;
    }
    // Said before the socket closes: a launch that finds it closed finds this.
    QFile said(quittingPath_);
    quitting_ = said.open(QIODevice::WriteOnly);
    server_->close();
    qCInfo(InstanceLog) << "quitting; later launches wait for the lock";
}

void BringToFront(QWidget *window) {
    if (window == nullptr) {
        return;
    }
    if (window->isMinimized()) {
        window->showNormal();
    } else if (!window->isVisible()) {
        window->show();
    }
    window->raise();
    window->activateWindow();
}
