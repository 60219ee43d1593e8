#pragma once
// How a name (a file name or a path) is shown inside a log line. Names may
// hold any character but "/" and NUL, so a name with a line feed could start
// a line of its own with a forged time stamp, and bidirectional controls
// could reorder what the reader sees. Only the log text is changed; records
// and moves keep the real name.

#include <QString>

// The name with its control characters (C0, DEL, C1), line and paragraph
// separators (U+2028, U+2029) and bidirectional controls (U+202A to U+202E,
// U+2066 to U+2069) written as visible escapes: "\n", "\t", "\r", and
// "\uXXXX" (four upper-case hex digits) for the others. Everything else,
// a backslash included, is kept as it is, so ordinary names read unchanged.
QString VisibleName(const QString &name);
