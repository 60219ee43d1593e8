// The macOS half of a move (engine/MovePlatform.h): renamex_np without
// replacing, the system's own copier, which keeps what Finder keeps, and the
// flags that keep an entry from being removed. Built on macOS alone.

#include "engine/MovePlatform.h"
#include "engine/TestHooks.h"

#include <cerrno>
#include <copyfile.h>
#include <cstdio>
#include <sys/stat.h>

namespace {

// Flags that make unlink and rename fail with EPERM: Finder's lock (uchg),
// its system twin, and append-only.
constexpr unsigned LockFlags = UF_IMMUTABLE | SF_IMMUTABLE | UF_APPEND | SF_APPEND
#ifdef SF_NOUNLINK
                               | SF_NOUNLINK
#endif
    ;

// The copier carries the source's flags onto the copy, a lock among them,
// and a locked copy can be neither renamed into place nor removed. The walk
// refuses a locked entry before it is copied; one locked since then has its
// lock taken off the copy, which is then removed, and the move fails.
bool CarriedNoLock(const QByteArray &to, Error *error) {
    struct stat copy {};
    if (::lstat(to.constData(), &copy) != 0 || (copy.st_flags & LockFlags) == 0) {
        return true;
    }
    (void)::lchflags(to.constData(), copy.st_flags & ~LockFlags);
    SetError(error, PosixError(EPERM));
    return false;
}

// What the copier's callback works with during one copy.
struct CopyStatus {
    CopyContext &context;
    off_t told = 0;       // of the file's data copied, what the context has been told
    bool stopped = false; // the callback stopped the copy
};

// Tells the context of the file data as it is written, and stops the copy
// when the context says so (the copier then fails, saying ECANCELED). Notes
// each attribute the target refused and lets the copy go on; any other
// failure stops it.
int OnStatus(int what, int stage, copyfile_state_t state, const char * /*from*/,
             const char * /*to*/, void *context) {
    auto *status = static_cast<CopyStatus *>(context);
    const int saved = errno;
    int answer = COPYFILE_CONTINUE;
    if (what == COPYFILE_COPY_DATA && stage == COPYFILE_PROGRESS) {
        // The bytes of this file's data copied so far.
        off_t copied = 0;
        if (copyfile_state_get(state, COPYFILE_STATE_COPIED, &copied) == 0 && copied > 0) {
            // A count that went back started again from nothing.
            const off_t more = copied >= status->told ? copied - status->told : copied;
            status->told = copied;
            if (status->context.advance(more) != 0) {
                status->stopped = true;
                answer = COPYFILE_QUIT;
            }
        }
    } else if (stage == COPYFILE_ERR) {
        const char *name = nullptr;
        if (what != COPYFILE_COPY_XATTR) {
            answer = COPYFILE_QUIT;
        } else if (copyfile_state_get(state, COPYFILE_STATE_XATTRNAME, &name) == 0 &&
                   name != nullptr) {
            status->context.refused(name);
        }
    }
    errno = saved;
    return answer;
}

// The system's own copier keeps what Finder keeps: data, extended attributes
// (resource fork, Finder info and tags, quarantine among them), ACLs, flags,
// owner, mode and times, as far as flags ask. Never follows a link, and with
// COPYFILE_EXCL never replaces.
bool SystemCopy(const QByteArray &from, const QByteArray &to, copyfile_flags_t flags,
                CopyContext &context, Error *error) {
    copyfile_state_t state = copyfile_state_alloc();
    if (state == nullptr) {
        SetError(error, PosixError(ENOMEM));
        return false;
    }
    CopyStatus status{context};
    (void)copyfile_state_set(state, COPYFILE_STATE_STATUS_CB,
                             reinterpret_cast<const void *>(&OnStatus));
    (void)copyfile_state_set(state, COPYFILE_STATE_STATUS_CTX, &status);
    int err = 0;
    if (copyfile(from.constData(), to.constData(), state, flags | COPYFILE_NOFOLLOW) < 0) {
        err = errno != 0 ? errno : EIO;
        if (status.stopped) {
            err = ECANCELED; // whatever the copier left in errno
        }
    }
    // Freeing closes the copy, and close can report a failed write.
    if (copyfile_state_free(state) != 0 && err == 0) {
        err = errno != 0 ? errno : EIO;
    }
    if (err != 0) {
        SetError(error, PosixError(err));
        return false;
    }
    return true;
}

} // namespace

namespace platform {

struct timespec ChangeTime(const struct stat &st) {
    return st.st_ctimespec;
}

int RenameWithoutReplacing(const QByteArray &from, const QByteArray &to) {
    if (const int fault = RenameFault("renameNoReplace", from)) {
        return fault;
    }
    return ::renamex_np(from.constData(), to.constData(), RENAME_EXCL) == 0 ? 0 : errno;
}

bool CannotRenameWithoutReplacing(int err) {
    return err == EINVAL || err == ENOTSUP;
}

// No one call syncs a volume here (VolumeSync says ENOSYS): each entry is
// synced to the drive on its own, then one F_FULLFSYNC empties the drive's
// cache (VolumeSync::flushDriveCache).
bool SyncsWholeVolume(const QByteArray &folder) {
    (void)folder;
    return false;
}

int Unremovable(const QByteArray & /*path*/, const struct stat &st) {
    return (st.st_flags & LockFlags) != 0 ? EPERM : 0;
}

bool CopyFile(const QByteArray &from, const QByteArray &to, const struct stat &st,
              CopyContext &context, Error *error) {
    copyfile_flags_t flags = COPYFILE_ALL | COPYFILE_EXCL;
#ifdef COPYFILE_DATA_SPARSE
    // Holes kept. Not for an empty file, which the sparse path fails outright.
    if (st.st_size > 0) {
        flags |= COPYFILE_DATA_SPARSE;
    }
#else
    (void)st;
#endif
    return SystemCopy(from, to, flags, context, error) && CarriedNoLock(to, error);
}

bool CopyLink(const QByteArray &from, const QByteArray &to, const struct stat & /*st*/,
              CopyContext &context, Error *error) {
    return SystemCopy(from, to, COPYFILE_METADATA | COPYFILE_EXCL, context, error) &&
           CarriedNoLock(to, error);
}

// Created owner-writable with its extended attributes; ACL, mode, flags and
// times wait for the children, or they could lock the copy against them.
bool StartFolder(const QByteArray &from, const QByteArray &to, CopyContext &context, Error *error) {
    return SystemCopy(from, to, COPYFILE_XATTR | COPYFILE_EXCL, context, error);
}

bool FinishFolder(const QByteArray &from, const QByteArray &to, const struct stat & /*st*/,
                  CopyContext &context, Error *error) {
    (void)SystemCopy(from, to, COPYFILE_SECURITY, context, nullptr);
    return CarriedNoLock(to, error);
}

} // namespace platform
