#pragma once
// Turning the bytes of a fetched page into text, the way a browser picks the
// page's character encoding.

#include <QByteArray>
#include <QString>

namespace kestrune {

// Where the encoding of a page came from.
enum class PageCharsetSource {
    ByteOrderMark, // a UTF-8 or UTF-16 byte-order mark at the very start
    HttpHeader,    // the charset parameter of the HTTP Content-Type
    MetaTag,       // <meta charset> or <meta http-equiv="Content-Type"> in the first 1024 bytes
    ValidUtf8,     // no declaration, and the bytes are valid UTF-8 (pure ASCII included)
    Fallback,      // no declaration, not UTF-8: windows-31j
};

struct PageCharset {
    QByteArray encoding; // canonical name: "UTF-8", "UTF-16LE", "UTF-16BE", "windows-31j", ...
    PageCharsetSource source = PageCharsetSource::Fallback;
};

// The canonical encoding for a charset label (case and surrounding spaces do
// not matter), or an empty array for a label that names nothing we can
// decode.  Shift_JIS, sjis, x-sjis, ms_kanji, csShiftJIS, cp932 and
// windows-31j all give "windows-31j" (code page 932, the superset the servers
// actually send); ISO-8859-1 and US-ASCII give "windows-1252" as in browsers.
QByteArray CanonicalCharset(const QByteArray &label);

// The charset parameter of a Content-Type value (quotes removed), or empty.
QByteArray CharsetFromContentType(const QByteArray &contentType);

// The encoding a <meta> element declares in the first 1024 bytes of the page,
// canonical, or empty.  Markup inside comments is not looked at.  A page that
// declares UTF-16 here is read as UTF-8 (its bytes evidently are not UTF-16).
QByteArray MetaCharset(const QByteArray &bytes);

// The encoding a browser would use for these bytes.  Order: a byte-order mark
// (it cannot be wrong about the bytes that follow it, so it outranks any
// label), the Content-Type charset, a <meta> declaration, valid UTF-8, and
// finally windows-31j.  Labels that name no known encoding are passed over.
PageCharset DetectPageCharset(const QByteArray &bytes, const QByteArray &contentTypeHeader);

// The page's text.  A byte-order mark is not part of it; bytes that are not
// valid in the encoding become U+FFFD.
QString DecodePage(const QByteArray &bytes, const QByteArray &contentTypeHeader);

} // namespace kestrune
