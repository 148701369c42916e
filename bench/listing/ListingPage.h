#pragma once
// The page an IIS server shows for a folder of log files, generated for the
// listing benchmarks.

#include <QByteArray>

// One line per file, each padded so that the page comes to about pageBytes;
// the files are at /l/NNNNNN.log.
inline QByteArray benchListingPage(qint64 links, qint64 pageBytes)
{
    const QByteArray head =
        "<html><head><title>127.0.0.1 - /l/</title></head><body>"
        "<H1>127.0.0.1 - /l/</H1><hr>\r\n\r\n<pre>"
        "<A HREF=\"/\">[To Parent Directory]</A><br><br>";
    const QByteArray tail = "</pre><hr></body></html>\r\n";
    const qint64 perLine = (pageBytes - head.size() - tail.size()) / links;
    QByteArray page;
    page.reserve(pageBytes + links);
    page += head;
    for (qint64 i = 0; i < links; ++i) {
        const QByteArray name = QByteArray::number(i).rightJustified(6, '0') + ".log";
        QByteArray line = " 12/7/2026 9:15 AM " + QByteArray::number(1000 + i % 9000)
                          + " <A HREF=\"/l/" + name + "\">" + name + "</A><br>";
        // The padding goes into the spaces before the size, as IIS aligns it.
        if (line.size() < perLine)
            line.insert(18, QByteArray(perLine - line.size(), ' '));
        page += line;
    }
    page += tail;
    return page;
}
