#include "app/Constants.h"
#include "app/OrganizerAppDelegate.h"
#include "engine/FileSystem.h"
#include "engine/PathRules.h"

#include <QLineEdit>
#include <QSettings>
#include <QStandardPaths>

// Locations are worked out afresh on every call: the user may change the
// Desktop folder or delete the support folder while the application runs.

QString OrganizerAppDelegate::desktopPath() const {
    return QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
}

QString OrganizerAppDelegate::supportDir() const {
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    QString path = JoinPath(base, AppName);
    CreateDirectories(path, nullptr);
    return path;
}

QString OrganizerAppDelegate::manifestPath() const {
    return JoinPath(supportDir(), ManifestFileName);
}

QString OrganizerAppDelegate::currentTargetPath() const {
    QString typed = targetField_ ? targetField_->text().trimmed() : QString();
    if (!typed.isEmpty()) {
        return typed;
    }
    const QVariant remembered = QSettings().value(TargetFolderKey);
    return remembered.isValid() ? remembered.toString() : QString();
}
