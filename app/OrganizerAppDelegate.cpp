#include "app/OrganizerAppDelegate.h"

#include "app/RunThread.h"

#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QPlainTextEdit>

OrganizerAppDelegate::OrganizerAppDelegate() = default;

OrganizerAppDelegate::~OrganizerAppDelegate() {
    // A thread must not outlive what it reports to.
    finishRun(true);
}

bool OrganizerAppDelegate::applicationShouldTerminateAfterLastWindowClosed() const {
    return true;
}

QMainWindow *OrganizerAppDelegate::window() const {
    return window_.get();
}

void OrganizerAppDelegate::setWindow(QMainWindow *window) {
    window_.reset(window);
}

QLineEdit *OrganizerAppDelegate::targetField() const {
    return targetField_;
}

void OrganizerAppDelegate::setTargetField(QLineEdit *field) {
    targetField_ = field;
}

QLabel *OrganizerAppDelegate::summaryField() const {
    return summaryField_;
}

void OrganizerAppDelegate::setSummaryField(QLabel *field) {
    summaryField_ = field;
}

QPlainTextEdit *OrganizerAppDelegate::logView() const {
    return logView_;
}

void OrganizerAppDelegate::setLogView(QPlainTextEdit *view) {
    logView_ = view;
}

const ManifestStore &OrganizerAppDelegate::manifest() const {
    return manifest_;
}

void OrganizerAppDelegate::setManifest(ManifestStore manifest) {
    manifest_ = std::move(manifest);
}
