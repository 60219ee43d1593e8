#include "TestSupport.h"

#include "Portability.h"
#include "app/Constants.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void Sandbox::SetUp() {
    dir_ = std::make_unique<QTemporaryDir>();
    ASSERT_TRUE(dir_->isValid());
    MakeDir(desktop());
    EnterSandbox(home());
    RefuseOutsideSandbox(home());
}

QString Sandbox::supportFolder() const {
    return home() + QStringLiteral("/.local/share/") + AppName;
}

void ControllerTest::SetUp() {
    Sandbox::SetUp();
    AttachViews(delegate);
    delegate.loadManifest();
}

void AttachViews(OrganizerAppDelegate &delegate) {
    auto *window = new QMainWindow;
    delegate.setWindow(window);
    auto *content = new QWidget(window);
    window->setCentralWidget(content);
    delegate.setTargetField(new QLineEdit(content));
    delegate.setSummaryField(new QLabel(content));
    delegate.setLogView(new QPlainTextEdit(content));
}

std::unique_ptr<OrganizerAppDelegate> FreshStart() {
    auto delegate = std::make_unique<OrganizerAppDelegate>();
    AttachViews(*delegate);
    delegate->loadManifest();
    return delegate;
}

QStringList ControllerTest::logMessages() const {
    return LogMessages(delegate);
}

QStringList LogMessages(const OrganizerAppDelegate &delegate) {
    QStringList messages;
    if (delegate.logView() == nullptr) {
        return messages;
    }
    const QString text = delegate.logView()->toPlainText();
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        if (line.isEmpty()) {
            continue;
        }
        const qsizetype end = line.indexOf(QStringLiteral("] "));
        messages.append(line.startsWith(QLatin1Char('[')) && end > 0 ? line.mid(end + 2) : line);
    }
    return messages;
}

void ControllerTest::setTarget(const QString &text) {
    delegate.targetField()->setText(text);
}

void Organize(OrganizerAppDelegate &delegate) {
    delegate.organizeDesktop();
    delegate.finishRun();
}

void Restore(OrganizerAppDelegate &delegate) {
    delegate.restoreFiles();
    delegate.finishRun();
}

ManifestStore StoreOf(const QJsonArray &values) {
    bool usable = false;
    ManifestStore store = ManifestStore::parse(QJsonDocument(values).toJson(), &usable);
    EXPECT_TRUE(usable);
    return store;
}

QJsonArray ValuesOf(const ManifestStore &manifest) {
    QJsonParseError status{};
    const QJsonDocument document = QJsonDocument::fromJson(manifest.encode(), &status);
    EXPECT_EQ(status.error, QJsonParseError::NoError);
    return document.array();
}

void WriteFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

QByteArray ReadFile(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

void MakeDir(const QString &path) {
    ASSERT_TRUE(QDir().mkpath(path)) << path.toStdString();
}

QStringList Names(const QString &folder) {
    QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                               QDir::NoDotAndDotDot);
    names.sort();
    return names;
}

bool LinkExists(const QString &path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISLNK(st.st_mode);
}

QStringList Tree(const QString &folder) {
    QStringList tree;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        QString entry = path.mid(folder.size() + 1);
        if (info.isSymLink()) {
            char target[256] = {};
            const ssize_t length =
                ::readlink(QFile::encodeName(path).constData(), target, sizeof(target) - 1);
            entry += QStringLiteral(" -> ") + QString::fromUtf8(target, qMax<ssize_t>(length, 0));
        } else if (!info.isDir()) {
            entry +=
                QStringLiteral(" = ") +
                QString::fromLatin1(
                    QCryptographicHash::hash(ReadFile(path), QCryptographicHash::Sha1).toHex());
        }
        tree.append(entry);
    }
    tree.sort();
    return tree;
}

QString FileSystemId(const QString &path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
        return {};
    }
    return QString::number(st.st_dev);
}

SmallDisk::SmallDisk(const QString &folder, const char *options) : folder_(folder) {
    MakeDir(folder);
    mounted_ = portable::Mount("tmpfs", QFile::encodeName(folder).constData(), options) == 0;
}

SmallDisk::~SmallDisk() {
    unmount();
}

void SmallDisk::fillLeaving(qint64 pages) {
    const QByteArray filler = QFile::encodeName(folder_ + QStringLiteral("/.filler"));
    const int fd = ::open(filler.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const QByteArray block(Page, 'f');
    while (::write(fd, block.constData(), Page) == Page) {
    }
    ASSERT_EQ(errno, ENOSPC);
    const off_t size = ::lseek(fd, 0, SEEK_END);
    ::close(fd);
    ASSERT_GE(size, pages * Page);
    ASSERT_EQ(::truncate(filler.constData(), size - pages * Page), 0);
}

void SmallDisk::makeRoom() {
    ::unlink(QFile::encodeName(folder_ + QStringLiteral("/.filler")).constData());
}

void SmallDisk::unmount() {
    if (mounted_) {
        portable::Unmount(QFile::encodeName(folder_).constData());
        mounted_ = false;
    }
}
