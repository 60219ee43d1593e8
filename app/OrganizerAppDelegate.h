#pragma once
// The application's one controller. It owns the window, observes the three
// views the operations write to, holds the in-memory restore manifest, and
// carries every behaviour as a method; each group below is defined in the
// file named beside it. File work runs in one run at a time, on a worker
// thread and the helpers it starts; every method here is called on the UI
// thread.

#include "engine/Manifest.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <memory>

class QLabel;
class QLineEdit;
class QMainWindow;
class QMenuBar;
class QPlainTextEdit;
class QPushButton;
class RunThread;
struct Error;
struct RunSink;

class OrganizerAppDelegate : public QObject {
    Q_OBJECT

public:
    // A button action: a method that takes the control that sent it.
    using Action = void (OrganizerAppDelegate::*)(QObject *sender);

    OrganizerAppDelegate();
    ~OrganizerAppDelegate() override;
    OrganizerAppDelegate(const OrganizerAppDelegate &) = delete;
    OrganizerAppDelegate &operator=(const OrganizerAppDelegate &) = delete;

    // Start-up and termination: app/StartUp.cpp
    void applicationDidFinishLaunching();
    bool applicationShouldTerminateAfterLastWindowClosed() const;

    // Locations and settings: app/Locations.cpp
    QString desktopPath() const;
    QString supportDir() const;
    QString manifestPath() const;
    QString currentTargetPath() const;

    // Restore manifest: app/ManifestStore.cpp
    void loadManifest();
    void saveManifest();

    // Application menu: ui/Menu.cpp
    void buildMenu();

    // Control factories: ui/ControlFactories.cpp. The caller places the new
    // control and gives it its parent.
    std::unique_ptr<QLabel> label(const QString &text, double fontSize, bool bold) const;
    std::unique_ptr<QPushButton> button(const QString &title, Action action, bool primary);

    // Main window: ui/MainWindow.cpp
    void buildWindow();

    // Activity log and summary: ui/LogAndSummary.cpp
    void updateSummary();
    void appendLog(const QString &message);

    // Target folder chooser: ui/FolderChooser.cpp
    void chooseFolder(QObject *sender = nullptr);

    // Target folder preparation: app/Operations.cpp
    bool prepareTarget(const QString &path, Error *error) const;

    // The two moving operations: app/Operations.cpp. Each checks its input
    // here and runs on a worker thread; the window answers meanwhile, shows
    // progress, and gets the result when the run ends.
    void organizeDesktop(QObject *sender = nullptr);
    void restoreFiles(QObject *sender = nullptr);
    bool runActive() const;
    // Waits for the run under way, if any, and applies what it did; asked to
    // stop first, it ends at its next safe point (quitting does this).
    void finishRun(bool stop = false);

    // State: app/OrganizerAppDelegate.cpp
    QMainWindow *window() const;
    void setWindow(QMainWindow *window); // takes ownership
    QLineEdit *targetField() const;
    void setTargetField(QLineEdit *field);
    QLabel *summaryField() const;
    void setSummaryField(QLabel *field);
    QPlainTextEdit *logView() const;
    void setLogView(QPlainTextEdit *view);
    const ManifestStore &manifest() const;
    void setManifest(ManifestStore manifest);

private:
    // How runs start, report and end: app/Operations.cpp
    enum class RunKind { Organize, Restore };
    void startRun(RunKind kind, std::function<void(const RunSink &, const std::atomic<bool> *)> job,
                  std::function<void()> apply);
    void showRunUpdates();
    void setControlsEnabled(bool enabled);
    // Where the manifest's mirror goes (none without a target), and what
    // follows any save: the journal goes, or the failure is told.
    QString mirrorPath() const;
    void manifestSaved(bool saved, const Error &error);
    // Before a save first replaces a mirror this session has not written:
    // false when it may not (it could not be read); one kept aside is told
    // in *message. Any thread.
    static bool clearMirrorFor(const QString &mirror, const ManifestStore &known, QString *message);
    // Logs why organize and restore refuse, when start-up could not read
    // the records; true then.
    bool refusedWhileUnreadable();
    // Logs a message, or keeps it for after the hint when the log does not
    // exist yet (a save made while loading).
    void tell(const QString &message);

    // The menu bar buildMenu makes. On macOS Qt shows a window-less menu bar
    // as the application's; elsewhere buildWindow hands it to the window.
    std::unique_ptr<QMenuBar> mainMenu_;

    // Declared in this order so they are released in the reverse one.
    std::unique_ptr<QMainWindow> window_;
    QPointer<QLineEdit> targetField_;
    QPointer<QLabel> summaryField_;
    QPointer<QPlainTextEdit> logView_;
    ManifestStore manifest_;
    // What loading found to tell the user, logged after the start-up hint.
    QStringList startupNotices_;
    // Why start-up could not read the manifest or its journal: until the
    // next start nothing is saved over them.
    QString unreadableAtStart_;
    // The mirror this session has checked or written, which a save may
    // replace without reading it first.
    QString checkedMirror_;

    // The run under way, what applies its result, and what its summary says.
    std::unique_ptr<RunThread> run_;
    std::function<void()> applyRun_;
    RunKind runKind_ = RunKind::Organize;
    QString copyingName_;       // the item whose copy is being shown
    qint64 copyingSinceMs_ = 0; // when that copy was first seen
};
