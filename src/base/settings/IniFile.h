#pragma once
// A small reader/writer for Windows-style profile (INI) files that behaves
// like the platform's profile functions: section and key names match without
// regard to letter case, values are trimmed and lose one pair of enclosing
// quotes, a value reads back cut to 254 bytes of the file's encoding, and a
// write touches only the one key, keeping every other line as it was.

#include "base/settings/TextCodec.h"

#include <QString>

namespace kestrune {

class IniFile {
public:
    // The longest value a read returns, in bytes of the file's encoding.
    static constexpr int kMaxValueBytes = 254;

    explicit IniFile(QString path, TextCodec codec = TextCodec::fileCodec());

    // The value, or the empty text for a missing file, section or key.
    QString read(const QString &section, const QString &key) const;

    // Sets key=value in section, creating section and key when missing.  The
    // file is replaced atomically.  False when the file could not be written,
    // with the system's reason in reason when given.
    bool write(const QString &section, const QString &key, const QString &value,
               QString *reason = nullptr) const;

    const QString &path() const { return m_path; }

private:
    QString m_path;
    TextCodec m_codec;
};

} // namespace kestrune
