#include "Portability.h"
#include "TestSupport.h"
#include "engine/FileSystem.h"
#include "engine/MoveItem.h"
#include "engine/TestHooks.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <cerrno>
#include <cstring>
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

// FAT and exFAT volumes can neither rename without replacing nor link: the
// name is claimed with an empty file or folder of the move's own, which the
// rename then replaces. What is already there is never replaced, and a
// rename that fails takes its claim back.
class WithoutLinksTest : public MoveItemTest {
protected:
    void SetUp() override {
        MoveItemTest::SetUp();
        TestHooks().renameFault = [this](const char *call, const QByteArray &) {
            if (std::strcmp(call, "renameNoReplace") == 0) {
                return EINVAL; // what Linux says there
            }
            if (std::strcmp(call, "link") == 0) {
                return EPERM;
            }
            return failRename ? EIO : 0;
        };
    }
    void TearDown() override {
        TestHooks().renameFault = {};
        MoveItemTest::TearDown();
    }
    bool failRename = false;
};

TEST_F(WithoutLinksTest, APlaceholderClaimsTheName) {
    struct Case {
        const char *what;
        bool folder;
        bool acrossVolumes; // the copy's own rename into place
        bool taken;
        bool failRename;
        int error; // 0: moved
    };
    const Case cases[] = {
        {"a file", false, false, false, false, 0},
        {"a folder", true, false, false, false, 0},
        {"a file copied from another volume", false, true, false, false, 0},
        {"a file to a taken name", false, false, true, false, EEXIST},
        {"a folder to a taken name", true, false, true, false, EEXIST},
        {"a file whose rename fails", false, false, false, true, EIO},
        {"a folder whose rename fails", true, false, false, true, EIO},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const QString from = p("src") + QString::number(n);
        const QString to = p("dst") + QString::number(n++);
        const QString data = c.folder ? from + QStringLiteral("/inner") : from;
        if (c.folder) {
            MakeDir(from);
        }
        WriteFile(data, "source");
        if (c.taken) {
            WriteFile(to, "keep me");
        }
        failRename = c.failRename;
        Error error;
        const bool moved = c.acrossVolumes
                               ? move_detail::MoveAcrossVolumes(Bytes(from), Bytes(to), &error)
                               : MoveItem(from, to, &error);
        EXPECT_EQ(moved, c.error == 0);
        EXPECT_EQ(error.code, c.error);
        if (moved) {
            EXPECT_FALSE(EntryExists(from));
            EXPECT_EQ(ReadFile(c.folder ? to + QStringLiteral("/inner") : to), "source");
            continue;
        }
        EXPECT_EQ(ReadFile(data), "source");
        if (c.taken) {
            EXPECT_EQ(ReadFile(to), "keep me");
        } else {
            EXPECT_FALSE(EntryExists(to)) << "the claim is taken back";
        }
    }
}

// Another program replaces or removes the claim between its making and the
// rename onto it (an editor saving renames a file over the name): its file
// is never replaced, and the claim it put aside is not taken back over it,
// also when the rename then fails.
TEST_F(WithoutLinksTest, AClaimAnotherProgramReplacedIsLeftAlone) {
    for (const bool folder : {false, true}) {
        for (const int way : {0, 1, 2}) { // replaced, removed, replaced and the rename fails
            const bool removed = way == 1;
            const int renameError = way == 2 ? EIO : 0;
            SCOPED_TRACE(std::string(folder ? "folder" : "file") + (removed ? ", removed" : "") +
                         (renameError != 0 ? ", the rename fails" : ""));
            const QString tag = QStringLiteral("%1%2").arg(folder).arg(way);
            const QString from = p("src") + tag;
            const QString to = p("dst") + tag;
            folder ? MakeDir(from) : WriteFile(from, "source");
            TestHooks().renameFault = [&](const char *call, const QByteArray &) {
                if (std::strcmp(call, "rename") != 0) {
                    return std::strcmp(call, "link") == 0 ? EPERM : EINVAL;
                }
                if (removed) {
                    RemoveTree(Bytes(to));
                } else {
                    WriteFile(p("save.tmp"), "another program's");
                    EXPECT_EQ(::rename(Bytes(p("save.tmp")).constData(), Bytes(to).constData()),
                              folder ? -1 : 0);
                    if (folder) { // a folder claim is replaced by a folder of its own
                        RemoveTree(Bytes(to));
                        MakeDir(to);
                        WriteFile(to + QStringLiteral("/theirs"), "another program's");
                    }
                }
                return renameError;
            };
            Error error;
            EXPECT_FALSE(MoveItem(from, to, &error));
            EXPECT_EQ(error.code, renameError != 0 ? renameError : EEXIST);
            EXPECT_TRUE(EntryExists(from));
            if (removed) {
                EXPECT_FALSE(EntryExists(to));
            } else {
                EXPECT_EQ(ReadFile(folder ? to + QStringLiteral("/theirs") : to),
                          "another program's");
            }
        }
    }
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
    EXPECT_EQ(st.st_mtime, 1200000000);
    ASSERT_EQ(::stat(Bytes(p("dest/tree/sub")).constData(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1200000000) << "folder times are set after its children";
}

TEST_F(MoveItemTest, FailedCopyLeavesSourceCompleteAndNoPartialCopy) {
    MakeDir(p("tree/a"));
    WriteFile(p("tree/a/one"), "1");
    WriteFile(p("tree/a/two"), "2");
    MakeDir(p("dest"));
    TestHooks().copyFault = [](const QByteArray &source) {
        return source.endsWith("/two") ? ENOSPC : 0;
    };
    Error error;
    const bool moved =
        move_detail::MoveAcrossVolumes(Bytes(p("tree")), Bytes(p("dest/tree")), &error);
    TestHooks().copyFault = {};
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

// A file with exactly two names, both in the moved folder, arrives as one file
// with two names, on the cross-volume path driven on one volume and, where
// /dev/shm is a file system of its own, on a real second volume.
TEST_F(MoveItemTest, HardLinkedPairArrivesAsOneFile) {
    QTemporaryDir shm(QStringLiteral("/dev/shm/kestrue-test-XXXXXX"));
    const bool realVolume = shm.isValid() && FileSystemId(shm.path()) != FileSystemId(root());
    MakeDir(p("dest"));
    const struct {
        const char *what;
        QString to;
        bool acrossVolumes;
    } cases[] = {{"one volume", p("dest/pair"), false},
                 {"/dev/shm", shm.path() + QStringLiteral("/pair"), true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.acrossVolumes && !realVolume) {
            continue;
        }
        MakeDir(p("pair/sub"));
        WriteFile(p("pair/one.txt"), "shared");
        ASSERT_EQ(
            ::link(Bytes(p("pair/one.txt")).constData(), Bytes(p("pair/sub/two.txt")).constData()),
            0);
        Error error;
        ASSERT_TRUE(c.acrossVolumes
                        ? MoveItem(p("pair"), c.to, &error)
                        : move_detail::MoveAcrossVolumes(Bytes(p("pair")), Bytes(c.to), &error))
            << error.description.toStdString();
        EXPECT_FALSE(EntryExists(p("pair")));
        struct stat one {};
        struct stat two {};
        ASSERT_EQ(::stat(Bytes(c.to + QStringLiteral("/one.txt")).constData(), &one), 0);
        ASSERT_EQ(::stat(Bytes(c.to + QStringLiteral("/sub/two.txt")).constData(), &two), 0);
        EXPECT_EQ(one.st_ino, two.st_ino) << "each name got a copy of its own";
        EXPECT_EQ(one.st_nlink, 2u);
        EXPECT_EQ(ReadFile(c.to + QStringLiteral("/sub/two.txt")), "shared");
    }
    if (!realVolume) {
        GTEST_SKIP() << "/dev/shm is not a file system of its own: only the one-volume case ran";
    }
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

// ---- Cross-volume moves keep what a rename keeps ----

using Attributes = QMap<QByteArray, QByteArray>;

// Every extended attribute of path, a final link not followed.
Attributes AttributesOf(const QString &path) {
    const QByteArray p = Bytes(path);
    QByteArray names(1 << 16, '\0');
    const ssize_t length = portable::ListAttributes(p.constData(), names.data(), names.size());
    Attributes attributes;
    for (qsizetype at = 0; at < length; at += qstrlen(names.constData() + at) + 1) {
        const char *name = names.constData() + at;
        QByteArray value(1 << 16, '\0');
        const ssize_t size =
            portable::GetAttribute(p.constData(), name, value.data(), value.size());
        attributes.insert(name, size < 0 ? QByteArray("<unreadable>") : value.left(size));
    }
    return attributes;
}

bool SetAttribute(const QString &path, const char *name, const QByteArray &value) {
    return portable::SetAttribute(Bytes(path).constData(), name, value.constData(),
                                  static_cast<size_t>(value.size())) == 0;
}

// A POSIX ACL as the kernel stores it: version 2, then (tag, permissions, id).
QByteArray Acl(std::initializer_list<std::array<quint32, 3>> entries) {
    QByteArray blob;
    const auto put = [&blob](quint32 value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            blob.append(static_cast<char>((value >> (8 * i)) & 0xff));
        }
    };
    put(2, 4);
    for (const auto &[tag, permissions, id] : entries) {
        put(tag, 2);
        put(permissions, 2);
        put(id, 4);
    }
    return blob;
}
constexpr quint32 Anyone = 0xffffffff;
const QByteArray FileAcl = Acl(
    {{0x01, 6, Anyone}, {0x02, 6, 4321}, {0x04, 4, Anyone}, {0x10, 6, Anyone}, {0x20, 4, Anyone}});
const QByteArray FolderAcl = Acl({{0x01, 7, Anyone}, {0x04, 5, Anyone}, {0x20, 5, Anyone}});

// What a move must keep of each entry under a folder, keyed by relative path.
struct Facts {
    QString sharesInodeWith; // the first path (in sorted order) naming the same inode
    mode_t mode = 0;
    off_t size = 0;
    blkcnt_t blocks = 0;
    QString linkTarget;
    Attributes attributes;
};

QMap<QString, Facts> Survey(const QString &folder) {
    QStringList paths{QString()};
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        paths.append(it.next().mid(folder.size() + 1));
    }
    paths.sort();
    QMap<QString, Facts> facts;
    QMap<ino_t, QString> firstName;
    for (const QString &relative : paths) {
        const QString path = relative.isEmpty() ? folder : folder + QLatin1Char('/') + relative;
        struct stat st {};
        EXPECT_EQ(::lstat(Bytes(path).constData(), &st), 0) << relative.toStdString();
        Facts &f = facts[relative];
        if (!S_ISDIR(st.st_mode) && !firstName.contains(st.st_ino)) {
            firstName.insert(st.st_ino, relative);
        }
        f.sharesInodeWith = S_ISDIR(st.st_mode) ? relative : firstName.value(st.st_ino);
        f.mode = st.st_mode;
        f.size = S_ISDIR(st.st_mode) ? 0 : st.st_size;
        f.blocks = S_ISREG(st.st_mode) ? st.st_blocks : 0;
        if (S_ISLNK(st.st_mode)) {
            QByteArray target(4096, '\0');
            target.truncate(::readlink(Bytes(path).constData(), target.data(), target.size()));
            f.linkTarget = QFile::decodeName(target);
        }
        f.attributes = AttributesOf(path);
    }
    return facts;
}

std::string Describe(const Facts &f) {
    QStringList names;
    for (auto it = f.attributes.begin(); it != f.attributes.end(); ++it) {
        names.append(QString::fromLatin1(it.key() + '=' + it.value().toHex()));
    }
    return QStringLiteral("inode of %1, mode %2, size %3, blocks %4, attributes {%5}")
        .arg(f.sharesInodeWith)
        .arg(f.mode, 0, 8)
        .arg(f.size)
        .arg(f.blocks)
        .arg(names.join(QStringLiteral(", ")))
        .toStdString();
}

void ExpectSameTree(const QMap<QString, Facts> &before, const QMap<QString, Facts> &after) {
    EXPECT_EQ(after.keys(), before.keys());
    for (auto it = before.begin(); it != before.end(); ++it) {
        const Facts &was = it.value();
        const Facts now = after.value(it.key());
        // ext4 counts an attribute block in st_blocks, tmpfs does not: only
        // a file without attributes must match exactly.
        const bool same =
            now.sharesInodeWith == was.sharesInodeWith && now.mode == was.mode &&
            now.size == was.size && now.linkTarget == was.linkTarget &&
            now.attributes == was.attributes &&
            (was.attributes.isEmpty() ? now.blocks == was.blocks : now.blocks <= was.blocks);
        EXPECT_TRUE(same) << "'" << it.key().toStdString() << "'\n  before: " << Describe(was)
                          << "\n  after:  " << Describe(now);
    }
}

// A folder on /dev/shm when that is a file system of its own that keeps user
// attributes (tmpfs does on recent kernels); else an empty text and why.
QString OtherVolume(const QString &sandbox, std::unique_ptr<QTemporaryDir> *dir, QString *why) {
    const QString shm = QStringLiteral("/dev/shm");
    if (FileSystemId(shm).isEmpty() || FileSystemId(shm) == FileSystemId(sandbox)) {
        *why = QStringLiteral("/dev/shm is not a separate file system here");
        return {};
    }
    *dir = std::make_unique<QTemporaryDir>(shm + QStringLiteral("/kestrue-test-XXXXXX"));
    if (!(*dir)->isValid() || !SetAttribute((*dir)->path(), "user.probe", "1")) {
        *why = QStringLiteral("/dev/shm keeps no user extended attributes on this kernel");
        return {};
    }
    portable::RemoveAttribute(Bytes((*dir)->path()).constData(), "user.probe");
    return (*dir)->path();
}

class CrossVolumeTest : public MoveItemTest {
protected:
    void SetUp() override {
        MoveItemTest::SetUp();
        QString why;
        other = OtherVolume(root(), &shm, &why);
        if (other.isEmpty()) {
            GTEST_SKIP() << why.toStdString();
        }
    }
    void TearDown() override {
        TestHooks().attributeFault = {};
        MoveItemTest::TearDown();
    }
    std::unique_ptr<QTemporaryDir> shm;
    QString other;
};

TEST_F(CrossVolumeTest, KeepsHardLinksHolesAndAttributes) {
    constexpr off_t Sparse = off_t{64} << 20;
    WriteFile(p("outside.txt"), "outside");
    MakeDir(p("project/sub"));
    WriteFile(p("project/file.txt"), "content");
    ASSERT_EQ(::link(Bytes(p("project/file.txt")), Bytes(p("project/sub/second.txt"))), 0);
    ASSERT_EQ(::link(Bytes(p("project/file.txt")), Bytes(p("project/third.txt"))), 0);
    ASSERT_EQ(::link(Bytes(p("outside.txt")), Bytes(p("project/outside-link.txt"))), 0);
    ASSERT_TRUE(QFile::link(QStringLiteral("file.txt"), p("project/to-file")));
    {
        QFile sparse(p("project/sparse.img"));
        ASSERT_TRUE(sparse.open(QIODevice::WriteOnly));
        ASSERT_TRUE(sparse.seek(Sparse / 2));
        ASSERT_EQ(sparse.write("abc"), 3);
        ASSERT_TRUE(sparse.resize(Sparse));
        QFile empty(p("project/empty-sparse.img"));
        ASSERT_TRUE(empty.open(QIODevice::WriteOnly));
        ASSERT_TRUE(empty.resize(Sparse / 4));
    }
    ASSERT_TRUE(
        SetAttribute(p("project/file.txt"), "user.xdg.origin.url", "https://example.org/f"));
    ASSERT_TRUE(SetAttribute(p("project/file.txt"), "system.posix_acl_access", FileAcl));
    ASSERT_TRUE(SetAttribute(p("project/sparse.img"), "user.empty", QByteArray()));
    ASSERT_TRUE(SetAttribute(p("project"), "user.note", "folder note"));
    ASSERT_TRUE(SetAttribute(p("project/sub"), "system.posix_acl_default", FolderAcl));
    // What lands in the target must not inherit the target's ACL.
    ASSERT_TRUE(SetAttribute(other, "system.posix_acl_default", FolderAcl));
    const QMap<QString, Facts> before = Survey(p("project"));
    ASSERT_LT(before.value(QStringLiteral("sparse.img")).blocks, 1024) << "no holes to keep here";

    Error error;
    MoveReport report;
    report.attributesNotKept = QStringList{QStringLiteral("stale")};
    ASSERT_TRUE(MoveItem(p("project"), other + QStringLiteral("/project"), &error, &report))
        << error.description.toStdString();
    EXPECT_TRUE(report.attributesNotKept.isEmpty())
        << report.attributesNotKept.join(' ').toStdString();
    EXPECT_FALSE(EntryExists(p("project")));
    ExpectSameTree(before, Survey(other + QStringLiteral("/project")));

    QFile sparse(other + QStringLiteral("/project/sparse.img"));
    ASSERT_TRUE(sparse.open(QIODevice::ReadOnly));
    ASSERT_TRUE(sparse.seek(Sparse / 2 - 1));
    EXPECT_EQ(sparse.read(5), QByteArray("\0abc\0", 5));
    struct stat st {};
    ASSERT_EQ(::stat(Bytes(p("outside.txt")), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u) << "the outside file lost only the moved name";
    EXPECT_EQ(ReadFile(p("outside.txt")), "outside");
}

TEST_F(CrossVolumeTest, SymbolicLinkKeepsItsAttributes) {
    ASSERT_TRUE(QFile::link(QStringLiteral("somewhere"), p("link")));
    // Linux refuses user.* on links; trusted.* is allowed to root.
    if (!SetAttribute(p("link"), "user.tag", "blue") &&
        !SetAttribute(p("link"), "trusted.tag", "blue")) {
        GTEST_SKIP() << "this system keeps no extended attribute on a symbolic link for this user";
    }
    const Attributes before = AttributesOf(p("link"));
    Error error;
    ASSERT_TRUE(MoveItem(p("link"), other + QStringLiteral("/link"), &error));
    EXPECT_TRUE(LinkExists(other + QStringLiteral("/link")));
    EXPECT_EQ(AttributesOf(other + QStringLiteral("/link")), before);
}

// Mounts a small file system of the given type for one test, when allowed.
class Mount {
public:
    Mount(const QString &at, const char *type) : at_(Bytes(at)) {
        mounted_ = portable::Mount(type, at_.constData(), nullptr) == 0;
    }
    Mount(const Mount &) = delete;
    Mount &operator=(const Mount &) = delete;
    ~Mount() {
        if (mounted_) {
            portable::Unmount(at_.constData());
        }
    }
    bool mounted() const { return mounted_; }

private:
    QByteArray at_;
    bool mounted_ = false;
};

// A refused attribute never fails the move: the item arrives, and the report
// names exactly what was not kept.
TEST_F(CrossVolumeTest, RefusedAttributesAreNamedAndTheRestKept) {
    struct Case {
        const char *what;
        bool ramfs; // else /dev/shm with the refusals below
        std::function<int(const char *name)> refuse;
        QStringList notKept;
    };
    const QStringList all{QStringLiteral("security.kestrue"),
                          QStringLiteral("system.posix_acl_access"),
                          QStringLiteral("system.posix_acl_default"), QStringLiteral("user.note"),
                          QStringLiteral("user.xdg.origin.url")};
    const Case cases[] = {
        {"a file system without extended attributes or ACLs (ramfs)", true, {}, all},
        {"ACLs refused, other attributes kept",
         false,
         [](const char *name) { return std::strncmp(name, "system.", 7) == 0 ? EOPNOTSUPP : 0; },
         {QStringLiteral("system.posix_acl_access"), QStringLiteral("system.posix_acl_default")}},
        {"security.* refused as for a normal user; the system's own label quietly",
         false,
         [](const char *name) { return std::strncmp(name, "security.", 9) == 0 ? EPERM : 0; },
         {QStringLiteral("security.kestrue")}},
        {"nothing refused", false, [](const char *) { return 0; }, {}},
    };
    WriteFile(p("probe"), {});
    if (!SetAttribute(p("probe"), "security.kestrue", "s")) {
        GTEST_SKIP() << "security.* attributes need root here";
    }
    QStringList notRun;
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const QString item = p("item") + QString::number(n);
        const QString mountPoint = p("mnt") + QString::number(n++);
        MakeDir(item);
        WriteFile(item + QStringLiteral("/file"), "data");
        ASSERT_TRUE(SetAttribute(item + QStringLiteral("/file"), "user.xdg.origin.url", "u"));
        ASSERT_TRUE(
            SetAttribute(item + QStringLiteral("/file"), "system.posix_acl_access", FileAcl));
        ASSERT_TRUE(SetAttribute(item + QStringLiteral("/file"), "security.kestrue", "s"));
        ASSERT_TRUE(SetAttribute(item, "user.note", "n"));
        ASSERT_TRUE(SetAttribute(item, "system.posix_acl_default", FolderAcl));
        ASSERT_TRUE(SetAttribute(item, "security.selinux", "system_u:object_r:user_home_t:s0"));
        MakeDir(mountPoint);
        std::unique_ptr<Mount> mount;
        if (c.ramfs) {
            mount = std::make_unique<Mount>(mountPoint, "ramfs");
            if (!mount->mounted()) {
                notRun.append(QString::fromUtf8(c.what));
                continue;
            }
        }
        const QString to =
            (c.ramfs ? mountPoint : other) + QStringLiteral("/item") + QString::number(n);
        TestHooks().attributeFault = [&c](const QByteArray &, const char *name) {
            return c.refuse ? c.refuse(name) : 0;
        };
        const Attributes fileBefore = AttributesOf(item + QStringLiteral("/file"));
        const Attributes folderBefore = AttributesOf(item);
        Error error;
        MoveReport report;
        ASSERT_TRUE(MoveItem(item, to, &error, &report)) << error.description.toStdString();
        TestHooks().attributeFault = {};
        EXPECT_FALSE(EntryExists(item));
        EXPECT_EQ(ReadFile(to + QStringLiteral("/file")), "data");
        QStringList notKept = report.attributesNotKept;
        notKept.sort();
        EXPECT_EQ(notKept, c.notKept);
        // Everything not named arrived unchanged.
        for (const auto &[path, before] :
             {std::pair{to + QStringLiteral("/file"), fileBefore}, std::pair{to, folderBefore}}) {
            Attributes expected = before;
            expected.removeIf([&](const auto &a) {
                return a.key() == "security.selinux"
                           ? c.ramfs || c.refuse("security.selinux")
                           : c.notKept.contains(QString::fromLatin1(a.key()));
            });
            EXPECT_EQ(AttributesOf(path), expected) << path.toStdString();
        }
    }
    if (!notRun.isEmpty()) {
        GTEST_SKIP() << "not run, mounting is not allowed here: "
                     << notRun.join("; ").toStdString();
    }
}

// The report reaches the log as one line after the item, in both directions.
class AttributeLogTest : public ControllerTest {
protected:
    void TearDown() override {
        TestHooks().attributeFault = {};
        ControllerTest::TearDown();
    }
};

TEST_F(AttributeLogTest, OrganizeAndRestoreNameWhatWasNotKept) {
    std::unique_ptr<QTemporaryDir> shm;
    QString why;
    const QString target = OtherVolume(root(), &shm, &why);
    if (target.isEmpty()) {
        GTEST_SKIP() << why.toStdString();
    }
    const QString file = desktop() + QStringLiteral("/a.txt");
    WriteFile(file, "a");
    WriteFile(target + QStringLiteral("/a.txt"), "already there");
    ASSERT_TRUE(SetAttribute(file, "user.xdg.origin.url", "https://example.org/a"));
    ASSERT_TRUE(SetAttribute(file, "user.xdg.referrer.url", "https://example.org/"));
    ASSERT_TRUE(SetAttribute(file, "user.kept", "k"));
    TestHooks().attributeFault = [](const QByteArray &, const char *name) {
        return std::strstr(name, "url") ? EOPNOTSUPP : 0;
    };
    setTarget(target);
    Organize(delegate);
    QStringList lines = logMessages();
    ASSERT_EQ(lines.size(), 2) << lines.join('\n').toStdString();
    const QString prefix = QStringLiteral("a.txt 的部分扩展属性未能保留：");
    ASSERT_TRUE(lines[0].startsWith(prefix)) << lines[0].toStdString();
    QStringList names = lines[0].mid(prefix.size()).split(QStringLiteral("、"));
    names.sort();
    EXPECT_EQ(names, (QStringList{QStringLiteral("user.xdg.origin.url"),
                                  QStringLiteral("user.xdg.referrer.url")}));
    EXPECT_EQ(lines[1], QStringLiteral("整理完成：移动 1 个项目，跳过 0 个项目。"));
    const QString stored = target + QStringLiteral("/a 1.txt");
    EXPECT_EQ(AttributesOf(stored), (Attributes{{"user.kept", "k"}}));

    ASSERT_TRUE(SetAttribute(stored, "user.restore.url", "r"));
    Restore(delegate);
    lines = logMessages().mid(2);
    EXPECT_EQ(lines,
              (QStringList{QStringLiteral("a 1.txt 的部分扩展属性未能保留：user.restore.url"),
                           QStringLiteral("还原完成：还原 1 个项目，跳过 0 个项目。")}));
    EXPECT_EQ(AttributesOf(file), (Attributes{{"user.kept", "k"}}));
}

// Refused on every entry of a folder, an attribute is named once.
TEST_F(AttributeLogTest, AttributeRefusedThroughoutAFolderIsNamedOnce) {
    std::unique_ptr<QTemporaryDir> shm;
    QString why;
    const QString target = OtherVolume(root(), &shm, &why);
    if (target.isEmpty()) {
        GTEST_SKIP() << why.toStdString();
    }
    const QString folder = desktop() + QStringLiteral("/相册");
    MakeDir(folder + QStringLiteral("/sub"));
    for (const char *file : {"1.jpg", "2.jpg", "sub/3.jpg"}) {
        WriteFile(folder + QLatin1Char('/') + QLatin1String(file), file);
    }
    for (const char *entry : {"", "/1.jpg", "/2.jpg", "/sub", "/sub/3.jpg"}) {
        ASSERT_TRUE(SetAttribute(folder + QLatin1String(entry), "user.xdg.origin.url", "u"));
    }
    TestHooks().attributeFault = [](const QByteArray &, const char *name) {
        return std::strcmp(name, "user.xdg.origin.url") == 0 ? EOPNOTSUPP : 0;
    };
    setTarget(target);
    Organize(delegate);
    EXPECT_EQ(logMessages(),
              (QStringList{QStringLiteral("相册 的部分扩展属性未能保留：user.xdg.origin.url"),
                           QStringLiteral("整理完成：移动 1 个项目，跳过 0 个项目。")}));
    EXPECT_EQ(ReadFile(target + QStringLiteral("/相册/sub/3.jpg")), "sub/3.jpg");
}

} // namespace
