#pragma once
// Text files the program writes itself (the settings file, the run log) are in
// the system's code page: the ANSI code page on Windows; elsewhere the
// character set of the locale the environment names (EUC-JP under
// ja_JP.EUC-JP), UTF-8 for a UTF-8 locale, the C locale, or a character set
// the converters do not know.  The codec is injectable so the byte rules can
// be exercised with windows-31j (code page 932) on any machine.

#include <QByteArray>
#include <QString>

namespace kestrune {

class TextCodec {
public:
    // The system code page.
    TextCodec();
    // A named encoding ("windows-31j", "UTF-8", ...).  Unknown names fall back
    // to the system code page.
    explicit TextCodec(const QByteArray &encodingName);

    QByteArray encode(const QString &text) const;
    QString decode(const QByteArray &bytes) const;

    // The longest prefix of text whose encoding fits in maxBytes, never
    // ending in part of a character.
    QString truncateToBytes(const QString &text, int maxBytes) const;

    QByteArray name() const { return m_name; }
    bool isSystem() const { return m_name.isEmpty(); }

    // The codec the program uses for its own files.  Tests may replace it.
    static TextCodec fileCodec();
    static void setFileCodec(const TextCodec &codec);
    static void resetFileCodec();

private:
    QByteArray m_name; // empty: the system code page
};

} // namespace kestrune
