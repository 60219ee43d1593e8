// libFuzzer target for the path rules: standardising, the inside test and the
// name split that numbering uses. Each invariant aborts when broken.

#include "engine/PathRules.h"

#include <QString>
#include <QStringList>
#include <cstdint>
#include <cstdlib>

namespace {

void Check(bool holds) {
    if (!holds) {
        std::abort();
    }
}

void CheckStandardized(const QString &path, const QString &standardized) {
    Check(StandardizePath(standardized) == standardized); // idempotent
    Check(path.isEmpty() == standardized.isEmpty());
    Check(!standardized.contains(QStringLiteral("//")));
    Check(standardized == QStringLiteral("/") || !standardized.endsWith(QLatin1Char('/')));
    const QStringList components = standardized.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    // "." only alone, or as the "./" that keeps a leading "~" folder literal.
    const bool keepsTilde = standardized.startsWith(QStringLiteral("./~"));
    Check(standardized == QStringLiteral(".") ||
          components.lastIndexOf(QStringLiteral(".")) == (keepsTilde ? 0 : -1));
    if (standardized.startsWith(QLatin1Char('/'))) {
        Check(!components.contains(QStringLiteral("..")));
    }
}

void CheckInside(const QString &folder) {
    Check(PathIsEqualOrInside(folder, folder));
    if (folder.isEmpty() || folder == QStringLiteral("/")) {
        return;
    }
    Check(PathIsEqualOrInside(JoinPath(folder, QStringLiteral("x")), folder));
    Check(!PathIsEqualOrInside(folder + QStringLiteral("x"), folder)); // a sibling
    Check(!PathIsEqualOrInside(DeletingLastPathComponent(folder), folder) ||
          DeletingLastPathComponent(folder) == folder);
}

void CheckSplit(const QString &path) {
    const QString name = LastPathComponent(path);
    if (path.isEmpty() || name == QStringLiteral("/")) {
        return;
    }
    const NameSplit split = SplitForNumbering(path);
    Check(!split.extension.contains(QLatin1Char('.')));
    Check(!split.extension.contains(QLatin1Char('/')));
    Check(!split.base.contains(QLatin1Char('/')));
    Check(split.folder == DeletingLastPathComponent(path));
    if (!name.endsWith(QLatin1Char('.'))) {
        const QString whole = split.extension.isEmpty()
                                  ? split.base
                                  : split.base + QLatin1Char('.') + split.extension;
        Check(whole == name);
    }
    const QString numbered = NumberedPath(split, 9999);
    Check(DeletingLastPathComponent(numbered) == split.folder ||
          (split.folder.isEmpty() && !numbered.contains(QLatin1Char('/'))));
    Check(LastPathComponent(numbered).startsWith(split.base + QStringLiteral(" 9999")));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QString path =
        QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    if (path.contains(QChar(0))) {
        return 0; // no file-system path holds a NUL
    }
    const QString standardized = StandardizePath(path);
    CheckStandardized(path, standardized);
    CheckInside(standardized);
    CheckSplit(standardized);
    return 0;
}
