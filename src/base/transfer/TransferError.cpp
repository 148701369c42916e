#include "base/transfer/TransferError.h"

namespace kestrune::transfer {

namespace {

QString withDetail(const QString &summary, const QString &detail)
{
    if (detail.isEmpty())
        return summary;
    return summary + QStringLiteral(": ") + detail;
}

} // namespace

QString TransferError::describe() const
{
    switch (kind) {
    case Kind::None: return QString();
    case Kind::BadAddress:
        return withDetail(QStringLiteral("not an http or https address"), detail);
    case Kind::BadProxy:
        return withDetail(QStringLiteral("the proxy setting is not HOST[:PORT] or a proxy list"),
                          detail);
    case Kind::HostNotFound: return withDetail(QStringLiteral("host not found"), detail);
    case Kind::ProxyNotFound: return withDetail(QStringLiteral("proxy not found"), detail);
    case Kind::Refused: return withDetail(QStringLiteral("connection refused"), detail);
    case Kind::TimedOut: return withDetail(QStringLiteral("timed out"), detail);
    case Kind::Tls: return withDetail(QStringLiteral("TLS handshake failed"), detail);
    case Kind::Certificate: return withDetail(QStringLiteral("certificate not trusted"), detail);
    case Kind::ProxyAuth:
        return withDetail(QStringLiteral("proxy authentication required"), detail);
    case Kind::TooManyRedirects: return withDetail(QStringLiteral("too many redirects"), detail);
    case Kind::HeadersTooLarge:
        return withDetail(QStringLiteral("reply headers too large"), detail);
    case Kind::UnsupportedCoding:
        return withDetail(QStringLiteral("unsupported transfer coding"), detail);
    case Kind::UnwantedEncoding:
        return withDetail(QStringLiteral("content coding not asked for"), detail);
    case Kind::BadFraming: return withDetail(QStringLiteral("broken reply"), detail);
    case Kind::BodyTooLarge: return withDetail(QStringLiteral("reply too large"), detail);
    case Kind::Network: return withDetail(QStringLiteral("connection failed"), detail);
    case Kind::Aborted: return withDetail(QStringLiteral("cancelled"), detail);
    }
    return detail;
}

QString DescribeHttpStatus(int status)
{
    const char *reason = nullptr;
    switch (status) {
    case 300: reason = "Multiple Choices"; break;
    case 304: reason = "Not Modified"; break;
    case 400: reason = "Bad Request"; break;
    case 401: reason = "Unauthorized"; break;
    case 403: reason = "Forbidden"; break;
    case 404: reason = "Not Found"; break;
    case 405: reason = "Method Not Allowed"; break;
    case 407: reason = "Proxy Authentication Required"; break;
    case 408: reason = "Request Timeout"; break;
    case 410: reason = "Gone"; break;
    case 416: reason = "Range Not Satisfiable"; break;
    case 429: reason = "Too Many Requests"; break;
    case 500: reason = "Internal Server Error"; break;
    case 502: reason = "Bad Gateway"; break;
    case 503: reason = "Service Unavailable"; break;
    case 504: reason = "Gateway Timeout"; break;
    default: break;
    }
    if (!reason)
        return QStringLiteral("HTTP %1").arg(status);
    return QStringLiteral("HTTP %1 %2").arg(status).arg(QLatin1String(reason));
}

} // namespace kestrune::transfer
