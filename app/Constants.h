#pragma once
// The application's fixed names: its display name (also the support folder's
// name and the error domain), the settings key and the manifest's file name.

#include "engine/Error.h" // AppName

#include <QString>

inline const QString TargetFolderKey = QStringLiteral("TargetFolderPath");
inline const QString ManifestFileName = QStringLiteral("restore-manifest.json");
inline const QString MirrorFileName = QStringLiteral(".desktop-organizer-restore.json");

// The id the desktop entry, the icon and the AppStream metadata share, so
// the shell can match the running window to its entry.
inline const QString DesktopFileName = QStringLiteral("app.kestrue.Organizer");

// ASCII organisation identity for the settings store: a non-ASCII organisation
// breaks the macOS preferences id, an empty one files under "Unknown Organization".
// Linux files settings under the name (~/.config/Kestrue/Kestrue一键整理.conf).
// macOS files them under the domain, reversed, plus the application name; Qt
// does not take ".app" as a domain ending and makes it "kestrue-app.com", so
// the defaults domain is com.kestrue-app.Kestrue一键整理, not the bundle id.
// Changing either value moves the settings of existing users.
inline const QString OrganizationName = QStringLiteral("Kestrue");
inline const QString OrganizationDomain = QStringLiteral("kestrue.app");
