#pragma once
// A loaded page reduced to what the collector reads from it: the root
// element's markup and rendered text, the links in document order, the title.

#include <QList>
#include <QString>
#include <QUrl>

namespace kestrune {

struct DocumentLink {
    QString outerText; // the link's rendered text (entities decoded, markup removed)
    QString href;      // the target, absolute, as a browser reports it
};

struct HtmlDocument {
    // Markup of the root element's content, re-serialised from the parsed
    // tree (tag and attribute names in lower case).
    QString innerHTML;
    // The root element's text as a browser renders it: block elements and
    // <br> break lines ("\n"), table cells are separated by TABs, <pre> keeps
    // its spaces and line breaks, other white space collapses to single
    // spaces, and the head, scripts, styles and hidden elements are left out.
    QString innerText;
    // Every <a href> and <area href>, in document order.
    QList<DocumentLink> links;
    // The first <title>, white space collapsed; empty when there is none.
    QString title;
    // Whether the rendered text holds HtmlParseOptions::phrase.
    bool phraseFound = false;
};

struct HtmlParseOptions {
    // Whether innerHTML and innerText are made.  Without them the page is
    // read while it is parsed and no tree is kept: links, title and
    // phraseFound come out the same, for a fraction of the memory.
    bool serialise = true;
    // Text looked for in the rendered text (phraseFound); none when empty.
    QString phrase;
};

// Parses already-decoded HTML.  baseUrl is the document's final address; a
// <base href> in the page overrides it for resolving the links.  Never fails:
// broken markup is repaired as well as the parser can, and input with no
// markup at all gives an empty document.
HtmlDocument ParseHtmlDocument(QString html, const QUrl &baseUrl,
                               const HtmlParseOptions &options = {});

// The absolute form of one href value against a base, as a browser reports a
// link's href: surrounding white space and embedded tabs/newlines dropped,
// "\" read as "/" in http(s) addresses, dot segments removed, the default
// port and an empty path normalised, non-ASCII characters and spaces
// percent-encoded (UTF-8).  A value that does not make a valid address comes
// back as written (trimmed).
QString ResolveHref(const QString &href, const QUrl &baseUrl);

} // namespace kestrune
