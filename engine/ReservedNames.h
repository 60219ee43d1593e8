#pragma once
// The names a run has promised to moves it has not made yet, compared as
// the file system of their folder compares names. Where that system ignores
// case or Unicode form (a USB stick's exFAT, APFS by default), "a.txt" is
// taken once "A.txt" is promised, as it would be once "A.txt" had moved.

#include <QByteArray>
#include <QHash>
#include <QSet>

class ReservedNames {
public:
    bool isEmpty() const { return exact_.isEmpty(); }
    void clear();
    // A path in the file-name encoding.
    void insert(const QByteArray &path);
    // Whether path is promised, or names what a promised path would name:
    // the same bytes, or, where their names fold alike (FoldedName), what
    // the folder's file system answers when asked.
    bool holds(const QByteArray &path) const;

private:
    QSet<QByteArray> exact_;
    QMultiHash<QByteArray, QByteArray> folded_; // by folder and folded name
};

// Whether the file system of the folder that holds both paths takes their
// names for one. Asked with a pair of empty files of this program's own
// (hidden, under the temporary prefix of engine/MoveItem.h), one made and
// looked up by the other name, then removed. Where none can be made there,
// the names are taken for one: the later item is then numbered rather than
// skipped.
bool NamesMeetInFolder(const QByteArray &path, const QByteArray &other);
