#include "DescriptorsUsedUp.h"
#include "TestSupport.h"
#include "app/Constants.h"
#include "engine/FileSystem.h"
#include "engine/Manifest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPlainTextEdit>
#include <sys/stat.h>

namespace {

class ManifestTest : public ControllerTest {
protected:
    QString manifestFile() const {
        return supportFolder() + QStringLiteral("/restore-manifest.json");
    }
    void SetUp() override {
        ControllerTest::SetUp();
        target = root() + QStringLiteral("/归档");
        mirror = target + QLatin1Char('/') + MirrorFileName;
    }
    void reload() { delegate.loadManifest(); }
    // Seven items organized into a remembered target folder.
    void organizeSeven() {
        setTarget(target);
        for (int i = 0; i < 7; ++i) {
            WriteFile(desktop() + QStringLiteral("/项目 %1.txt").arg(i), QByteArray::number(i));
        }
        Organize(delegate);
        ASSERT_EQ(delegate.manifest().size(), 7);
    }

    QString target;
    QString mirror;
};

TEST_F(ManifestTest, ArraysLoadUnvalidatedInAnyLayoutAndSaveBackTheSameValues) {
    const QByteArray file = R"([{"originalPath":"/D/a","storedPath":"/T/a","name":"a",
        "movedAt":1700000000,"note":{"kept":true}},
        7, "loose", null, {"storedPath": 3}])";
    WriteFile(manifestFile(), file);
    reload();
    ASSERT_EQ(delegate.manifest().size(), 5);
    EXPECT_TRUE(delegate.manifest().at(0).isRecord());
    EXPECT_EQ(
        ValuesOf(delegate.manifest()).at(0).toObject().value(QStringLiteral("note")).toObject(),
        QJsonObject({{QStringLiteral("kept"), true}}));
    delegate.saveManifest();
    const QByteArray saved = ReadFile(manifestFile());
    EXPECT_EQ(QJsonDocument::fromJson(saved).array(), QJsonDocument::fromJson(file).array());
    EXPECT_TRUE(saved.contains("\n    ")) << "pretty-printed";
}

TEST_F(ManifestTest, SaveWritesFileAndIdenticalMirrorPrivately) {
    const QString target = root() + QStringLiteral("/Target");
    MakeDir(target);
    setTarget(target);
    delegate.setManifest(
        StoreOf(QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("报告.pdf")}}}));
    delegate.saveManifest();
    const QByteArray main = ReadFile(manifestFile());
    EXPECT_FALSE(main.isEmpty());
    EXPECT_EQ(ReadFile(target + QStringLiteral("/.desktop-organizer-restore.json")), main);
    for (const QString &path :
         {manifestFile(), target + QStringLiteral("/.desktop-organizer-restore.json")}) {
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << path.toStdString();
    }
    EXPECT_EQ(delegate.summaryField()->text(),
              QStringLiteral("完成情况：已记录 1 个可还原项目。隐藏项目和目标文件夹默认跳过。"));
}

TEST_F(ManifestTest, EmptyManifestIsStillSavedAsAnEmptyArray) {
    const QString target = root() + QStringLiteral("/Target");
    MakeDir(target);
    setTarget(target);
    delegate.saveManifest();
    EXPECT_TRUE(QJsonDocument::fromJson(ReadFile(manifestFile())).isArray());
    EXPECT_TRUE(QJsonDocument::fromJson(ReadFile(manifestFile())).array().isEmpty());
    EXPECT_EQ(ReadFile(target + QStringLiteral("/.desktop-organizer-restore.json")),
              ReadFile(manifestFile()));
}

TEST_F(ManifestTest, MirrorIsSkippedQuietlyWhenTheTargetIsNotAFolder) {
    struct Case {
        QString target;
        const char *why;
    };
    WriteFile(root() + QStringLiteral("/a-file"), "f");
    const Case cases[] = {{QString(), "no target"},
                          {root() + QStringLiteral("/missing"), "missing folder"},
                          {root() + QStringLiteral("/a-file"), "a file"}};
    for (const Case &c : cases) {
        setTarget(c.target);
        delegate.saveManifest();
        EXPECT_TRUE(EntryExists(manifestFile())) << c.why;
        EXPECT_EQ(delegate.logView()->toPlainText(), QString()) << c.why;
    }
    EXPECT_FALSE(EntryExists(root() + QStringLiteral("/missing")));
    EXPECT_EQ(ReadFile(root() + QStringLiteral("/a-file")), "f");
}

TEST_F(ManifestTest, MirrorOfATildePathLandsInTheTargetFolder) {
    MakeDir(home() + QStringLiteral("/Sorted"));
    setTarget(QStringLiteral("~/Sorted/"));
    delegate.saveManifest();
    EXPECT_TRUE(EntryExists(home() + QStringLiteral("/Sorted/.desktop-organizer-restore.json")));
    EXPECT_FALSE(EntryExists(QStringLiteral("~")));
}

TEST_F(ManifestTest, SavedRecordsAreReadBackAtTheNextStart) {
    ManifestStore records =
        StoreOf(QJsonArray{QJsonObject{{QStringLiteral("originalPath"), QStringLiteral("/D/x")}}});
    records.append(RestoreRecord(QStringLiteral("/D/y"), QStringLiteral("/T/y"), 3));
    delegate.setManifest(records);
    delegate.saveManifest();
    OrganizerAppDelegate next;
    next.loadManifest();
    EXPECT_EQ(next.manifest(), records);
}

// The manifest cut at 300 bytes after seven items were organized: the start
// tells where the cut file is kept and that the records came from the
// mirror, and 还原 brings all seven back. Temporary files that a killed save
// left (after a restore, say, which keeps no journal) are gone.
TEST_F(ManifestTest, ACutManifestIsToldAndItsItemsComeBackFromTheMirror) {
    organizeSeven();
    ASSERT_TRUE(QFile(manifestFile()).resize(300));
    const QString left[] = {supportFolder() + QStringLiteral("/.restore-manifest.json.Ab12Cd"),
                            target + QStringLiteral("/..desktop-organizer-restore.json.Xy34Zw")};
    WriteFile(left[0], "[");
    WriteFile(left[1], "[");
    OrganizerAppDelegate next;
    next.applicationDidFinishLaunching();
    EXPECT_FALSE(EntryExists(left[0]) || EntryExists(left[1]));
    const QStringList log = LogMessages(next);
    ASSERT_EQ(log.size(), 3) << log.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(log[1].startsWith(QStringLiteral("还原记录无法读取，已原样保存为 ") +
                                  supportFolder() +
                                  QStringLiteral("/restore-manifest.unreadable-")));
    EXPECT_EQ(log[2], QStringLiteral("已从指定文件夹中的副本 %1 恢复 7 条还原记录。").arg(mirror));
    Restore(next);
    EXPECT_EQ(Names(desktop()).size(), 7);
}

// A manifest that another program replaced has no mirror to stand in for
// it. The next organize keeps the mirror that alone still lists the seven
// items beside itself, and says so.
TEST_F(ManifestTest, AnOrganizeAfterASetAsideKeepsTheOnlyListOfTheItems) {
    organizeSeven();
    const QByteArray listed = ReadFile(mirror);
    ASSERT_TRUE(QFile::remove(manifestFile()));
    WriteFile(manifestFile(), "[");
    auto next = FreshStart();
    WriteFile(desktop() + QStringLiteral("/新.txt"), "new");
    Organize(*next);
    const QStringList kept = Names(target).filter(QStringLiteral(".unreadable-"));
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(ReadFile(target + QLatin1Char('/') + kept[0]), listed);
    EXPECT_EQ(LogMessages(*next).constFirst(),
              QStringLiteral("指定文件夹中的还原记录副本列有当前记录之外的项目，已原样保存为 %1/%2")
                  .arg(target, kept[0]));
    EXPECT_EQ(next->manifest().size(), 1);
}

// The manifest cannot be opened at the start (the descriptors are used up):
// until the next start, organize and 还原 refuse and nothing is saved over it.
TEST_F(ManifestTest, RecordsUnreadableAtTheStartAreNeverSavedOver) {
    organizeSeven();
    const QByteArray saved = ReadFile(manifestFile());
    auto next = std::make_unique<OrganizerAppDelegate>();
    AttachViews(*next);
    {
        const DescriptorsUsedUp usedUp(0);
        next->loadManifest();
    }
    WriteFile(desktop() + QStringLiteral("/新.txt"), "new");
    Organize(*next);
    Restore(*next);
    next->saveManifest();
    const QString refusal = QStringLiteral("启动时无法读取还原记录（打开的文件过多），为免覆盖它，"
                                           "现在不能整理或还原；请重新启动本程序。");
    EXPECT_EQ(LogMessages(*next), (QStringList{refusal, refusal}));
    EXPECT_EQ(ReadFile(manifestFile()), saved);
    EXPECT_EQ(Names(desktop()), QStringList{QStringLiteral("新.txt")});
    EXPECT_EQ(FreshStart()->manifest().size(), 7);
}

} // namespace
