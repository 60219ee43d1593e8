#pragma once
// What the tests and the benchmark ask of the system beyond POSIX, in one
// place. Linux has all of it. On macOS each call maps to the system's own,
// or says it is not there and the case that needs it skips with a message.
// Programs that are Linux through and through (the power-cut rig) are left
// out by the build instead.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>
#ifdef __APPLE__
#include <sys/resource.h>
#else
#include <linux/fs.h> // FS_IOC_GETFLAGS
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/sysmacros.h> // makedev
#endif

namespace portable {

// Mounts a new file system of type (tmpfs, ramfs) at folder: 0, or the errno
// that refused it. Linux only (and only for root); ENOTSUP elsewhere.
inline int Mount(const char *type, const char *folder, const char *options) {
#ifdef __APPLE__
    (void)type;
    (void)folder;
    (void)options;
    return ENOTSUP;
#else
    return ::mount(type, folder, type, 0, options) == 0 ? 0 : errno;
#endif
}

// Takes away what Mount put at folder, even while something in it is open.
inline void Unmount(const char *folder) {
#ifdef __APPLE__
    (void)folder;
#else
    ::umount2(folder, MNT_DETACH);
#endif
}

// Extended attributes of path itself, a final link not followed. Each
// returns what the system call does (-1 with errno on failure).
inline ssize_t ListAttributes(const char *path, char *names, size_t size) {
#ifdef __APPLE__
    return ::listxattr(path, names, size, XATTR_NOFOLLOW);
#else
    return ::llistxattr(path, names, size);
#endif
}

inline ssize_t GetAttribute(const char *path, const char *name, void *value, size_t size) {
#ifdef __APPLE__
    return ::getxattr(path, name, value, size, 0, XATTR_NOFOLLOW);
#else
    return ::lgetxattr(path, name, value, size);
#endif
}

inline int SetAttribute(const char *path, const char *name, const void *value, size_t size) {
#ifdef __APPLE__
    return ::setxattr(path, name, value, size, 0, XATTR_NOFOLLOW);
#else
    return ::lsetxattr(path, name, value, size, 0);
#endif
}

inline int RemoveAttribute(const char *path, const char *name) {
#ifdef __APPLE__
    return ::removexattr(path, name, XATTR_NOFOLLOW);
#else
    return ::lremovexattr(path, name);
#endif
}

// The system's rename that never replaces: 0, or -1 with errno.
inline int RenameNoReplace(const char *from, const char *to) {
#ifdef __APPLE__
    return ::renamex_np(from, to, RENAME_EXCL);
#else
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
#endif
}

// Sets (on) or clears the lock of an entry: immutable (chattr +i; Finder's
// lock, chflags uchg), or with appendOnly append-only (chattr +a, chflags
// uappnd). 0, or the errno that refused it (Linux: root alone may set
// them; a file system without them says ENOTTY or EOPNOTSUPP).
inline int SetLock(const char *path, bool appendOnly, bool on) {
#ifdef __APPLE__
    struct stat st {};
    if (::lstat(path, &st) != 0) {
        return errno;
    }
    const unsigned bit = appendOnly ? UF_APPEND : UF_IMMUTABLE;
    return ::lchflags(path, on ? st.st_flags | bit : st.st_flags & ~bit) == 0 ? 0 : errno;
#else
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    int flags = 0;
    int err = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
        err = errno;
    } else {
        const int bit = appendOnly ? FS_APPEND_FL : FS_IMMUTABLE_FL;
        flags = on ? flags | bit : flags & ~bit;
        err = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0 ? 0 : errno;
    }
    ::close(fd);
    return err;
#endif
}

// Whether one call syncs a whole volume (syncfs). macOS has none.
#ifdef __APPLE__
inline constexpr bool HasVolumeSync = false;
#else
inline constexpr bool HasVolumeSync = true;
#endif

// Syncs the whole volume that holds the open file fd, in one call: 0, or -1
// with errno (ENOSYS where there is no such call).
inline int SyncVolume(int fd) {
#ifdef __APPLE__
    (void)fd;
    errno = ENOSYS;
    return -1;
#else
    return ::syncfs(fd);
#endif
}

// Syncs a file's data and what reading it back needs (fdatasync; on macOS,
// whose headers do not declare it, fsync).
inline int SyncData(int fd) {
#ifdef __APPLE__
    return ::fsync(fd);
#else
    return ::fdatasync(fd);
#endif
}

// The high-water mark of this process's own memory, in KiB; 0 when unknown.
// Linux: VmHWM, since getrusage's maxrss is carried across exec from the
// forking parent there. macOS: getrusage, whose maxrss is the task's own (an
// exec gets a new task) and counts bytes.
inline long long PeakResidentKb() {
#ifdef __APPLE__
    rusage usage{};
    return ::getrusage(RUSAGE_SELF, &usage) == 0 ? static_cast<long long>(usage.ru_maxrss) / 1024
                                                 : 0;
#else
    std::FILE *status = std::fopen("/proc/self/status", "re");
    if (status == nullptr) {
        return 0;
    }
    long long kb = 0;
    char line[256];
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "VmHWM:", 6) == 0) {
            kb = std::strtoll(line + 6, nullptr, 10);
            break;
        }
    }
    std::fclose(status);
    return kb;
#endif
}

} // namespace portable
