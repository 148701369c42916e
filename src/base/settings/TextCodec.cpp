#include "base/settings/TextCodec.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <cstring>
#include <optional>

#ifndef Q_OS_WIN
#include <clocale>
#include <langinfo.h>
#endif

namespace kestrune {

namespace {
std::optional<TextCodec> &overrideCodec()
{
    static std::optional<TextCodec> codec;
    return codec;
}

#ifndef Q_OS_WIN
// The character set of the locale the environment names for LC_CTYPE
// (LC_ALL, LC_CTYPE, LANG), whatever the process's own locale is now: the
// toolkit may switch its LC_CTYPE to UTF-8 for itself.  Empty when the
// locale names none that the converters know, or names plain ASCII (the C
// and POSIX locales): the run log is Japanese and would lose every line to
// substitution marks, so such a system gets UTF-8, which keeps ASCII as it
// is.
QByteArray localeCharset()
{
    QByteArray codeset;
    if (locale_t locale = newlocale(LC_CTYPE_MASK, "", locale_t(nullptr))) {
        codeset = nl_langinfo_l(CODESET, locale);
        freelocale(locale);
    }
    if (codeset.isEmpty())
        return QByteArray();
    QStringEncoder encoder(codeset.constData());
    if (!encoder.isValid())
        return QByteArray();
    const QByteArray canonical = encoder.name();
    if (canonical == "UTF-8" || canonical == "US-ASCII")
        return QByteArray();
    return codeset;
}

const QByteArray &systemCharset()
{
    static const QByteArray charset = localeCharset();
    return charset;
}
#endif

// The system code page: the ANSI code page on Windows; elsewhere the
// locale's character set, UTF-8 when it has none of its own.
QStringEncoder systemEncoder()
{
#ifndef Q_OS_WIN
    if (!systemCharset().isEmpty())
        return QStringEncoder(systemCharset().constData());
    return QStringEncoder(QStringConverter::Utf8);
#else
    return QStringEncoder(QStringConverter::System);
#endif
}

QStringDecoder systemDecoder()
{
#ifndef Q_OS_WIN
    if (!systemCharset().isEmpty())
        return QStringDecoder(systemCharset().constData());
    return QStringDecoder(QStringConverter::Utf8);
#else
    return QStringDecoder(QStringConverter::System);
#endif
}

QStringEncoder makeEncoder(const QByteArray &name)
{
    if (!name.isEmpty()) {
        QStringEncoder enc(name.constData());
        if (enc.isValid())
            return enc;
    }
    return systemEncoder();
}

QStringDecoder makeDecoder(const QByteArray &name)
{
    if (!name.isEmpty()) {
        QStringDecoder dec(name.constData());
        if (dec.isValid())
            return dec;
    }
    return systemDecoder();
}
} // namespace

TextCodec::TextCodec() = default;

TextCodec::TextCodec(const QByteArray &encodingName)
{
    if (QStringEncoder(encodingName.constData()).isValid())
        m_name = encodingName;
}

QByteArray TextCodec::encode(const QString &text) const
{
    QStringEncoder enc = makeEncoder(m_name);
    return enc(text);
}

QString TextCodec::decode(const QByteArray &bytes) const
{
    QStringDecoder dec = makeDecoder(m_name);
    return dec(bytes);
}

QString TextCodec::truncateToBytes(const QString &text, int maxBytes) const
{
    QStringEncoder enc = makeEncoder(m_name);
    if (enc.requiredSpace(text.size()) <= maxBytes)
        return text;
    if (QByteArray(enc(text)).size() <= maxBytes)
        return text;
    // Walk whole code points, so a surrogate pair is never split, and stop
    // before the first one that no longer fits.
    int used = 0;
    qsizetype i = 0;
    while (i < text.size()) {
        const qsizetype len = (text.at(i).isHighSurrogate() && i + 1 < text.size()) ? 2 : 1;
        QStringEncoder charEnc = makeEncoder(m_name);
        const int bytes = int(QByteArray(charEnc(QStringView(text).mid(i, len))).size());
        if (used + bytes > maxBytes)
            break;
        used += bytes;
        i += len;
    }
    return text.left(i);
}

TextCodec TextCodec::fileCodec()
{
    return overrideCodec().value_or(TextCodec());
}

void TextCodec::setFileCodec(const TextCodec &codec)
{
    overrideCodec() = codec;
}

void TextCodec::resetFileCodec()
{
    overrideCodec().reset();
}

} // namespace kestrune
