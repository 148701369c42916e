#include "base/settings/IniFile.h"
#include "base/system/SystemError.h"

#include "base/settings/TextCodec.h"
#include "base/transfer/LocalFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>

#include <cerrno>
#include <optional>

namespace kestrune {

namespace {

struct ParsedFile {
    QStringList lines; // without line ends
    QString lineEnd = QStringLiteral("\r\n");
    bool endsWithNewline = true;
};

std::optional<QByteArray> readBytes(const QString &path, int *error = nullptr)
{
    QFile f(path);
    errno = 0;
    if (!f.open(QIODevice::ReadOnly)) {
        if (error)
            *error = errno != 0 ? errno : EACCES;
        return std::nullopt;
    }
    return f.readAll();
}

ParsedFile parse(const QString &text)
{
    ParsedFile p;
    const qsizetype firstLf = text.indexOf(QLatin1Char('\n'));
    if (firstLf >= 0)
        p.lineEnd = (firstLf > 0 && text.at(firstLf - 1) == QLatin1Char('\r'))
                        ? QStringLiteral("\r\n")
                        : QStringLiteral("\n");
    if (text.isEmpty())
        return p;
    p.lines = text.split(QLatin1Char('\n'));
    p.endsWithNewline = text.endsWith(QLatin1Char('\n'));
    if (p.endsWithNewline)
        p.lines.removeLast();
    for (QString &line : p.lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    }
    return p;
}

// The section name of a "[name]" line, or nothing.
std::optional<QString> sectionName(const QString &line)
{
    const QString t = line.trimmed();
    if (!t.startsWith(QLatin1Char('[')))
        return std::nullopt;
    const qsizetype close = t.indexOf(QLatin1Char(']'));
    if (close < 0)
        return std::nullopt;
    return t.mid(1, close - 1).trimmed();
}

// Splits a "key=value" line; nothing for comments and other lines.
std::optional<std::pair<QString, QString>> keyValue(const QString &line)
{
    const QString t = line.trimmed();
    if (t.isEmpty() || t.startsWith(QLatin1Char(';')))
        return std::nullopt;
    const qsizetype eq = t.indexOf(QLatin1Char('='));
    if (eq <= 0)
        return std::nullopt;
    return std::make_pair(t.left(eq).trimmed(), t.mid(eq + 1).trimmed());
}

bool sameName(const QString &a, const QString &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

QString unquote(const QString &value)
{
    if (value.size() >= 2) {
        const QChar first = value.front();
        if ((first == QLatin1Char('"') || first == QLatin1Char('\'')) && value.back() == first)
            return value.mid(1, value.size() - 2);
    }
    return value;
}

bool isReadOnly(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return false;
    if (info.isDir())
        return true;
    // A file without any write permission bit is read-only for everybody,
    // the administrator included, as a read-only attribute is on Windows.
    const auto perms = info.permissions();
    return !(perms & (QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther));
}

} // namespace

IniFile::IniFile(QString path, TextCodec codec) : m_path(std::move(path)), m_codec(std::move(codec))
{}

QString IniFile::read(const QString &section, const QString &key) const
{
    const auto bytes = readBytes(m_path);
    if (!bytes)
        return QString();
    const ParsedFile file = parse(m_codec.decode(*bytes));
    bool inSection = false;
    for (const QString &line : file.lines) {
        if (const auto name = sectionName(line)) {
            inSection = sameName(*name, section);
            continue;
        }
        if (!inSection)
            continue;
        if (const auto kv = keyValue(line); kv && sameName(kv->first, key))
            return m_codec.truncateToBytes(unquote(kv->second), kMaxValueBytes);
    }
    return QString();
}

bool IniFile::write(const QString &section, const QString &key, const QString &value,
                    QString *reason) const
{
    const auto fail = [reason](int error) {
        if (reason)
            *reason = SystemErrorText(error);
        return false;
    };
    if (isReadOnly(m_path))
        return fail(QFileInfo(m_path).isDir() ? EISDIR : EACCES);
    ParsedFile file;
    int readError = 0;
    if (const auto bytes = readBytes(m_path, &readError))
        file = parse(m_codec.decode(*bytes));
    else if (QFileInfo::exists(m_path))
        return fail(readError); // there, but unreadable: never overwrite what we cannot see

    const QString newLine = key + QLatin1Char('=') + value;
    qsizetype sectionStart = -1;  // index of the [section] line
    qsizetype lastInSection = -1; // last non-blank line of the section
    bool replaced = false;
    bool inSection = false;
    for (qsizetype i = 0; i < file.lines.size(); ++i) {
        const QString &line = file.lines.at(i);
        if (const auto name = sectionName(line)) {
            if (inSection)
                break; // the section ended without the key
            inSection = sameName(*name, section);
            if (inSection)
                sectionStart = lastInSection = i;
            continue;
        }
        if (!inSection)
            continue;
        if (!line.trimmed().isEmpty())
            lastInSection = i;
        if (const auto kv = keyValue(line); kv && sameName(kv->first, key)) {
            file.lines[i] = newLine;
            replaced = true;
            break;
        }
    }
    if (!replaced) {
        if (sectionStart >= 0) {
            file.lines.insert(lastInSection + 1, newLine);
        } else {
            file.lines.append(QLatin1Char('[') + section + QLatin1Char(']'));
            file.lines.append(newLine);
        }
        file.endsWithNewline = true;
    }

    QString text = file.lines.join(file.lineEnd);
    if (file.endsWithNewline)
        text += file.lineEnd;

    const QByteArray encoded = m_codec.encode(text);
    QSaveFile out(m_path);
    errno = 0;
    if (!out.open(QIODevice::WriteOnly)) {
        const int openError = errno != 0 ? errno : EACCES;
        // A folder that takes no new file: the file itself, when it may be
        // written, is updated in place as the platform's profile functions do.
        const QFileInfo info(m_path);
        if (info.isFile() && !QFileInfo(info.absolutePath()).isWritable())
            return transfer::OverwriteFileInPlace(m_path, encoded, reason);
        return fail(openError);
    }
    errno = 0;
    if (out.write(encoded) != encoded.size()) {
        const int writeError = errno != 0 ? errno : EIO;
        out.cancelWriting();
        return fail(writeError);
    }
    errno = 0;
    if (!out.commit())
        return fail(errno != 0 ? errno : EIO);
    return true;
}

} // namespace kestrune
