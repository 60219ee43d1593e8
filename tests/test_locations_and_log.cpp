#include "TestSupport.h"
#include "app/Constants.h"
#include "engine/FileSystem.h"
#include "engine/LogText.h"
#include "ui/LogAndSummary.h"

#include <QDir>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSettings>

namespace {

class LocationsTest : public ControllerTest {};

TEST_F(LocationsTest, FieldTextIsTrimmedOfEveryKindOfWhiteSpace) {
    struct Case {
        QString typed;
        QString expected;
    };
    const QString path = QStringLiteral("/Users/me/整理 后");
    const Case cases[] = {
        {QStringLiteral("  ") + path + QStringLiteral("\t"), path},
        {QStringLiteral("\u3000\u00a0") + path + QStringLiteral("\u2028\u2029\u0085"), path},
        {QStringLiteral("\r\n") + path + QStringLiteral("\n\v\f"), path},
        {QStringLiteral("~/Sorted "), QStringLiteral("~/Sorted")},
    };
    for (const Case &c : cases) {
        setTarget(c.typed);
        EXPECT_EQ(delegate.currentTargetPath(), c.expected);
    }
}

TEST_F(LocationsTest, SettingFillsInOnlyForAnEmptyOrBlankField) {
    EXPECT_EQ(delegate.currentTargetPath(), QString()) << "no field text, no setting";
    QSettings().setValue(TargetFolderKey, QStringLiteral("  /stored/as is "));
    for (const QString &blank : {QString(), QStringLiteral(" \t\u3000")}) {
        setTarget(blank);
        EXPECT_EQ(delegate.currentTargetPath(), QStringLiteral("  /stored/as is "));
    }
    setTarget(QStringLiteral("/typed"));
    EXPECT_EQ(delegate.currentTargetPath(), QStringLiteral("/typed"));
    EXPECT_EQ(QSettings().value(TargetFolderKey).toString(), QStringLiteral("  /stored/as is "));
}

TEST_F(LocationsTest, DesktopFollowsTheXdgUserDirectory) {
    EXPECT_EQ(delegate.desktopPath(), desktop());
    MakeDir(home() + QStringLiteral("/.config"));
    WriteFile(home() + QStringLiteral("/.config/user-dirs.dirs"),
              "XDG_DESKTOP_DIR=\"$HOME/\xe6\xa1\x8c\xe9\x9d\xa2\"\n");
    EXPECT_EQ(delegate.desktopPath(), home() + QStringLiteral("/桌面"));
}

TEST_F(LocationsTest, SupportFolderIsRecreatedWhenDeleted) {
    const QString manifest = delegate.manifestPath();
    EXPECT_EQ(manifest, supportFolder() + QStringLiteral("/restore-manifest.json"));
    ASSERT_TRUE(QDir(supportFolder()).removeRecursively());
    delegate.saveManifest();
    EXPECT_TRUE(IsDirectory(supportFolder()));
    EXPECT_EQ(ReadFile(manifest).trimmed(), "[\n]");
}

TEST(TimeText, AddsSecondsToTheShortTimeFormat) {
    const QTime time(9, 41, 7);
    EXPECT_EQ(TimeText(time, QLocale(QStringLiteral("zh_CN"))), QStringLiteral("09:41:07"));
    const QString us = TimeText(time, QLocale(QStringLiteral("en_US")));
    EXPECT_TRUE(us == QStringLiteral("9:41:07 AM") || us == QStringLiteral("9:41:07\u202fAM"))
        << us.toStdString();
    EXPECT_EQ(TimeText(QTime(21, 5, 0), QLocale(QStringLiteral("de_DE"))),
              QStringLiteral("21:05:00"));
}

class LogTest : public ControllerTest {};

TEST_F(LogTest, LinesCarryTimeStampAndMessageUnchanged) {
    delegate.appendLog(QStringLiteral("第一行\n第二行"));
    delegate.appendLog(QString());
    const QString text = delegate.logView()->toPlainText();
    const QStringList lines = text.split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 4) << text.toStdString();
    const QRegularExpression stamp(QStringLiteral("^\\[[^\\]]+\\] "));
    EXPECT_TRUE(stamp.match(lines[0]).hasMatch());
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("] 第一行")));
    EXPECT_EQ(lines[1], QStringLiteral("第二行")) << "no time stamp inside a message";
    EXPECT_TRUE(stamp.match(lines[2]).hasMatch());
    EXPECT_TRUE(lines[2].endsWith(QStringLiteral("] ")));
    EXPECT_EQ(lines[3], QString()) << "every line ends in one line feed";
}

TEST_F(LogTest, NewestLineStaysInView) {
    delegate.window()->resize(400, 200);
    delegate.logView()->resize(400, 150);
    for (int i = 0; i < 300; ++i) {
        delegate.appendLog(QStringLiteral("行 %1").arg(i));
    }
    const QScrollBar *bar = delegate.logView()->verticalScrollBar();
    EXPECT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());
}

TEST_F(LogTest, SummaryCountsRecordsWithoutGrouping) {
    QLocale::setDefault(QLocale(QStringLiteral("en_US")));
    delegate.updateSummary();
    EXPECT_EQ(delegate.summaryField()->text(),
              QStringLiteral("完成情况：已记录 0 个可还原项目。隐藏项目和目标文件夹默认跳过。"));
    ManifestStore records;
    const ManifestStore one = StoreOf(QJsonArray{QJsonObject{}});
    for (int i = 0; i < 12345; ++i) {
        records.append(one);
    }
    delegate.setManifest(records);
    delegate.updateSummary();
    EXPECT_EQ(
        delegate.summaryField()->text(),
        QStringLiteral("完成情况：已记录 12345 个可还原项目。隐藏项目和目标文件夹默认跳过。"));
    QLocale::setDefault(QLocale::c());
}

// Each row: a name and how a log line shows it. The rows just outside each
// escaped range must come through unchanged.
TEST(VisibleName, EscapesExactlyTheInvisibleAndReorderingCharacters) {
    const struct {
        QString name;
        QString shown;
    } rows[] = {
        {QString(), QString()},
        {QStringLiteral("报告 2024.pdf"), QStringLiteral("报告 2024.pdf")},
        {QStringLiteral("a\\nb\\u202E"), QStringLiteral("a\\nb\\u202E")}, // typed backslashes stay
        {QStringLiteral("x\n[12:00:00] 整理完成：移动 99 个项目，跳过 0 个项目。"),
         QStringLiteral("x\\n[12:00:00] 整理完成：移动 99 个项目，跳过 0 个项目。")},
        {QStringLiteral("\t\r\n"), QStringLiteral("\\t\\r\\n")},
        {QString(QChar(0)) + QStringLiteral("\x01\x1b[31m\x1f "),
         QStringLiteral("\\u0000\\u0001\\u001B[31m\\u001F ")},
        {QStringLiteral("~\x7f"), QStringLiteral("~\\u007F")},
        {QStringLiteral("\u0080\u0085\u009f\u00a0"), QStringLiteral("\\u0080\\u0085\\u009F\u00a0")},
        {QStringLiteral("\u2027\u2028\u2029"), QStringLiteral("\u2027\\u2028\\u2029")},
        {QStringLiteral("\u202a\u202b\u202c\u202d\u202e\u202f"),
         QStringLiteral("\\u202A\\u202B\\u202C\\u202D\\u202E\u202f")},
        {QStringLiteral("\u2065\u2066\u2067\u2068\u2069\u206a"),
         QStringLiteral("\u2065\\u2066\\u2067\\u2068\\u2069\u206a")},
        {QStringLiteral("invoice\u202Efdp.exe"), QStringLiteral("invoice\\u202Efdp.exe")},
        {QStringLiteral("😀\u200f"), QStringLiteral("😀\u200f")},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(VisibleName(row.name), row.shown);
    }
}

TEST(ViewlessController, LogAndSummaryAreNoOpsBeforeTheWindowExists) {
    OrganizerAppDelegate bare;
    bare.appendLog(QStringLiteral("x"));
    bare.updateSummary();
    EXPECT_EQ(bare.window(), nullptr);
    EXPECT_TRUE(bare.manifest().isEmpty());
    EXPECT_TRUE(bare.applicationShouldTerminateAfterLastWindowClosed());
}

} // namespace
