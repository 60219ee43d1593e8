#include "engine/LogText.h"

#include <algorithm>

namespace {

bool NeedsEscape(char16_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

void AppendEscape(QString &out, char16_t c) {
    switch (c) {
    case u'\n':
        out += QLatin1String("\\n");
        return;
    case u'\t':
        out += QLatin1String("\\t");
        return;
    case u'\r':
        out += QLatin1String("\\r");
        return;
    default:
        break;
    }
    static constexpr char Hex[] = "0123456789ABCDEF";
    out += QLatin1String("\\u");
    for (int shift = 12; shift >= 0; shift -= 4) {
        out += QLatin1Char(Hex[(c >> shift) & 0xF]);
    }
}

} // namespace

QString VisibleName(const QString &name) {
    const auto needsEscape = [](QChar ch) {
        return NeedsEscape(ch.unicode());
    };
    if (std::none_of(name.cbegin(), name.cend(), needsEscape)) {
        return name;
    }
    QString out;
    out.reserve(name.size() + 16);
    for (const QChar ch : name) {
        if (needsEscape(ch)) {
            AppendEscape(out, ch.unicode());
        } else {
            out += ch;
        }
    }
    return out;
}
