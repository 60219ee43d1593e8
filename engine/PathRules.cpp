#include "engine/PathRules.h"

#include "engine/FileName.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QStringList>
#include <QUuid>
#include <pwd.h>

namespace {

const QChar Separator = QLatin1Char('/');

// "~" or "~/rest" becomes home + rest; "~user/rest" uses that user's home
// when the user exists, and stays as typed otherwise.
QString ExpandTilde(const QString &path) {
    if (!path.startsWith(QLatin1Char('~'))) {
        return path;
    }
    const qsizetype slash = path.indexOf(Separator);
    const QString user = path.mid(1, slash < 0 ? -1 : slash - 1);
    const QString rest = slash < 0 ? QString() : path.mid(slash);
    QString home;
    if (user.isEmpty()) {
        home = QDir::homePath();
    } else {
        const QByteArray name = NameBytes(user);
        const passwd *entry = ::getpwnam(name.constData());
        if (entry == nullptr || entry->pw_dir == nullptr) {
            return path;
        }
        home = NameText(entry->pw_dir);
    }
    return home + rest;
}

} // namespace

namespace {

// True when path is already in standardised form: absolute, no tilde to
// expand, no empty, "." or ".." component and no trailing separator. Most
// paths the engine builds are, and a scan is cheaper than a rebuild.
bool IsStandardAbsolute(const QString &path) {
    const qsizetype size = path.size();
    if (size == 0 || path.at(0) != Separator) {
        return false;
    }
    if (size == 1) {
        return true;
    }
    if (path.at(size - 1) == Separator) {
        return false;
    }
    const QChar *data = path.constData();
    for (qsizetype start = 1; start <= size;) {
        qsizetype end = start;
        while (end < size && data[end] != Separator) {
            ++end;
        }
        const qsizetype length = end - start;
        if (length == 0 || (length == 1 && data[start] == QLatin1Char('.')) ||
            (length == 2 && data[start] == QLatin1Char('.') &&
             data[start + 1] == QLatin1Char('.'))) {
            return false;
        }
        start = end + 1;
    }
    return true;
}

} // namespace

QString StandardizePath(const QString &path) {
    if (path.isEmpty() || IsStandardAbsolute(path)) {
        return path;
    }
    const QString expanded = ExpandTilde(path);
    const bool absolute = expanded.startsWith(Separator);
    QStringList kept;
    for (const QString &component : expanded.split(Separator, Qt::SkipEmptyParts)) {
        if (component == QLatin1String(".")) {
            continue;
        }
        if (absolute && component == QLatin1String("..")) {
            if (!kept.isEmpty()) {
                kept.removeLast();
            }
            continue;
        }
        kept.append(component);
    }
    if (kept.isEmpty()) {
        return absolute ? QString(Separator) : QStringLiteral(".");
    }
    QString joined = kept.join(Separator);
    if (absolute) {
        return Separator + joined;
    }
    // A folder literally named "~" that dropping "./" brought to the front
    // keeps its "./", or standardising again would read it as home.
    if (kept.first().startsWith(QLatin1Char('~')) && !expanded.startsWith(QLatin1Char('~'))) {
        return QStringLiteral("./") + joined;
    }
    return joined;
}

QString JoinPath(const QString &folder, const QString &name) {
    if (folder.isEmpty()) {
        return name;
    }
    if (folder.endsWith(Separator)) {
        return folder + name;
    }
    return folder + Separator + name;
}

QString LastPathComponent(const QString &path) {
    qsizetype end = path.size();
    while (end > 1 && path.at(end - 1) == Separator) {
        --end;
    }
    QString trimmed = path.left(end);
    if (trimmed == Separator) {
        return trimmed;
    }
    return trimmed.mid(trimmed.lastIndexOf(Separator) + 1);
}

QString DeletingLastPathComponent(const QString &path) {
    qsizetype end = path.size();
    while (end > 1 && path.at(end - 1) == Separator) {
        --end;
    }
    const QString trimmed = path.left(end);
    const qsizetype slash = trimmed.lastIndexOf(Separator);
    if (slash < 0) {
        return QString();
    }
    if (slash == 0) {
        return QString(Separator);
    }
    return trimmed.left(slash);
}

NameSplit SplitForNumbering(const QString &path) {
    NameSplit split;
    split.folder = DeletingLastPathComponent(path);
    const QString name = LastPathComponent(path);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0) {
        split.base = name;
    } else {
        split.base = name.left(dot);
        split.extension = name.mid(dot + 1);
    }
    return split;
}

QString NumberedPath(const NameSplit &split, qint64 counter) {
    QString name = split.base + QLatin1Char(' ') + QString::number(counter);
    if (!split.extension.isEmpty()) {
        name += QLatin1Char('.') + split.extension;
    }
    return JoinPath(split.folder, name);
}

QString FoldedName(const QString &name) {
    // Most names are ASCII, where folding is lowering A to Z, and CJK
    // ideographs (U+4000 to U+9FFF), which have neither case nor another
    // form.
    bool upper = false;
    for (const QChar c : name) {
        if (c.unicode() >= 0x4000 && c.unicode() <= 0x9FFF) {
            continue;
        }
        if (c.unicode() >= 0x80) {
            // Composed on both sides of the folding, as a folded letter may
            // compose anew: most names are composed already, which costs
            // only a check.
            return name.normalized(QString::NormalizationForm_C)
                .toCaseFolded()
                .normalized(QString::NormalizationForm_C);
        }
        upper = upper || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'));
    }
    return upper ? name.toLower() : name;
}

bool PathIsEqualOrInside(const QString &path, const QString &folder) {
    if (path == folder) {
        return true;
    }
    return path.startsWith(folder + Separator);
}

QString UniquePath(const QString &wanted, const std::function<bool(const QString &)> &taken) {
    if (!taken(wanted)) {
        return wanted;
    }
    const NameSplit split = SplitForNumbering(wanted);
    for (qint64 counter = 1; counter <= UniquePathMaxCounter; ++counter) {
        QString candidate = NumberedPath(split, counter);
        if (!taken(candidate)) {
            return candidate;
        }
    }
    return wanted + QLatin1Char('-') + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

QString ResolveTargetPath(const QString &text) {
    QString standardized = StandardizePath(text);
    if (standardized.isEmpty() || standardized.startsWith(Separator)) {
        return standardized;
    }
    return StandardizePath(JoinPath(QDir::currentPath(), standardized));
}
