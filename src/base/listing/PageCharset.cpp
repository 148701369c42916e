#include "base/listing/PageCharset.h"

#include <QList>
#include <QStringDecoder>

#include <algorithm>
#include <initializer_list>

namespace kestrune {

namespace {

constexpr qsizetype kPrescanBytes = 1024;

bool isAsciiSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

char asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool isAsciiAlpha(char c)
{
    const char l = asciiLower(c);
    return l >= 'a' && l <= 'z';
}

QByteArray trimmedLower(const QByteArray &label)
{
    QByteArray t = label.trimmed();
    for (char &c : t)
        c = asciiLower(c);
    return t;
}

bool oneOf(const QByteArray &label, std::initializer_list<const char *> names)
{
    return std::any_of(names.begin(), names.end(), [&](const char *name) { return label == name; });
}

bool startsWithNoCase(const QByteArray &bytes, qsizetype pos, const char *text)
{
    for (qsizetype i = 0; text[i]; ++i) {
        if (pos + i >= bytes.size() || asciiLower(bytes[pos + i]) != text[i])
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// The <meta> prescan: a byte-level walk over the start of the page that
// understands just enough markup (comments, tags, attributes) to find the
// declaration without being fooled by text or comments that mention one.

struct Attribute {
    QByteArray name;
    QByteArray value;
};

class Prescanner {
public:
    explicit Prescanner(const QByteArray &bytes)
        : m_bytes(bytes), m_end(std::min(bytes.size(), kPrescanBytes))
    {}

    QByteArray run()
    {
        while (m_pos < m_end) {
            if (startsWithNoCase(m_bytes, m_pos, "<!--")) {
                const qsizetype close = m_bytes.indexOf("-->", m_pos + 2);
                if (close < 0 || close >= m_end)
                    return {};
                m_pos = close + 3;
                continue;
            }
            if (startsWithNoCase(m_bytes, m_pos, "<meta") && m_pos + 5 < m_end
                && (isAsciiSpace(m_bytes[m_pos + 5]) || m_bytes[m_pos + 5] == '/')) {
                m_pos += 6;
                const QByteArray found = meta();
                if (!found.isEmpty())
                    return found;
                continue;
            }
            if (m_bytes[m_pos] == '<' && m_pos + 1 < m_end
                && (isAsciiAlpha(m_bytes[m_pos + 1])
                    || (m_bytes[m_pos + 1] == '/' && m_pos + 2 < m_end
                        && isAsciiAlpha(m_bytes[m_pos + 2])))) {
                // Any other tag: skip its name and attributes, so that an
                // attribute value holding "<meta" is not taken for a tag.
                while (m_pos < m_end && !isAsciiSpace(m_bytes[m_pos]) && m_bytes[m_pos] != '>')
                    ++m_pos;
                while (attribute()) {
                }
                continue;
            }
            if (startsWithNoCase(m_bytes, m_pos, "<!") || startsWithNoCase(m_bytes, m_pos, "</")
                || startsWithNoCase(m_bytes, m_pos, "<?")) {
                const qsizetype close = m_bytes.indexOf('>', m_pos + 2);
                if (close < 0 || close >= m_end)
                    return {};
                m_pos = close + 1;
                continue;
            }
            ++m_pos;
        }
        return {};
    }

private:
    // The attributes of one <meta>; the encoding it declares, or empty.
    QByteArray meta()
    {
        bool gotPragma = false;
        enum { Unset, NeedPragma, NoPragma } need = Unset;
        QByteArray charset;
        QList<QByteArray> seen;
        Attribute attr;
        while (attribute(&attr)) {
            if (seen.contains(attr.name))
                continue;
            seen.append(attr.name);
            if (attr.name == "http-equiv") {
                if (attr.value == "content-type")
                    gotPragma = true;
            } else if (attr.name == "content") {
                if (charset.isEmpty()) {
                    const QByteArray fromContent = charsetInContent(attr.value);
                    if (!fromContent.isEmpty()) {
                        charset = fromContent;
                        need = NeedPragma;
                    }
                }
            } else if (attr.name == "charset") {
                charset = attr.value;
                need = NoPragma;
            }
        }
        if (need == Unset || (need == NeedPragma && !gotPragma) || charset.isEmpty())
            return {};
        QByteArray encoding = CanonicalCharset(charset);
        if (encoding == "UTF-16LE" || encoding == "UTF-16BE")
            encoding = "UTF-8";
        return encoding;
    }

    // One attribute at m_pos; false at the end of the tag (m_pos past '>') or
    // of the scanned range.
    bool attribute(Attribute *out = nullptr)
    {
        while (m_pos < m_end && (isAsciiSpace(m_bytes[m_pos]) || m_bytes[m_pos] == '/'))
            ++m_pos;
        if (m_pos >= m_end)
            return false;
        if (m_bytes[m_pos] == '>') {
            ++m_pos;
            return false;
        }
        QByteArray name;
        QByteArray value;
        bool hasValue = false;
        for (;;) {
            if (m_pos >= m_end)
                return false;
            const char c = m_bytes[m_pos];
            if (c == '=' && !name.isEmpty()) {
                ++m_pos;
                hasValue = true;
                break;
            }
            if (isAsciiSpace(c)) {
                while (m_pos < m_end && isAsciiSpace(m_bytes[m_pos]))
                    ++m_pos;
                if (m_pos < m_end && m_bytes[m_pos] == '=') {
                    ++m_pos;
                    hasValue = true;
                }
                break;
            }
            if (c == '/' || c == '>')
                break;
            name.append(asciiLower(c));
            ++m_pos;
        }
        if (hasValue) {
            while (m_pos < m_end && isAsciiSpace(m_bytes[m_pos]))
                ++m_pos;
            if (m_pos >= m_end)
                return false;
            const char c = m_bytes[m_pos];
            if (c == '"' || c == '\'') {
                ++m_pos;
                while (m_pos < m_end && m_bytes[m_pos] != c)
                    value.append(asciiLower(m_bytes[m_pos++]));
                if (m_pos >= m_end)
                    return false;
                ++m_pos;
            } else if (c != '>') {
                while (m_pos < m_end && !isAsciiSpace(m_bytes[m_pos]) && m_bytes[m_pos] != '>')
                    value.append(asciiLower(m_bytes[m_pos++]));
            }
        }
        if (out)
            *out = {name, value};
        return true;
    }

    // "text/html; charset=shift_jis" -> "shift_jis".
    static QByteArray charsetInContent(const QByteArray &content)
    {
        qsizetype pos = 0;
        for (;;) {
            pos = content.indexOf("charset", pos);
            if (pos < 0)
                return {};
            pos += 7;
            while (pos < content.size() && isAsciiSpace(content[pos]))
                ++pos;
            if (pos < content.size() && content[pos] == '=')
                break;
        }
        ++pos;
        while (pos < content.size() && isAsciiSpace(content[pos]))
            ++pos;
        if (pos >= content.size())
            return {};
        const char c = content[pos];
        if (c == '"' || c == '\'') {
            const qsizetype close = content.indexOf(c, pos + 1);
            return close < 0 ? QByteArray() : content.mid(pos + 1, close - pos - 1);
        }
        qsizetype end = pos;
        while (end < content.size() && !isAsciiSpace(content[end]) && content[end] != ';')
            ++end;
        return content.mid(pos, end - pos);
    }

    const QByteArray &m_bytes;
    const qsizetype m_end;
    qsizetype m_pos = 0;
};

bool isValidUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringConverter::Utf8);
    const QString ignored = decoder(bytes);
    return !decoder.hasError();
}

} // namespace

QByteArray CanonicalCharset(const QByteArray &label)
{
    const QByteArray l = trimmedLower(label);
    if (l.isEmpty())
        return {};
    if (oneOf(l, {"shift_jis", "shift-jis", "sjis", "x-sjis", "ms_kanji", "csshiftjis",
                  "windows-31j", "cswindows31j", "cp932", "ms932", "windows-932", "x-ms-cp932"}))
        return "windows-31j";
    if (oneOf(l, {"utf-8", "utf8", "unicode-1-1-utf-8", "unicode11utf8", "unicode20utf8",
                  "x-unicode20utf8"}))
        return "UTF-8";
    if (oneOf(l, {"utf-16", "utf-16le", "unicode", "ucs-2", "csunicode", "iso-10646-ucs-2",
                  "unicodefeff"}))
        return "UTF-16LE";
    if (oneOf(l, {"utf-16be", "unicodefffe"}))
        return "UTF-16BE";
    if (oneOf(l, {"iso-8859-1", "iso8859-1", "iso88591", "iso_8859-1", "iso_8859-1:1987", "latin1",
                  "l1", "us-ascii", "ascii", "ansi_x3.4-1968", "cp1252", "cp819", "ibm819",
                  "iso-ir-100", "csisolatin1", "windows-1252", "x-cp1252"}))
        return "windows-1252";
    if (oneOf(l, {"euc-jp", "cseucpkdfmtjapanese", "x-euc-jp"}))
        return "EUC-JP";
    if (oneOf(l, {"iso-2022-jp", "csiso2022jp"}))
        return "ISO-2022-JP";
    // Anything else the converter knows by that name (other code pages).
    // "replacement" style or made-up labels are not decodable: ignore them.
    if (l.contains('\0') || l.startsWith("utf-7") || l.startsWith("csunicode11utf7"))
        return {}; // never UTF-7: it hides markup from every filter on the way
    QStringDecoder decoder(l.constData());
    return decoder.isValid() ? l : QByteArray();
}

QByteArray CharsetFromContentType(const QByteArray &contentType)
{
    const QList<QByteArray> parts = contentType.split(';');
    for (qsizetype i = 1; i < parts.size(); ++i) {
        const QByteArray part = parts[i].trimmed();
        const qsizetype eq = part.indexOf('=');
        if (eq < 0 || trimmedLower(part.left(eq)) != "charset")
            continue;
        QByteArray value = part.mid(eq + 1).trimmed();
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'')
            && value.back() == value.front())
            value = value.mid(1, value.size() - 2).trimmed();
        return value;
    }
    return {};
}

QByteArray MetaCharset(const QByteArray &bytes)
{
    return Prescanner(bytes).run();
}

PageCharset DetectPageCharset(const QByteArray &bytes, const QByteArray &contentTypeHeader)
{
    if (bytes.startsWith("\xEF\xBB\xBF"))
        return {"UTF-8", PageCharsetSource::ByteOrderMark};
    if (bytes.startsWith("\xFE\xFF"))
        return {"UTF-16BE", PageCharsetSource::ByteOrderMark};
    if (bytes.startsWith("\xFF\xFE"))
        return {"UTF-16LE", PageCharsetSource::ByteOrderMark};
    const QByteArray fromHeader = CanonicalCharset(CharsetFromContentType(contentTypeHeader));
    if (!fromHeader.isEmpty())
        return {fromHeader, PageCharsetSource::HttpHeader};
    const QByteArray fromMeta = MetaCharset(bytes);
    if (!fromMeta.isEmpty())
        return {fromMeta, PageCharsetSource::MetaTag};
    if (isValidUtf8(bytes))
        return {"UTF-8", PageCharsetSource::ValidUtf8};
    return {"windows-31j", PageCharsetSource::Fallback};
}

QString DecodePage(const QByteArray &bytes, const QByteArray &contentTypeHeader)
{
    const PageCharset charset = DetectPageCharset(bytes, contentTypeHeader);
    QByteArrayView body(bytes);
    if (charset.source == PageCharsetSource::ByteOrderMark)
        body = body.sliced(charset.encoding == "UTF-8" ? 3 : 2);

    if (charset.encoding == "UTF-8" || charset.encoding == "UTF-16LE"
        || charset.encoding == "UTF-16BE") {
        const auto which = charset.encoding == "UTF-8"      ? QStringConverter::Utf8
                           : charset.encoding == "UTF-16LE" ? QStringConverter::Utf16LE
                                                            : QStringConverter::Utf16BE;
        // A second byte-order mark after the one removed stays as text, as in
        // a browser.
        QStringDecoder decoder(which, QStringConverter::Flag::ConvertInitialBom);
        return decoder(body);
    }

    QStringDecoder decoder(charset.encoding.constData());
    if (!decoder.isValid()) {
        QStringDecoder fallback(QStringConverter::Utf8);
        return fallback(body);
    }
    QString text = decoder(body);
    // The code-page converters put SUB (U+001A) where a byte sequence is not
    // valid; browsers show U+FFFD there.  A page that really contains the SUB
    // control byte keeps it.
    if (!body.contains('\x1A'))
        text.replace(QChar(0x1A), QChar(QChar::ReplacementCharacter));
    return text;
}

} // namespace kestrune
