#pragma once
// How the program's proxy text turns into the proxy of one request.

#include <QNetworkProxy>
#include <QString>
#include <QUrl>

#include <optional>

namespace transfer {

// Parses the proxy in force: "host", "host:port", "[ipv6]" or "[ipv6]:port",
// optionally written with a leading "http://" and a trailing "/"; surrounding
// blanks are ignored.  The port defaults to 80.  Returns an HTTP proxy, or
// nothing when the text cannot be understood (empty host, a port that is not
// a number from 1 to 65535, blanks or other characters a host cannot hold).
std::optional<QNetworkProxy> ParseProxySetting(const QString &strProxy);

// The proxy for a request to url: the parsed proxy text when it is not
// empty; for an empty text, what the system's configuration names for that
// URL (QNetworkProxy::NoProxy when it names none); the system's answer is
// kept for 30 s, or until the environment's proxy variables change.
// Touched by the user-interface thread only.  Nothing when a non-empty
// text cannot be parsed: the request must then fail, never go direct.
std::optional<QNetworkProxy> ProxyForRequest(const QString &strProxy, const QUrl &url);

} // namespace transfer
