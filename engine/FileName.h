#pragma once
// A file name's bytes as text, and text as a file name's bytes: UTF-8 both
// ways, on every system, so that a name goes through the manifest, the
// journal and back to the disk exactly as it was. Qt's own file-name encoding
// is not used: on macOS it decomposes every name it encodes and composes
// every name it decodes, so a name stored one way would come back the other.

#include <QByteArray>
#include <QString>

inline QString NameText(const QByteArray &bytes) {
    return QString::fromUtf8(bytes);
}

inline QByteArray NameBytes(const QString &text) {
    return text.toUtf8();
}
