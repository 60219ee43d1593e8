#include "engine/JsonText.h"

#include <cstdint>
#include <cstring>

namespace {

// Whether any of eight bytes is a quote, a backslash or a control
// character: the bytes a JSON string cannot hold as they are.
bool NeedsEscape(std::uint64_t bytes) {
    constexpr std::uint64_t Ones = 0x0101010101010101ULL;
    constexpr std::uint64_t Highs = 0x8080808080808080ULL;
    const auto hasZero = [](std::uint64_t v) {
        return ((v - Ones) & ~v & Highs) != 0;
    };
    // A byte under 0x20 borrows from its high bit once 0x20 is taken away;
    // bytes of 0x80 and up are masked out, as UTF-8 never needs escaping.
    const bool control = ((bytes - 0x20 * Ones) & ~bytes & Highs) != 0;
    return control || hasZero(bytes ^ ('"' * Ones)) || hasZero(bytes ^ ('\\' * Ones));
}

} // namespace

char *WriteJsonString(char *out, QByteArrayView utf8) {
    const auto copy = [&out](const char *from, qsizetype count) {
        std::memcpy(out, from, static_cast<size_t>(count));
        out += count;
    };
    *out++ = '"';
    const char *data = utf8.data();
    qsizetype run = 0;
    qsizetype i = 0;
    // Paths rarely need an escape: eight bytes are passed over at a time
    // until some may.
    for (; i + 8 <= utf8.size(); i += 8) {
        std::uint64_t bytes = 0;
        std::memcpy(&bytes, data + i, sizeof bytes);
        if (NeedsEscape(bytes)) {
            break;
        }
    }
    for (; i < utf8.size(); ++i) {
        const auto byte = static_cast<unsigned char>(data[i]);
        if (byte >= 0x20 && byte != '"' && byte != '\\') {
            continue; // runs that need no escape are copied whole
        }
        copy(data + run, i - run);
        run = i + 1;
        *out++ = '\\';
        switch (byte) {
        case '"':
        case '\\':
            *out++ = static_cast<char>(byte);
            break;
        case '\b':
            *out++ = 'b';
            break;
        case '\f':
            *out++ = 'f';
            break;
        case '\n':
            *out++ = 'n';
            break;
        case '\r':
            *out++ = 'r';
            break;
        case '\t':
            *out++ = 't';
            break;
        default:
            copy("u00", 3);
            *out++ = "0123456789abcdef"[byte >> 4];
            *out++ = "0123456789abcdef"[byte & 0xf];
        }
    }
    copy(data + run, utf8.size() - run);
    *out++ = '"';
    return out;
}

void AppendJsonString(QByteArray &out, QByteArrayView utf8) {
    const qsizetype at = out.size();
    out.resize(at + JsonStringRoom(utf8.size()));
    const char *end = WriteJsonString(out.data() + at, utf8);
    out.truncate(end - out.constData());
}

void AppendJsonString(QByteArray &out, const QString &text) {
    AppendJsonString(out, QByteArrayView(text.toUtf8()));
}

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

void SkipSpace(QByteArrayView text, qsizetype *pos) {
    while (*pos < text.size() && IsSpace(text[*pos])) {
        ++*pos;
    }
}

// pos is on the opening quote; leaves it past the closing one.
void SkipString(QByteArrayView text, qsizetype *pos) {
    qsizetype i = *pos + 1;
    while (i < text.size() && text[i] != '"') {
        i += text[i] == '\\' ? 2 : 1;
    }
    *pos = i + 1;
}

class Pretty {
public:
    Pretty(QByteArray &out, QByteArrayView text) : out_(out), text_(text) {}

    void value(int depth) {
        SkipSpace(text_, &pos_);
        const char open = text_[pos_];
        if (open != '[' && open != '{') {
            out_ += TakeJsonValue(text_, &pos_);
            return;
        }
        const char close = open == '[' ? ']' : '}';
        ++pos_;
        out_ += open;
        out_ += '\n';
        bool first = true;
        items(depth + 1, open == '{', &first);
        if (!first) {
            out_ += '\n';
        }
        indent(depth);
        out_ += close;
        ++pos_; // past the close, where items stopped
    }

    // The elements or members up to the closing bracket, which is left
    // unread.
    void items(int depth, bool members, bool *first) {
        SkipSpace(text_, &pos_);
        while (text_[pos_] != ']' && text_[pos_] != '}') {
            if (!*first) {
                out_ += ",\n";
            }
            *first = false;
            indent(depth);
            if (members) {
                out_ += TakeJsonValue(text_, &pos_);
                SkipSpace(text_, &pos_);
                ++pos_; // the colon
                out_ += ": ";
            }
            value(depth);
            SkipSpace(text_, &pos_);
            if (text_[pos_] == ',') {
                ++pos_;
                SkipSpace(text_, &pos_);
            }
        }
    }

    void open() {
        SkipSpace(text_, &pos_);
        ++pos_;
    }

private:
    void indent(int depth) { out_.append(qsizetype{4} * depth, ' '); }

    QByteArray &out_;
    QByteArrayView text_;
    qsizetype pos_ = 0;
};

} // namespace

QByteArrayView TakeJsonValue(QByteArrayView text, qsizetype *pos) {
    SkipSpace(text, pos);
    const qsizetype start = *pos;
    if (start >= text.size()) {
        return {};
    }
    const char first = text[start];
    if (first == '"') {
        SkipString(text, pos);
    } else if (first == '[' || first == '{') {
        int depth = 0;
        qsizetype i = start;
        do {
            const char c = text[i];
            if (c == '"') {
                SkipString(text, &i);
                continue;
            }
            if (c == '[' || c == '{') {
                ++depth;
            } else if (c == ']' || c == '}') {
                --depth;
            }
            ++i;
        } while (depth > 0 && i < text.size());
        *pos = i;
    } else {
        qsizetype i = start;
        while (i < text.size() && !IsSpace(text[i]) && text[i] != ',' && text[i] != ']' &&
               text[i] != '}' && text[i] != ':') {
            ++i;
        }
        *pos = i;
    }
    return text.sliced(start, *pos - start);
}

QByteArray MinifiedJson(QByteArrayView value) {
    QByteArray out;
    out.reserve(value.size());
    qsizetype i = 0;
    while (i < value.size()) {
        const char c = value[i];
        if (c == '"') {
            const qsizetype start = i;
            SkipString(value, &i);
            out.append(value.data() + start, i - start);
        } else {
            if (!IsSpace(c)) {
                out += c;
            }
            ++i;
        }
    }
    return out;
}

void AppendPrettyJson(QByteArray &out, QByteArrayView value, int depth) {
    Pretty(out, value).value(depth);
}

void AppendPrettyMembers(QByteArray &out, QByteArrayView object, int depth, bool *first) {
    Pretty pretty(out, object);
    pretty.open();
    pretty.items(depth, true, first);
}
