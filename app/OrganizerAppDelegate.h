#pragma once
// The application's one controller. It owns the window, observes the three
// views the operations write to, holds the in-memory restore manifest, and
// carries every behaviour as a method; each group below is defined in the
// file named beside it. It does no work on other threads.

#include <QJsonArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <memory>

class QLabel;
class QLineEdit;
class QMainWindow;
class QMenuBar;
class QPlainTextEdit;
class QPushButton;
struct Error;

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

    // Restore manifest: engine/Manifest.cpp
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
    // The menu bar buildMenu makes. On macOS Qt shows a window-less menu bar
    // as the application's; elsewhere buildWindow hands it to the window.
    std::unique_ptr<QMenuBar> mainMenu_;

    // Declared in this order so they are released in the reverse one.
    std::unique_ptr<QMainWindow> window_;
    QPointer<QLineEdit> targetField_;
    QPointer<QLabel> summaryField_;
    QPointer<QPlainTextEdit> logView_;
    QJsonArray manifest_;
    // What loading found to tell the user, logged after the start-up hint.
    QStringList startupNotices_;
};
