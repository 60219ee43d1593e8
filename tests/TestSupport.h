#pragma once
// Test fixtures: every case gets a fresh temporary home with its own XDG
// folders and settings file, so nothing touches the real home folder.

#include "SandboxEnvironment.h"
#include "app/OrganizerAppDelegate.h"
#include "engine/FileSystem.h"

#include <QByteArray>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>

// Readable QString values in assertion messages.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString &text, std::ostream *out) {
    *out << '"' << text.toStdString() << '"';
}
QT_END_NAMESPACE

class Sandbox : public ::testing::Test {
protected:
    void SetUp() override;

    QString root() const { return dir_->path(); }
    QString home() const { return root() + QStringLiteral("/home"); }
    QString desktop() const { return home() + QStringLiteral("/Desktop"); }
    QString supportFolder() const;

private:
    std::unique_ptr<QTemporaryDir> dir_;
};

// A controller with stand-in views (a window holding the target field, the
// summary label and the log view), as the operations expect to find them.
class ControllerTest : public Sandbox {
protected:
    void SetUp() override;

    QStringList logMessages() const;
    void setTarget(const QString &text);

    OrganizerAppDelegate delegate;
};

// Gives a controller its stand-in views.
void AttachViews(OrganizerAppDelegate &delegate);
// A fresh start of the application on the current home folder.
std::unique_ptr<OrganizerAppDelegate> FreshStart();

// The log's lines without their "[time] " prefix.
QStringList LogMessages(const OrganizerAppDelegate &delegate);

// The two actions, each run to its end as the button's run would be.
void Organize(OrganizerAppDelegate &delegate);
void Restore(OrganizerAppDelegate &delegate);

// A manifest from Qt's JSON values and back, to build cases and compare.
ManifestStore StoreOf(const QJsonArray &values);
QJsonArray ValuesOf(const ManifestStore &manifest);

void WriteFile(const QString &path, const QByteArray &bytes);
QByteArray ReadFile(const QString &path);
void MakeDir(const QString &path);
// Names in a folder, sorted, hidden ones included.
QStringList Names(const QString &folder);
bool LinkExists(const QString &path);
// Every entry under folder, sorted: its relative path, kind and content.
QStringList Tree(const QString &folder);
QString FileSystemId(const QString &path);

// A small tmpfs mounted at a folder for one case (mounting needs Linux and
// root; see mounted()), unmounted when it goes. Can be filled to leave a set number
// of free pages.
class SmallDisk {
public:
    static constexpr qint64 Page = 4096;
    SmallDisk(const QString &folder, const char *options);
    ~SmallDisk();
    SmallDisk(const SmallDisk &) = delete;
    SmallDisk &operator=(const SmallDisk &) = delete;

    bool mounted() const { return mounted_; }
    void fillLeaving(qint64 pages);
    void makeRoom(); // removes the filling
    void unmount();

private:
    QString folder_;
    bool mounted_ = false;
};

#define REQUIRE_MOUNTED(disk)                                                                      \
    if (!(disk).mounted()) {                                                                       \
        GTEST_SKIP() << "mounting a tmpfs is not allowed here (needs Linux and root)";             \
    }

#ifdef KESTRUE_CHILD_PATH
#include <QProcess>

// Runs the organizing child with env until it is killed at step ("copy:2",
// see organize_child.cpp); false if it ended any other way.
inline bool ChildKilledAt(QProcessEnvironment env, const QString &step) {
    env.insert(QStringLiteral("KESTRUE_KILL_AT"), step);
    QProcess child;
    child.setProcessEnvironment(env);
    child.start(QStringLiteral(KESTRUE_CHILD_PATH), {});
    return child.waitForFinished(30000) && child.exitStatus() == QProcess::CrashExit;
}
#endif
