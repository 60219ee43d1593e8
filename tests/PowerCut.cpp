#include "PowerCut.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/btrfs.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Made before main, while the process has a single thread: a namespace
// entered later would hold only the thread that entered it. 0, or why this
// process could not have mounts of its own.
const int NamespaceError = [] {
    if (::unshare(CLONE_NEWNS) != 0) {
        return errno;
    }
    // Mounts made from here on stay in this namespace.
    return ::mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) == 0 ? 0 : errno;
}();

constexpr qint64 ImageSize = 320LL << 20; // xfs wants at least 300 MB; the image is sparse

QString ErrorText(int err) {
    return QString::fromLocal8Bit(std::strerror(err));
}

// The rig's own file helpers: it is linked with engine units that have no
// others.
QByteArray WholeFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void PutFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

// An open loop device holding image, or -1 with errno set. The device is
// set to detach itself when its last user lets go, so the mount made while
// this descriptor is open keeps it, and a process that dies leaves none.
int AttachLoop(const QByteArray &image, QByteArray *device) {
    const int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    const int file = ::open(image.constData(), O_RDWR | O_CLOEXEC);
    int loop = -1;
    // Another process may claim the free device first: ask again.
    for (int attempt = 0; attempt < 50 && control >= 0 && file >= 0 && loop < 0; ++attempt) {
        const int number = ::ioctl(control, LOOP_CTL_GET_FREE);
        if (number < 0) {
            break;
        }
        *device = "loop" + QByteArray::number(number);
        loop = ::open(("/dev/" + *device).constData(), O_RDWR | O_CLOEXEC);
        if (loop < 0) {
            break;
        }
        loop_config config{};
        config.fd = static_cast<__u32>(file);
        config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
        if (::ioctl(loop, LOOP_CONFIGURE, &config) != 0) {
            const int err = errno;
            ::close(loop);
            loop = -1;
            errno = err;
            if (err != EBUSY) {
                break;
            }
        }
    }
    const int err = errno;
    for (const int fd : {control, file}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    errno = err;
    return loop;
}

QList<QByteArray> Fields(const QByteArray &device, const char *file) {
    return WholeFile(QStringLiteral("/sys/block/%1/%2").arg(device, file)).simplified().split(' ');
}

// No request is between its start and its end.
bool Idle(const QByteArray &device) {
    return Fields(device, "inflight") == QList<QByteArray>{"0", "0"};
}

// Requests that change what the device holds, counted as they complete:
// writes and discards (each as I/Os, merges, sectors) and flushes.
QList<QByteArray> Writes(const QByteArray &device) {
    const QList<QByteArray> all = Fields(device, "stat");
    QList<QByteArray> writes;
    for (const int i : {4, 5, 6, 11, 12, 13, 15}) {
        writes.append(all.value(i));
    }
    return writes;
}

// Copies the data of a sparse file, keeping its holes.
void CopyImage(const QString &from, const QString &to) {
    QFile in(from);
    QFile out(to);
    ASSERT_TRUE(in.open(QIODevice::ReadOnly)) << from.toStdString();
    ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate)) << to.toStdString();
    const off_t size = static_cast<off_t>(in.size());
    ASSERT_TRUE(out.resize(size));
    const int source = in.handle();
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (off_t data = ::lseek(source, 0, SEEK_DATA); data >= 0 && data < size;
         data = ::lseek(source, data, SEEK_DATA)) {
        const off_t hole = ::lseek(source, data, SEEK_HOLE);
        while (data < hole) {
            const ssize_t got =
                ::pread(source, buffer.data(),
                        static_cast<size_t>(std::min<off_t>(buffer.size(), hole - data)), data);
            ASSERT_GT(got, 0);
            ASSERT_EQ(::pwrite(out.handle(), buffer.constData(), static_cast<size_t>(got), data),
                      got);
            data += got;
        }
    }
}

// Whether the file's data is still waiting to be given a place on its disk.
bool Unwritten(const QString &path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    alignas(fiemap) char buffer[sizeof(fiemap) + sizeof(fiemap_extent)] = {};
    auto *map = reinterpret_cast<fiemap *>(buffer);
    map->fm_length = FIEMAP_MAX_OFFSET;
    map->fm_extent_count = 1;
    const bool asked = fd >= 0 && ::ioctl(fd, FS_IOC_FIEMAP, map) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return asked && map->fm_mapped_extents == 1 &&
           (map->fm_extents[0].fe_flags & FIEMAP_EXTENT_DELALLOC) != 0;
}

// exFAT where the kernel has no driver for it: the FUSE one, a daemon that
// holds the device until the volume is unmounted. It runs in the foreground
// as this process's child and is killed should this process die, so that a
// crashed case leaves neither a daemon nor a device behind. 0, ENODEV where
// there is no such driver, or EIO when it would not mount.
int MountThroughFuse(QProcess &daemon, const QByteArray &device, const QString &mountPoint) {
    const QString helper = QStandardPaths::findExecutable(
        QStringLiteral("mount.exfat-fuse"),
        {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"), QStringLiteral("/usr/bin")});
    if (helper.isEmpty() || ::access("/dev/fuse", R_OK | W_OK) != 0) {
        return ENODEV;
    }
    daemon.setStandardOutputFile(QProcess::nullDevice());
    daemon.setStandardErrorFile(QProcess::nullDevice());
    daemon.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    // -d: debugging output, and the foreground.
    daemon.start(helper, {QStringLiteral("-d"), QString::fromLatin1("/dev/" + device), mountPoint});
    const QByteArray point = QFile::encodeName(mountPoint);
    const QByteArray above = QFile::encodeName(mountPoint + QStringLiteral("/.."));
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        struct stat here {};
        struct stat parent {};
        if (::stat(point.constData(), &here) == 0 && ::stat(above.constData(), &parent) == 0 &&
            here.st_dev != parent.st_dev) {
            return 0;
        }
        if (daemon.state() == QProcess::NotRunning || clock.elapsed() > 30000) {
            ADD_FAILURE() << "mount.exfat-fuse did not mount " << mountPoint.toStdString();
            daemon.kill();
            daemon.waitForFinished();
            return EIO;
        }
        QThread::msleep(5);
    }
}

QString ImageFolder() {
    // In memory where there is a tmpfs for it: the copies are then quick.
    const QString base =
        QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    return base + QStringLiteral("/kestrue-rig-XXXXXX");
}

} // namespace

Volume::Volume(const QString &type, const QString &mountPoint)
    : type_(type), mountPoint_(mountPoint), images_(ImageFolder()) {}

Volume::~Volume() {
    unmount();
}

QString Volume::make() {
    if (NamespaceError != 0) {
        return QStringLiteral("this process cannot have a mount namespace of its own (%1); "
                              "the power-cut rig needs root")
            .arg(ErrorText(NamespaceError));
    }
    if (::access("/dev/loop-control", R_OK | W_OK) != 0) {
        return QStringLiteral("no loop devices here (/dev/loop-control: %1)").arg(ErrorText(errno));
    }
    const QString tool = QStringLiteral("mkfs.") + type_;
    QString mkfs = QStandardPaths::findExecutable(tool);
    if (mkfs.isEmpty()) {
        mkfs = QStandardPaths::findExecutable(
            tool, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    }
    if (mkfs.isEmpty()) {
        return tool + QStringLiteral(" is not installed");
    }
    image_ = images_.filePath(QStringLiteral("volume.img"));
    QFile image(image_);
    if (!images_.isValid() || !image.open(QIODevice::WriteOnly) || !image.resize(ImageSize)) {
        ADD_FAILURE() << "cannot make the image " << image_.toStdString();
        return {};
    }
    image.close();
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    // -q keeps it quiet; -F/-f let it write over the empty file. mkfs.exfat
    // has neither, and its -f would write the whole image.
    QStringList arguments{QStringLiteral("-q"), type_ == QStringLiteral("ext4")
                                                    ? QStringLiteral("-F")
                                                    : QStringLiteral("-f")};
    if (type_ == QStringLiteral("exfat")) {
        arguments.clear();
    }
    process.start(mkfs, arguments << image_);
    if (!process.waitForFinished(60000) || process.exitCode() != 0) {
        ADD_FAILURE() << tool.toStdString() << ": " << process.readAll().toStdString();
        return {};
    }
    EXPECT_TRUE(QDir().mkpath(mountPoint_)) << mountPoint_.toStdString();
    const int err = mount(image_);
    if (err == ENODEV && type_ == QStringLiteral("exfat")) {
        return QStringLiteral("neither this kernel nor FUSE mounts exfat here (is exfat-fuse "
                              "installed, and /dev/fuse there?)");
    }
    if (err == ENODEV) {
        return QStringLiteral("this kernel does not mount %1").arg(type_);
    }
    if (err == EPERM || err == EACCES || err == ENOENT) {
        return QStringLiteral("loop devices cannot be set up here (%1)").arg(ErrorText(err));
    }
    if (err != 0) {
        ADD_FAILURE() << "mounting " << type_.toStdString() << ": " << ErrorText(err).toStdString();
    }
    return {};
}

int Volume::mount(const QString &image) {
    device_.clear();
    const int loop = AttachLoop(QFile::encodeName(image), &device_);
    if (loop < 0) {
        const int err = errno;
        device_.clear();
        return err;
    }
    // The copy of a mounted xfs carries its UUID; nouuid lets it mount
    // whatever else is mounted.
    const char *options = type_ == QStringLiteral("xfs") ? "nouuid" : nullptr;
    const QByteArray type = type_.toLatin1();
    int err = ::mount(("/dev/" + device_).constData(), QFile::encodeName(mountPoint_).constData(),
                      type.constData(), 0, options) == 0
                  ? 0
                  : errno;
    if (err == ENODEV && type_ == QStringLiteral("exfat")) {
        fuse_ = std::make_unique<QProcess>();
        err = MountThroughFuse(*fuse_, device_, mountPoint_);
    }
    ::close(loop); // without a mount, the device detaches itself here
    if (err != 0) {
        device_.clear();
        fuse_.reset();
    }
    return err;
}

void Volume::unmount() {
    if (device_.isEmpty()) {
        return;
    }
    const QByteArray point = QFile::encodeName(mountPoint_);
    // Not lazily: a btrfs copy mounted while its original lingers would be
    // taken for the same file system.
    for (int attempt = 0; ::umount2(point.constData(), 0) != 0; ++attempt) {
        if (errno != EBUSY || attempt == 200) {
            ADD_FAILURE() << "unmounting " << mountPoint_.toStdString() << ": "
                          << ErrorText(errno).toStdString();
            ::umount2(point.constData(), MNT_DETACH);
            break;
        }
        QThread::msleep(10);
    }
    if (fuse_) {
        fuse_->waitForFinished(10000); // it ends once its volume is unmounted
        fuse_.reset();
    }
    if (type_ == QStringLiteral("btrfs")) {
        // Older kernels keep the device registered with the generation its
        // unmount wrote, and refuse an older copy of it.
        const int control = ::open("/dev/btrfs-control", O_RDWR | O_CLOEXEC);
        if (control >= 0) {
            btrfs_ioctl_vol_args args{};
            std::strncpy(args.name, ("/dev/" + device_).constData(), sizeof(args.name) - 1);
            ::ioctl(control, BTRFS_IOC_FORGET_DEV, &args);
            ::close(control);
        }
    }
    device_.clear();
}

void Volume::sync() const {
    const int fd =
        ::open(QFile::encodeName(mountPoint_).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::syncfs(fd), 0);
    ::close(fd);
}

void Volume::saveUnrelatedFile() const {
    const QByteArray path =
        QFile::encodeName(mountPoint_ + QStringLiteral("/another program's notes.txt"));
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::write(fd, "saved\n", 6), 6);
    EXPECT_EQ(::fsync(fd), 0);
    ::close(fd);
}

FlushWitness::FlushWitness(const Volume &volume)
    : path_(volume.mountPoint() + QStringLiteral("/witness")) {
    PutFile(path_, QByteArray(qsizetype{64} << 10, 'w'));
    watching_ = Unwritten(path_);
}

bool FlushWitness::flushed() const {
    return watching_ && !Unwritten(path_);
}

void CutPower(const std::vector<Volume *> &volumes, QProcess &child) {
    const auto idle = [&volumes] {
        return std::all_of(volumes.begin(), volumes.end(),
                           [](const Volume *volume) { return Idle(volume->device_); });
    };
    const auto writes = [&volumes] {
        QList<QList<QByteArray>> counts;
        for (const Volume *volume : volumes) {
            counts.append(Writes(volume->device_));
        }
        return counts;
    };
    // A copy counts only when no write started, ended or was under way on
    // any of the devices while it was taken: then it is what they held at
    // one moment.
    QElapsedTimer clock;
    clock.start();
    for (bool taken = false; !taken;) {
        ASSERT_LT(clock.elapsed(), 60000) << "the loop devices never stood still for a copy";
        if (!idle()) {
            QThread::usleep(200);
            continue;
        }
        const QList<QList<QByteArray>> before = writes();
        for (const Volume *volume : volumes) {
            ASSERT_NO_FATAL_FAILURE(
                CopyImage(volume->image_, volume->image_ + QStringLiteral(".cut")));
        }
        taken = idle() && writes() == before;
    }
    child.kill();
    child.waitForFinished();
    for (Volume *volume : volumes) {
        volume->unmount();
        QFile::remove(volume->image_);
        volume->image_ += QStringLiteral(".cut");
        const int err = volume->mount(volume->image_);
        ASSERT_EQ(err, 0) << "mounting the cut " << volume->type_.toStdString()
                          << " image: " << ErrorText(err).toStdString();
    }
}
