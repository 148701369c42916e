#include "cli/ListRows.h"

#include "base/collection/RowJob.h"
#include "base/system/ControlCharacters.h"
#include "base/transfer/Credentials.h"
#include "base/transfer/TransferError.h"

#include <QStringList>

namespace kestrune::cli {

QString whatText(ListedRow::What what)
{
    switch (what) {
    case ListedRow::What::New: return QStringLiteral("new");
    case ListedRow::What::Unchanged: return QStringLiteral("unchanged");
    case ListedRow::What::Grown: return QStringLiteral("grown");
    case ListedRow::What::Differs: return QStringLiteral("differs");
    case ListedRow::What::Failed: break;
    }
    return QStringLiteral("failed");
}

ListedRow::What whatARunWouldDo(qint64 localSize, const RemoteProbe &probe, QString *reason)
{
    if (probe.size && *probe.size == localSize)
        return ListedRow::What::Unchanged;
    // No answer at all fails the row in a run.  An error answer without a
    // size (a file gone from the server, a login refused) would fail the
    // download that follows it just the same.
    if (!probe.answered()) {
        *reason = probe.error.describe();
        return ListedRow::What::Failed;
    }
    if (!probe.size && (probe.status < 200 || probe.status > 299)) {
        *reason = transfer::DescribeHttpStatus(probe.status);
        return ListedRow::What::Failed;
    }
    if (localSize < 0)
        return ListedRow::What::New;
    if (localSize > 0 && probe.size && *probe.size > localSize)
        return ListedRow::What::Grown;
    return ListedRow::What::Differs;
}

QString listLine(const ListedRow &row)
{
    return QStringList{EscapeControlCharacters(row.path),
                       EscapeControlCharacters(transfer::HideAddressPassword(row.url)),
                       whatText(row.what)}
        .join(QLatin1Char('\t'));
}

RowLister::RowLister(const QList<ListingRow> &rows, Settings settings,
                     std::function<void(const ListedRow &)> onRow, QObject *parent)
    : QObject(parent), m_rows(rows), m_settings(std::move(settings)), m_onRow(std::move(onRow))
{}

RowLister::~RowLister() = default;

void RowLister::start()
{
    QMetaObject::invokeMethod(this, &RowLister::fill, Qt::QueuedConnection);
}

void RowLister::cancel()
{
    m_cancelled = true;
    m_probes.clear();
}

void RowLister::fill()
{
    while (!m_cancelled && m_next < m_rows.size()
           && qsizetype(m_probes.size()) < qsizetype(m_settings.jobs)) {
        const qsizetype i = m_next++;
        const ListingRow &row = m_rows.at(i);
        ListedRow listed{row.shownPath(), row.url, ListedRow::What::Failed, QString()};
        // The rows a run refuses before it asks the server anything.
        if (RowJob::isUnsafeFileName(row.fileName)) {
            listed.reason = QStringLiteral("unsafe file name");
            m_done.emplace(i, listed);
            continue;
        }
        qint64 localSize = -1; // none: the file is fetched, never stored
        if (!row.fileName.isEmpty()) {
            const RowJob::LocalCopy copy =
                RowJob::inspectCopy(RowJob::localPath(RowJob::rowFolder(m_settings.folder,
                                                                        row.subFolder),
                                                      row.fileName),
                                    m_settings.runLog);
            if (!copy.refusal.isEmpty()) {
                listed.reason = QStringLiteral("cannot store the file: ") + copy.refusal;
                m_done.emplace(i, listed);
                continue;
            }
            localSize = copy.size;
        }
        m_localSizes[i] = localSize;
        auto probe = std::make_unique<RemoteSizeProbe>(row.url, m_settings.proxy());
        connect(probe.get(), &RemoteSizeProbe::finished, this, [this, i] { probeFinished(i); });
        RemoteSizeProbe *started = probe.get();
        m_probes.emplace(i, std::move(probe));
        started->start();
    }
    handOn();
}

void RowLister::probeFinished(qsizetype i)
{
    const auto it = m_probes.find(i);
    if (it == m_probes.end())
        return;
    const ListingRow &row = m_rows.at(i);
    ListedRow listed{row.shownPath(), row.url, ListedRow::What::Failed, QString()};
    listed.what = whatARunWouldDo(m_localSizes[i], it->second->result(), &listed.reason);
    m_localSizes.erase(i);
    m_done.emplace(i, listed);
    // The probe is inside its own signal: it goes once the loop is back.
    it->second.release()->deleteLater();
    m_probes.erase(it);
    fill();
}

void RowLister::handOn()
{
    for (auto it = m_done.begin(); !m_cancelled && it != m_done.end() && it->first == m_handed;
         it = m_done.erase(it)) {
        m_onRow(it->second);
        ++m_handed;
    }
    if (!m_cancelled && m_handed == m_rows.size()) {
        m_cancelled = true; // finished once
        Q_EMIT finished();
    }
}

} // namespace kestrune::cli
