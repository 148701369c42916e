#pragma once
// Names and addresses come from the server's page: shown to the operator,
// their control characters are written out, so that none of them can move
// the cursor, start a line of its own or colour the terminal.

#include <QString>

namespace kestrune {

// text with every control character as an escape: TAB, LF and CR as "\t",
// "\n" and "\r", the other C0 characters and DEL as "\x" and two hexadecimal
// digits ("\x1b"), the C1 characters as "\u" and four ("\u009b").  Every
// other character, a backslash included, stays as it is.
inline QString EscapeControlCharacters(const QString &text)
{
    const auto isControl = [](char16_t c) { return c < 0x20 || (c >= 0x7f && c <= 0x9f); };
    qsizetype i = 0;
    while (i < text.size() && !isControl(text.at(i).unicode()))
        ++i;
    if (i == text.size())
        return text;
    QString out = text.left(i);
    out.reserve(text.size() + 16);
    for (; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (!isControl(c)) {
            out += QChar(c);
        } else if (c == u'\t') {
            out += QLatin1String("\\t");
        } else if (c == u'\n') {
            out += QLatin1String("\\n");
        } else if (c == u'\r') {
            out += QLatin1String("\\r");
        } else if (c < 0x80) {
            out += QStringLiteral("\\x%1").arg(int(c), 2, 16, QLatin1Char('0'));
        } else {
            out += QStringLiteral("\\u%1").arg(int(c), 4, 16, QLatin1Char('0'));
        }
    }
    return out;
}

} // namespace kestrune
