#pragma once
// Helpers shared by the transfer tests.

#include "LoopbackPort.h"
#include "TestHttpServer.h"
#include "base/transfer/basWinInet.h"

#include <QCoreApplication>
#include <QEvent>
#include <QIODevice>
#include <QList>
#include <QStringList>
#include <QTest>

namespace transfertest {

using namespace kestrune;

// The run-log lines of a transfer that got an answer, and of one that did not.
inline QString okLine(const QString &url)
{
    return QStringLiteral("\u25CB ") + url;
}
inline QString failLine(const QString &url)
{
    return QStringLiteral("\u00D7 ") + url;
}

// The one request both transfers send: a plain GET past every cache, asking
// for the stored bytes (no content coding, so the size is the announced one).
inline void verifyFileRequest(const RecordedRequest &request, const QByteArray &path)
{
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.path, path);
    QCOMPARE(request.header("User-Agent"), QByteArray("WinInet Test"));
    QCOMPARE(request.header("Cache-Control"), QByteArray("no-cache"));
    QCOMPARE(request.header("Pragma"), QByteArray("no-cache"));
    QCOMPARE(request.header("Accept-Encoding"), QByteArray("identity"));
}

// The system proxy configuration comes from the environment here; clear it so
// that a proxy set on the machine that runs the tests cannot redirect
// loopback requests.
inline void clearProxyEnvironment()
{
    for (const char *name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"})
        qunsetenv(name);
}

// The time-out that ends a stalled transfer in the tests, and the longest a
// transfer that must not wait for it may take.  The bound is half the
// time-out: far from the milliseconds a loopback answer takes, even on a
// busy machine, and still short of what waiting out the time-out costs.
constexpr int kIdleTimeoutMs = 20000;
constexpr int kPromptMs = kIdleTimeoutMs / 2;

// Whether server accepted no connection after it had accepted `before`.
// Proven by a request of our own to path (sizeOfPath bytes, answered
// directly): connections wait on the listening socket in the order they
// were opened, so once ours is counted, one opened before it is as well.
inline bool noConnectionSince(const TestHttpServer &server, int before, const QString &path,
                              qint64 sizeOfPath)
{
    if (GetRemoteFileSize(server.url(path), QString()) != sizeOfPath)
        return false;
    return server.connectionCount() == before + 1;
}

// What a download reported through its hooks.
struct HookRecord {
    QStringList lines;
    QList<QPair<int, bool>> progress;

    DownloadHooks hooks()
    {
        DownloadHooks h;
        h.writeRunLog = [this](const QString &line) { lines.append(line); };
        h.setProgress = [this](int percent, bool busy) { progress.append({percent, busy}); };
        return h;
    }
};

// Counts how often the event loop has handed out posted events: a
// self-reposting event is delivered once per yield.
class YieldCounter : public QObject {
public:
    YieldCounter() { QCoreApplication::postEvent(this, new QEvent(kType)); }
    ~YieldCounter() override { QCoreApplication::removePostedEvents(this); }
    qint64 count() const { return m_count; }

protected:
    bool event(QEvent *e) override
    {
        if (e->type() != kType)
            return QObject::event(e);
        ++m_count;
        QCoreApplication::postEvent(this, new QEvent(kType));
        return true;
    }

private:
    static constexpr QEvent::Type kType = QEvent::Type(QEvent::User + 71);
    qint64 m_count = 0;
};

// A write-only device that compares what it receives with the generated
// pattern and keeps nothing: for huge bodies, and to watch the read sizes.
class PatternCheckDevice : public QIODevice {
public:
    explicit PatternCheckDevice(const YieldCounter *yields = nullptr) : m_yields(yields)
    {
        open(QIODevice::WriteOnly);
    }
    qint64 received() const { return m_received; }
    bool matches() const { return m_matches; }
    qint64 largestWrite() const { return m_largest; }
    qint64 writes() const { return m_writes; }
    // Writes that followed the previous one without a yield in between.
    qint64 writesWithoutYield() const { return m_withoutYield; }
    // Fail every write once this many bytes are in (-1: never).
    void failAfter(qint64 bytes) { m_failAfter = bytes; }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 len) override
    {
        if (m_failAfter >= 0 && m_received + len > m_failAfter)
            return -1;
        if (m_matches
            && QByteArray::fromRawData(data, len) != TestHttpServer::patternBytes(m_received, len))
            m_matches = false;
        if (m_yields) {
            if (m_writes > 0 && m_yields->count() == m_lastYield)
                ++m_withoutYield;
            m_lastYield = m_yields->count();
        }
        m_received += len;
        m_largest = std::max(m_largest, len);
        ++m_writes;
        return len;
    }

private:
    const YieldCounter *m_yields;
    qint64 m_received = 0;
    qint64 m_largest = 0;
    qint64 m_writes = 0;
    qint64 m_withoutYield = 0;
    qint64 m_lastYield = -1;
    qint64 m_failAfter = -1;
    bool m_matches = true;
};

} // namespace transfertest
