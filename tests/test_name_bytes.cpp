// A name's bytes are carried as they are: a name stored composed (NFC) and
// the same text stored decomposed (NFD) are two items, and each comes back
// under its own bytes.

#include "TestSupport.h"
#include "app/Constants.h"
#include "engine/FileSystem.h"
#include "engine/Journal.h"
#include "engine/MoveItem.h"

#include <QProcess>
#include <QSettings>
#include <algorithm>

namespace {

// The names in folder, as the bytes the file system holds.
QList<QByteArray> RawNames(const QString &folder) {
    QList<QByteArray> names;
    ForEachName(
        folder.toUtf8(),
        [&names](const char *name) {
            if (name[0] != '.') {
                names.append(QByteArray(name));
            }
            return true;
        },
        nullptr);
    std::sort(names.begin(), names.end());
    return names;
}

void WriteRaw(const QString &folder, const QByteArray &name, const QByteArray &bytes) {
    WriteFile(QString::fromUtf8(folder.toUtf8() + '/' + name), bytes);
}

class NameBytesTest : public ControllerTest {};

TEST_F(NameBytesTest, ComposedAndDecomposedNamesEachComeBackAsTheyWere) {
    // Pairs of one text: an accent, kana with a voicing mark, a Hangul
    // syllable; composed, then decomposed.
    const QList<QByteArray> names{
        "Caf\xC3\xA9.pdf",  "Cafe\xCC\x81.pdf",                     // é
        "\xE3\x81\x8C.txt", "\xE3\x81\x8B\xE3\x82\x99.txt",         // が
        "\xED\x95\x9C",     "\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB", // 한
    };
    for (const QByteArray &name : names) {
        WriteRaw(desktop(), name, name.toHex());
    }
    const QString target = root() + QStringLiteral("/Target");
    setTarget(target);

    Organize(delegate);
    EXPECT_EQ(logMessages().constLast(),
              QStringLiteral("整理完成：移动 6 个项目，跳过 0 个项目。"));
    EXPECT_TRUE(RawNames(desktop()).isEmpty());
    QList<QByteArray> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(RawNames(target), sorted);

    Restore(delegate);
    EXPECT_EQ(logMessages().constLast(),
              QStringLiteral("还原完成：还原 6 个项目，跳过 0 个项目。"));
    EXPECT_EQ(RawNames(desktop()), sorted);
    for (const QByteArray &name : names) {
        EXPECT_EQ(ReadFile(QString::fromUtf8(desktop().toUtf8() + '/' + name)), name.toHex());
    }
}

// A target folder whose name is stored decomposed, on another volume, and a
// kill while an item is copied there: the next start takes the half-made
// copy away.
TEST_F(NameBytesTest, AKillDuringACopyIntoADecomposedFolderLeavesNoHalfCopy) {
    const QString target = root() + QString::fromUtf8("/Dossier e\xCC\x81");
    SmallDisk disk(target, "size=16m");
    REQUIRE_MOUNTED(disk);
    MakeDir(desktop() + QStringLiteral("/相册"));
    for (const char *file : {"相册/1.txt", "相册/2.txt", "note.txt"}) {
        WriteFile(desktop() + QLatin1Char('/') + QString::fromUtf8(file),
                  QByteArray(file).repeated(100));
    }
    const QStringList before = Tree(desktop());
    QSettings().setValue(TargetFolderKey, target);
    QSettings().sync();

    ASSERT_TRUE(ChildKilledAt(SandboxEnvironment(home()), QStringLiteral("copy:2")))
        << "the kill never came";
    const auto halfCopies = [&target] {
        QStringList names = Names(target);
        names.removeIf([](const QString &n) { return !n.startsWith(TemporaryPrefix); });
        return names;
    };
    ASSERT_FALSE(halfCopies().isEmpty()) << "killed before a copy was begun";

    auto next = FreshStart();
    EXPECT_EQ(halfCopies(), QStringList{}) << "a half-made copy left behind";
    EXPECT_FALSE(
        EntryExists(JournalPathFor(supportFolder() + QLatin1Char('/') + ManifestFileName)));
    Restore(*next);
    EXPECT_EQ(Tree(desktop()), before);
}

} // namespace
