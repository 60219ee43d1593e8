#include "TestSupport.h"
#include "engine/FileSystem.h"
#include "engine/MoveItem.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

QByteArray Bytes(const QString &path) {
    return QFile::encodeName(path);
}

class MoveItemTest : public Sandbox {
protected:
    QString p(const char *rel) const { return root() + QLatin1Char('/') + QString::fromUtf8(rel); }
};

TEST_F(MoveItemTest, RenamesFilesAndFoldersWithTheirContent) {
    WriteFile(p("a.txt"), "alpha");
    MakeDir(p("folder/sub"));
    WriteFile(p("folder/sub/inner.txt"), "inner");
    Error error;
    ASSERT_TRUE(MoveItem(p("a.txt"), p("b.txt"), &error)) << error.description.toStdString();
    ASSERT_TRUE(MoveItem(p("folder"), p("moved"), &error)) << error.description.toStdString();
    EXPECT_FALSE(EntryExists(p("a.txt")));
    EXPECT_EQ(ReadFile(p("b.txt")), "alpha");
    EXPECT_FALSE(EntryExists(p("folder")));
    EXPECT_EQ(ReadFile(p("moved/sub/inner.txt")), "inner");
}

// An occupied destination fails the move and keeps both items as they were,
// whatever kind of item is on either side.
TEST_F(MoveItemTest, NeverReplacesAnExistingDestination) {
    struct Case {
        bool sourceIsFolder;
        bool destinationIsFolder;
    };
    const Case cases[] = {{false, false}, {false, true}, {true, false}, {true, true}};
    int n = 0;
    for (const Case &c : cases) {
        const QString from = p("src") + QString::number(n);
        const QString to = p("dst") + QString::number(n++);
        if (c.sourceIsFolder) {
            MakeDir(from);
            WriteFile(from + QStringLiteral("/s"), "source");
        } else {
            WriteFile(from, "source");
        }
        if (c.destinationIsFolder) {
            MakeDir(to); // an empty folder: plain rename(2) would replace it
        } else {
            WriteFile(to, "keep me");
        }
        Error error;
        EXPECT_FALSE(MoveItem(from, to, &error));
        EXPECT_EQ(error.code, EEXIST);
        EXPECT_EQ(error.description, QStringLiteral("已存在同名项目"));
        EXPECT_TRUE(EntryExists(from));
        if (c.destinationIsFolder) {
            EXPECT_TRUE(Names(to).isEmpty());
        } else {
            EXPECT_EQ(ReadFile(to), "keep me");
        }
    }
}

TEST_F(MoveItemTest, ReportsFailuresThatHoldForRoot) {
    Error error;
    EXPECT_FALSE(MoveItem(p("missing"), p("x"), &error));
    EXPECT_EQ(error.description, QStringLiteral("项目不存在"));

    MakeDir(p("dir"));
    EXPECT_FALSE(MoveItem(p("dir"), p("dir/inside"), &error));
    EXPECT_EQ(error.code, EINVAL);
    EXPECT_TRUE(IsDirectory(p("dir")));
    EXPECT_FALSE(EntryExists(p("dir/inside"))) << "no claim is left behind";

    WriteFile(p("file"), "f");
    WriteFile(p("blocker"), "b");
    EXPECT_FALSE(MoveItem(p("file"), p("blocker/x"), &error));
    EXPECT_EQ(error.description, QStringLiteral("路径中有一项不是文件夹"));

    EXPECT_FALSE(MoveItem(p("file"), p("") + QString(300, QLatin1Char('n')), &error));
    EXPECT_EQ(error.description, QStringLiteral("文件名过长"));
    EXPECT_EQ(ReadFile(p("file")), "f");
}

TEST_F(MoveItemTest, FallbackWithoutNoReplaceFlagIsRaceFree) {
    WriteFile(p("f"), "file");
    MakeDir(p("d"));
    WriteFile(p("d/x"), "x");
    WriteFile(p("taken"), "keep");
    EXPECT_EQ(move_detail::RenameNoReplaceFallback(Bytes(p("f")), Bytes(p("taken"))), EEXIST);
    EXPECT_EQ(move_detail::RenameNoReplaceFallback(Bytes(p("d")), Bytes(p("taken"))), EEXIST);
    EXPECT_EQ(ReadFile(p("taken")), "keep");
    EXPECT_EQ(move_detail::RenameNoReplaceFallback(Bytes(p("f")), Bytes(p("f2"))), 0);
    EXPECT_EQ(move_detail::RenameNoReplaceFallback(Bytes(p("d")), Bytes(p("d2"))), 0);
    EXPECT_EQ(ReadFile(p("f2")), "file");
    EXPECT_EQ(ReadFile(p("d2/x")), "x");
    EXPECT_FALSE(EntryExists(p("f")));
    EXPECT_FALSE(EntryExists(p("d")));
}

// The cross-volume path, driven on one volume so it runs everywhere.
TEST_F(MoveItemTest, CopyAcrossKeepsLinksModesAndTimes) {
    MakeDir(p("outside"));
    WriteFile(p("outside/precious"), "do not touch");
    MakeDir(p("tree/sub"));
    WriteFile(p("tree/sub/file.txt"), "content");
    ASSERT_EQ(::chmod(Bytes(p("tree/sub/file.txt")).constData(), 0640), 0);
    ASSERT_TRUE(QFile::link(QStringLiteral("sub/file.txt"), p("tree/to-file")));
    ASSERT_TRUE(QFile::link(QStringLiteral("sub"), p("tree/to-folder")));
    ASSERT_TRUE(QFile::link(p("outside"), p("tree/to-outside")));
    ASSERT_TRUE(QFile::link(QStringLiteral("gone"), p("tree/dangling")));
    const timespec times[2] = {{1000000000, 0}, {1200000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, Bytes(p("tree/sub/file.txt")).constData(), times, 0), 0);
    ASSERT_EQ(::utimensat(AT_FDCWD, Bytes(p("tree/sub")).constData(), times, 0), 0);

    Error error;
    ASSERT_FALSE(move_detail::MoveAcrossVolumes(Bytes(p("tree")), Bytes(p("dest/tree")), &error))
        << "the destination folder does not exist yet";
    MakeDir(p("dest"));
    ASSERT_TRUE(move_detail::MoveAcrossVolumes(Bytes(p("tree")), Bytes(p("dest/tree")), &error))
        << error.description.toStdString();

    EXPECT_FALSE(EntryExists(p("tree")));
    EXPECT_EQ(Names(p("dest")), QStringList{QStringLiteral("tree")}) << "no temporary left";
    EXPECT_EQ(ReadFile(p("dest/tree/sub/file.txt")), "content");
    for (const char *link : {"dest/tree/to-file", "dest/tree/to-folder", "dest/tree/to-outside",
                             "dest/tree/dangling"}) {
        EXPECT_TRUE(LinkExists(p(link))) << link;
    }
    EXPECT_EQ(QFile::symLinkTarget(p("dest/tree/to-outside")), p("outside"));
    EXPECT_EQ(ReadFile(p("outside/precious")), "do not touch");
    struct stat st {};
    ASSERT_EQ(::stat(Bytes(p("dest/tree/sub/file.txt")).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);
    ASSERT_EQ(::stat(Bytes(p("dest/tree/sub")).constData(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1200000000) << "folder times are set after its children";
}

TEST_F(MoveItemTest, FailedCopyLeavesSourceCompleteAndNoPartialCopy) {
    MakeDir(p("tree/a"));
    WriteFile(p("tree/a/one"), "1");
    WriteFile(p("tree/a/two"), "2");
    MakeDir(p("dest"));
    move_detail::SetCopyFaultHook(
        [](const QByteArray &source) { return source.endsWith("/two") ? ENOSPC : 0; });
    Error error;
    const bool moved =
        move_detail::MoveAcrossVolumes(Bytes(p("tree")), Bytes(p("dest/tree")), &error);
    move_detail::SetCopyFaultHook({});
    EXPECT_FALSE(moved);
    EXPECT_EQ(error.description, QStringLiteral("磁盘空间不足"));
    EXPECT_TRUE(Names(p("dest")).isEmpty());
    EXPECT_EQ(ReadFile(p("tree/a/one")), "1");
    EXPECT_EQ(ReadFile(p("tree/a/two")), "2");
}

TEST_F(MoveItemTest, SpecialFilesAreRefusedAcrossVolumes) {
    ASSERT_EQ(::mkfifo(Bytes(p("fifo")).constData(), 0600), 0);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray socketPath = Bytes(p("sock"));
    ASSERT_LT(socketPath.size(), static_cast<qsizetype>(sizeof(address.sun_path)));
    std::copy(socketPath.begin(), socketPath.end(), address.sun_path);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    ::close(fd);
    MakeDir(p("dest"));
    for (const char *name : {"fifo", "sock"}) {
        Error error;
        EXPECT_FALSE(
            move_detail::MoveAcrossVolumes(Bytes(p(name)), Bytes(p("dest/") + name), &error));
        EXPECT_EQ(error.description, QStringLiteral("无法跨磁盘移动管道、套接字或设备文件"));
        EXPECT_TRUE(EntryExists(p(name)));
    }
    EXPECT_TRUE(Names(p("dest")).isEmpty());
}

// A real second file system: /dev/shm is a tmpfs on most machines. Every
// entry arrives, dotted names included, with its special mode bits.
TEST_F(MoveItemTest, MovesBetweenRealVolumes) {
    const QString shm = QStringLiteral("/dev/shm");
    if (FileSystemId(shm).isEmpty() || FileSystemId(shm) == FileSystemId(root())) {
        GTEST_SKIP() << "/dev/shm is missing or on the same file system as " << root().toStdString()
                     << ": no second volume to move across";
    }
    QTemporaryDir other(shm + QStringLiteral("/kestrue-test-XXXXXX"));
    ASSERT_TRUE(other.isValid());
    MakeDir(p("folder/sub"));
    WriteFile(p("folder/sub/x"), "x");
    MakeDir(p("outside"));
    WriteFile(p("outside/keep"), "outside");
    ASSERT_TRUE(QFile::link(QStringLiteral("sub/x"), p("folder/link")));
    ASSERT_TRUE(QFile::link(QStringLiteral("sub"), p("folder/to-folder")));
    ASSERT_TRUE(QFile::link(p("outside"), p("folder/to-outside")));
    ASSERT_TRUE(QFile::link(p("outside/keep"), p("folder/to-outside-file")));
    ASSERT_TRUE(QFile::link(QStringLiteral("nothing-here"), p("folder/dangling")));
    for (const char *name : {"..notes", "...", ".x"}) {
        WriteFile(p("folder/") + QLatin1String(name), name);
    }
    WriteFile(p("folder/sub/tool"), "#!/bin/sh\n");
    MakeDir(p("folder/shared"));
    // Mode bits that a copy keeps only when owner and mode are set in the
    // right order (changing the owner clears set-group-ID on files).
    const struct {
        const char *path;
        mode_t mode;
    } modes[] = {{"folder", 01755}, {"folder/sub/tool", 02755}, {"folder/shared", 02775}};
    for (const auto &m : modes) {
        ASSERT_EQ(::chmod(Bytes(p(m.path)).constData(), m.mode), 0) << m.path;
    }
    WriteFile(p("file"), "file");
    WriteFile(other.path() + QStringLiteral("/taken"), "keep");

    Error error;
    ASSERT_TRUE(MoveItem(p("folder"), other.path() + QStringLiteral("/folder"), &error))
        << error.description.toStdString();
    EXPECT_FALSE(EntryExists(p("folder")));
    const QString moved = other.path() + QStringLiteral("/folder");
    EXPECT_EQ(
        Names(moved),
        (QStringList{QStringLiteral("..."), QStringLiteral("..notes"), QStringLiteral(".x"),
                     QStringLiteral("dangling"), QStringLiteral("link"), QStringLiteral("shared"),
                     QStringLiteral("sub"), QStringLiteral("to-folder"),
                     QStringLiteral("to-outside"), QStringLiteral("to-outside-file")}));
    for (const char *name : {"..notes", "...", ".x"}) {
        EXPECT_EQ(ReadFile(moved + QLatin1Char('/') + QLatin1String(name)), name);
    }
    for (const auto &m : modes) {
        const QString path = other.path() + QLatin1Char('/') + QLatin1String(m.path);
        struct stat st {};
        ASSERT_EQ(::stat(Bytes(path).constData(), &st), 0) << m.path;
        EXPECT_EQ(st.st_mode & 07777, m.mode) << m.path;
    }
    EXPECT_EQ(ReadFile(other.path() + QStringLiteral("/folder/sub/x")), "x");
    for (const char *link : {"link", "to-folder", "to-outside", "to-outside-file", "dangling"}) {
        EXPECT_TRUE(LinkExists(other.path() + QStringLiteral("/folder/") + QLatin1String(link)))
            << link << " is copied as a link";
    }
    EXPECT_EQ(QFile::symLinkTarget(other.path() + QStringLiteral("/folder/to-outside")),
              p("outside"));
    EXPECT_EQ(ReadFile(p("outside/keep")), "outside") << "nothing outside the source is removed";
    EXPECT_EQ(Names(p("outside")), QStringList{QStringLiteral("keep")});

    EXPECT_FALSE(MoveItem(p("file"), other.path() + QStringLiteral("/taken"), &error));
    EXPECT_EQ(error.code, EEXIST);
    EXPECT_EQ(ReadFile(other.path() + QStringLiteral("/taken")), "keep");
    EXPECT_EQ(ReadFile(p("file")), "file");
    EXPECT_EQ(Names(other.path()),
              (QStringList{QStringLiteral("folder"), QStringLiteral("taken")}));
}

TEST_F(MoveItemTest, CreateDirectoriesDescribesWhatIsInTheWay) {
    Error error;
    EXPECT_TRUE(CreateDirectories(p("a/b/c"), &error));
    EXPECT_TRUE(CreateDirectories(p("a/b/c/"), &error)) << "an existing folder is fine";
    WriteFile(p("file"), "f");
    EXPECT_FALSE(CreateDirectories(p("file/sub"), &error));
    EXPECT_EQ(error.description, QStringLiteral("路径中有一项不是文件夹"));
    EXPECT_FALSE(CreateDirectories(p("file"), &error));
    EXPECT_EQ(error.description, QStringLiteral("已存在同名项目"));
    EXPECT_FALSE(CreateDirectories(p("a/") + QString(300, QLatin1Char('n')), &error));
    EXPECT_EQ(error.description, QStringLiteral("文件名过长"));
}

TEST_F(MoveItemTest, ListingSeesEveryEntryAndItsHiddenFlag) {
    MakeDir(p("d"));
    WriteFile(p("d/visible"), {});
    WriteFile(p("d/.dotted"), {});
    WriteFile(p("d/listed"), {});
    WriteFile(p("d/.hidden"), "listed\r\nnot-there\n");
    const QByteArray badName = Bytes(p("d/")) + QByteArray("bad\xff\xfe");
    WriteFile(QFile::decodeName(Bytes(p("d"))) + QStringLiteral("/placeholder"), {});
    ASSERT_EQ(::rename(Bytes(p("d/placeholder")).constData(), badName.constData()), 0);

    std::vector<DirectoryEntry> entries;
    Error error;
    ASSERT_TRUE(ListDirectory(p("d"), &entries, &error));
    QMap<QByteArray, std::pair<bool, bool>> seen; // hidden, nameIsText
    for (const DirectoryEntry &e : entries) {
        seen.insert(e.rawName, {e.hidden, e.nameIsText});
    }
    EXPECT_EQ(seen.size(), 5);
    EXPECT_EQ(seen.value("visible"), std::make_pair(false, true));
    EXPECT_EQ(seen.value(".dotted"), std::make_pair(true, true));
    EXPECT_EQ(seen.value("listed"), std::make_pair(true, true));
    EXPECT_EQ(seen.value(".hidden"), std::make_pair(true, true));
    EXPECT_EQ(seen.value(QByteArray("bad\xff\xfe")), std::make_pair(false, false));

    ::unlink(badName.constData()); // QTemporaryDir cannot see it to remove it
    EXPECT_FALSE(ListDirectory(p("missing"), &entries, &error));
    EXPECT_EQ(error.description, QStringLiteral("项目不存在"));
}

} // namespace
