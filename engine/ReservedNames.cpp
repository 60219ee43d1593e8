#include "engine/ReservedNames.h"

#include "engine/FileName.h"
#include "engine/MoveItem.h"
#include "engine/PathRules.h"

#include <QFile>
#include <QRandomGenerator>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The path with its last component folded: the folder stays as it is, for
// only names within one folder meet.
QByteArray FoldedKey(const QByteArray &path) {
    const qsizetype start = path.lastIndexOf('/') + 1;
    QByteArray key = path;
    // As FoldedName does, without leaving UTF-8 where the name holds only
    // ASCII, which folds by lowering A to Z in place, and CJK ideographs
    // (U+4000 to U+9FFF, three bytes led by E4 to E9), which stay.
    const auto byte = [&key](qsizetype i) {
        return static_cast<unsigned char>(key.at(i));
    };
    for (qsizetype i = start; i < key.size(); ++i) {
        const unsigned char c = byte(i);
        if (c >= 'A' && c <= 'Z') {
            key[i] = static_cast<char>(c - 'A' + 'a');
        } else if (c >= 0xE4 && c <= 0xE9 && i + 2 < key.size() && (byte(i + 1) & 0xC0) == 0x80 &&
                   (byte(i + 2) & 0xC0) == 0x80) {
            i += 2;
        } else if (c >= 0x80) {
            key.truncate(start);
            return key + NameBytes(FoldedName(NameText(path.mid(start))));
        }
    }
    return key;
}

bool Exists(const QByteArray &path) {
    struct stat st {};
    return ::lstat(path.constData(), &st) == 0 || errno != ENOENT;
}

} // namespace

void ReservedNames::clear() {
    exact_.clear();
    folded_.clear();
}

void ReservedNames::insert(const QByteArray &path) {
    if (!exact_.contains(path)) {
        exact_.insert(path);
        folded_.insert(FoldedKey(path), path);
    }
}

bool ReservedNames::holds(const QByteArray &path) const {
    if (exact_.isEmpty()) {
        return false;
    }
    if (exact_.contains(path)) {
        return true;
    }
    const QByteArray key = FoldedKey(path);
    for (auto it = folded_.constFind(key); it != folded_.cend() && it.key() == key; ++it) {
        if (NamesMeetInFolder(it.value(), path)) {
            return true;
        }
    }
    return false;
}

bool NamesMeetInFolder(const QByteArray &path, const QByteArray &other) {
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray folder = path.left(slash + 1);
    const QByteArray name = path.mid(slash + 1);
    const QByteArray otherName = other.mid(other.lastIndexOf('/') + 1);
    // A random mark keeps the pair apart from any other entry: the other
    // name is free before the one is made, so finding it after says that
    // the file system took it for the one.
    for (int attempt = 0; attempt < 4; ++attempt) {
        const QByteArray mark = folder + TemporaryPrefix +
                                QByteArray::number(QRandomGenerator::global()->generate(), 16) +
                                '-';
        const QByteArray made = mark + name;
        const QByteArray asked = mark + otherName;
        if (Exists(asked)) {
            continue;
        }
        const int fd =
            ::open(made.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) {
                continue;
            }
            break;
        }
        ::close(fd);
        const bool meet = Exists(asked);
        ::unlink(made.constData());
        return meet;
    }
    return true;
}
