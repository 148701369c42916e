#pragma once
// Why an HTTP request did not bring an answer, as a kind the program can act
// on and the library's own words for people.

#include <QString>

namespace kestrune::transfer {

struct TransferError {
    enum class Kind {
        None,
        BadAddress,    // not an absolute http/https URL, or a redirect elsewhere
        BadProxy,      // the proxy text cannot be parsed
        HostNotFound,  // the server's name does not resolve
        ProxyNotFound, // the proxy's name does not resolve
        Refused,       // nobody answers at the address (refused, unreachable)
        TimedOut,      // no new byte for the idle time-out
        Tls,           // the TLS handshake failed
        Certificate,   // the server's certificate could not be verified
        ProxyAuth,     // the proxy wants credentials (or refused the ones given)
        TooManyRedirects,
        HeadersTooLarge,   // the answer's head passed the cap
        UnsupportedCoding, // a transfer coding other than chunked
        UnwantedEncoding,  // the body came in a content coding nobody asked for
        BadFraming,        // the body's length or framing is broken
        BodyTooLarge,      // the body passed the caller's limit
        Network,           // the connection broke, or any other failure
        Aborted,           // the caller gave up on the request
    };

    Kind kind = Kind::None;
    // The library's own message (its error buffer), for the details.
    QString detail;

    bool isError() const { return kind != Kind::None; }
    // One line in plain words: "connection refused", "timed out: no data
    // for 60 s", "certificate not trusted: ...".
    QString describe() const;
};

// The words for an HTTP status that is no success ("HTTP 401 Unauthorized").
QString DescribeHttpStatus(int status);

} // namespace kestrune::transfer
