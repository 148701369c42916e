// Serves a generated IIS-style directory listing from the loopback test
// server and loads it in a child process of its own, the way kestrune-collect
// does (the listing loader with the command line's hooks), then prints the
// child's peak resident memory (VmHWM) and the time the load took.  With
// --window the child is the collector window instead (bench_listing_window),
// which also reports the longest time its event loop was held up.
//
//   bench_listing [--links N] [--page-mb N] [--window]
//   bench_listing --collect PATH-OF-kestrune-collect [--links N] [--page-mb N]
//
// --collect runs kestrune-collect itself into a scratch folder, with
// --max-time 60: its files (404 on the bench server) fail fast, and the run
// ends by the time limit at the latest.  Its peak comes from the kernel's
// account of the child (getrusage).
//
// The child is this program again (or bench_listing_window) with --load URL;
// it prints one line, "rows=N peak=BYTES ms=N status=N [longest=MS]".

#include "ListingPage.h"
#include "ProcessMemory.h"
#include "TestHttpServer.h"
#include "base/listing/ListingLoader.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QEventLoop>
#include <QProcess>

#include <QTemporaryDir>

#include <cstdio>

#include <sys/resource.h>

using namespace kestrune;

namespace {

constexpr double kMiB = 1048576.0;

int load(const QString &url)
{
    ListingLoader::Hooks hooks;
    hooks.writeRunLog = [](const QString &) {};
    ListingLoader loader(std::move(hooks));
    loader.setTimeout(600000);
    QEventLoop loop;
    ListingResult listing;
    QObject::connect(&loader, &ListingLoader::listed, &loop, [&](const ListingResult &result) {
        listing = result;
        loop.quit();
    });
    QElapsedTimer clock;
    clock.start();
    loader.AnalyzeListing(url);
    loop.exec();
    const qint64 ms = clock.elapsed();
    std::printf("rows=%lld peak=%lld ms=%lld status=%d\n", qint64(listing.rows.size()),
                ProcessMemory::peakResidentBytes(), ms, int(listing.status));
    return listing.status == ListingStatus::Listed ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("links"), QStringLiteral("links on the page"),
                      QStringLiteral("n"), QStringLiteral("900000")});
    parser.addOption({QStringLiteral("page-mb"), QStringLiteral("page size in MB (10^6 bytes)"),
                      QStringLiteral("n"), QStringLiteral("60")});
    parser.addOption({QStringLiteral("window"), QStringLiteral("load it in the collector window")});
    parser.addOption({QStringLiteral("collect"), QStringLiteral("run this kestrune-collect"),
                      QStringLiteral("path")});
    parser.addOption({QStringLiteral("load"), QStringLiteral("(child) load this listing"),
                      QStringLiteral("url")});
    parser.addHelpOption();
    parser.process(app);

    for (const char *name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
        qunsetenv(name);
    if (parser.isSet(QStringLiteral("load")))
        return load(parser.value(QStringLiteral("load")));

    const qint64 links = parser.value(QStringLiteral("links")).toLongLong();
    const qint64 pageBytes = parser.value(QStringLiteral("page-mb")).toLongLong() * 1000000;
    if (links <= 0 || pageBytes <= 0) {
        std::fprintf(stderr, "--links and --page-mb take positive numbers\n");
        return 2;
    }
    TestHttpServerThread serverThread;
    if (!serverThread.start()) {
        std::fprintf(stderr, "test server did not start\n");
        return 1;
    }
    TestResponse page;
    page.contentType = "text/html";
    page.body = benchListingPage(links, pageBytes);
    const qint64 size = page.body.size();
    serverThread.server()->setRoute(QStringLiteral("/l/"), page);
    page.body.clear();

    if (parser.isSet(QStringLiteral("collect"))) {
        QTemporaryDir scratch;
        QProcess collect;
        // A line per failed file: not for the terminal.
        collect.setStandardErrorFile(QProcess::nullDevice());
        collect.setWorkingDirectory(scratch.path());
        collect.setStandardOutputFile(QProcess::nullDevice());
        QElapsedTimer clock;
        clock.start();
        collect.start(QFileInfo(parser.value(QStringLiteral("collect"))).absoluteFilePath(),
                      {QStringLiteral("-q"), QStringLiteral("--max-time"), qEnvironmentVariable("BENCH_MAX_TIME", QStringLiteral("60")),
                       serverThread.server()->url(QStringLiteral("/l/")), scratch.path()});
        if (!collect.waitForFinished(-1)) {
            std::fprintf(stderr, "kestrune-collect did not run\n");
            return 1;
        }
        rusage usage{};
        getrusage(RUSAGE_CHILDREN, &usage);
        const double peak = double(usage.ru_maxrss) * 1024.0;
        std::printf(
            "kestrune-collect: page %.1f MB (%.1f MiB), %lld links: exit status %d, "
            "%lld ms, peak RSS %.0f MiB (%.1f x the page)\n",
            double(size) / 1e6, double(size) / kMiB, links, collect.exitCode(), clock.elapsed(),
            peak / kMiB, peak / double(size));
        return 0;
    }
    const bool window = parser.isSet(QStringLiteral("window"));
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(window ? QCoreApplication::applicationDirPath()
                             + QStringLiteral("/bench_listing_window")
                       : QCoreApplication::applicationFilePath(),
                {QStringLiteral("--load"), serverThread.server()->url(QStringLiteral("/l/"))});
    if (!child.waitForFinished(-1) || child.exitStatus() != QProcess::NormalExit) {
        std::fprintf(stderr, "the loading process failed\n");
        return 1;
    }
    const QByteArray out = child.readAllStandardOutput().trimmed();
    qint64 rows = -1, peak = -1, ms = -1;
    qint64 longest = -1;
    int status = -1;
    std::sscanf(out.constData(), "rows=%lld peak=%lld ms=%lld status=%d longest=%lld", &rows, &peak,
                &ms, &status, &longest);
    std::printf(
        "%s: page %.1f MB (%.1f MiB), %lld links: %lld rows (status %d), "
        "%lld ms, peak RSS %.0f MiB (%.1f x the page)\n",
        window ? "window" : "command line", double(size) / 1e6, double(size) / kMiB, links, rows,
        status, ms, double(peak) / kMiB, double(peak) / double(size));
    if (window)
        std::printf("window: event loop held up for at most %lld ms at a time\n", longest);
    return child.exitCode();
}
