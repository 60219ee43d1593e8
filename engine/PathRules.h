#pragma once
// Path arithmetic on text: the standardised form that paths are compared and
// recorded in, joining and splitting names, the inside test and the numbering
// of free names. Nothing here touches the file system; the form of UniquePath
// that asks it whether a name is taken lives in engine/FileSystem.h.

#include <QString>
#include <QStringList>
#include <functional>

// The canonical form: leading tilde expanded, runs of "/" and "." components
// reduced, no trailing "/" (except the root), ".." resolved in absolute paths
// and kept in relative ones. Purely textual; symbolic links are not resolved.
QString StandardizePath(const QString &path);

// folder + "/" + name with exactly one separator; an empty folder gives name.
QString JoinPath(const QString &folder, const QString &name);

// The last component ("/T/x" gives "x"; "/" gives "/").
QString LastPathComponent(const QString &path);

// The path without its last component ("/T/x" gives "/T", "/x" gives "/",
// "x" gives "").
QString DeletingLastPathComponent(const QString &path);

// How UniquePath numbers a name: folder part, base name, extension.
// The extension is the text after the last dot of the last component, empty
// when there is no dot or the only dot is the first character ("a." has base
// "a" and no extension; "a..b" has base "a." and extension "b").
struct NameSplit {
    QString folder;
    QString base;
    QString extension;
};
NameSplit SplitForNumbering(const QString &path);

// The numbered candidate for a split name: "base N.ext", or "base N".
QString NumberedPath(const NameSplit &split, qint64 counter);

// A name as a file system that ignores case and Unicode form compares it
// (APFS, HFS+, exFAT, FAT and NTFS as usually mounted, ext4 with casefold):
// case-folded and in one Unicode form. For comparing names only; a name on
// the disk is never changed.
QString FoldedName(const QString &name);

// True when path is folder or lies inside it, compared as exact text.
bool PathIsEqualOrInside(const QString &path, const QString &folder);

// The wanted path when taken says it is free, else the first free "name N"
// variant (N from 1 to 9999), else the wanted path with "-<UUID>" appended.
QString UniquePath(const QString &wanted, const std::function<bool(const QString &)> &taken);

inline constexpr qint64 UniquePathMaxCounter = 9999;

// The target folder as the engine uses it: standardised and, when relative,
// anchored at the working directory, so that recorded paths and the mirror
// copy never depend on where the process happens to run. Empty stays empty.
QString ResolveTargetPath(const QString &text);
