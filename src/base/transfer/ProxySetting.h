#pragma once
// How the program's proxy text turns into the proxy of one request.

#include <QList>
#include <QNetworkProxy>
#include <QString>
#include <QUrl>

#include <optional>

namespace kestrune::transfer {

// The proxy text in force, parsed.  It is a list of entries separated by
// ";" or blanks, as the platform's proxy lists are written:
//   host[:port]         a proxy for every scheme
//   scheme=host[:port]  a proxy for that scheme only ("http=", "https=";
//                       an entry for another scheme, "ftp=" or "socks=",
//                       never applies to a request here)
// A host is a name, an IPv4 address, "[ipv6]" or a bare IPv6 address (which
// cannot take a port), optionally written with a leading "http://" and a
// trailing "/"; the port defaults to 80.
struct ProxyList {
    struct Entry {
        QString scheme; // lower case; empty: every scheme
        QNetworkProxy proxy;
    };

    // The first entry that applies to scheme (an HTTP proxy), or nothing
    // when none does.
    std::optional<QNetworkProxy> forScheme(const QString &scheme) const;

    QList<Entry> entries;
};

// Nothing when the text is empty or only blanks, or when any entry cannot
// be understood (empty host, a port that is not a number from 1 to 65535,
// characters a host cannot hold, an empty or malformed scheme).
std::optional<ProxyList> ParseProxySetting(const QString &strProxy);

// The proxy for a request to url: the first entry of the proxy text that
// applies to the URL's scheme; for an empty text, or one with no entry for
// that scheme, what the system's configuration names for that URL
// (QNetworkProxy::NoProxy when it names none); the system's answer is kept
// for 30 s, or until the environment's proxy variables change.
// Touched by the user-interface thread only.  Nothing when a non-empty
// text cannot be parsed: the request must then fail, never go direct.
std::optional<QNetworkProxy> ProxyForRequest(const QString &strProxy, const QUrl &url);

} // namespace kestrune::transfer
