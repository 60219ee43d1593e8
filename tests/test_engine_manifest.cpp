// The manifest's format, its reader and the reading of its file at start-up
// as engine units: real files, no window, QtCore only.

#include "DescriptorsUsedUp.h"
#include "engine/FileSystem.h"
#include "engine/Journal.h"
#include "engine/JsonText.h"
#include "engine/Manifest.h"
#include "engine/ManifestRecovery.h"
#include "engine/ManifestSaver.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <algorithm>
#include <gtest/gtest.h>

namespace {

QByteArray ReadFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The manifest file of a fresh folder, read as the program reads it at start.
class ManifestFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    QString manifestFile() const { return dir.path() + QStringLiteral("/restore-manifest.json"); }
    void write(const QByteArray &bytes) {
        QFile file(manifestFile());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_EQ(file.write(bytes), bytes.size());
    }
    ManifestStore load() {
        bool journalReplayed = false;
        QStringList notices;
        return ReadManifestFile(manifestFile(), &journalReplayed, &notices);
    }

    QTemporaryDir dir;
};

TEST_F(ManifestFileTest, UnusableFilesAreSetAsideAndGiveAnEmptyManifest) {
    const QByteArray record = R"({"originalPath":"/D/a","storedPath":"/T/a"})";
    const QByteArray cases[] = {
        "{}", "{\"a\": [1]}", "42", "\"text\"", "null", "[1, 2", "not json", "[] []",
        "\xef\xbb\xbf\xff",
        // Forms a lenient reader takes: numbers, escapes, raw control characters.
        "[1.]", "[.5]", "[01]", "[+1]", "[1e]", "[NaN]", "[1,]", "[,]", "['a']", R"(["\x00"])",
        R"(["\a"])", R"(["\u12"])", "[\"a\x01b\"]", "[\"tab\there\"]",
        // Text that is not UTF-8, or a lone surrogate.
        "[\"\xff\"]", "[\"\xc3\"]", "[\"\xed\xa0\x80\"]", R"(["\ud800"])",
        // A number beyond a double's range.
        "[1e400]",
        // A fault after or inside otherwise usable records.
        "[" + record + ", .5]", "[" + record + "]]",
        R"([{"originalPath":"/D/a","storedPath":"/T/a","note":"\q"}])",
        R"([{"originalPath":"/D/\a","storedPath":"/T/a"}])"};
    for (const QByteArray &bytes : cases) {
        SCOPED_TRACE(bytes.toStdString());
        write(bytes);
        EXPECT_TRUE(load().isEmpty());
        EXPECT_FALSE(EntryExists(manifestFile())) << "set aside";
        bool usable = true;
        EXPECT_TRUE(ManifestStore::parse(bytes, &usable).isEmpty());
        EXPECT_FALSE(usable);
    }
    // Every one kept aside with its bytes.
    QList<QByteArray> aside;
    for (const QString &name :
         QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)) {
        if (name.startsWith(QStringLiteral("restore-manifest.unreadable-"))) {
            aside.append(ReadFile(dir.path() + QLatin1Char('/') + name));
        }
    }
    EXPECT_EQ(aside.size(), std::size(cases));
    for (const QByteArray &bytes : cases) {
        EXPECT_TRUE(aside.contains(bytes)) << bytes.toStdString();
    }

    write("");
    EXPECT_TRUE(load().isEmpty());
    EXPECT_TRUE(EntryExists(manifestFile())) << "zero bytes are an empty manifest";
}

// Files larger than one run are read run by run: records with a foreign
// element and extra members among them load exactly; seams that all fall
// inside one nested value send the file to be parsed whole; a file cut short
// past its first runs is set aside with nothing of it loaded.
TEST_F(ManifestFileTest, LargeFilesLoadInRunsOrWholeAndCutFilesAreSetAside) {
    ManifestStore records;
    for (int i = 0; i < 6000; ++i) {
        records.append(RestoreRecord(QStringLiteral("/D/报告 %1.txt").arg(i),
                                     QStringLiteral("/T/报告 %1.txt").arg(i), i));
    }
    QByteArray mixed = records.encode();
    const qsizetype middle =
        mixed.indexOf(ManifestStore::Seam, mixed.size() / 2) + ManifestStore::SeamComma;
    mixed.insert(
        middle,
        R"(, [1, {"a": null}], {"originalPath": "/D/x", "storedPath": "/T/x", "k": [true]})");
    ASSERT_GT(mixed.size(), 3 * ManifestStore::RunBytes);
    QByteArray nested = "[[\n    {\n    }";
    for (int i = 0; i < 30000; ++i) {
        nested += ",\n    {\n    }";
    }
    nested += "]]";
    for (const QByteArray *file : {&mixed, &nested}) {
        const QByteArray &text = *file;
        write(text);
        const ManifestStore loaded = load();
        bool usable = false;
        const ManifestStore whole = ManifestStore::parse(text, &usable, text.size() + 1);
        ASSERT_TRUE(usable);
        EXPECT_EQ(loaded, whole);
        EXPECT_EQ(loaded.size(), file == &mixed ? 6002 : 1);
        EXPECT_TRUE(EntryExists(manifestFile()));
    }
    write(mixed.left(mixed.size() - 10));
    EXPECT_TRUE(load().isEmpty());
    EXPECT_FALSE(EntryExists(manifestFile())) << "set aside";
}

TEST_F(ManifestFileTest, MissingFileIsEmptyAndCreatesNothing) {
    EXPECT_TRUE(load().isEmpty());
    EXPECT_FALSE(EntryExists(manifestFile()));
}

TEST(ManifestEncoding, WritesTheIndentedLayoutAndReadsBackEveryValue) {
    const ManifestStore records{RestoreRecord(QStringLiteral("/D/报告 \"终稿\".pdf"),
                                              QStringLiteral("/T/报告 \"终稿\" 1.pdf"), 1700000000),
                                RestoreRecord(QStringLiteral("/D/tab\there\\back\x01"),
                                              QStringLiteral("/T/emoji \U0001F436"), 0)};
    const QJsonArray values{
        QJsonObject{{QStringLiteral("movedAt"), 1700000000},
                    {QStringLiteral("name"), QStringLiteral("报告 \"终稿\".pdf")},
                    {QStringLiteral("originalPath"), QStringLiteral("/D/报告 \"终稿\".pdf")},
                    {QStringLiteral("storedPath"), QStringLiteral("/T/报告 \"终稿\" 1.pdf")}},
        QJsonObject{{QStringLiteral("movedAt"), 0},
                    {QStringLiteral("name"), QStringLiteral("tab\there\\back\x01")},
                    {QStringLiteral("originalPath"), QStringLiteral("/D/tab\there\\back\x01")},
                    {QStringLiteral("storedPath"), QStringLiteral("/T/emoji \U0001F436")}}};
    // The layout earlier versions wrote, so existing files diff cleanly.
    EXPECT_EQ(records.encode(), QJsonDocument(values).toJson(QJsonDocument::Indented));
    EXPECT_EQ(ManifestStore().encode(), QJsonDocument(QJsonArray()).toJson());
    const ManifestStore parsed = ManifestStore::parse(records.encode());
    ASSERT_EQ(parsed.size(), records.size()) << "the written text did not read back";
    EXPECT_EQ(parsed, records);
    EXPECT_EQ(parsed.at(1).originalPath(), QStringLiteral("/D/tab\there\\back\x01"));
}

// Strings are passed over eight bytes at a time: a byte that needs an escape
// is found wherever it falls in a word, and the bytes beside it stay as they
// are (a quote's neighbours 0x21 and 0x5b, a control's 0x20, UTF-8's high
// bytes). Qt's writer is the reference.
TEST(ManifestEncoding, EscapesAreFoundAtEveryPositionInAWord) {
    const QList<QChar> specials{u'"', u'\\', u'\n',       QChar(0x01), QChar(0x1f),  u' ',
                                u'!', u'[',  QChar(0x7f), QChar(0xe9), QChar(0x4e2d)};
    for (const QChar special : specials) {
        for (int at = 0; at < 19; ++at) {
            QString text(19, u'a');
            text[at] = special;
            QByteArray ours;
            AppendJsonString(ours, text);
            const QByteArray qts = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
            EXPECT_EQ(ours, qts.mid(1, qts.size() - 2))
                << "U+" << int(special.unicode()) << " at " << at;
        }
    }
    // A record built from bytes is the record built from text.
    const QString original = QStringLiteral("/D/报告 \"终稿\".pdf");
    const QString stored = QStringLiteral("/T/报告 1.pdf");
    EXPECT_EQ(RestoreRecord(original.toUtf8(), stored.toUtf8(), 7),
              RestoreRecord(original, stored, 7));
}

// A large file is parsed in runs cut at the seams between records; whatever
// the text, the runs give what the whole text gives. Cases are checked with
// a cut at every seam, as they are and with each single byte taken out.
TEST(ManifestEncoding, RunsCutBetweenRecordsGiveWhatTheWholeTextGives) {
    const QByteArray records =
        ManifestStore{RestoreRecord(QStringLiteral("/D/a"), QStringLiteral("/T/a"), 1),
                      RestoreRecord(QStringLiteral("/D/b"), QStringLiteral("/T/b"), 2),
                      RestoreRecord(QStringLiteral("/D/c"), QStringLiteral("/T/c"), 3)}
            .encode();
    const QByteArray seamed = "[\n    {\n    },\n    {\n    },\n    {\n    }\n]";
    const QList<QByteArray> cases{
        records,
        seamed,
        "[\n    {\n    },\n    {\n    },\n]",                    // a trailing comma
        "[\n    {\n    },\n    {\n    },\n    ,{}]",             // an empty element
        "[[\n    {\n    },\n    {\n    }]]",                     // seams inside a nested array
        "{\"x\":[\n    {\n    },\n    {\n    }]}",               // not an array
        "[\n    {\n    }\n]\n[\n    {\n    },\n    {\n    }\n]", // two arrays
        "[\n    },\n    {\n    }]",                              // a closing brace first
        "[1,\n    {\n    },\n    {\n    \"a\": [\n    },\n    {\n    }]}]",
    };
    const auto check = [](const QByteArray &text) {
        bool whole = false;
        bool cut = false;
        const ManifestStore expected = ManifestStore::parse(text, &whole, text.size() + 1);
        EXPECT_EQ(ManifestStore::parse(text, &cut, 1), expected) << text.toStdString();
        EXPECT_EQ(cut, whole) << text.toStdString();
        return whole;
    };
    EXPECT_TRUE(check(records));
    EXPECT_TRUE(check(seamed));
    EXPECT_EQ(ManifestStore::parse(records, nullptr, 1).size(), 3);
    for (const QByteArray &text : cases) {
        check(text);
        for (qsizetype at = 0; at < text.size(); ++at) {
            check(QByteArray(text).remove(at, 1));
        }
    }
}

// Whatever a file holds, loading and saving keeps every element: records
// compared by value, foreign elements and extra members by their exact text.
TEST(ManifestEncoding, MixedArraysSurviveLoadAndSave) {
    struct Case {
        const char *why;
        QByteArray json;
        int records;
        bool sameText; // saved text equals the input's, whitespace aside
    };
    const Case cases[] = {
        {"records as written",
         R"([{"movedAt":1,"name":"a","originalPath":"/D/a","storedPath":"/T/a"},
            {"movedAt":9223372036854775807,"name":"b c","originalPath":"/D/b c","storedPath":"/T/x"},
            {"movedAt":-9223372036854775808,"name":"n","originalPath":"/n/","storedPath":"/T/n"},
            {"originalPath":"","storedPath":""}])",
         4, true},
        {"extra members, nested",
         R"([{"movedAt":2,"name":"b","originalPath":"/D/b","storedPath":"/T/b","note":{"deep":[1,{"x":null,"y":[]}],"z":{}},"tag":"t"}])",
         1, true},
        {"integers and doubles at their edges",
         R"([9223372036854775807,-9223372036854775808,18446744073709551615,9007199254740993,
            1.7976931348623157e308,-2.2250738585072014e-308,5e-324,4.9406564584124654E-324,-0,
            -0.0,0.1,1E+2,1e-7,123456789012345678e-5,0.30000000000000004])",
         0, true},
        {"every escape, non-BMP text",
         R"(["\"\\\/\b\f\n\r\t\u0000\u001f\u007f\u00e9\ud83d\ude00 é 😀 𝄞 中文"])", 0, true},
        {"foreign objects and scalars",
         R"([{"a":{"b":{"c":[[],{},[[]]]}}},[],{},"",true,false,null,{"storedPath":"/T/only"}])", 0,
         true},
        {"not quite records",
         R"([{"originalPath":"/a","originalPath":"/b","storedPath":"/c"},{"originalPath":1,"storedPath":"/c"},
            {"name":"x","name":"y","originalPath":"/a","storedPath":"/c"}])",
         0, true},
        {"records in another order and with odd members",
         R"([{"storedPath":"/T/y","movedAt":1.5,"originalPath":"/D/x","name":"other"},
            {"x":[1,2],"originalPath":"/D/\u00e9\/\"q\"\ud83d\ude00","name":7,"storedPath":"/T/\t","movedAt":"now"}])",
         2, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.why);
        bool usable = false;
        const ManifestStore loaded = ManifestStore::parse(c.json, &usable);
        ASSERT_TRUE(usable);
        ASSERT_EQ(loaded.size(), QJsonDocument::fromJson(c.json).array().size());
        EXPECT_EQ(std::count_if(loaded.begin(), loaded.end(),
                                [](const ManifestElement &e) { return e.isRecord(); }),
                  c.records);
        const QByteArray saved = loaded.encode();
        const ManifestStore reloaded = ManifestStore::parse(saved, &usable);
        EXPECT_TRUE(usable);
        EXPECT_EQ(reloaded, loaded);
        EXPECT_EQ(reloaded.encode(), saved) << "saving is stable";
        EXPECT_TRUE(saved.startsWith("[\n    ")) << saved.toStdString();
        if (c.sameText) {
            EXPECT_EQ(MinifiedJson(saved), MinifiedJson(c.json)) << saved.toStdString();
        }
        EXPECT_EQ(QJsonDocument::fromJson(saved), QJsonDocument::fromJson(c.json));
    }
    const ManifestStore odd = ManifestStore::parse(cases[std::size(cases) - 1].json);
    EXPECT_EQ(odd.at(1).originalPath(), QStringLiteral("/D/é/\"q\"\U0001F600"));
    EXPECT_EQ(odd.at(1).storedPath(), QStringLiteral("/T/\t"));
}

} // namespace

// A save written while records come: the same bytes as a save of all of them
// at once, in both files; a saver that is never committed changes nothing.
TEST_F(ManifestFileTest, SavesWrittenInPartsMatchOneWholeSaveOrLeaveNoTrace) {
    const QString mirror = dir.path() + QStringLiteral("/mirror/.mirror.json");
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("mirror")));
    const auto record = [](int i) {
        return RestoreRecord(QStringLiteral("/桌面/项目 %1").arg(i),
                             QStringLiteral("/目标/项目 %1").arg(i), 1700000000 + i);
    };
    ManifestStore before;
    for (int i = 0; i < 3; ++i) {
        before.append(record(i));
    }
    const std::vector<int> batches[] = {{}, {1}, {64, 1, 4096}};
    for (const std::vector<int> &sizes : batches) {
        ManifestStore all = before;
        {
            ManifestSaver saver(manifestFile(), mirror, before);
            int next = 100;
            for (const int size : sizes) {
                ManifestStore batch;
                for (int i = 0; i < size; ++i) {
                    batch.append(record(next++));
                }
                all.append(batch);
                saver.add(batch);
            }
            Error error;
            ASSERT_TRUE(saver.commit(&error)) << error.description.toStdString();
        }
        EXPECT_EQ(ReadFile(manifestFile()), all.encode()) << sizes.size() << " batches";
        EXPECT_EQ(ReadFile(mirror), all.encode()) << sizes.size() << " batches";
    }

    const QByteArray saved = ReadFile(manifestFile());
    const QByteArray mirrored = ReadFile(mirror);
    const QStringList names = QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden);
    {
        ManifestSaver saver(manifestFile(), mirror, before);
        saver.add(ManifestStore{record(7)});
    }
    EXPECT_EQ(ReadFile(manifestFile()), saved);
    EXPECT_EQ(ReadFile(mirror), mirrored);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden), names);
    EXPECT_EQ(QDir(dir.path() + QStringLiteral("/mirror")).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral(".mirror.json")});

    // A mirror that cannot be written fails nothing; a manifest that cannot
    // be written fails the save, with its cause.
    const QString blocked = manifestFile() + QStringLiteral("/under-a-file.json");
    {
        ManifestSaver saver(manifestFile(), blocked, before);
        Error error;
        EXPECT_TRUE(saver.commit(&error));
    }
    {
        ManifestSaver saver(blocked, mirror, before);
        Error error;
        EXPECT_FALSE(saver.commit(&error));
        EXPECT_EQ(error.code, ENOTDIR);
    }
}

namespace {

ManifestStore Records(int count) {
    ManifestStore records;
    for (int i = 0; i < count; ++i) {
        records.append(RestoreRecord(QStringLiteral("/桌面/%1").arg(i),
                                     QStringLiteral("/归档/%1").arg(i), 1700000000 + i));
    }
    return records;
}

} // namespace

// A file that is not a manifest is set aside, and the mirror takes its place
// only when it holds the very bytes the file was saved with: not the mirror
// of a save before (one whose records were brought back since), not one
// edited since, nor the mirror of a file another program wrote in its place.
TEST_F(ManifestFileTest, ASetAsideFileGivesWayOnlyToTheMirrorOfItsOwnSave) {
    const QString mirror = dir.path() + QStringLiteral("/.mirror.json");
    const std::function<void()> cases[] = {
        [] {}, [this] { ManifestSaver::saveWhole(manifestFile(), {}, Records(0), nullptr); },
        [&mirror] { QFile(mirror).resize(QFile(mirror).size() - 1); },
        [this] {
            const QByteArray bytes = ReadFile(manifestFile());
            QFile::remove(manifestFile());
            write(bytes);
        }};
    for (const auto &after : cases) {
        const bool recovered = &after == &cases[0];
        ASSERT_TRUE(ManifestSaver::saveWhole(manifestFile(), mirror, Records(7), nullptr));
        after();
        QFile damaged(manifestFile()); // in place: cut, its first byte overwritten
        ASSERT_TRUE(damaged.open(QIODevice::ReadWrite) && damaged.resize(1) && damaged.write("#"));
        damaged.close();
        bool journalReplayed = false;
        QStringList notices;
        ManifestReadReport report;
        EXPECT_EQ(ReadManifestFile(manifestFile(), &journalReplayed, &notices, mirror, &report),
                  recovered ? Records(7) : ManifestStore());
        EXPECT_EQ(ReadFile(report.setAsideAs), "#");
        EXPECT_EQ(report.recoveredFrom, recovered ? mirror : QString());
    }
}

// A journal that cannot be opened just now (here the manifest, read first,
// takes the last descriptor): nothing is replayed or moved, so the next
// start finds both files as they were.
TEST_F(ManifestFileTest, AJournalThatCannotBeOpenedNowLeavesEverythingAsItIs) {
    ASSERT_TRUE(ManifestSaver::saveWhole(manifestFile(), {}, Records(3), nullptr));
    const QString journal = JournalPathFor(manifestFile());
    MoveJournal(journal).begin(dir.path() + QStringLiteral("/x"), dir.path() + "/y");
    const QStringList names = QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden);
    bool journalReplayed = true;
    QStringList notices;
    ManifestReadReport report;
    // A sanitizer's runtime needs descriptors of its own to check a type the
    // first time it meets it: meet the reader's types while it has them.
    ManifestReadReport warmUp;
    ReadManifestOrMirror(dir.path() + QStringLiteral("/absent.json"), {}, &warmUp);
    {
        const DescriptorsUsedUp usedUp(1);
        EXPECT_TRUE(
            ReadManifestFile(manifestFile(), &journalReplayed, &notices, {}, &report).isEmpty());
    }
    EXPECT_FALSE(journalReplayed);
    EXPECT_EQ(report.unreadableFile, journal);
    EXPECT_EQ(report.unreadable.code, EMFILE);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden), names);
    EXPECT_EQ(load(), Records(3));
}
