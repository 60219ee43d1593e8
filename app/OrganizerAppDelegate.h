#pragma once
// The application's one controller. It owns the window, observes the three
// views the operations write to, holds the in-memory restore manifest, and
// carries every behaviour as a method; each group below is defined in the
// file named beside it. It does no work on other threads.

#include <QJsonArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>

class QLabel;
class QLineEdit;
class QMainWindow;
class QPlainTextEdit;
struct Error;

class OrganizerAppDelegate : public QObject {
    Q_OBJECT

public:
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

    // Restore manifest: engine/Manifest.cpp
    void loadManifest();
    void saveManifest();

    // Activity log and summary: ui/LogAndSummary.cpp
    void updateSummary();
    void appendLog(const QString &message);

    // Target folder preparation: engine/TargetPreparation.cpp
    bool prepareTarget(const QString &path, Error *error) const;

    // The two moving operations: engine/Organize.cpp, engine/Restore.cpp
    void organizeDesktop(QObject *sender = nullptr);
    void restoreFiles(QObject *sender = nullptr);

    // State: app/OrganizerAppDelegate.cpp
    QMainWindow *window() const;
    void setWindow(QMainWindow *window); // takes ownership
    QLineEdit *targetField() const;
    void setTargetField(QLineEdit *field);
    QLabel *summaryField() const;
    void setSummaryField(QLabel *field);
    QPlainTextEdit *logView() const;
    void setLogView(QPlainTextEdit *view);
    const QJsonArray &manifest() const;
    void setManifest(QJsonArray manifest);

private:
    // Declared in this order so they are released in the reverse one.
    std::unique_ptr<QMainWindow> window_;
    QPointer<QLineEdit> targetField_;
    QPointer<QLabel> summaryField_;
    QPointer<QPlainTextEdit> logView_;
    QJsonArray manifest_;
};
