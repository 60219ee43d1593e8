#pragma once
// The program's error value and the Chinese descriptions of system errors.
// An operation that can fail returns bool and fills an optional Error*.

#include <QString>
#include <utility>

struct Error {
    QString domain;
    qint64 code = 0;
    QString description;
};

// The application's display name: also the domain of the program's own
// errors and the name of its support folder.
inline const QString AppName = QStringLiteral("Kestrue一键整理");

// The codes of the program's own errors, those in the domain AppName.
enum AppErrorCode : qint64 {
    NoTargetChosen = 1,   // the target folder's path is empty
    TargetNotAFolder = 2, // something other than a folder is at the target's path
    DesktopIsHome = 3,    // the Desktop is the home folder itself
};

inline const QString PosixErrorDomain = QStringLiteral("POSIX");

// Describes errno in Simplified Chinese, naming the cause; falls back to the
// system's own text for codes without a translation. Never empty.
QString DescribeErrno(int errnum);

// An error in the POSIX domain for errnum, described by DescribeErrno.
Error PosixError(int errnum);

// Writes value to *out when the caller asked for an error.
inline void SetError(Error *out, Error value) {
    if (out != nullptr) {
        *out = std::move(value);
    }
}
