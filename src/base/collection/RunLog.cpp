#include "base/collection/RunLog.h"

#include "base/settings/AppInfo.h"
#include "base/transfer/Credentials.h"

#include "base/system/SystemError.h"

#include <QFileInfo>

#include <limits>

#ifndef Q_OS_WIN
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kestrune {

namespace {
std::function<QDateTime()> &clock()
{
    static std::function<QDateTime()> c = [] { return QDateTime::currentDateTime(); };
    return c;
}

// Whether clock() is the system's: its stamp is then made once a second
// (turning the time into local time reads the zone's files each time).
bool &systemClock()
{
    static bool system = true;
    return system;
}

QString stampNow()
{
    if (!systemClock())
        return RunLog::timeStamp(clock()());
    static qint64 second = std::numeric_limits<qint64>::min();
    static QString stamp;
    const qint64 now = QDateTime::currentMSecsSinceEpoch() / 1000;
    if (now != second) {
        second = now;
        stamp = RunLog::timeStamp(QDateTime::fromSecsSinceEpoch(now));
    }
    return stamp;
}
} // namespace

RunLog::~RunLog()
{
    close();
}

void RunLog::setClock(std::function<QDateTime()> c)
{
    systemClock() = !c;
    clock() = c ? std::move(c) : [] { return QDateTime::currentDateTime(); };
}

const QString &RunLog::rule()
{
    static const QString r(58, QLatin1Char('='));
    return r;
}

QString RunLog::timeStamp(const QDateTime &when)
{
    return when.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss"));
}

QString RunLog::startLine(const QDateTime &when)
{
    return when.toString(QStringLiteral("yyyy年MM月dd日 HH時mm分ss秒に起動"));
}

void RunLog::reset()
{
    close();
    // The lowest free number: the log is the only file the program keeps
    // open by number, so it is always the first.
    m_fileNo = 1;
    m_codec = TextCodec::fileCodec();
    m_refused = false;
    m_openError.clear();
}

void RunLog::begin(std::unique_ptr<QFile> file, bool endUnfinishedLine)
{
    m_file = std::move(file);
    if (endUnfinishedLine)
        m_file->write(m_codec.encode(QStringLiteral("\r\n")));
    writeHeader();
}

#ifndef Q_OS_WIN

namespace {

// Reads exactly size bytes at offset; false when the file has fewer.
bool readAt(int fd, char *data, qint64 size, qint64 offset)
{
    for (qint64 done = 0; done < size;) {
        const ssize_t n = ::pread(fd, data + done, size_t(size - done), offset + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

} // namespace

qint16 RunLog::open(const QString &fileName, Mode mode)
{
    reset();
    if (fileName.isEmpty() || fileName.contains(QChar(u'\0'))) {
        m_openError = SystemErrorText(ENOENT);
        return m_fileNo;
    }
    // The log is a plain file in its folder, reached and made there like the
    // run's copies: the folder may be a link (the operator named it), the
    // name itself is never followed.  A link there, dangling or not, a
    // folder, a pipe or a device is left alone like any file that is not a
    // run log, and opening never waits for a pipe's other end.
    const QFileInfo where(fileName);
    const int folder = ::open(QFile::encodeName(where.absolutePath()).constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        m_openError = SystemErrorText(errno);
        return m_fileNo;
    }
    const QByteArray name = QFile::encodeName(where.fileName());
    struct stat st {};
    if (::fstatat(folder, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0
        && !S_ISREG(st.st_mode)) {
        ::close(folder);
        m_refused = true;
        return m_fileNo;
    }
    const int flags = O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = ::openat(folder, name.constData(), O_RDWR | flags, 0666);
    // A log the operator may write but not read can still be started anew.
    if (fd < 0 && errno == EACCES)
        fd = ::openat(folder, name.constData(), O_WRONLY | flags, 0666);
    const int openErrno = errno;
    ::close(folder);
    if (fd < 0) {
        // ELOOP: a link was put there since it was looked at.
        if (openErrno == ELOOP)
            m_refused = true;
        else
            m_openError = SystemErrorText(openErrno);
        return m_fileNo;
    }
    const auto refuse = [this, fd] {
        ::close(fd);
        m_refused = true;
        return m_fileNo;
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return refuse();
    // An earlier run cut short in the middle of a line: this run's header
    // starts on a line of its own.
    bool endUnfinishedLine = false;
    // Only a run log is emptied or added to: any other file of that name
    // (one a run collected, say) stays as it is.
    if (st.st_size > 0) {
        const QByteArray firstLine = m_codec.encode(appTitle() + QStringLiteral("\r\n"));
        QByteArray head(firstLine.size(), Qt::Uninitialized);
        if (!readAt(fd, head.data(), head.size(), 0) || head != firstLine)
            return refuse();
        if (mode == Mode::Append) {
            char last = 0;
            endUnfinishedLine = !readAt(fd, &last, 1, qint64(st.st_size) - 1) || last != '\n';
        }
    }
    if (mode == Mode::Replace && st.st_size > 0 && ::ftruncate(fd, 0) != 0) {
        m_openError = SystemErrorText(errno);
        ::close(fd);
        return m_fileNo;
    }
    // Writes wait for the disk again, and each goes to the end.
    ::fcntl(fd, F_SETFL, (::fcntl(fd, F_GETFL) & ~O_NONBLOCK) | O_APPEND);
    auto file = std::make_unique<QFile>();
    if (!file->open(fd, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered,
                    QFileDevice::AutoCloseHandle)) {
        m_openError = file->errorString();
        ::close(fd);
        return m_fileNo;
    }
    begin(std::move(file), endUnfinishedLine);
    return m_fileNo;
}

#else // Q_OS_WIN: the same rules through QFile.

qint16 RunLog::open(const QString &fileName, Mode mode)
{
    reset();
    const QFileInfo existing(fileName);
    bool endUnfinishedLine = false;
    if (existing.exists() || existing.isSymLink()) {
        if (!existing.isFile() || existing.isSymLink()) {
            m_refused = true;
            return m_fileNo;
        }
        QFile old(fileName);
        if (old.size() > 0) {
            const QByteArray firstLine = m_codec.encode(appTitle() + QStringLiteral("\r\n"));
            if (!old.open(QIODevice::ReadOnly) || old.read(firstLine.size()) != firstLine) {
                m_refused = true;
                return m_fileNo;
            }
            if (mode == Mode::Append) {
                char last = 0;
                endUnfinishedLine = !old.seek(old.size() - 1) || !old.getChar(&last)
                                    || last != '\n';
            }
        }
    }
    auto file = std::make_unique<QFile>(fileName);
    const QIODevice::OpenMode how = mode == Mode::Append ? QIODevice::Append : QIODevice::Truncate;
    if (!file->open(QIODevice::WriteOnly | how | QIODevice::Unbuffered)) {
        m_openError = file->errorString();
        return m_fileNo;
    }
    begin(std::move(file), endUnfinishedLine);
    return m_fileNo;
}

#endif

void RunLog::writeHeader()
{
    const QDateTime now = clock()();
    writeLine(appTitle());
    writeLine(rule());
    writeLine(startLine(now));
    writeLine(rule());
}

void RunLog::write(qint16 fileNo, const QString &message)
{
    if (fileNo == 0 || fileNo != m_fileNo || !isOpen())
        return;
    // A line of the log is one event: a line break in a name or an address
    // is written as its escape, so that no text can start a line of its own.
    QString text = transfer::HidePasswords(message);
    text.replace(QLatin1Char('\r'), QLatin1String("\\r"));
    text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    writeLine(stampNow() + QLatin1Char('\t') + text);
}

std::optional<transfer::FileIdentity> RunLog::identity() const
{
    if (!isOpen())
        return std::nullopt;
    return transfer::IdentityOf(m_file->handle());
}

void RunLog::close()
{
    if (m_file) {
        m_file->close();
        m_file.reset();
    }
}

void RunLog::writeLine(const QString &line)
{
    // A refused write loses the line and nothing else.
    m_file->write(m_codec.encode(line + QStringLiteral("\r\n")));
}

} // namespace kestrune
