#include "app/TextCodec.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <optional>

namespace kestrune {

namespace {
std::optional<TextCodec> &overrideCodec()
{
    static std::optional<TextCodec> codec;
    return codec;
}

QStringEncoder makeEncoder(const QByteArray &name)
{
    if (!name.isEmpty()) {
        QStringEncoder enc(name.constData());
        if (enc.isValid())
            return enc;
    }
    return QStringEncoder(QStringConverter::System);
}

QStringDecoder makeDecoder(const QByteArray &name)
{
    if (!name.isEmpty()) {
        QStringDecoder dec(name.constData());
        if (dec.isValid())
            return dec;
    }
    return QStringDecoder(QStringConverter::System);
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
