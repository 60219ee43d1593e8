#pragma once
// The manifest file and its mirror saved while a run makes their records.
// The records there were before, then each batch of new ones, are encoded
// and written on a thread of its own as they come, so that the save at the
// end of a run has little left to write or to wait for. Neither file is
// replaced before commit, and a saver never committed leaves both as they
// were (engine/FileSystem.h, AtomicFileWriter). The manifest file carries
// the fingerprint of its bytes (engine/ManifestFile.h).

#include "engine/Error.h"
#include "engine/FileSystem.h"
#include "engine/Manifest.h"

#include <QString>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

class ManifestSaver {
public:
    // The files are made at the first add or at commit, not before: a run
    // lists the Desktop first, and the mirror may be written there. before
    // must stay as it is until commit returns or the saver is gone. An empty
    // mirrorPath writes no mirror.
    ManifestSaver(const QString &manifestPath, const QString &mirrorPath,
                  const ManifestStore &before);
    ~ManifestSaver();
    ManifestSaver(const ManifestSaver &) = delete;
    ManifestSaver &operator=(const ManifestSaver &) = delete;

    // Records that follow those added before; returns at once.
    void add(ManifestStore records);
    // Ends the text and puts both files in place, the two syncs overlapping.
    // True once the manifest is on the disk; the mirror is a convenience
    // beside it, and a mirror that cannot be written fails nothing. Once.
    bool commit(Error *error);

    // The same for records that are all known: written at once, the two
    // files' syncs overlapping.
    static bool saveWhole(const QString &manifestPath, const QString &mirrorPath,
                          const ManifestStore &records, Error *error);

private:
    struct Files;
    void work();
    void encodeBefore();
    void writeClosing();
    // Encodes and writes what is queued, on the saver's thread, or on the
    // caller's where no thread could be started.
    void writeQueued(std::unique_lock<std::mutex> &lock);

    QString manifestPath_;
    QString mirrorPath_;
    const ManifestStore &before_;
    std::unique_ptr<Files> files_; // made on first use
    QByteArray text_;              // the encoding's buffer, reused
    bool first_ = true;            // no element encoded yet
    bool beforeEncoded_ = false;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable closed_;
    std::deque<ManifestStore> queue_;
    bool ending_ = false;    // commit was asked for
    bool ended_ = false;     // the closing is written: the manifest's writer is the caller's
    bool abandoned_ = false; // gone without a commit: nothing more is written
    bool threaded_ = true;   // false: everything is done on the caller's thread
    std::thread thread_;
};
