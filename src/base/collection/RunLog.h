#pragma once
// The run log: one plain text file per collection run, a four-line header and
// one time-stamped line per event, in the system code page with CR LF line
// ends.  It never fails loudly: an open that fails, a write through a closed
// or never opened number, and a close of a log that is not open do nothing.

#include "base/settings/TextCodec.h"
#include "base/transfer/LocalFile.h"

#include <QDateTime>
#include <QFile>
#include <QString>

#include <functional>
#include <memory>

namespace kestrune {

class RunLog {
public:
    RunLog() = default;
    ~RunLog();
    RunLog(const RunLog &) = delete;
    RunLog &operator=(const RunLog &) = delete;

    enum class Mode {
        Replace, // the file holds this run only
        Append,  // the earlier runs' lines stay; this run follows with its own header
    };

    // Creates (or empties, or with Mode::Append adds to) fileName and writes
    // the header.  Returns the file number the writes use; the number is
    // handed out even when the open fails, and the writes through it then do
    // nothing.  A file of that name that is not a run log (it does not begin
    // with the header's first line) is never written, nor is a link (dangling
    // or not), a folder, a pipe or a device of that name: the open fails
    // (openRefused() tells).  The name is never followed; its folder may be.
    qint16 open(const QString &fileName, Mode mode = Mode::Replace);
    // The last open found a file that is not a run log and left it alone.
    bool openRefused() const { return m_refused; }
    // Why the last open failed otherwise, in the system's words; empty after
    // a successful open and after a refusal.
    QString openError() const { return m_openError; }
    // The open log's file, to tell it from the files a run stores.
    std::optional<transfer::FileIdentity> identity() const;
    // Appends "yyyy/mm/dd hh:mm:ss", TAB, message and CR LF when fileNo names
    // the open log.  A password in a URL of the message is written as "***";
    // a CR or LF in the message is written as "\r" or "\n".
    void write(qint16 fileNo, const QString &message);
    void close();

    bool isOpen() const { return m_file && m_file->isOpen(); }
    qint16 fileNo() const { return m_fileNo; }

    static QString timeStamp(const QDateTime &when);
    static QString startLine(const QDateTime &when);
    static const QString &rule();

    // The clock the log reads; tests substitute a fixed one.
    static void setClock(std::function<QDateTime()> clock);

private:
    // The state of a log that is not open yet, before an open().
    void reset();
    // Takes the opened file as the log and writes this run's header.
    void begin(std::unique_ptr<QFile> file, bool endUnfinishedLine);
    void writeHeader();
    void writeLine(const QString &line);

    std::unique_ptr<QFile> m_file;
    qint16 m_fileNo = 0;
    bool m_refused = false;
    QString m_openError;
    TextCodec m_codec;
};

} // namespace kestrune
