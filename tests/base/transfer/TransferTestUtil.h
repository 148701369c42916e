#pragma once
// Helpers shared by the transfer tests.

#include "LoopbackPort.h"
#include "TestHttpServer.h"
#include "base/transfer/basWinInet.h"

#include <QIODevice>
#include <QList>
#include <QSignalSpy>
#include <QTest>

#include <optional>

namespace transfertest {

using namespace kestrune;

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

// The longest a test waits for a step's finished(): far beyond any idle
// time-out the tests set, so that only a step that never ends runs into it.
constexpr int kStepWaitMs = 120000;

// Starts step and waits for its finished().  False, with the reason in the
// test's output, when finished() came inside start() or never came.
template <typename Step>
bool runToEnd(Step &step)
{
    QSignalSpy finished(&step, &Step::finished);
    step.start();
    if (!finished.isEmpty()) {
        qWarning("finished() was emitted inside start()");
        return false;
    }
    if (!finished.wait(kStepWaitMs)) {
        qWarning("no finished() within %d ms", kStepWaitMs);
        return false;
    }
    return finished.size() == 1;
}

// A size probe run to its end; nothing when it did not end as a step must.
inline std::optional<RemoteProbe> probe(const QString &url, const QString &proxy)
{
    RemoteSizeProbe step(url, proxy);
    if (!runToEnd(step))
        return std::nullopt;
    return step.result();
}

// What a download reported, besides its outcome.
struct DownloadRun {
    DownloadOutcome outcome;
    QList<QPair<int, bool>> progress; // every progress(percent, busy)
    QList<qint64> received;           // every bytesReceived(n)
};

// The download a collection row makes: url's body into device (nullptr: read
// and dropped) for a 2xx answer, measured against expected.  Nothing when
// the step did not end as it must.
inline std::optional<DownloadRun> download(const QString &url, QIODevice *device,
                                           const QString &proxy, qint64 expected,
                                           bool expectAnswersLength = false)
{
    FileDownload::Request request;
    request.url = url;
    request.proxy = proxy;
    request.expectedSize = expected;
    request.expectAnswersLength = expectAnswersLength;
    FileDownload step(request, FileDownload::IntoDevice(device));
    DownloadRun run;
    QObject::connect(&step, &FileDownload::progress, [&run](int percent, bool busy) {
        run.progress.append({percent, busy});
    });
    QObject::connect(&step, &FileDownload::bytesReceived,
                     [&run](qint64 n) { run.received.append(n); });
    if (!runToEnd(step))
        return std::nullopt;
    run.outcome = step.outcome();
    return run;
}

// Whether server accepted no connection after it had accepted `before`.
// Proven by a request of our own to path (sizeOfPath bytes, answered
// directly): connections wait on the listening socket in the order they
// were opened, so once ours is counted, one opened before it is as well.
inline bool noConnectionSince(const TestHttpServer &server, int before, const QString &path,
                              qint64 sizeOfPath)
{
    const std::optional<RemoteProbe> ours = probe(server.url(path), QString());
    if (!ours || ours->size.value_or(-1) != sizeOfPath)
        return false;
    return server.connectionCount() == before + 1;
}

// A write-only device that compares what it receives with the generated
// pattern and keeps nothing: for huge bodies.
class PatternCheckDevice : public QIODevice {
public:
    PatternCheckDevice() { open(QIODevice::WriteOnly); }
    qint64 received() const { return m_received; }
    bool matches() const { return m_matches; }
    qint64 writes() const { return m_writes; }
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
        m_received += len;
        ++m_writes;
        return len;
    }

private:
    qint64 m_received = 0;
    qint64 m_writes = 0;
    qint64 m_failAfter = -1;
    bool m_matches = true;
};

} // namespace transfertest
