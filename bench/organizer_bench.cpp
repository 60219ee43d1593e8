// Measures organize, restore, colliding names, start-up with a large
// manifest, logging and peak memory through the real controller with its
// real window, each against baselines measured in the same run, and prints
// one table. Every measurement of the application runs in a child process of
// its own so that its peak memory is its own.

#include "app/Constants.h"
#include "app/Identity.h"
#include "app/OrganizerAppDelegate.h"
#include "engine/Manifest.h"
#include "tests/Portability.h"
#include "tests/SandboxEnvironment.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct Options {
    QList<int> sizes{1000, 10000};
    int reps = 5;
    int startupRecords = 100000;
    int logLines = 10000;
    qint64 bigBytes = qint64{1} << 30;
    int crossItems = 10000;
    int syncFiles = 1000;
};

// ---------------------------------------------------------------- fixtures

struct Sandbox {
    QTemporaryDir dir;
    QString home() const { return dir.path() + QStringLiteral("/home"); }
    QString desktop() const { return home() + QStringLiteral("/Desktop"); }
    QString target() const { return dir.path() + QStringLiteral("/Target"); }
    QString support() const { return home() + QStringLiteral("/.local/share/") + AppName; }

    Sandbox() {
        QDir().mkpath(desktop());
        QDir().mkpath(target());
        QDir().mkpath(support());
    }
    QProcessEnvironment environment() const {
        QProcessEnvironment env = SandboxEnvironment(home());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        return env;
    }
};

QStringList ItemNames(int n) {
    QStringList names;
    names.reserve(n);
    for (int i = 0; i < n; ++i) {
        names.append(i % 4 == 3 ? QStringLiteral("文件夹 %1").arg(i)
                                : QStringLiteral("文件 %1.txt").arg(i));
    }
    return names;
}

// Three quarters small files, one quarter small folders holding one file.
void MakeItems(const QString &folder, const QStringList &names) {
    for (const QString &name : names) {
        const QByteArray path = QFile::encodeName(folder + QLatin1Char('/') + name);
        if (name.endsWith(QStringLiteral(".txt"))) {
            const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            (void)::write(fd, "some small text\n", 16);
            ::close(fd);
        } else {
            ::mkdir(path.constData(), 0755);
            const int fd =
                ::open((path + "/inner.txt").constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            (void)::write(fd, "inner\n", 6);
            ::close(fd);
        }
    }
}

// A Desktop on a second volume (the tmpfs at /dev/shm) with the support
// folder and the target on the disk that holds the temporary folder, so
// every copy, journal line and manifest is synced where it matters. The
// home's data folder is a link to the one on the disk: the support folder is
// inside the home, as a child insists.
struct CrossSandbox {
    QTemporaryDir disk;
    QTemporaryDir memory{QStringLiteral("/dev/shm/kestrue-bench-XXXXXX")};
    QString home() const { return memory.path() + QStringLiteral("/home"); }
    QString desktop() const { return home() + QStringLiteral("/Desktop"); }
    QString data() const { return disk.path() + QStringLiteral("/data"); }
    QString target() const { return disk.path() + QStringLiteral("/Target"); }

    CrossSandbox() {
        QDir().mkpath(desktop());
        QDir().mkpath(target());
        QDir().mkpath(data() + QLatin1Char('/') + AppName);
        QDir().mkpath(home() + QStringLiteral("/.local"));
        QFile::link(data(), home() + QStringLiteral("/.local/share"));
    }
    // False where there is no second volume to copy across.
    bool usable() const {
        struct stat a {};
        struct stat b {};
        return disk.isValid() && memory.isValid() &&
               ::stat(QFile::encodeName(disk.path()).constData(), &a) == 0 &&
               ::stat(QFile::encodeName(memory.path()).constData(), &b) == 0 &&
               a.st_dev != b.st_dev;
    }
    QProcessEnvironment environment() const {
        QProcessEnvironment env = SandboxEnvironment(home());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        return env;
    }
};

void MakeBigFile(const QString &path, qint64 bytes) {
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    QByteArray block(1 << 20, '\0');
    for (qsizetype i = 0; i < block.size(); ++i) {
        block[i] = static_cast<char>(i * 131 + 7);
    }
    for (qint64 written = 0; written < bytes; written += block.size()) {
        file.write(block);
    }
}

// Settles the disk a row writes to before it is timed. Only that volume:
// a sync of every file system would disturb whatever else runs (the
// power-cut tests watch for exactly that).
void SettleVolume(const QString &folder) {
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        portable::SyncVolume(fd);
        ::close(fd);
    }
}

// mv followed by sync: what a user who wants the copies on the disk pays
// (the sync of the target's volume, which is where the copies are).
qint64 MvThenSync(const QString &from, const QString &target, const QStringList &names) {
    QProcess mv;
    mv.setWorkingDirectory(from);
    QElapsedTimer clock;
    clock.start();
    mv.start(QStringLiteral("mv"),
             QStringList{QStringLiteral("-n"), QStringLiteral("--")} + names + QStringList{target});
    mv.waitForFinished(-1);
    QProcess::execute(QStringLiteral("sync"), {QStringLiteral("-f"), target});
    return clock.nsecsElapsed() / 1000;
}

// One of three ways to make n small new files durable, timed with the
// writing, in a fresh folder: fdatasync of each file (way 0), syncfs of the
// volume after each file (1, a sync per item), or one syncfs after all of
// them (2, a sync per group).
qint64 DurabilityWay(const QString &folder, int n, int way) {
    QDir().mkpath(folder);
    SettleVolume(folder);
    const QByteArray base = QFile::encodeName(folder + QStringLiteral("/file-"));
    const int volume = ::open(QFile::encodeName(folder).constData(), O_RDONLY);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < n; ++i) {
        const int fd =
            ::open((base + QByteArray::number(i)).constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        (void)::write(fd, "some small text\n", 16);
        if (way == 0) {
            portable::SyncData(fd);
        } else if (way == 1) {
            portable::SyncVolume(volume);
        }
        ::close(fd);
    }
    if (way == 0) {
        ::fsync(volume); // the new names
    } else if (way == 2) {
        portable::SyncVolume(volume);
    }
    const qint64 micros = clock.nsecsElapsed() / 1000;
    ::close(volume);
    return micros;
}

// ------------------------------------------------------------------ floors

bool Exists(const QByteArray &path) {
    struct stat st {};
    return ::stat(path.constData(), &st) == 0;
}

// One existence test and one no-replace rename per item.
qint64 FloorOrganize(const Sandbox &box, const QStringList &names, bool collide) {
    std::vector<std::pair<QByteArray, QByteArray>> moves;
    for (const QString &name : names) {
        moves.emplace_back(QFile::encodeName(box.desktop() + QLatin1Char('/') + name),
                           QFile::encodeName(box.target() + QLatin1Char('/') + name));
    }
    QElapsedTimer clock;
    clock.start();
    for (auto &[from, to] : moves) {
        if (Exists(to) && collide) {
            to += " 1"; // the colliding run tests the numbered name too
            (void)Exists(to);
        }
        portable::RenameNoReplace(from.constData(), to.constData());
    }
    return clock.nsecsElapsed() / 1000;
}

// One existence test, one folder creation check, one no-replace rename.
qint64 FloorRestore(const Sandbox &box, const QStringList &names) {
    std::vector<std::pair<QByteArray, QByteArray>> moves;
    for (const QString &name : names) {
        moves.emplace_back(QFile::encodeName(box.target() + QLatin1Char('/') + name),
                           QFile::encodeName(box.desktop() + QLatin1Char('/') + name));
    }
    const QByteArray desktop = QFile::encodeName(box.desktop());
    QElapsedTimer clock;
    clock.start();
    for (const auto &[from, to] : moves) {
        if (!Exists(from)) {
            continue;
        }
        ::mkdir(desktop.constData(), 0777);
        portable::RenameNoReplace(from.constData(), to.constData());
    }
    return clock.nsecsElapsed() / 1000;
}

qint64 MvOrganize(const Sandbox &box, const QStringList &names) {
    QProcess mv;
    mv.setWorkingDirectory(box.desktop());
    // The target last, not after -t, which BSD mv (macOS) does not know.
    QStringList args{QStringLiteral("-n"), QStringLiteral("--")};
    args += names;
    args += box.target();
    QElapsedTimer clock;
    clock.start();
    mv.start(QStringLiteral("mv"), args);
    mv.waitForFinished(-1);
    return clock.nsecsElapsed() / 1000;
}

// ------------------------------------------------------------ child roles

struct ChildResult {
    qint64 micros = 0;
    qint64 rssKb = 0;
};

ChildResult RunChild(const QProcessEnvironment &environment, const QStringList &args) {
    QProcess child;
    child.setProcessEnvironment(environment);
    QElapsedTimer clock;
    clock.start();
    child.start(QCoreApplication::applicationFilePath(),
                QStringList{QStringLiteral("--child")} + args);
    // Until the child's one line arrives: for start-up, the window is shown.
    child.waitForReadyRead(-1);
    const qint64 wall = clock.nsecsElapsed() / 1000;
    child.waitForFinished(-1);
    const QList<QByteArray> fields = child.readAllStandardOutput().trimmed().split(' ');
    if (child.exitCode() != 0 || fields.size() != 2) {
        std::fprintf(stderr, "child %s failed: %s\n", qPrintable(args.join(' ')),
                     child.readAllStandardError().constData());
        std::exit(1);
    }
    ChildResult result{fields[0].toLongLong(), fields[1].toLongLong()};
    if (result.micros < 0) {
        result.micros = wall; // the child asked to be timed from outside
    }
    return result;
}

ChildResult RunChild(const Sandbox &box, const QStringList &args) {
    return RunChild(box.environment(), args);
}

int ChildMain(int argc, char *argv[]) {
    QApplication application(argc, argv);
    SetApplicationIdentity();
    const QString home = qEnvironmentVariable("HOME");
    IsolateSettings(home);
    RefuseOutsideSandbox(home);
    const QStringList args = QCoreApplication::arguments().mid(2);
    const QString role = args.value(0);

    OrganizerAppDelegate delegate;
    qint64 micros = -1;
    if (role == QLatin1String("startup")) {
        delegate.applicationDidFinishLaunching();
        QCoreApplication::processEvents();
    } else {
        delegate.applicationDidFinishLaunching();
        QCoreApplication::processEvents();
        QElapsedTimer clock;
        clock.start();
        if (role == QLatin1String("organize")) {
            delegate.targetField()->setText(args.value(1));
            delegate.organizeDesktop();
            delegate.finishRun();
        } else if (role == QLatin1String("restore")) {
            delegate.restoreFiles();
            delegate.finishRun();
        } else if (role == QLatin1String("log")) {
            const int lines = args.value(1).toInt();
            for (int i = 0; i < lines; ++i) {
                delegate.appendLog(QStringLiteral("跳过 文件 %1.txt：没有权限").arg(i));
            }
        } else if (role != QLatin1String("idle")) {
            return 2;
        }
        micros = role == QLatin1String("idle") ? 0 : clock.nsecsElapsed() / 1000;
    }
    std::printf("%lld %lld\n", static_cast<long long>(micros), portable::PeakResidentKb());
    std::fflush(stdout);
    return 0;
}

// ------------------------------------------------------------------ table

struct Stat {
    double median = 0;
    double low = 0;
    double high = 0;
};

Stat Summarise(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    const double median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return Stat{median, values.front(), values.back()};
}

QString Ms(const Stat &s) {
    return QStringLiteral("%1 ms [%2–%3]")
        .arg(s.median / 1000, 0, 'f', 1)
        .arg(s.low / 1000, 0, 'f', 1)
        .arg(s.high / 1000, 0, 'f', 1);
}

void Row(const QString &what, const QString &ours, const QString &baseline, const QString &ratio) {
    std::printf("| %s | %s | %s | %s |\n", qPrintable(what), qPrintable(ours), qPrintable(baseline),
                qPrintable(ratio));
}

QString Ratio(double ours, double base) {
    return QString::number(ours / base, 'f', 2) + QStringLiteral("×");
}

void WriteManifest(const Sandbox &box, int records) {
    ManifestStore manifest;
    for (int i = 0; i < records; ++i) {
        const QString name = QStringLiteral("文件 %1.txt").arg(i);
        manifest.append(RestoreRecord(box.desktop() + QLatin1Char('/') + name,
                                      box.target() + QLatin1Char('/') + name, 1700000000 + i));
    }
    QFile file(box.support() + QLatin1Char('/') + ManifestFileName);
    file.open(QIODevice::WriteOnly);
    file.write(manifest.encode());
}

// Moves to another volume against mv followed by sync, and what syncing the
// copies costs each way.
void CrossVolumeRows(const Options &options) {
    // The rows compare ways of syncing, one of which is syncfs.
    if (!portable::HasVolumeSync) {
        Row(QStringLiteral("7–9. across volumes"), QStringLiteral("not run"),
            QStringLiteral("no call syncs a whole volume here (syncfs is Linux's)"), QString());
        return;
    }
    if (!CrossSandbox().usable()) {
        Row(QStringLiteral("7–9. across volumes"), QStringLiteral("not run"),
            QStringLiteral("/dev/shm is missing or on the same volume"), QString());
        return;
    }
    // First: what the rows after it delete, the disk discards later, and
    // a sync then waits for that.
    {
        std::vector<double> perFile, perItem, perGroup;
        std::array<std::vector<double> *, 3> ways{&perFile, &perItem, &perGroup};
        for (int rep = 0; rep < options.reps; ++rep) {
            CrossSandbox box;
            // Each way goes first in turn.
            for (int k = 0; k < 3; ++k) {
                const int way = (rep + k) % 3;
                ways[static_cast<size_t>(way)]->push_back(static_cast<double>(DurabilityWay(
                    box.target() + QStringLiteral("/way%1").arg(way), options.syncFiles, way)));
            }
        }
        const Stat f = Summarise(perFile), i = Summarise(perItem), g = Summarise(perGroup);
        Row(QStringLiteral("7. %1 small copies made durable").arg(options.syncFiles),
            QStringLiteral("one syncfs per group %1").arg(Ms(g)),
            QStringLiteral("fdatasync per file %1; syncfs per item %2").arg(Ms(f), Ms(i)),
            QStringLiteral("%1 per file, %2 per item")
                .arg(Ratio(g.median, f.median), Ratio(g.median, i.median)));
    }
    const auto organize = [](const CrossSandbox &box) {
        return static_cast<double>(
            RunChild(box.environment(), {QStringLiteral("organize"), box.target()}).micros);
    };
    {
        std::vector<double> ours, base;
        // Each goes first every other time: the first writer after a
        // clean-up pays for pages the other finds ready.
        for (int rep = 0; rep < 2 * options.reps; ++rep) {
            CrossSandbox box;
            MakeBigFile(box.desktop() + QStringLiteral("/big.bin"), options.bigBytes);
            SettleVolume(box.target());
            if ((rep + rep / 2) % 2 == 0) {
                ours.push_back(organize(box));
            } else {
                base.push_back(static_cast<double>(
                    MvThenSync(box.desktop(), box.target(), {QStringLiteral("big.bin")})));
            }
        }
        const Stat o = Summarise(ours), b = Summarise(base);
        Row(QStringLiteral("8. organize across volumes, one file of %1 MiB")
                .arg(options.bigBytes >> 20),
            Ms(o), QStringLiteral("mv + sync %1").arg(Ms(b)), Ratio(o.median, b.median));
    }
    {
        const QStringList names = ItemNames(options.crossItems);
        std::vector<double> ours, base;
        for (int rep = 0; rep < 2 * options.reps; ++rep) {
            CrossSandbox box;
            MakeItems(box.desktop(), names);
            SettleVolume(box.target());
            if ((rep + rep / 2) % 2 == 0) {
                ours.push_back(organize(box));
            } else {
                base.push_back(static_cast<double>(MvThenSync(box.desktop(), box.target(), names)));
            }
        }
        const Stat o = Summarise(ours), b = Summarise(base);
        Row(QStringLiteral("9. organize across volumes N=%1").arg(options.crossItems), Ms(o),
            QStringLiteral("mv + sync %1").arg(Ms(b)), Ratio(o.median, b.median));
    }
}

int ParentMain(const Options &options) {
    std::printf("| row | ours (median [min–max]) | baseline | ratio |\n|---|---|---|---|\n");
    qint64 organizeRss = 0;
    for (const int n : options.sizes) {
        const QStringList names = ItemNames(n);
        std::vector<double> ours, floor, mv, restore, restoreFloor, collide, collideFloor;
        for (int rep = 0; rep < options.reps; ++rep) {
            {
                Sandbox box;
                MakeItems(box.desktop(), names);
                const ChildResult r = RunChild(box, {QStringLiteral("organize"), box.target()});
                ours.push_back(static_cast<double>(r.micros));
                organizeRss = std::max(organizeRss, r.rssKb);
                restore.push_back(
                    static_cast<double>(RunChild(box, {QStringLiteral("restore")}).micros));
            }
            {
                Sandbox box;
                MakeItems(box.desktop(), names);
                floor.push_back(static_cast<double>(FloorOrganize(box, names, false)));
                restoreFloor.push_back(static_cast<double>(FloorRestore(box, names)));
            }
            {
                Sandbox box;
                MakeItems(box.desktop(), names);
                mv.push_back(static_cast<double>(MvOrganize(box, names)));
            }
            {
                Sandbox box;
                MakeItems(box.desktop(), names);
                MakeItems(box.target(), names);
                collide.push_back(static_cast<double>(
                    RunChild(box, {QStringLiteral("organize"), box.target()}).micros));
            }
            {
                Sandbox box;
                MakeItems(box.desktop(), names);
                MakeItems(box.target(), names);
                collideFloor.push_back(static_cast<double>(FloorOrganize(box, names, true)));
            }
        }
        const Stat o = Summarise(ours), f = Summarise(floor), m = Summarise(mv);
        Row(QStringLiteral("1. organize N=%1").arg(n),
            Ms(o) + QStringLiteral(", %1 µs/item").arg(o.median / n, 0, 'f', 1),
            QStringLiteral("floor %1 (%2 µs/item); mv -n %3")
                .arg(Ms(f))
                .arg(f.median / n, 0, 'f', 1)
                .arg(Ms(m)),
            QStringLiteral("%1 floor, %2 mv")
                .arg(Ratio(o.median, f.median), Ratio(o.median, m.median)));
        const Stat r = Summarise(restore), rf = Summarise(restoreFloor);
        Row(QStringLiteral("2. restore N=%1").arg(n),
            Ms(r) + QStringLiteral(", %1 µs/item").arg(r.median / n, 0, 'f', 1),
            QStringLiteral("floor %1").arg(Ms(rf)), Ratio(r.median, rf.median));
        const Stat c = Summarise(collide), cf = Summarise(collideFloor);
        Row(QStringLiteral("3. organize, all collide N=%1").arg(n), Ms(c),
            QStringLiteral("floor %1").arg(Ms(cf)), Ratio(c.median, cf.median));
    }

    std::vector<double> empty, large;
    qint64 largeRss = 0;
    qint64 idleRss = 0;
    {
        Sandbox emptyBox;
        Sandbox largeBox;
        WriteManifest(largeBox, options.startupRecords);
        for (int rep = 0; rep < options.reps; ++rep) {
            empty.push_back(
                static_cast<double>(RunChild(emptyBox, {QStringLiteral("startup")}).micros));
            const ChildResult r = RunChild(largeBox, {QStringLiteral("startup")});
            large.push_back(static_cast<double>(r.micros));
            largeRss = std::max(largeRss, r.rssKb);
        }
        idleRss = RunChild(emptyBox, {QStringLiteral("idle")}).rssKb;
    }
    const Stat e = Summarise(empty), l = Summarise(large);
    Row(QStringLiteral("4. start-up, %1 records").arg(options.startupRecords), Ms(l),
        QStringLiteral("no manifest %1").arg(Ms(e)), Ratio(l.median, e.median));

    std::vector<double> logTimes;
    qint64 logRss = 0;
    for (int rep = 0; rep < options.reps; ++rep) {
        Sandbox box;
        const ChildResult r =
            RunChild(box, {QStringLiteral("log"), QString::number(options.logLines)});
        logTimes.push_back(static_cast<double>(r.micros));
        logRss = std::max(logRss, r.rssKb);
    }
    const Stat lg = Summarise(logTimes);
    Row(QStringLiteral("5. log %1 lines").arg(options.logLines),
        Ms(lg) + QStringLiteral(", %1 µs/line").arg(lg.median / options.logLines, 0, 'f', 1),
        QStringLiteral("target: under 1000 ms in total"), QString());

    const auto mb = [](qint64 kb) {
        return QStringLiteral("%1 MB").arg(double(kb) / 1024, 0, 'f', 1);
    };
    Row(QStringLiteral("6. peak RSS, organize N=%1").arg(options.sizes.last()), mb(organizeRss),
        QStringLiteral("idle %1").arg(mb(idleRss)), Ratio(double(organizeRss), double(idleRss)));
    Row(QStringLiteral("6. peak RSS, start-up %1 records").arg(options.startupRecords),
        mb(largeRss), QStringLiteral("idle %1").arg(mb(idleRss)),
        Ratio(double(largeRss), double(idleRss)));
    Row(QStringLiteral("6. peak RSS, log %1 lines").arg(options.logLines), mb(logRss),
        QStringLiteral("idle %1").arg(mb(idleRss)), Ratio(double(logRss), double(idleRss)));
    CrossVolumeRows(options);
    return 0;
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc > 1 && std::string(argv[1]) == "--child") {
        return ChildMain(argc, argv);
    }
    QCoreApplication application(argc, argv);
    Options options;
    const QStringList args = QCoreApplication::arguments();
    if (args.contains(QStringLiteral("--smoke"))) {
        options = Options{{100}, 1, 500, 200, qint64{1} << 20, 100, 20};
    }
    if (args.contains(QStringLiteral("--cross"))) {
        // Only the rows across volumes.
        std::printf("| row | ours (median [min–max]) | baseline | ratio |\n|---|---|---|---|\n");
        CrossVolumeRows(options);
        return 0;
    }
    return ParentMain(options);
}
