#include "engine/ManifestSaver.h"

#include "engine/ManifestFile.h"

#include <cerrno>
#include <optional>
#include <system_error>
#include <utility>

struct ManifestSaver::Files {
    Files(const QString &manifestPath, const QString &mirrorPath) : manifest(manifestPath) {
        if (!mirrorPath.isEmpty()) {
            mirror.emplace(mirrorPath);
        }
    }
    void append(QByteArrayView bytes) {
        manifest.append(bytes);
        if (mirror) {
            mirror->append(bytes);
        }
        fingerprint.addData(bytes);
    }

    AtomicFileWriter manifest;
    std::optional<AtomicFileWriter> mirror;
    QCryptographicHash fingerprint{FingerprintAlgorithm};
};

ManifestSaver::ManifestSaver(const QString &manifestPath, const QString &mirrorPath,
                             const ManifestStore &before)
    : manifestPath_(manifestPath), mirrorPath_(mirrorPath), before_(before) {
    try {
        thread_ = std::thread([this] { work(); });
    } catch (const std::system_error &) {
        threaded_ = false;
    }
}

ManifestSaver::~ManifestSaver() {
    {
        const std::lock_guard lock(mutex_);
        abandoned_ = !ended_;
        ending_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
    // An uncommitted writer removes its temporary file as it goes.
}

void ManifestSaver::add(ManifestStore records) {
    std::unique_lock lock(mutex_);
    if (ending_ || records.isEmpty()) {
        return;
    }
    queue_.push_back(std::move(records));
    if (threaded_) {
        lock.unlock();
        wake_.notify_one();
    } else {
        writeQueued(lock);
    }
}

bool ManifestSaver::commit(Error *error) {
    std::unique_lock lock(mutex_);
    if (ending_) {
        SetError(error, PosixError(EINVAL));
        return false;
    }
    ending_ = true;
    if (threaded_) {
        wake_.notify_one();
        closed_.wait(lock, [this] { return ended_; });
    } else {
        writeQueued(lock);
        writeClosing();
        ended_ = true;
    }
    lock.unlock();
    // The saver's thread puts the mirror in place meanwhile.
    TagWithFingerprint(files_->manifest, files_->fingerprint.result());
    const bool saved = files_->manifest.commit(error);
    if (thread_.joinable()) {
        thread_.join();
    } else if (files_->mirror) {
        files_->mirror->commit(nullptr);
    }
    return saved;
}

void ManifestSaver::work() {
    encodeBefore();
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return ending_ || !queue_.empty(); });
        if (abandoned_) {
            return;
        }
        // Nothing is added once commit was asked for: this is the last.
        const bool last = ending_;
        writeQueued(lock);
        if (last) {
            break;
        }
    }
    writeClosing();
    ended_ = true;
    lock.unlock();
    closed_.notify_all();
    if (files_->mirror) {
        files_->mirror->commit(nullptr);
    }
}

void ManifestSaver::encodeBefore() {
    if (beforeEncoded_) {
        return;
    }
    beforeEncoded_ = true;
    ManifestStore::encodeOpening(text_);
    for (const ManifestElement &element : before_) {
        ManifestStore::encodeElement(text_, element, &first_);
    }
}

void ManifestSaver::writeQueued(std::unique_lock<std::mutex> &lock) {
    std::deque<ManifestStore> batches;
    batches.swap(queue_);
    // Encoding and writing need no lock: the files and the text are this
    // thread's until the closing is written.
    lock.unlock();
    encodeBefore();
    if (!files_) {
        files_ = std::make_unique<Files>(manifestPath_, mirrorPath_);
    }
    for (const ManifestStore &records : batches) {
        for (const ManifestElement &element : records) {
            ManifestStore::encodeElement(text_, element, &first_);
        }
    }
    files_->append(text_);
    text_.truncate(0); // its room is kept for the next batch
    files_->manifest.writeBehind();
    if (files_->mirror) {
        files_->mirror->writeBehind();
    }
    lock.lock();
}

void ManifestSaver::writeClosing() {
    ManifestStore::encodeClosing(text_, first_);
    files_->append(text_);
    text_.clear();
}

bool ManifestSaver::saveWhole(const QString &manifestPath, const QString &mirrorPath,
                              const ManifestStore &records, Error *error) {
    const QByteArray bytes = records.encode();
    // The mirror's thread only reads what was made before it started.
    const auto writeMirror = [&bytes, &mirrorPath] {
        if (!mirrorPath.isEmpty()) {
            WriteFileAtomically(mirrorPath, bytes, nullptr);
        }
    };
    std::thread mirror;
    try {
        mirror = std::thread(writeMirror);
    } catch (const std::system_error &) {
        writeMirror();
    }
    AtomicFileWriter manifest(manifestPath);
    manifest.append(bytes);
    TagWithFingerprint(manifest, QCryptographicHash::hash(bytes, FingerprintAlgorithm));
    const bool saved = manifest.commit(error);
    if (mirror.joinable()) {
        mirror.join();
    }
    return saved;
}
