#include "TestSupport.h"
#include "engine/FileSystem.h"
#include "engine/PathRules.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

namespace {

struct StandardizeCase {
    const char *input;
    const char *expected; // "$HOME" in expected stands for the home folder
};

// Readable parameters in test names and messages (and no padding bytes read).
void PrintTo(const StandardizeCase &c, std::ostream *out) {
    *out << '"' << c.input << '"';
}

class StandardizeTest : public Sandbox, public ::testing::WithParamInterface<StandardizeCase> {};

TEST_P(StandardizeTest, GivesCanonicalForm) {
    const StandardizeCase &c = GetParam();
    QString expected = QString::fromUtf8(c.expected);
    expected.replace(QStringLiteral("$HOME"), home());
    const QString result = StandardizePath(QString::fromUtf8(c.input));
    EXPECT_EQ(result, expected) << c.input;
    EXPECT_EQ(StandardizePath(result), result) << "standardising twice changed " << c.input;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, StandardizeTest,
    ::testing::Values(StandardizeCase{"", ""}, StandardizeCase{"/", "/"},
                      StandardizeCase{"/a/b/", "/a/b"}, StandardizeCase{"//a///b//", "/a/b"},
                      StandardizeCase{"/a/./b/.", "/a/b"}, StandardizeCase{"/a/b/../c", "/a/c"},
                      StandardizeCase{"/..", "/"}, StandardizeCase{"/../../x", "/x"},
                      StandardizeCase{"/a/b/../..", "/"}, StandardizeCase{"a/../b", "a/../b"},
                      StandardizeCase{"../x/", "../x"}, StandardizeCase{"./a", "a"},
                      StandardizeCase{".", "."}, StandardizeCase{"~", "$HOME"},
                      StandardizeCase{"~/", "$HOME"}, StandardizeCase{"~/Sorted/", "$HOME/Sorted"},
                      StandardizeCase{"~/a/../b", "$HOME/b"},
                      StandardizeCase{"~no-such-user-kestrue/x", "~no-such-user-kestrue/x"},
                      StandardizeCase{"/桌面/归档 2024/", "/桌面/归档 2024"},
                      StandardizeCase{"/a/~/b", "/a/~/b"}, StandardizeCase{"./~/D/", "./~/D"},
                      StandardizeCase{".//~", "./~"}));

// "~name" is that user's home as the password database has it, not $HOME
// (which the sandbox points at a folder of its own).
class TildeTest : public Sandbox {};

TEST_F(TildeTest, UserNameUsesThePasswordDatabase) {
    const passwd *me = ::getpwuid(::getuid());
    if (me == nullptr || me->pw_name == nullptr || me->pw_dir == nullptr) {
        GTEST_SKIP() << "the current user has no password database entry";
    }
    const QString name = QFile::decodeName(me->pw_name);
    const QString pwHome = StandardizePath(QFile::decodeName(me->pw_dir));
    ASSERT_NE(pwHome, StandardizePath(QDir::homePath())) << "$HOME must point elsewhere";
    EXPECT_EQ(StandardizePath(QLatin1Char('~') + name), pwHome);
    EXPECT_EQ(StandardizePath(QLatin1Char('~') + name + QStringLiteral("/Sorted/../归档/")),
              JoinPath(pwHome, QStringLiteral("归档")));
    EXPECT_EQ(StandardizePath(QStringLiteral("~/x")), home() + QStringLiteral("/x"));
}

TEST(ResolveTargetPath, AnchorsRelativePathsAtTheWorkingDirectory) {
    EXPECT_EQ(ResolveTargetPath(QString()), QString());
    EXPECT_EQ(ResolveTargetPath(QStringLiteral("/T/x/")), QStringLiteral("/T/x"));
    EXPECT_EQ(ResolveTargetPath(QStringLiteral("sorted/./a")),
              StandardizePath(QDir::currentPath() + QStringLiteral("/sorted/a")));
}

TEST(PathComponents, SplitLikeThePlatform) {
    EXPECT_EQ(LastPathComponent(QStringLiteral("/T/x")), QStringLiteral("x"));
    EXPECT_EQ(LastPathComponent(QStringLiteral("/")), QStringLiteral("/"));
    EXPECT_EQ(LastPathComponent(QStringLiteral("x")), QStringLiteral("x"));
    EXPECT_EQ(DeletingLastPathComponent(QStringLiteral("/T/x")), QStringLiteral("/T"));
    EXPECT_EQ(DeletingLastPathComponent(QStringLiteral("/x")), QStringLiteral("/"));
    EXPECT_EQ(DeletingLastPathComponent(QStringLiteral("x")), QString());
    EXPECT_EQ(JoinPath(QStringLiteral("/T"), QStringLiteral("a")), QStringLiteral("/T/a"));
    EXPECT_EQ(JoinPath(QStringLiteral("/T/"), QStringLiteral("a")), QStringLiteral("/T/a"));
    EXPECT_EQ(JoinPath(QStringLiteral("/"), QStringLiteral("a")), QStringLiteral("/a"));
    EXPECT_EQ(JoinPath(QString(), QStringLiteral("a")), QStringLiteral("a"));
}

struct SplitCase {
    const char *path;
    const char *folder;
    const char *base;
    const char *extension;
};

void PrintTo(const SplitCase &c, std::ostream *out) {
    *out << '"' << c.path << '"';
}

class SplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, SeparatesBaseAndExtension) {
    const SplitCase &c = GetParam();
    const NameSplit split = SplitForNumbering(QString::fromUtf8(c.path));
    EXPECT_EQ(split.folder, QString::fromUtf8(c.folder)) << c.path;
    EXPECT_EQ(split.base, QString::fromUtf8(c.base)) << c.path;
    EXPECT_EQ(split.extension, QString::fromUtf8(c.extension)) << c.path;
}

INSTANTIATE_TEST_SUITE_P(
    Names, SplitTest,
    ::testing::Values(SplitCase{"/T/report.pdf", "/T", "report", "pdf"},
                      SplitCase{"/T/archive.tar.gz", "/T", "archive.tar", "gz"},
                      SplitCase{"/T/Photos", "/T", "Photos", ""},
                      SplitCase{"/T/.bashrc", "/T", ".bashrc", ""},
                      SplitCase{"/T/.config.json", "/T", ".config", "json"},
                      SplitCase{"/T/a.", "/T", "a", ""}, SplitCase{"/T/a..b", "/T", "a.", "b"},
                      SplitCase{"/x.txt", "/", "x", "txt"},
                      SplitCase{"报告.文档", "", "报告", "文档"}));

struct InsideCase {
    const char *path;
    const char *folder;
    bool inside;
};

void PrintTo(const InsideCase &c, std::ostream *out) {
    *out << '"' << c.path << "\" in \"" << c.folder << '"';
}

class InsideTest : public ::testing::TestWithParam<InsideCase> {};

TEST_P(InsideTest, ComparesTextExactly) {
    const InsideCase &c = GetParam();
    EXPECT_EQ(PathIsEqualOrInside(QString::fromUtf8(c.path), QString::fromUtf8(c.folder)), c.inside)
        << c.path << " in " << c.folder;
}

INSTANTIATE_TEST_SUITE_P(Paths, InsideTest,
                         ::testing::Values(InsideCase{"/D/A", "/D/A", true},
                                           InsideCase{"/D/A/B", "/D/A", true},
                                           InsideCase{"/D/A", "/D/A/B", false},
                                           InsideCase{"/D/Archive", "/D/Arch", false},
                                           InsideCase{"/D/Arch/x", "/D/Arch", true},
                                           InsideCase{"/D/archive", "/D/Archive", false},
                                           InsideCase{"/D/archive/x", "/D/Archive", false}));

class UniquePathTest : public Sandbox {
protected:
    QString t(const char *name) const {
        return root() + QStringLiteral("/T/") + QString::fromUtf8(name);
    }
    void SetUp() override {
        Sandbox::SetUp();
        MakeDir(root() + QStringLiteral("/T"));
    }
};

TEST_F(UniquePathTest, FollowsTheNumberingExamples) {
    EXPECT_EQ(UniquePath(t("report.pdf")), t("report.pdf"));
    WriteFile(t("report.pdf"), "x");
    EXPECT_EQ(UniquePath(t("report.pdf")), t("report 1.pdf"));
    WriteFile(t("report 2.pdf"), "x");
    EXPECT_EQ(UniquePath(t("report.pdf")), t("report 1.pdf")) << "gaps are filled first";
    WriteFile(t("report 1.pdf"), "x");
    EXPECT_EQ(UniquePath(t("report.pdf")), t("report 3.pdf"));

    MakeDir(t("Photos"));
    EXPECT_EQ(UniquePath(t("Photos")), t("Photos 1"));
    WriteFile(t("archive.tar.gz"), "x");
    EXPECT_EQ(UniquePath(t("archive.tar.gz")), t("archive.tar 1.gz"));
    WriteFile(t(".hidden"), "x");
    EXPECT_EQ(UniquePath(t(".hidden")), t(".hidden 1"));
}

TEST_F(UniquePathTest, MissingFolderIsNotAnError) {
    const QString wanted = root() + QStringLiteral("/nowhere/deeper/x.txt");
    EXPECT_EQ(UniquePath(wanted), wanted);
}

TEST_F(UniquePathTest, DanglingLinkCountsAsTaken) {
    ASSERT_TRUE(QFile::link(QStringLiteral("/nonexistent/target"), t("link")));
    EXPECT_EQ(UniquePath(t("link")), t("link 1"));
}

// The last counter is tried; only when it is taken too does the UUID form follow.
TEST_F(UniquePathTest, LastFreeCounterThenUuidSuffix) {
    const auto touch = [](const QString &path) {
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT, 0600);
        ASSERT_GE(fd, 0) << path.toStdString();
        ::close(fd);
    };
    touch(t("r.txt"));
    for (int i = 1; i < UniquePathMaxCounter; ++i) {
        touch(t("r ") + QString::number(i) + QStringLiteral(".txt"));
    }
    EXPECT_EQ(UniquePath(t("r.txt")), t("r 9999.txt"));

    touch(t("r 9999.txt"));
    const QString first = UniquePath(t("r.txt"));
    const QString second = UniquePath(t("r.txt"));
    const QRegularExpression shape(
        QRegularExpression::escape(t("r.txt")) +
        QStringLiteral("-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$"));
    EXPECT_TRUE(shape.match(first).hasMatch()) << first.toStdString();
    EXPECT_TRUE(shape.match(second).hasMatch()) << second.toStdString();
    EXPECT_NE(first, second);
}

} // namespace
