#pragma once
// Thin, error-describing wrappers over the POSIX calls the engine needs:
// existence tests and free names, creating a folder chain, listing a folder
// with hidden flags, removing a tree, syncing files, folders, trees and
// volumes, and writing a file whole or not at all. Paths are converted with
// NameBytes (engine/FileName.h).

#include "engine/Error.h"
#include "engine/FileName.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <functional>
#include <vector>

// Maps in, in one call, the pages of a block about to be written whole, where
// taking them one fault at a time costs far more (as on virtual machines).
// Only a hint: does nothing where the system cannot do it.
void PrefaultForWriting(void *data, qsizetype size);

// The folder that holds path: "." for a bare name, "/" for an entry of the
// root.
QByteArray ParentFolder(const QByteArray &path);

// True when a folder (or a link to one) exists at path.
bool IsDirectory(const QString &path);

// True when a directory entry exists at path, the link itself included:
// a dangling link counts as taken. Used where a name must be free.
bool EntryExists(const QString &path);
bool EntryExists(const QByteArray &path); // a name's bytes

// The wanted path when no entry is there, else the first free numbered
// variant beside it (see the two-argument UniquePath in engine/PathRules.h).
// Asks the file system and changes nothing on disk.
QString UniquePath(const QString &wanted);

// Creates path and every missing folder above it. An existing folder (or a
// link to one) is success; anything else in the way is an error.
bool CreateDirectories(const QString &path, Error *error);

struct DirectoryEntry {
    QByteArray rawName; // the bytes the file system returned
    bool hidden = false;
    // False when the bytes are not a faithful encoding of any text, so the
    // name cannot be written into the manifest and found again.
    bool nameIsText = true;
    // The decoded file name, made when it is asked for.
    QString name() const { return NameText(rawName); }
};

// The entries directly in path, in the order the file system returns them,
// without "." and "..". Hidden: a leading dot, listed in the folder's
// ".hidden" file (one name per line, as Linux file managers read it), or on
// macOS marked hidden for Finder (the UF_HIDDEN flag, chflags hidden).
bool ListDirectory(const QString &path, std::vector<DirectoryEntry> *entries, Error *error);

// Calls visit with each name in folder except "." and "..", in the order the
// file system returns them, until visit returns false. False, with the error,
// when the folder cannot be read; false without one when visit stopped.
bool ForEachName(const QByteArray &folder, const std::function<bool(const char *name)> &visit,
                 Error *error);

// Writes every byte, retrying short writes and interruptions. Returns 0 or
// the errno of the write that failed (ENOSPC on a full disk).
int WriteAll(int fd, const char *data, qsizetype size);

// Durability. Each returns 0 or the errno that says the bytes may not be on
// the disk. On macOS fsync stops at the drive, which may keep the bytes in
// its own cache: unless told otherwise they go through that cache too
// (F_FULLFSYNC). Tests can make any of them fail (engine/TestHooks.h).
// Drive: handed to the drive, to be made durable with others by one
// VolumeSync::flushDriveCache. Medium: on the disk itself.
enum class SyncReach { Drive, Medium };
// What was written to the open file fd: its data and what reading it back
// needs (fdatasync).
int SyncData(int fd, const QByteArray &path);
// The open file fd whole: data, size, mode, times and attributes (fsync).
int SyncFile(int fd, const QByteArray &path);
// The entries of folder (a rename or a new name in it). A file system that
// cannot sync a folder at all (EINVAL, ENOTSUP) keeps no such promise to
// break, so that is success, as databases treat it.
int SyncFolder(const QByteArray &folder, SyncReach reach = SyncReach::Medium);
// Everything written to the volume that holds path: one call for a whole
// tree of new files and folders (Linux syncfs). Where the system has no such
// call, it syncs nothing and says ENOSYS, and the caller syncs entry by entry.
// Opened before the writes it is to cover, so a write-back error among them
// is reported; see VolumeSync.
class VolumeSync {
public:
    explicit VolumeSync(const QByteArray &path);
    ~VolumeSync();
    VolumeSync(const VolumeSync &) = delete;
    VolumeSync &operator=(const VolumeSync &) = delete;
    int sync() const;
    // What the drive under the volume keeps in its cache, written out in one
    // call: what entries synced to the drive alone need (macOS). Nothing
    // where each sync reaches the disk by itself.
    int flushDriveCache() const;

private:
    int fd_ = -1;
    int openError_ = 0;
    QByteArray path_;
};

// What was written under path, entry by entry, to the drive: each file, then
// each folder after its entries. Links are covered by their folder. The
// caller follows with its volume's flushDriveCache.
int SyncTree(const QByteArray &path);

// A file replaced whole by text written in parts: the parts go to a hidden
// temporary file beside it ("." + name + six characters), which takes the
// file's place only once all of it is on the disk, so no reader, kill or
// power cut ever finds a partial file. The file is readable by the owner
// alone; the folder is not created. A writer that is not committed removes
// its temporary file.
class AtomicFileWriter {
public:
    explicit AtomicFileWriter(const QString &path);
    ~AtomicFileWriter();
    AtomicFileWriter(const AtomicFileWriter &) = delete;
    AtomicFileWriter &operator=(const AtomicFileWriter &) = delete;

    // Appends bytes. A failure (a full disk) is kept and told by commit.
    void append(QByteArrayView bytes);
    // Starts writing what was appended to the disk, so that commit finds
    // little left to wait for.
    void writeBehind();
    // Syncs the text, renames it into place and syncs the folder; true
    // once all of that is done. Only once.
    bool commit(Error *error);
    // The temporary file's descriptor until commit, -1 when it could not be
    // made: what is set on it reaches the disk with the text.
    int handle() const { return fd_; }

private:
    QByteArray destination_;
    QByteArray temporary_;
    int fd_ = -1;
    int failure_ = 0;
    qint64 written_ = 0;
    qint64 behind_ = 0; // how much of it writeBehind has started
};

// Writes the complete bytes to path through an AtomicFileWriter.
bool WriteFileAtomically(const QString &path, const QByteArray &bytes, Error *error);

// Removes the temporary files (AtomicFileWriter's) that a killed process
// left beside path.
void RemoveStaleTemporaries(const QString &path);

// Removes path and, for a folder, everything in it. Never follows symbolic
// links. Returns 0 or the first errno met.
int RemoveTree(const QByteArray &path);
