#include "base/collection/CollectionRun.h"

#include "base/transfer/LocalFile.h"

namespace kestrune {

CollectionRun::CollectionRun(Host &host, QList<ListingRow> rows, const QString &saveFolder,
                             std::function<QString()> proxy,
                             std::optional<transfer::FileIdentity> runLog, Options options,
                             QObject *parent)
    : QObject(parent), m_host(host), m_rows(std::move(rows)), m_options(options)
{
    m_settings.folder = saveFolder;
    m_settings.proxy = std::move(proxy);
    m_settings.runLog = runLog;
    m_settings.probeMissingCopies = options.probeMissingCopies;
    m_settings.failUnansweredProbe = options.failUnansweredProbe;
    m_options.jobs = std::max(1, options.jobs);
    m_paths.reserve(m_rows.size());
    for (const ListingRow &row : std::as_const(m_rows)) {
        const QString folder = RowJob::rowFolder(saveFolder, row.subFolder);
        m_paths.append(RowJob::localPath(folder, row.fileName));
        if (!row.subFolder.isEmpty() && !m_subFolders.contains(folder))
            m_subFolders.append(folder);
    }
}

CollectionRun::~CollectionRun()
{
    for (auto &[index, job] : m_jobs)
        job->cancel();
}

QStringList CollectionRun::runLogLines(const ListingRow &row, const RowOutcome &outcome)
{
    QStringList lines;
    switch (outcome.kind) {
    case RowOutcome::Kind::Unchanged:
        lines.append(QStringLiteral("× ファイルサイズが同じ ") + row.url);
        return lines;
    case RowOutcome::Kind::InvalidName:
        lines.append(QStringLiteral("× ファイル名が不正です。\t") + row.url);
        return lines;
    default: break;
    }
    if (outcome.transfer == RowOutcome::Transfer::Opened)
        lines.append(QStringLiteral("○ ") + row.url);
    else if (outcome.transfer == RowOutcome::Transfer::NotOpened)
        lines.append(QStringLiteral("× ") + row.url);
    if (outcome.kind == RowOutcome::Kind::StoreFailed)
        lines.append(QStringLiteral("× ファイルを保存できません。\t") + outcome.localPath);
    return lines;
}

void CollectionRun::start()
{
    if (m_started)
        return;
    m_started = true;
    // What a run killed in this folder left unfinished goes first.
    transfer::RemoveStaleTemporaryFiles(m_settings.folder);
    m_host.writeRunLog(QStringLiteral("○ IISログダウンロード開始。\t"));
    QMetaObject::invokeMethod(this, &CollectionRun::schedule, Qt::QueuedConnection);
}

void CollectionRun::stop()
{
    if (!isRunning() || m_stopping)
        return;
    m_stopping = true;
    if (m_jobs.empty())
        end(Ending::Stopped);
}

void CollectionRun::cancel()
{
    if (!isRunning())
        return;
    // Rows in work are given up: no line, no outcome.  Rows that ended
    // after one of them are handed on all the same, in order: their files
    // are stored and their lines belong in the log.
    for (auto &[index, job] : m_jobs) {
        job->cancel();
        m_spent.push_back(std::move(job));
    }
    m_jobs.clear();
    m_stopping = true;
    for (const auto &[index, outcome] : m_done)
        handOn(index, outcome);
    m_done.clear();
    end(Ending::Abandoned);
}

void CollectionRun::setHeld(bool held)
{
    if (m_held == held)
        return;
    m_held = held;
    for (auto &[index, job] : m_jobs)
        job->setHeld(held);
    if (!held && isRunning())
        QMetaObject::invokeMethod(this, &CollectionRun::schedule, Qt::QueuedConnection);
}

void CollectionRun::schedule()
{
    if (!isRunning())
        return;
    if (m_stopping) {
        if (m_jobs.empty())
            end(Ending::Stopped);
        return;
    }
    const int n = int(m_rows.size());
    while (!m_held && int(m_jobs.size()) < m_options.jobs) {
        int index = -1;
        // A row passed over goes first once its path is free; the rows
        // waiting for one path keep their order.
        for (auto it = m_waiting.begin(); it != m_waiting.end(); ++it) {
            if (!m_busyPaths.contains(m_paths[*it])) {
                index = *it;
                m_waiting.erase(it);
                break;
            }
        }
        while (index < 0 && m_nextToStart < n) {
            const int candidate = m_nextToStart++;
            const QString &path = m_paths[candidate];
            bool waitsForEarlier = m_busyPaths.contains(path);
            for (int w : m_waiting)
                waitsForEarlier = waitsForEarlier || m_paths[w] == path;
            if (waitsForEarlier)
                m_waiting.push_back(candidate);
            else
                index = candidate;
        }
        if (index < 0)
            break;
        m_busyPaths.insert(m_paths[index]);
        auto job = std::make_unique<RowJob>(m_settings, m_rows[index]);
        RowJob *j = job.get();
        const int i = index + 1;
        connect(j, &RowJob::remoteSizeKnown, this,
                [this, i](std::optional<qint64> size) { m_host.remoteSizeKnown(i, size); });
        connect(j, &RowJob::progress, this,
                [this, i](int percent, bool busy) { m_host.rowProgress(i, percent, busy); });
        connect(j, &RowJob::bytesReceived, this, [this, i](qint64 received, qint64 expected) {
            m_host.bytesReceived(i, received, expected);
        });
        connect(j, &RowJob::finished, this,
                [this, index](const RowOutcome &outcome) { rowFinished(index, outcome); });
        m_jobs.emplace(index, std::move(job));
        m_host.rowStarted(i, m_rows[index]);
        if (!isRunning())
            return; // the front end ended the run
        j->start();
    }
    if (m_jobs.empty() && m_waiting.empty() && m_nextToStart >= n)
        deliver();
}

void CollectionRun::rowFinished(int index, const RowOutcome &outcome)
{
    const auto it = m_jobs.find(index);
    if (it == m_jobs.end())
        return;
    m_spent.clear();
    m_spent.push_back(std::move(it->second));
    m_jobs.erase(it);
    m_busyPaths.remove(m_paths[index]);
    m_done.emplace(index, outcome);
    deliver();
    if (isRunning())
        schedule();
}

void CollectionRun::deliver()
{
    const int n = int(m_rows.size());
    for (auto it = m_done.find(m_nextToDeliver); it != m_done.end();
         it = m_done.find(m_nextToDeliver)) {
        const RowOutcome outcome = it->second;
        m_done.erase(it);
        handOn(m_nextToDeliver++, outcome);
        if (!isRunning())
            return;
    }
    if (m_nextToDeliver >= n && !m_stopping) {
        m_host.writeRunLog(QStringLiteral("○ IISログダウンロード終了。\t")
                           + (n > 0 ? m_rows[n - 1].url : QString()));
        end(Ending::Completed);
    }
}

void CollectionRun::handOn(int index, const RowOutcome &outcome)
{
    const ListingRow &row = m_rows[index];
    for (const QString &line : runLogLines(row, outcome))
        m_host.writeRunLog(line);
    m_host.rowDone(index + 1, row, outcome);
}

void CollectionRun::end(Ending ending)
{
    if (m_ended)
        return;
    m_ended = true;
    // New copies are made durable together when the run ends.
    transfer::FlushFolder(m_settings.folder);
    for (const QString &folder : std::as_const(m_subFolders))
        transfer::FlushFolder(folder);
    Q_EMIT finished(ending);
}

} // namespace kestrune
