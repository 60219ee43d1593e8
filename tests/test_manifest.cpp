#include "TestSupport.h"
#include "app/Constants.h"
#include "engine/FileSystem.h"
#include "engine/Manifest.h"

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

TEST_F(ManifestTest, UnusableFilesGiveAnEmptyManifest) {
    const QByteArray cases[] = {"",      "{}",       "{\"a\": [1]}",     "42",   "\"text\"", "null",
                                "[1, 2", "not json", "\xef\xbb\xbf\xff", "[] []"};
    for (const QByteArray &bytes : cases) {
        WriteFile(manifestFile(), bytes);
        delegate.setManifest(QJsonArray{1});
        reload();
        EXPECT_TRUE(delegate.manifest().isEmpty()) << bytes.toStdString();
    }
}

TEST_F(ManifestTest, MissingFileIsEmptyAndCreatesNothing) {
    reload();
    EXPECT_TRUE(delegate.manifest().isEmpty());
    EXPECT_FALSE(EntryExists(manifestFile()));
}

TEST_F(ManifestTest, ArraysLoadUnvalidatedInAnyLayoutAndSaveBackTheSameValues) {
    const QByteArray file = R"([{"originalPath":"/D/a","storedPath":"/T/a","name":"a",
        "movedAt":1700000000,"note":{"kept":true}},
        7, "loose", null, {"storedPath": 3}])";
    WriteFile(manifestFile(), file);
    reload();
    ASSERT_EQ(delegate.manifest().size(), 5);
    EXPECT_EQ(delegate.manifest().at(0).toObject().value(QStringLiteral("note")).toObject(),
              QJsonObject({{QStringLiteral("kept"), true}}));
    delegate.saveManifest();
    const QByteArray saved = ReadFile(manifestFile());
    EXPECT_EQ(QJsonDocument::fromJson(saved).array(), QJsonDocument::fromJson(file).array());
    EXPECT_TRUE(saved.contains("\n    ")) << "pretty-printed";
}

TEST(ManifestEncoding, WritesTheIndentedLayoutAndReadsBackEveryValue) {
    const QJsonArray records{RestoreRecord(QStringLiteral("/D/报告 \"终稿\".pdf"),
                                           QStringLiteral("/T/报告 \"终稿\" 1.pdf"), 1700000000),
                             RestoreRecord(QStringLiteral("/D/tab\there\\back"),
                                           QStringLiteral("/T/emoji \U0001F436"), 0)};
    EXPECT_EQ(EncodeManifest(records), QJsonDocument(records).toJson(QJsonDocument::Indented));
    EXPECT_EQ(EncodeManifest(QJsonArray()), QJsonDocument(QJsonArray()).toJson());

    const QByteArray odd = R"([1.5, -0.25, 1e300, 12345678901234567, true, false, null, [], {},
        [[1, {"a": []}]], {"nested": {"deep": [null, "\u0001\u001f"]}}, "\ud800 lone",
        9007199254740993, -9223372036854775808])";
    const QJsonArray values = QJsonDocument::fromJson(odd).array();
    ASSERT_EQ(values.size(), 14);
    EXPECT_EQ(ParseManifest(EncodeManifest(values)), values);
}

TEST_F(ManifestTest, LargeTimesSurviveTheRoundTrip) {
    const QJsonArray records{QJsonObject{{QStringLiteral("movedAt"), qint64(9007199254740993)}}};
    EXPECT_EQ(ParseManifest(EncodeManifest(records)), records);
}

TEST_F(ManifestTest, SaveWritesFileAndIdenticalMirrorPrivately) {
    const QString target = root() + QStringLiteral("/Target");
    MakeDir(target);
    setTarget(target);
    delegate.setManifest(
        QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("报告.pdf")}}});
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
    const QJsonArray records{QJsonObject{{QStringLiteral("originalPath"), QStringLiteral("/D/x")}}};
    delegate.setManifest(records);
    delegate.saveManifest();
    OrganizerAppDelegate next;
    next.loadManifest();
    EXPECT_EQ(next.manifest(), records);
}

class TargetPreparationTest : public ControllerTest {};

TEST_F(TargetPreparationTest, RefusesEmptyAndNonFolderPaths) {
    Error error;
    EXPECT_FALSE(delegate.prepareTarget(QString(), &error));
    EXPECT_EQ(error.domain, AppName);
    EXPECT_EQ(error.code, 1);
    EXPECT_EQ(error.description, QStringLiteral("请先选择指定文件夹。"));
    EXPECT_FALSE(delegate.prepareTarget(QString(), nullptr));

    const QString file = root() + QStringLiteral("/file");
    WriteFile(file, "unchanged");
    ASSERT_TRUE(QFile::link(file, root() + QStringLiteral("/link-to-file")));
    for (const QString &path : {file, root() + QStringLiteral("/link-to-file")}) {
        Error refused;
        EXPECT_FALSE(delegate.prepareTarget(path, &refused));
        EXPECT_EQ(refused.code, 2);
        EXPECT_EQ(refused.description, QStringLiteral("指定路径不是文件夹。"));
    }
    EXPECT_EQ(ReadFile(file), "unchanged");
}

TEST_F(TargetPreparationTest, AcceptsOrCreatesFolders) {
    const QString existing = root() + QStringLiteral("/existing");
    MakeDir(existing);
    WriteFile(existing + QStringLiteral("/content"), "c");
    ASSERT_TRUE(QFile::link(existing, root() + QStringLiteral("/link-to-folder")));
    EXPECT_TRUE(delegate.prepareTarget(existing, nullptr));
    EXPECT_TRUE(delegate.prepareTarget(root() + QStringLiteral("/link-to-folder"), nullptr));
    EXPECT_EQ(Names(existing), QStringList{QStringLiteral("content")});

    Error untouched{QStringLiteral("d"), 99, QStringLiteral("unchanged")};
    EXPECT_TRUE(delegate.prepareTarget(root() + QStringLiteral("/new/several/levels"), &untouched));
    EXPECT_TRUE(IsDirectory(root() + QStringLiteral("/new/several/levels")));
    EXPECT_EQ(untouched.code, 99) << "success leaves the error alone";
}

TEST_F(TargetPreparationTest, PathUnderAFileFailsWithTheSystemsError) {
    WriteFile(root() + QStringLiteral("/file"), "f");
    Error error;
    EXPECT_FALSE(delegate.prepareTarget(root() + QStringLiteral("/file/sub"), &error));
    EXPECT_EQ(error.domain, QStringLiteral("POSIX"));
    EXPECT_FALSE(error.description.isEmpty());
}

} // namespace
