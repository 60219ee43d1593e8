#include "app/SingleInstance.h"

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

// How long a later launch keeps knocking: the first copy listens right after
// it takes the lock, so only a copy that is starting or quitting is slow.
constexpr int AskForMs = 3000;

// A socket path must fit sun_path (104 bytes on macOS, 108 on Linux). A
// longer one falls back to a name in the temporary folder that is still one
// per support folder, and so one per account.
QString ServerNameFor(const QString &folder) {
    QString inFolder = JoinPath(folder, SocketName);
    if (QFile::encodeName(inFolder).size() < 100) {
        return inFolder;
    }
    const QByteArray digest =
        QCryptographicHash::hash(QFile::encodeName(folder), QCryptographicHash::Sha256).toHex();
    return QStringLiteral("kestrue-%1-%2")
        .arg(static_cast<qulonglong>(::getuid()))
        .arg(QString::fromLatin1(digest.left(16)));
}

} // namespace

SingleInstance::SingleInstance(const QString &folder)
    : lock_(JoinPath(folder, LockName)), serverName_(ServerNameFor(folder)) {
    // Held for the whole run, so never stale by age; a lock whose process is
    // gone is taken over at once (Qt checks the process id and its name).
    lock_.setStaleLockTime(0);
}

SingleInstance::~SingleInstance() = default;

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
        if (askRunningCopy()) {
            qCInfo(InstanceLog) << "another copy runs; asked it to come to the front";
            return Role::Second;
        }
        // No answer: the holder may have been quitting just now.
        if (!takeLock()) {
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

bool SingleInstance::askRunningCopy() {
    const QDeadlineTimer deadline(AskForMs);
    for (;;) {
        // The connection itself is the request; nothing is sent.
        QLocalSocket socket;
        socket.connectToServer(serverName_);
        if (socket.waitForConnected(static_cast<int>(deadline.remainingTime()))) {
            socket.disconnectFromServer();
            return true;
        }
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(50);
    }
}

void SingleInstance::serve(std::function<void()> onActivation) {
    server_ = std::make_unique<QLocalServer>();
    // A socket left by a copy that was killed: the lock is ours, so no
    // running copy listens on it.
    QLocalServer::removeServer(serverName_);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(serverName_)) {
        qCWarning(InstanceLog) << "cannot listen at" << serverName_ << server_->errorString();
        return;
    }
    qCInfo(InstanceLog) << "first copy, listening at" << server_->fullServerName();
    QLocalServer *server = server_.get();
    QObject::connect(server, &QLocalServer::newConnection, server,
                     [server, onActivation = std::move(onActivation)] {
                         while (QLocalSocket *peer = server->nextPendingConnection()) {
                             peer->deleteLater();
                         }
                         qCInfo(InstanceLog) << "a later launch asked for the window";
                         onActivation();
                     });
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
