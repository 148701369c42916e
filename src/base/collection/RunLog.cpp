#include "base/collection/RunLog.h"

#include "base/settings/AppInfo.h"
#include "base/transfer/Credentials.h"

#include <QFileInfo>

#include <limits>

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

qint16 RunLog::open(const QString &fileName, Mode mode)
{
    close();
    // The lowest free number: the log is the only file the program keeps
    // open by number, so it is always the first.
    m_fileNo = 1;
    m_codec = TextCodec::fileCodec();
    m_refused = false;
    m_openError.clear();
    const QFileInfo existing(fileName);
    // An earlier run cut short in the middle of a line: this run's header
    // starts on a line of its own.
    bool endUnfinishedLine = false;
    if (existing.exists()) {
        // Only a run log is emptied or added to: any other file of that name
        // (one a run collected, or whatever a link leads to) stays as it is.
        if (!existing.isFile()) {
            m_openError = QStringLiteral("not a file");
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
    m_file = std::move(file);
    if (endUnfinishedLine)
        m_file->write(m_codec.encode(QStringLiteral("\r\n")));
    const QDateTime now = clock()();
    writeLine(appTitle());
    writeLine(rule());
    writeLine(startLine(now));
    writeLine(rule());
    return m_fileNo;
}

void RunLog::write(qint16 fileNo, const QString &message)
{
    if (fileNo == 0 || fileNo != m_fileNo || !isOpen())
        return;
    writeLine(stampNow() + QLatin1Char('\t') + transfer::HidePasswords(message));
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
