#include "engine/FileTag.h"

#include <cerrno>
#include <sys/xattr.h>

namespace platform {

int SetFileTag(int fd, const char *name, QByteArrayView value) {
    return ::fsetxattr(fd, name, value.data(), static_cast<size_t>(value.size()), 0, 0) == 0
               ? 0
               : errno;
}

QByteArray FileTag(int fd, const char *name) {
    // A tag is short: one call with room to spare.
    QByteArray value(256, '\0');
    const ssize_t got =
        ::fgetxattr(fd, name, value.data(), static_cast<size_t>(value.size()), 0, 0);
    value.truncate(got > 0 ? got : 0);
    return value;
}

} // namespace platform
