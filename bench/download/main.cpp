// Downloads a generated body from the loopback test server (on a thread of
// its own) through the download step into a QSaveFile, then the same body
// with curl, and prints throughput and peak memory.
//
//   bench_download [--size-mib N] [--runs N] [--dir folder] [--no-curl]

#include "ProcessMemory.h"
#include "TestHttpServer.h"
#include "base/transfer/basWinInet.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

#include <unistd.h>

using namespace kestrune;

namespace {

constexpr double kMiB = 1048576.0;

// Runs the download of url into target on the event loop until it ends.
DownloadOutcome runDownload(const QString &url, QIODevice *target, qint64 size, int *progressCalls)
{
    FileDownload::Request request;
    request.url = url;
    request.expectedSize = size;
    FileDownload step(request, FileDownload::IntoDevice(target));
    QObject::connect(&step, &FileDownload::progress, [progressCalls] { ++*progressCalls; });
    QEventLoop loop;
    QObject::connect(&step, &FileDownload::finished, &loop, &QEventLoop::quit);
    step.start();
    loop.exec();
    return step.outcome();
}

bool sameAsPattern(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() != size)
        return false;
    qint64 offset = 0;
    while (offset < size) {
        const QByteArray piece = file.read(1 << 20);
        if (piece.isEmpty() || piece != TestHttpServer::patternBytes(offset, piece.size()))
            return false;
        offset += piece.size();
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("size-mib"), QStringLiteral("Body size in MiB."),
                      QStringLiteral("N"), QStringLiteral("256")});
    parser.addOption({QStringLiteral("runs"), QStringLiteral("Runs of each client."),
                      QStringLiteral("N"), QStringLiteral("3")});
    parser.addOption(
        {QStringLiteral("dir"),
         QStringLiteral("Folder for the downloaded files (default: a temporary folder)."),
         QStringLiteral("folder")});
    parser.addOption(
        {QStringLiteral("no-curl"), QStringLiteral("Skip the curl runs (profiling).")});
    parser.process(app);
    const qint64 size = parser.value(QStringLiteral("size-mib")).toLongLong() * 1048576;
    const int runs = std::max(1, parser.value(QStringLiteral("runs")).toInt());
    if (size <= 0) {
        std::fprintf(stderr, "bad size\n");
        return 2;
    }

    for (const char *name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
        qunsetenv(name);

    TestHttpServerThread serverThread;
    if (!serverThread.start()) {
        std::fprintf(stderr, "test server did not start\n");
        return 1;
    }
    TestResponse body;
    body.generatedSize = size;
    serverThread.server()->setRoute(QStringLiteral("/bench.log"), body);
    const QString url = serverThread.server()->url(QStringLiteral("/bench.log"));

    QTemporaryDir dir = parser.isSet(QStringLiteral("dir")) ? QTemporaryDir(
                            parser.value(QStringLiteral("dir")) + QStringLiteral("/bench-XXXXXX"))
                                                            : QTemporaryDir();
    if (!dir.isValid())
        return 1;
    const QString target = dir.filePath(QStringLiteral("bench.log"));
    const QString curl = parser.isSet(QStringLiteral("no-curl"))
                             ? QString()
                             : QStandardPaths::findExecutable(QStringLiteral("curl"));

    std::printf("body: %.0f MiB from %s\n", size / kMiB, qPrintable(url));
    const bool peakReset = ProcessMemory::resetPeak();
    const qint64 baseline = ProcessMemory::residentBytes();

    // Two figures per client: the transfer alone, and the transfer plus making
    // the file durable.  QSaveFile::commit() syncs the file to disk before it
    // replaces the old copy; curl -o never syncs, so it gets an fsync of its
    // own for the second figure.
    double bestOwn = 0, bestOwnDurable = 0, bestCurl = 0, bestCurlDurable = 0;
    const auto rate = [size](qint64 ns) { return size / kMiB / (std::max<qint64>(ns, 1) / 1e9); };
    for (int run = 1; run <= runs; ++run) {
        QFile::remove(target);
        QSaveFile file(target);
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        int progressCalls = 0;
        QElapsedTimer clock;
        clock.start();
        const DownloadOutcome outcome = runDownload(url, &file, size, &progressCalls);
        const qint64 count = outcome.result == DownloadResult::Stored ? outcome.bytes : 0;
        const qint64 transferNs = clock.nsecsElapsed();
        const bool committed = count > 0 && file.commit();
        const qint64 durableNs = clock.nsecsElapsed();
        if (!committed)
            file.cancelWriting();
        bestOwn = std::max(bestOwn, rate(transferNs));
        bestOwnDurable = std::max(bestOwnDurable, rate(durableNs));
        const bool exact = committed && count == size && sameAsPattern(target, size);
        std::printf(
            "run %d  download:     %7.1f MiB/s transfer (%5lld ms), %7.1f MiB/s with commit "
            "(%5lld ms)  %s, %d progress calls\n",
            run, rate(transferNs), transferNs / 1000000, rate(durableNs), durableNs / 1000000,
            exact ? "byte-exact" : "WRONG CONTENT", progressCalls);

        if (curl.isEmpty())
            continue;
        QFile::remove(target);
        QProcess process;
        clock.restart();
        process.start(curl, {QStringLiteral("-s"), QStringLiteral("-o"), target, url});
        process.waitForFinished(-1);
        const qint64 curlNs = clock.nsecsElapsed();
        {
            QFile written(target);
            if (written.open(QIODevice::ReadWrite))
                ::fsync(written.handle());
        }
        const qint64 curlDurableNs = clock.nsecsElapsed();
        bestCurl = std::max(bestCurl, rate(curlNs));
        bestCurlDurable = std::max(bestCurlDurable, rate(curlDurableNs));
        std::printf(
            "run %d  curl -o:       %7.1f MiB/s transfer (%5lld ms), %7.1f MiB/s with fsync  "
            "(%5lld ms)  exit %d\n",
            run, rate(curlNs), curlNs / 1000000, rate(curlDurableNs), curlDurableNs / 1000000,
            process.exitCode());
    }

    const qint64 peak = ProcessMemory::peakResidentBytes();
    std::printf("peak RSS of this process: %.1f MiB (%.1f MiB above the start%s)\n", peak / kMiB,
                (peak - baseline) / kMiB, peakReset ? "" : "; peak could not be reset");
    std::printf("best transfer:    download %7.1f MiB/s", bestOwn);
    if (bestCurl > 0)
        std::printf(", curl %7.1f MiB/s, ratio %.2f\n", bestCurl, bestOwn / bestCurl);
    else
        std::printf("\n");
    std::printf("best with fsync:  download %7.1f MiB/s", bestOwnDurable);
    if (bestCurlDurable > 0)
        std::printf(", curl %7.1f MiB/s, ratio %.2f\n", bestCurlDurable,
                    bestOwnDurable / bestCurlDurable);
    else
        std::printf("\n");
    return 0;
}
