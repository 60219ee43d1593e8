#pragma once
// The power-cut rig. A volume is a file-system image on a loop device,
// mounted in this test process's own mount namespace (its children share
// it; the host never sees it). A cut copies the images as their devices hold
// them at one moment, which is what the disks would keep if the power went
// then, and mounts the copies in their place.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <memory>
#include <vector>

class Volume {
public:
    // type is what mkfs.<type> makes: ext4, xfs, btrfs; or exfat, mounted
    // through FUSE where the kernel has no driver for it.
    Volume(const QString &type, const QString &mountPoint);
    ~Volume();
    Volume(const Volume &) = delete;
    Volume &operator=(const Volume &) = delete;

    // Makes an empty file system and mounts it. Empty when done, else why
    // this machine cannot (the case is to be skipped); a fault of the rig
    // itself fails the case.
    QString make();
    const QString &mountPoint() const { return mountPoint_; }
    void sync() const;
    // What another program saving a file does: a file of its own written
    // and synced, which commits the file system's journal with every change
    // made on the volume before it.
    void saveUnrelatedFile() const;

private:
    friend void CutPower(const std::vector<Volume *> &volumes, QProcess &child);
    int mount(const QString &image); // 0 or an errno
    void unmount();

    QString type_;
    QString mountPoint_;
    QTemporaryDir images_;
    QString image_;
    QByteArray device_;              // "loopN"
    std::unique_ptr<QProcess> fuse_; // the driver, where it is a daemon
};

// Tells whether this machine's unwritten data was flushed (a sync by
// another process, write-back under memory pressure) after it was made: a
// cut after that would not show what the kernel leaves unwritten by
// itself. It writes a file onto a volume of its own, which nothing but a
// flush of every file system writes before the kernel's 30 s write-back,
// and watches that file's data.
class FlushWitness {
public:
    explicit FlushWitness(const Volume &volume);
    // Whether the file's data has been written since; false also where its
    // file system cannot tell.
    bool flushed() const;

private:
    QString path_;
    bool watching_ = false;
};

// A power cut: copies the volumes' images at a moment when none of their
// devices has a write in flight, kills the child (frozen meanwhile, or
// already ended) and mounts the copies where the volumes were.
void CutPower(const std::vector<Volume *> &volumes, QProcess &child);
