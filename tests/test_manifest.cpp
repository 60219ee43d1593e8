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
    void reload() { delegate.loadManifest(); }
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

} // namespace
