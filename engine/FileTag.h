#pragma once
// A short tag kept with a file as an extended attribute. It is set on the
// open file, so the file's own sync takes it to the disk with the data, and
// a rename carries it along. Defined once for each system, in
// engine/FileTagLinux.cpp or, on macOS, engine/FileTagMac.cpp. Where the file
// system keeps no such attributes, a file has no tag.

#include <QByteArray>
#include <QByteArrayView>

namespace platform {

// 0, or the errno that refused it.
int SetFileTag(int fd, const char *name, QByteArrayView value);
// The tag, or empty when there is none or it cannot be read.
QByteArray FileTag(int fd, const char *name);

} // namespace platform
