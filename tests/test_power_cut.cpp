// Power cuts at chosen moments of 一键整理 and 还原, on real file systems (see
// PowerCut.h). After the cut, a fresh start and 还原 must bring every item
// back byte for byte, leave nothing in the target and no hidden half copy on
// either volume.

#include "PowerCut.h"
#include "TestSupport.h"
#include "app/Constants.h"
#include "engine/MoveItem.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QMap>
#include <QRandomGenerator>
#include <QSettings>
#include <QThread>
#include <tuple>

namespace {

// The cross-volume cases count the steps of this item's move only.
const QString Album = QStringLiteral("相册");

struct CutPoint {
    const char *name;
    // Where the run stops itself ("step:N", as tests/organize_child.cpp
    // reads it); null: the run ends and the cut comes 7 s after its closing
    // line, within the kernel's 30 s write-back.
    const char *pauseAt;
    // Another program syncs a file on each volume to be cut, just before
    // the cut: the file systems' journals commit what the run did so far,
    // as ext4 also does by itself every 5 s.
    bool otherProgramSaves;
    bool homeCutToo; // false: only the target's volume is cut (a disk pulled)
};

constexpr CutPoint SameVolumePoints[] = {
    {"BatchAnnounced", "announced:4", true, true},
    {"MidBatch", "move:950", true, true},
    {"RanBeforeSave", "ran:1", true, true},
};
constexpr CutPoint OrganizeAcrossPoints[] = {
    {"DuringCopy", "copy:8", true, true},
    {"CopyPlaced", "placed:1", true, true},
    {"MidRemoval", "remove:8", true, true},
    {"TargetPulled7sAfterClosing", nullptr, false, false},
};
// Restoring, the Desktop's volume receives the copies: the last cut takes it too.
constexpr CutPoint RestoreAcrossPoints[] = {
    {"DuringCopy", "copy:8", true, true},
    {"CopyPlaced", "placed:1", true, true},
    {"MidRemoval", "remove:8", true, true},
    {"PowerCut7sAfterClosing", nullptr, false, true},
};

using Case = std::tuple<const char *, CutPoint>;

void PrintTo(const CutPoint &point, std::ostream *out) {
    *out << point.name;
}

std::string CaseName(const ::testing::TestParamInfo<Case> &info) {
    return std::string(std::get<0>(info.param)) + '_' + std::get<1>(info.param).name;
}

QString Sample(const QStringList &names) {
    return names.mid(0, 5).join(QStringLiteral("、")) +
           (names.size() > 5 ? QStringLiteral("…") : QString());
}

// How a tree (as Tree lists it) differs from what it was, told per Desktop
// item; empty when it is the same.
QString Difference(const QStringList &before, const QStringList &after) {
    const auto byItem = [](const QStringList &tree) {
        QMap<QString, QStringList> items;
        for (const QString &entry : tree) {
            const QString item = entry.section(QLatin1Char('/'), 0, 0);
            items[item.section(QStringLiteral(" = "), 0, 0).section(QStringLiteral(" -> "), 0, 0)]
                .append(entry);
        }
        return items;
    };
    const QMap<QString, QStringList> was = byItem(before);
    const QMap<QString, QStringList> is = byItem(after);
    QStringList lost;
    QStringList changed;
    QStringList extra;
    for (auto item = was.begin(); item != was.end(); ++item) {
        if (!is.contains(item.key())) {
            lost.append(item.key());
        } else if (is.value(item.key()) != item.value()) {
            changed.append(item.key());
        }
    }
    for (auto item = is.begin(); item != is.end(); ++item) {
        if (!was.contains(item.key())) {
            extra.append(item.key());
        }
    }
    QStringList told;
    const auto tell = [&told](const QStringList &items, const char *what) {
        if (!items.isEmpty()) {
            told.append(QStringLiteral("%1 %2 (%3)")
                            .arg(items.size())
                            .arg(QLatin1String(what), Sample(items)));
        }
    };
    tell(lost, "lost");
    tell(changed, "back with other contents");
    tell(extra, "there that were not");
    return told.isEmpty() ? QString()
                          : QStringLiteral("of %1 Desktop items: ").arg(was.size()) +
                                told.join(QStringLiteral("; "));
}

// Whether the process has stopped (its state in /proc is T).
bool WaitStopped(qint64 pid) {
    const QString stat = QStringLiteral("/proc/%1/stat").arg(pid);
    for (int i = 0; i < 5000; ++i) {
        const QByteArray state = ReadFile(stat);
        if (state.mid(state.lastIndexOf(')') + 2, 1) == "T") {
            return true;
        }
        QThread::usleep(1000);
    }
    return false;
}

class PowerCutTest : public Sandbox, public ::testing::WithParamInterface<Case> {
protected:
    explicit PowerCutTest(bool across) : across_(across) {}

    void SetUp() override {
        Sandbox::SetUp();
        const QString type = QString::fromLatin1(std::get<0>(GetParam()));
        // The home folder, with the Desktop and the support folder, is a
        // volume; across volumes the target is on a second one.
        home_ = std::make_unique<Volume>(type, home());
        if (across_) {
            usb_ = std::make_unique<Volume>(type, root() + QStringLiteral("/usb"));
        }
        witnessVolume_ =
            std::make_unique<Volume>(QStringLiteral("ext4"), root() + QStringLiteral("/witness"));
        QString unavailable;
        for (Volume *volume : {home_.get(), usb_.get(), witnessVolume_.get()}) {
            if (volume != nullptr && unavailable.isEmpty() && !HasFailure()) {
                unavailable = volume->make();
            }
        }
        if (HasFailure()) {
            GTEST_FAIL() << "the volumes could not be made";
        }
        if (!unavailable.isEmpty()) {
            GTEST_SKIP() << unavailable.toStdString();
        }
        MakeDir(desktop());
        target_ = (across_ ? usb_->mountPoint() : home()) + QStringLiteral("/整理");
        QSettings().setValue(TargetFolderKey, target_);
        QSettings().sync();
    }

    std::vector<Volume *> volumes() const {
        return usb_ ? std::vector<Volume *>{home_.get(), usb_.get()}
                    : std::vector<Volume *>{home_.get()};
    }

    // A folder of 20 files of 1 MB of distinct random bytes, and a note.
    void fillDesktopForAnotherVolume() {
        MakeDir(desktop() + QLatin1Char('/') + Album);
        for (int i = 0; i < 20; ++i) {
            QByteArray bytes(1 << 20, Qt::Uninitialized);
            QRandomGenerator(20261207 + i)
                .fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
            WriteFile(desktop() + QLatin1Char('/') + Album + QStringLiteral("/照片 %1.jpg").arg(i),
                      bytes);
        }
        WriteFile(desktop() + QStringLiteral("/note.txt"), "记得备份\n");
    }

    // Runs the child in role ("organize" or "restore") up to the case's cut
    // point and cuts the power there.
    void runAndCut(const char *role) {
        const CutPoint &point = std::get<1>(GetParam());
        for (Volume *volume : volumes()) {
            volume->sync(); // what was there before the run is on the disk
        }
        const FlushWitness witness(*witnessVolume_);
        QProcessEnvironment env = SandboxEnvironment(home());
        if (point.pauseAt != nullptr) {
            env.insert(QStringLiteral("KESTRUE_PAUSE_AT"), QString::fromLatin1(point.pauseAt));
        }
        if (across_) {
            env.insert(QStringLiteral("KESTRUE_STEP_PATH"), Album);
        }
        QProcess child;
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QStringLiteral(KESTRUE_CHILD_PATH), {QString::fromLatin1(role)});
        const QByteArray awaited = point.pauseAt != nullptr ? "paused\n" : "finished\n";
        QByteArray said;
        while (!said.contains(awaited) && child.waitForReadyRead(60000)) {
            said += child.readAllStandardOutput();
        }
        QElapsedTimer sinceClosing;
        sinceClosing.start();
        ASSERT_TRUE(said.contains(awaited))
            << role << " never reached " << (point.pauseAt ? point.pauseAt : "its end")
            << "; it said: " << said.toStdString();
        if (point.pauseAt != nullptr) {
            ASSERT_TRUE(WaitStopped(child.processId())) << "the child did not stop itself";
        } else {
            ASSERT_TRUE(child.waitForFinished(30000));
            QThread::msleep(
                static_cast<unsigned long>(std::max<qint64>(0, 7000 - sinceClosing.elapsed())));
        }
        if (witness.flushed()) {
            child.kill();
            child.waitForFinished();
            GTEST_SKIP() << "another process flushed this machine's file systems during the run "
                            "(a sync?): a cut now would not show what the kernel leaves unwritten";
        }
        std::vector<Volume *> cut = volumes();
        if (!point.homeCutToo) {
            cut.erase(cut.begin());
        }
        for (const Volume *volume : cut) {
            if (point.otherProgramSaves) {
                volume->saveUnrelatedFile();
            }
        }
        CutPower(cut, child);
    }

    // A fresh start and 还原: every item is back as it was and nothing is
    // left behind.
    void expectAllBack(const QStringList &before) {
        const auto next = FreshStart();
        Restore(*next);
        const QStringList log = LogMessages(*next);
        SCOPED_TRACE("the fresh start's log: " + Sample(log).toStdString());
        EXPECT_EQ(Difference(before, Tree(desktop())), QString());
        QStringList left = Names(target_);
        left.removeAll(MirrorFileName);
        EXPECT_TRUE(left.isEmpty())
            << left.size() << " entries left in the target (" << Sample(left).toStdString() << ")";
        QStringList halfCopies;
        QDirIterator it(root(), {QLatin1String(TemporaryPrefix) + QLatin1Char('*')},
                        QDir::AllEntries | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            halfCopies.append(it.next().mid(root().size() + 1));
        }
        EXPECT_TRUE(halfCopies.isEmpty())
            << "hidden half copies remain: " << Sample(halfCopies).toStdString();
        EXPECT_TRUE(next->manifest().isEmpty())
            << next->manifest().size() << " records remain in the manifest";
    }

    std::unique_ptr<Volume> home_;
    std::unique_ptr<Volume> usb_;
    std::unique_ptr<Volume> witnessVolume_;
    QString target_;

private:
    bool across_;
};

// Home, Desktop, support folder and target on one volume; 3000 items.
class SameVolumeCut : public PowerCutTest {
public:
    SameVolumeCut() : PowerCutTest(false) {}
};

TEST_P(SameVolumeCut, RestoreBringsEveryItemBack) {
    for (int i = 0; i < 3000; ++i) {
        const QString path = desktop() + QStringLiteral("/项目 %1").arg(i);
        if (i % 10 == 0) {
            MakeDir(path);
            WriteFile(path + QStringLiteral("/a.txt"), path.toUtf8());
            WriteFile(path + QStringLiteral("/b.txt"), QByteArray::number(i));
        } else {
            WriteFile(path + QStringLiteral(".txt"), path.toUtf8().repeated(i % 5 + 1));
        }
    }
    const QStringList before = Tree(desktop());
    ASSERT_NO_FATAL_FAILURE(runAndCut("organize"));
    if (!IsSkipped()) {
        expectAllBack(before);
    }
}

INSTANTIATE_TEST_SUITE_P(PowerCut, SameVolumeCut,
                         ::testing::Combine(::testing::Values("ext4", "xfs", "btrfs"),
                                            ::testing::ValuesIn(SameVolumePoints)),
                         CaseName);

class OrganizeAcrossCut : public PowerCutTest {
public:
    OrganizeAcrossCut() : PowerCutTest(true) {}
};

TEST_P(OrganizeAcrossCut, RestoreBringsEveryItemBack) {
    fillDesktopForAnotherVolume();
    const QStringList before = Tree(desktop());
    ASSERT_NO_FATAL_FAILURE(runAndCut("organize"));
    if (!IsSkipped()) {
        expectAllBack(before);
    }
}

INSTANTIATE_TEST_SUITE_P(PowerCut, OrganizeAcrossCut,
                         ::testing::Combine(::testing::Values("ext4", "xfs"),
                                            ::testing::ValuesIn(OrganizeAcrossPoints)),
                         CaseName);

class RestoreAcrossCut : public PowerCutTest {
public:
    RestoreAcrossCut() : PowerCutTest(true) {}
};

TEST_P(RestoreAcrossCut, RestoreBringsEveryItemBack) {
    fillDesktopForAnotherVolume();
    const QStringList before = Tree(desktop());
    {
        const auto first = FreshStart();
        Organize(*first);
        ASSERT_EQ(LogMessages(*first).value(0),
                  QStringLiteral("整理完成：移动 2 个项目，跳过 0 个项目。"));
    }
    ASSERT_NO_FATAL_FAILURE(runAndCut("restore"));
    if (!IsSkipped()) {
        expectAllBack(before);
    }
}

INSTANTIATE_TEST_SUITE_P(PowerCut, RestoreAcrossCut,
                         ::testing::Combine(::testing::Values("ext4", "xfs"),
                                            ::testing::ValuesIn(RestoreAcrossPoints)),
                         CaseName);

} // namespace
