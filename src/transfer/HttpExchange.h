#pragma once
// One HTTP/1.1 GET on a connection of its own, following redirects, whose
// body is pulled from the socket on demand.
//
// The exchange keeps the framing of the body in its own hands: a body ends
// only at its announced length, at the chunked encoding's last chunk, or (when
// neither is given) at the server's close.  A connection that ends anywhere
// else is a failure, never a shorter body.  Nothing is read ahead beyond the
// socket's read buffer, so a reader that pauses holds back the sender.

#include <QByteArray>
#include <QList>
#include <QNetworkProxy>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QUrl>

class QTcpSocket;

namespace transfer {

class HttpExchange : public QObject {
    Q_OBJECT
public:
    explicit HttpExchange(QObject *parent = nullptr);
    ~HttpExchange() override;

    // Sends the request.  False (nothing sent) when url is not an absolute
    // http/https URL or strProxy cannot be parsed.
    bool start(const QUrl &url, const QString &strProxy, qint64 readBufferSize);
    void abort();

    bool failed() const { return m_state == State::Failed; }
    // The final answer's status line and headers are in (redirects followed).
    bool headersReady() const { return m_state == State::Body || m_state == State::Done; }
    // The whole body has been read.
    bool finished() const { return m_state == State::Done; }

    int status() const { return m_status; }
    QByteArray header(const QByteArray &name) const; // first of that name, case-insensitive
    // The Content-Length that frames the body; -1 when there is none (absent,
    // not a number, or a chunked body).
    qint64 contentLength() const { return m_contentLength; }

    // Up to maxSize bytes of the body that can be had without waiting; 0 when
    // none is buffered now (or the body is complete, or the exchange failed).
    qint64 read(char *data, qint64 maxSize);
    // Bytes received and not yet read (framing included).
    qint64 bytesBuffered() const;

Q_SIGNALS:
    // Something happened that may let a waiting reader go on: headers, body
    // data, the end, a failure.
    void progressed();

private:
    enum class State { Idle, Head, Body, Done, Failed };
    enum class Framing { None, Length, Chunked, UntilClose };
    enum class ChunkStep { Size, Data, DataEnd, Trailer };

    bool connectTo(const QUrl &url);
    void onReadyRead();
    void onDisconnected();
    void onError();
    void parseHead();
    bool beginBody();
    bool advanceChunkFraming();
    bool socketAtEnd() const;
    void fail();
    void finish();

    QPointer<QTcpSocket> m_socket;
    QString m_proxyText;
    qint64 m_readBufferSize = 0;
    QUrl m_url;
    int m_redirects = 0;
    State m_state = State::Idle;
    QByteArray m_headBuffer;
    int m_status = 0;
    QList<QPair<QByteArray, QByteArray>> m_headers;
    qint64 m_contentLength = -1;
    Framing m_framing = Framing::None;
    qint64 m_remaining = 0; // Length: body bytes left; Chunked: bytes left in this chunk
    ChunkStep m_chunkStep = ChunkStep::Size;
    bool m_peerClosed = false;
    bool m_connectionBroken = false; // ended by an error other than the peer's close
};

} // namespace transfer
