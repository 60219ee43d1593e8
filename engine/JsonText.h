#pragma once
// The small pieces of JSON text the manifest and the journal are written
// with, and a walk over JSON text that a strict parser has already accepted.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <cstring>

// A JSON string literal of UTF-8 text: the quote, the backslash and control
// characters escaped, everything else copied as it is.
void AppendJsonString(QByteArray &out, QByteArrayView utf8);
void AppendJsonString(QByteArray &out, const QString &text);

// Writing in place, into room made beforehand: the room a string of size
// bytes can take (its quotes, and every byte as \u00XX at most), the string
// written at out, and a literal's text written at out. Each returns the end
// of what it wrote.
constexpr qsizetype JsonStringRoom(qsizetype size) {
    return 2 + 6 * size;
}
char *WriteJsonString(char *out, QByteArrayView utf8);
template <size_t N> char *WriteText(char *out, const char (&text)[N]) {
    std::memcpy(out, text, N - 1);
    return out + N - 1;
}

// The following take JSON text that is known to be valid.

// The text from pos up to the end of the value that starts there, after
// whitespace; pos is left just past it.
QByteArrayView TakeJsonValue(QByteArrayView text, qsizetype *pos);

// The value without whitespace outside its strings.
QByteArray MinifiedJson(QByteArrayView value);

// The value laid out with a line break after each element and member and
// four spaces of indentation per level, starting at the given depth.
void AppendPrettyJson(QByteArray &out, QByteArrayView value, int depth);

// The members of an object's text, each on its own line at the given depth,
// after a comma and line break unless *first; *first turns false once one
// is written.
void AppendPrettyMembers(QByteArray &out, QByteArrayView object, int depth, bool *first);
