#include "base/listing/HtmlDocument.h"

#include <libxml/HTMLparser.h>
#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <climits>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>

namespace kestrune {

namespace {

// ---------------------------------------------------------------------------
// libxml2 set-up: initialised once for the process; its diagnostics never
// reach stderr (a broken page is normal input here, not a fault).

void silentGenericError(void *, const char *, ...) {}
void silentStructuredError(void *, xmlErrorPtr) {}

void prepareLibxml()
{
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xmlThrDefSetGenericErrorFunc(nullptr, silentGenericError);
        xmlThrDefSetStructuredErrorFunc(nullptr, silentStructuredError);
    });
    // The handlers are per thread; the defaults above cover threads started
    // later, these cover the calling thread if it already existed.
    xmlSetGenericErrorFunc(nullptr, silentGenericError);
    xmlSetStructuredErrorFunc(nullptr, silentStructuredError);
}

constexpr int kParseOptions = HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING
                              | HTML_PARSE_NONET | HTML_PARSE_NODEFDTD | HTML_PARSE_COMPACT
                              | HTML_PARSE_IGNORE_ENC | XML_PARSE_HUGE;

struct DocFree {
    void operator()(xmlDocPtr doc) const { xmlFreeDoc(doc); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

// ---------------------------------------------------------------------------
// Small helpers over the tree.

// What the rendering and serialising rules need to know about an element
// name, looked up once per element.
enum ElementFlag : unsigned {
    Hidden = 1u << 0, // content not rendered
    Preformatted = 1u << 1,
    Block = 1u << 2,     // one line break before and after
    Paragraph = 1u << 3, // two line breaks before and after
    Void = 1u << 4,      // no content, no end tag
    RawText = 1u << 5,   // content serialised unescaped
    Cell = 1u << 6,
    Row = 1u << 7,
    RowGroup = 1u << 8,
    LineBreak = 1u << 9,
    Link = 1u << 10, // a, area
    TitleElement = 1u << 11,
    BaseElement = 1u << 12,
};

unsigned flagsForName(std::string_view name)
{
    static const std::unordered_map<std::string_view, unsigned> table = [] {
        std::unordered_map<std::string_view, unsigned> t;
        const auto add = [&t](std::initializer_list<std::string_view> names, unsigned flag) {
            for (std::string_view n : names)
                t[n] |= flag;
        };
        add({"head",    "title",    "script",   "style", "template", "noscript", "meta",   "link",
             "base",    "param",    "source",   "track", "datalist", "iframe",   "object", "embed",
             "noembed", "noframes", "textarea", "rp",    "area",     "map"},
            Hidden);
        add({"pre", "listing", "xmp", "plaintext"}, Preformatted);
        add({"address",  "article",    "aside",    "blockquote", "body",      "caption",  "center",
             "dd",       "details",    "dialog",   "dir",        "div",       "dl",       "dt",
             "fieldset", "figcaption", "figure",   "footer",     "form",      "frameset", "h1",
             "h2",       "h3",         "h4",       "h5",         "h6",        "header",   "hgroup",
             "hr",       "html",       "legend",   "li",         "listing",   "main",     "menu",
             "nav",      "ol",         "optgroup", "option",     "plaintext", "pre",      "search",
             "section",  "summary",    "table",    "ul",         "xmp"},
            Block);
        add({"p"}, Paragraph);
        add({"area", "base", "basefont", "bgsound", "br", "col", "embed", "frame", "hr", "img",
             "input", "keygen", "link", "meta", "param", "source", "track", "wbr"},
            Void);
        add({"script", "style", "xmp", "iframe", "noembed", "noframes", "plaintext", "noscript"},
            RawText);
        add({"td", "th"}, Cell);
        add({"tr"}, Row);
        add({"tbody", "thead", "tfoot"}, RowGroup);
        add({"br"}, LineBreak);
        add({"a", "area"}, Link);
        add({"title"}, TitleElement);
        add({"base"}, BaseElement);
        return t;
    }();
    const auto it = table.find(name);
    return it == table.end() ? 0u : it->second;
}

unsigned flagsOf(const xmlNode *node)
{
    if (!node || node->type != XML_ELEMENT_NODE || !node->name)
        return 0;
    return flagsForName(reinterpret_cast<const char *>(node->name));
}

bool has(const xmlNode *node, unsigned flag)
{
    return (flagsOf(node) & flag) != 0;
}

QString fromXml(const xmlChar *text)
{
    return text ? QString::fromUtf8(reinterpret_cast<const char *>(text)) : QString();
}

// An attribute's value; hasIt tells an empty value from a missing attribute.
QString attribute(const xmlNode *node, const char *name, bool *hasIt = nullptr)
{
    xmlChar *value = xmlGetProp(node, reinterpret_cast<const xmlChar *>(name));
    if (hasIt)
        *hasIt = value != nullptr;
    const QString result = fromXml(value);
    xmlFree(value);
    return result;
}

bool hasAttribute(const xmlNode *node, const char *name)
{
    return xmlHasProp(node, reinterpret_cast<const xmlChar *>(name)) != nullptr;
}

// Visits the descendants of top in document order (top itself excluded),
// without recursion, so nesting depth costs no stack.  enter(node) returns
// whether to visit the node's children; leave(node) runs after the children
// of every node that enter accepted.
template <class Enter, class Leave>
void walk(xmlNodePtr top, Enter enter, Leave leave)
{
    xmlNodePtr node = top->children;
    while (node) {
        const bool entered = enter(node);
        if (entered && node->children) {
            node = node->children;
            continue;
        }
        bool leaveIt = entered;
        for (;;) {
            if (leaveIt)
                leave(node);
            if (node->next) {
                node = node->next;
                break;
            }
            node = node->parent;
            if (!node || node == top) {
                node = nullptr;
                break;
            }
            leaveIt = true;
        }
    }
}

// Elements whose content a browser does not render.
bool isHidden(const xmlNode *node, unsigned flags)
{
    return (flags & Hidden) || hasAttribute(node, "hidden");
}

// Line breaks a block element asks for before and after itself (0: inline).
int blockBreaks(unsigned flags)
{
    return (flags & Paragraph) ? 2 : (flags & Block) ? 1 : 0;
}

bool hasFollowingCell(const xmlNode *cell)
{
    for (const xmlNode *n = cell->next; n; n = n->next) {
        if (has(n, Cell))
            return true;
    }
    return false;
}

// Whether a row, or a row group holding one, comes after node among its
// siblings.
bool rowFollows(const xmlNode *node)
{
    for (const xmlNode *n = node->next; n; n = n->next) {
        if (has(n, Row))
            return true;
        if (has(n, RowGroup)) {
            for (const xmlNode *r = n->children; r; r = r->next) {
                if (has(r, Row))
                    return true;
            }
        }
    }
    return false;
}

// Whether another row of the same table follows, in this row group or a
// later one (the parser adds no implied <tbody>, so rows and groups mix).
bool hasFollowingRow(const xmlNode *row)
{
    if (rowFollows(row))
        return true;
    return has(row->parent, RowGroup) && rowFollows(row->parent);
}

// ---------------------------------------------------------------------------
// Rendered text.  Collapsible white space (space, TAB, LF, CR, FF) shrinks
// to one space and vanishes at the start and end of a line; block boundaries
// ask for line breaks, of which only the largest request between two pieces
// of text is kept and none at the very start or end.

bool isCollapsible(QChar c)
{
    const char16_t u = c.unicode();
    return u == ' ' || u == '\t' || u == '\n' || u == '\r' || u == '\f';
}

class TextCollector {
public:
    void text(QStringView s, bool preformatted)
    {
        if (s.isEmpty())
            return;
        if (preformatted) {
            beginContent();
            m_out += s;
            m_lineStart = s.endsWith(u'\n');
            return;
        }
        qsizetype i = 0;
        while (i < s.size()) {
            if (isCollapsible(s[i])) {
                if (!m_lineStart)
                    m_pendingSpace = true;
                ++i;
                continue;
            }
            qsizetype end = i;
            while (end < s.size() && !isCollapsible(s[end]))
                ++end;
            beginContent();
            m_out += s.mid(i, end - i);
            m_lineStart = false;
            i = end;
        }
    }

    void lineBreak()
    {
        m_pendingSpace = false;
        flushBreaks();
        m_out += u'\n';
        m_lineStart = true;
    }

    void separator(QChar c)
    {
        m_pendingSpace = false;
        flushBreaks();
        m_out += c;
        m_lineStart = true;
    }

    void blockBoundary(int breaks)
    {
        m_pendingBreaks = std::max(m_pendingBreaks, breaks);
        m_pendingSpace = false;
        m_lineStart = true;
    }

    QString result() const { return m_out; }

private:
    void beginContent()
    {
        if (m_pendingBreaks > 0)
            flushBreaks();
        else if (m_pendingSpace)
            m_out += u' ';
        m_pendingSpace = false;
    }

    void flushBreaks()
    {
        if (m_pendingBreaks > 0 && !m_out.isEmpty())
            m_out += QString(m_pendingBreaks, u'\n');
        m_pendingBreaks = 0;
    }

    QString m_out;
    int m_pendingBreaks = 0;
    bool m_pendingSpace = false;
    bool m_lineStart = true;
};

// The rendered text of top's content.  preDepth: preformatted ancestors.
QString renderedText(xmlNodePtr top, int preDepth)
{
    TextCollector out;
    walk(
        top,
        [&](xmlNodePtr node) {
            if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
                QString s = fromXml(node->content);
                // A line break right after <pre> is not part of its content.
                if (node->prev == nullptr && has(node->parent, Preformatted) && s.startsWith(u'\n'))
                    s.remove(0, 1);
                out.text(s, preDepth > 0);
                return false;
            }
            const unsigned flags = flagsOf(node);
            if (node->type != XML_ELEMENT_NODE || isHidden(node, flags))
                return false;
            if (flags & LineBreak) {
                out.lineBreak();
                return false;
            }
            if (const int breaks = blockBreaks(flags))
                out.blockBoundary(breaks);
            if (flags & Preformatted)
                ++preDepth;
            return true;
        },
        [&](xmlNodePtr node) {
            if (node->type != XML_ELEMENT_NODE)
                return;
            const unsigned flags = flagsOf(node);
            if (flags & Preformatted)
                --preDepth;
            if (const int breaks = blockBreaks(flags))
                out.blockBoundary(breaks);
            if ((flags & Cell) && hasFollowingCell(node))
                out.separator(u'\t');
            else if ((flags & Row) && hasFollowingRow(node))
                out.separator(u'\n');
        });
    return out.result();
}

// All text below top, as written (for links inside unrendered elements).
QString textContent(xmlNodePtr top)
{
    QString out;
    walk(
        top,
        [&](xmlNodePtr node) {
            if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE)
                out += fromXml(node->content);
            return node->type == XML_ELEMENT_NODE;
        },
        [](xmlNodePtr) {});
    return out;
}

// ---------------------------------------------------------------------------
// Markup.

// The markup is built as UTF-8, straight from the parser's strings, and
// converted once at the end.
void appendEscaped(QByteArray &out, const xmlChar *text, bool inAttribute)
{
    if (!text)
        return;
    const char *s = reinterpret_cast<const char *>(text);
    const char *plain = s; // start of the run not yet copied
    for (const char *p = s; *p; ++p) {
        const char *replacement = nullptr;
        qsizetype skip = 1;
        switch (*p) {
        case '&': replacement = "&amp;"; break;
        case '"':
            if (inAttribute)
                replacement = "&quot;";
            break;
        case '<':
            if (!inAttribute)
                replacement = "&lt;";
            break;
        case '>':
            if (!inAttribute)
                replacement = "&gt;";
            break;
        case '\xC2':
            if (p[1] == '\xA0') { // U+00A0
                replacement = "&nbsp;";
                skip = 2;
            }
            break;
        default: break;
        }
        if (replacement) {
            out.append(plain, p - plain);
            out.append(replacement);
            p += skip - 1;
            plain = p + 1;
        }
    }
    out.append(plain);
}

void appendRaw(QByteArray &out, const xmlChar *text)
{
    if (text)
        out.append(reinterpret_cast<const char *>(text));
}

QString innerMarkup(xmlNodePtr top)
{
    QByteArray out;
    walk(
        top,
        [&](xmlNodePtr node) {
            switch (node->type) {
            case XML_ELEMENT_NODE: {
                out += '<';
                appendRaw(out, node->name);
                for (xmlAttrPtr a = node->properties; a; a = a->next) {
                    out += ' ';
                    appendRaw(out, a->name);
                    out += "=\"";
                    if (a->children && !a->children->next && a->children->type == XML_TEXT_NODE) {
                        appendEscaped(out, a->children->content, true);
                    } else {
                        xmlChar *value = xmlNodeGetContent(reinterpret_cast<xmlNodePtr>(a));
                        appendEscaped(out, value, true);
                        xmlFree(value);
                    }
                    out += '"';
                }
                out += '>';
                return !has(node, Void);
            }
            case XML_TEXT_NODE:
            case XML_CDATA_SECTION_NODE:
                if (has(node->parent, RawText))
                    appendRaw(out, node->content);
                else
                    appendEscaped(out, node->content, false);
                return false;
            case XML_COMMENT_NODE:
                out += "<!--";
                appendRaw(out, node->content);
                out += "-->";
                return false;
            default: return false;
            }
        },
        [&](xmlNodePtr node) {
            if (node->type == XML_ELEMENT_NODE && !has(node, Void)) {
                out += "</";
                appendRaw(out, node->name);
                out += '>';
            }
        });
    return QString::fromUtf8(out);
}

// ---------------------------------------------------------------------------

QString collapseWhitespace(const QString &s)
{
    QString out;
    bool space = false;
    for (const QChar c : s) {
        if (isCollapsible(c)) {
            space = !out.isEmpty();
            continue;
        }
        if (space)
            out += u' ';
        space = false;
        out += c;
    }
    return out;
}

// The input as the HTML tokenizer sees it, in UTF-8: CR LF and lone CR
// become LF, NUL becomes U+FFFD (libxml2 would stop at it).  Converted piece
// by piece, so a large page is never held twice as text.
QByteArray parserInput(const QString &html)
{
    constexpr qsizetype kPiece = 256 * 1024;
    QByteArray out;
    out.reserve(html.size() + html.size() / 8);
    QString piece;
    bool afterCr = false; // the last character read was a CR (already an LF)
    for (qsizetype at = 0; at < html.size();) {
        qsizetype length = std::min(kPiece, html.size() - at);
        // A surrogate pair is never split between two pieces.
        if (at + length < html.size() && html[at + length - 1].isHighSurrogate())
            --length;
        piece.resize(0);
        for (qsizetype i = at; i < at + length; ++i) {
            const QChar c = html[i];
            if (c == u'\n' && afterCr) {
                afterCr = false;
                continue;
            }
            afterCr = c == u'\r';
            if (afterCr)
                piece += u'\n';
            else if (c.isNull())
                piece += QChar(QChar::ReplacementCharacter);
            else
                piece += c;
        }
        at += length;
        out += piece.toUtf8();
    }
    return out;
}

bool isHttpScheme(const QString &scheme)
{
    return scheme.compare(u"http", Qt::CaseInsensitive) == 0
           || scheme.compare(u"https", Qt::CaseInsensitive) == 0;
}

// The scheme at the start of an address ("http" of "http://..."), or empty.
QString schemeOf(const QString &address)
{
    const auto isAlpha = [](char16_t c) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
    };
    if (address.isEmpty() || !isAlpha(address[0].unicode()))
        return QString();
    for (qsizetype i = 1; i < address.size(); ++i) {
        const char16_t c = address[i].unicode();
        if (c == u':')
            return address.left(i);
        if (!isAlpha(c) && !(c >= u'0' && c <= u'9') && c != u'+' && c != u'-' && c != u'.')
            return QString();
    }
    return QString();
}

} // namespace

namespace {

// Resolves the links of one document against its base; what depends only on
// the base is worked out once.
class HrefResolver {
public:
    explicit HrefResolver(const QUrl &base)
        : m_base(base), m_baseScheme(base.scheme()), m_baseIsWeb(isHttpScheme(m_baseScheme)),
          // Only hierarchical addresses can take a relative reference.
          m_baseTakesRelative(base.isValid() && !m_baseScheme.isEmpty()
                              && (!base.host().isEmpty() || base.isLocalFile()))
    {
        if (m_baseIsWeb && !base.host().isEmpty()) {
            QUrl origin = base.adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment
                                        | QUrl::RemoveUserInfo);
            if (origin.port() == (m_baseScheme == u"https" ? 443 : 80))
                origin.setPort(-1);
            m_origin = origin.toString(QUrl::FullyEncoded);
            QString path = base.path(QUrl::FullyEncoded);
            path.truncate(path.lastIndexOf(u'/') + 1);
            m_directory = m_origin + (path.isEmpty() ? QStringLiteral("/") : path);
            m_userInfo = !base.userInfo().isEmpty();
        }
    }

    QString resolve(const QString &href) const
    {
        if (const QString fast = resolvePlain(href); !fast.isNull())
            return fast;
        // Leading and trailing C0 controls and spaces, and every TAB and
        // line break inside, are not part of an address.
        qsizetype begin = 0;
        qsizetype end = href.size();
        while (begin < end && href[begin].unicode() <= 0x20)
            ++begin;
        while (end > begin && href[end - 1].unicode() <= 0x20)
            --end;
        QString value = (begin == 0 && end == href.size()) ? href : href.mid(begin, end - begin);
        const auto isTabOrBreak = [](QChar c) { return c == u'\t' || c == u'\n' || c == u'\r'; };
        if (std::any_of(value.cbegin(), value.cend(), isTabOrBreak))
            value.removeIf(isTabOrBreak);

        const QString refScheme = schemeOf(value);
        const bool web = refScheme.isEmpty() ? m_baseIsWeb : isHttpScheme(refScheme);
        QString ref = value;
        bool mayLackHost = !refScheme.isEmpty();
        if (web) {
            // In web addresses a backslash is a slash, up to the query.
            if (ref.contains(u'\\')) {
                for (qsizetype i = 0; i < ref.size() && ref[i] != u'?' && ref[i] != u'#'; ++i) {
                    if (ref[i] == u'\\')
                        ref[i] = u'/';
                }
            }
            // "http:name" against an http page is a relative reference.
            if (!refScheme.isEmpty() && refScheme.compare(m_baseScheme, Qt::CaseInsensitive) == 0
                && !QStringView(ref).mid(refScheme.size() + 1).startsWith(u"//")) {
                ref = ref.mid(refScheme.size() + 1);
                mayLackHost = false;
            }
            if (ref.startsWith(u"//"))
                mayLackHost = true;
        }

        if (ref.isEmpty()) {
            // An empty reference is the base itself, without its fragment.
            if (!m_baseTakesRelative)
                return value;
            return m_base.adjusted(QUrl::RemoveFragment).toString(QUrl::FullyEncoded);
        }
        const QUrl relative(ref, QUrl::TolerantMode);
        if (!relative.isValid())
            return value;
        QUrl absolute;
        if (relative.scheme().isEmpty()) {
            if (!m_baseTakesRelative)
                return value;
            absolute = m_base.resolved(relative);
        } else {
            // Resolving an absolute reference keeps it and removes its dot
            // segments; any base does.
            static const QUrl anyBase(QStringLiteral("http://localhost/"));
            absolute = anyBase.resolved(relative);
        }
        if (!absolute.isValid())
            return value;
        if (web) {
            if (mayLackHost) {
                if (absolute.host().isEmpty())
                    return value;
                if (absolute.path().isEmpty())
                    absolute.setPath(QStringLiteral("/"));
            }
            const int defaultPort = absolute.scheme().compare(u"https", Qt::CaseInsensitive) == 0
                                        ? 443
                                        : 80;
            if (absolute.port() == defaultPort)
                absolute.setPort(-1);
        }
        return absolute.toString(QUrl::FullyEncoded);
    }

private:
    // The short way for the common case of a listing: a path of letters,
    // digits and "-._~/" only, relative or root-relative, without dot
    // segments.  Such a reference resolves by plain concatenation, to exactly
    // what the general way gives.  A null string when the case does not apply.
    QString resolvePlain(const QString &href) const
    {
        if (m_origin.isEmpty() || m_userInfo || href.isEmpty())
            return QString();
        for (const QChar c : href) {
            const char16_t u = c.unicode();
            const bool plain = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z')
                               || (u >= u'0' && u <= u'9') || u == u'-' || u == u'.' || u == u'_'
                               || u == u'~' || u == u'/';
            if (!plain)
                return QString();
        }
        if (href.startsWith(u"//"))
            return QString();
        // Any "." or ".." segment takes the general way.
        const QStringView v(href);
        if (v == u"." || v == u".." || v.startsWith(u"./") || v.startsWith(u"../")
            || v.contains(u"/./") || v.contains(u"/../") || v.endsWith(u"/.") || v.endsWith(u"/.."))
            return QString();
        return href.startsWith(u'/') ? m_origin + href : m_directory + href;
    }

    const QUrl m_base;
    const QString m_baseScheme;
    const bool m_baseIsWeb;
    const bool m_baseTakesRelative;
    QString m_origin;    // "http://host:port" of a web base; empty otherwise
    QString m_directory; // the base up to the last "/" of its path
    bool m_userInfo = false;
};

// The text of a link: most links hold one text node and take the short way.
QString linkText(xmlNodePtr link, int preDepth, bool hidden)
{
    if (hidden)
        return textContent(link);
    const xmlNode *only = link->children;
    if (only && !only->next && only->type == XML_TEXT_NODE) {
        const QString text = fromXml(only->content);
        return preDepth > 0 ? text : collapseWhitespace(text);
    }
    return renderedText(link, preDepth);
}

} // namespace

QString ResolveHref(const QString &href, const QUrl &baseUrl)
{
    return HrefResolver(baseUrl).resolve(href);
}

namespace {

// Reads a page while it is parsed, keeping only what a listing needs: the
// links, the title, the <base href>, and whether the rendered text holds one
// phrase.  The parser builds its tree as usual, but every element that has
// ended is freed at once unless a link or the title still needs it, so the
// tree never holds more than the elements open at the moment (and the link
// being read).  A link's text therefore comes out exactly as from the whole
// tree.
class StreamingReader {
public:
    explicit StreamingReader(const QString &phrase) : m_phrase(phrase) {}

    // Parses the page (UTF-8, as parserInput() gives it) with the same
    // parser and options as the whole document, only with these handlers.
    void parse(const QByteArray &utf8)
    {
        htmlParserCtxtPtr ctxt = htmlNewParserCtxt();
        if (!ctxt)
            return;
        // The tree builder takes the parser context as its handlers' data.
        ctxt->sax->startElement = &StreamingReader::onStart;
        ctxt->sax->endElement = &StreamingReader::onEnd;
        ctxt->sax->characters = &StreamingReader::onCharacters;
        ctxt->sax->cdataBlock = &StreamingReader::onCharacters;
        ctxt->sax->ignorableWhitespace = &StreamingReader::onWhitespace;
        ctxt->_private = this;
        xmlFreeDoc(htmlCtxtReadMemory(ctxt, utf8.constData(), int(utf8.size()), nullptr, "UTF-8",
                                      kParseOptions));
        htmlFreeParserCtxt(ctxt);
        // The parser closes every element at the end; a link it did not
        // close would have lost its nodes with the tree, so it keeps the
        // text it had (none).
        m_openLinks.clear();
    }

    QList<DocumentLink> takeLinks() { return std::move(m_links); }
    QString title() const { return m_title; }
    bool hasBase() const { return m_hasBase; }
    QString baseHref() const { return m_baseHref; }
    bool phraseFound() const { return m_phraseFound; }

private:
    struct OpenLink {
        xmlNodePtr node;
        qsizetype index; // its place in m_links
        int preDepth;
        bool hidden;
    };

    static StreamingReader *self(void *ctx)
    {
        return static_cast<StreamingReader *>(static_cast<htmlParserCtxtPtr>(ctx)->_private);
    }

    static void onStart(void *ctx, const xmlChar *name, const xmlChar **atts)
    {
        xmlSAX2StartElement(ctx, name, atts);
        const xmlNodePtr node = static_cast<htmlParserCtxtPtr>(ctx)->node;
        if (node && node->type == XML_ELEMENT_NODE)
            self(ctx)->started(node);
    }

    static void onEnd(void *ctx, const xmlChar *name)
    {
        const auto ctxt = static_cast<htmlParserCtxtPtr>(ctx);
        if (ctxt->node && ctxt->node->type == XML_ELEMENT_NODE)
            self(ctx)->ending(ctxt->node);
        xmlSAX2EndElement(ctx, name);
        self(ctx)->prune(ctxt->node);
    }

    static void onCharacters(void *ctx, const xmlChar *text, int length)
    {
        xmlSAX2Characters(ctx, text, length);
        self(ctx)->readText(text, length);
    }

    static void onWhitespace(void *ctx, const xmlChar *text, int length)
    {
        xmlSAX2IgnorableWhitespace(ctx, text, length);
        self(ctx)->textBreak(u' ');
    }

    void started(xmlNodePtr node)
    {
        const unsigned flags = flagsOf(node);
        if ((flags & Link) && hasAttribute(node, "href")) {
            m_openLinks.append({node, m_links.size(), m_preDepth, m_hiddenDepth > 0});
            m_links.append({QString(), attribute(node, "href")});
        }
        if (!m_titleSeen && (flags & TitleElement)) {
            m_titleSeen = true;
            m_titleNode = node;
        }
        if (!m_hasBase && (flags & BaseElement) && hasAttribute(node, "href")) {
            m_hasBase = true;
            m_baseHref = attribute(node, "href");
        }
        if (flags & (Block | Paragraph | Cell | Row | LineBreak))
            textBreak(u'\n');
        if (flags & Preformatted)
            ++m_preDepth;
        if (isHidden(node, flags))
            ++m_hiddenDepth;
    }

    void ending(xmlNodePtr node)
    {
        const unsigned flags = flagsOf(node);
        if (flags & Preformatted)
            --m_preDepth;
        if (isHidden(node, flags))
            --m_hiddenDepth;
        if (flags & (Block | Paragraph | Cell | Row | LineBreak))
            textBreak(u'\n');
        for (qsizetype i = m_openLinks.size() - 1; i >= 0; --i) {
            if (m_openLinks[i].node == node) {
                closeLink(m_openLinks.takeAt(i));
                break;
            }
        }
        if (node == m_titleNode)
            readTitle();
    }

    void closeLink(const OpenLink &link)
    {
        m_links[link.index].outerText = linkText(link.node, link.preDepth, link.hidden);
    }

    void readTitle()
    {
        m_title = collapseWhitespace(textContent(m_titleNode));
        m_titleNode = nullptr;
    }

    // Frees what has ended below the element now open, unless a link or the
    // title being read is still open (its text is read from its subtree).
    void prune(xmlNodePtr open)
    {
        if (!open || !m_openLinks.isEmpty() || m_titleNode)
            return;
        while (xmlNodePtr child = open->children) {
            xmlUnlinkNode(child);
            xmlFreeNode(child);
        }
    }

    // The phrase is looked for in the rendered text as it goes by: only the
    // last characters that could start it are kept.  White space runs read
    // as one space and the edges of blocks, cells and line breaks as a line
    // break, as in the rendered text; hidden content is left out.
    void readText(const xmlChar *text, int length)
    {
        if (m_phrase.isEmpty() || m_phraseFound || m_hiddenDepth > 0)
            return;
        for (const QChar c : QString::fromUtf8(reinterpret_cast<const char *>(text), length)) {
            if (isCollapsible(c))
                textBreak(u' ');
            else
                m_tail += c;
        }
        lookForPhrase();
    }

    void textBreak(char16_t separator)
    {
        if (m_phrase.isEmpty() || m_phraseFound)
            return;
        if (!m_tail.isEmpty() && (m_tail.back() == u' ' || m_tail.back() == u'\n'))
            m_tail.back() = separator == u'\n' ? u'\n' : m_tail.back();
        else
            m_tail += separator;
        lookForPhrase();
    }

    void lookForPhrase()
    {
        if (m_tail.size() < m_phrase.size())
            return;
        if (m_tail.contains(m_phrase)) {
            m_phraseFound = true;
            m_tail.clear();
            return;
        }
        m_tail.remove(0, m_tail.size() - (m_phrase.size() - 1));
    }

    const QString m_phrase;
    bool m_phraseFound = false;
    QString m_tail; // the end of the rendered text so far
    int m_preDepth = 0;
    int m_hiddenDepth = 0;
    QList<OpenLink> m_openLinks;
    QList<DocumentLink> m_links; // href still as written until the page ends
    bool m_titleSeen = false;
    xmlNodePtr m_titleNode = nullptr; // the title while it is open
    QString m_title;
    bool m_hasBase = false;
    QString m_baseHref;
};

// The base a page's links resolve against: its <base href> when that makes
// an absolute address, otherwise the page's own address.
QUrl linkBaseOf(const QUrl &pageUrl, bool hasBase, const QString &baseHref)
{
    if (hasBase) {
        const QUrl declared(ResolveHref(baseHref, pageUrl));
        if (declared.isValid() && !declared.scheme().isEmpty())
            return declared;
    }
    return pageUrl;
}

HtmlDocument readLinks(const QByteArray &utf8, const QUrl &baseUrl, const QString &phrase)
{
    HtmlDocument result;
    if (utf8.isEmpty())
        return result;
    StreamingReader reader(phrase);
    reader.parse(utf8);
    result.title = reader.title();
    result.phraseFound = reader.phraseFound();
    result.links = reader.takeLinks();
    const HrefResolver resolver(linkBaseOf(baseUrl, reader.hasBase(), reader.baseHref()));
    for (DocumentLink &link : result.links)
        link.href = resolver.resolve(link.href);
    return result;
}

} // namespace

HtmlDocument ParseHtmlDocument(QString html, const QUrl &baseUrl, const HtmlParseOptions &options)
{
    prepareLibxml();
    QByteArray utf8 = parserInput(html);
    html = QString(); // the text is not needed once converted
    if (utf8.size() > INT_MAX)
        utf8.truncate(INT_MAX); // the parser takes an int; recovery closes what is cut
    if (!options.serialise)
        return readLinks(utf8, baseUrl, options.phrase);
    HtmlDocument result;
    DocPtr doc;
    if (!utf8.isEmpty())
        doc.reset(
            htmlReadMemory(utf8.constData(), int(utf8.size()), nullptr, "UTF-8", kParseOptions));
    xmlNodePtr root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    if (!root) {
        result.innerHTML = QStringLiteral("<head></head><body></body>");
        return result;
    }

    // One pass over the whole document: the first <title>, the first
    // <base href> (it applies to every link, also those before it), and the
    // links in document order, also those inside unrendered elements.
    struct FoundLink {
        xmlNodePtr node;
        QString text;
    };
    QList<FoundLink> found;
    xmlNodePtr title = nullptr;
    xmlNodePtr base = nullptr;
    int preDepth = 0;
    int hiddenDepth = 0;
    walk(
        reinterpret_cast<xmlNodePtr>(doc.get()),
        [&](xmlNodePtr node) {
            if (node->type != XML_ELEMENT_NODE)
                return false;
            const unsigned flags = flagsOf(node);
            if ((flags & Link) && hasAttribute(node, "href"))
                found.append({node, linkText(node, preDepth, hiddenDepth > 0)});
            if (!title && (flags & TitleElement))
                title = node;
            if (!base && (flags & BaseElement) && hasAttribute(node, "href"))
                base = node;
            if (flags & Preformatted)
                ++preDepth;
            if (isHidden(node, flags))
                ++hiddenDepth;
            return true;
        },
        [&](xmlNodePtr node) {
            if (node->type != XML_ELEMENT_NODE)
                return;
            const unsigned flags = flagsOf(node);
            if (flags & Preformatted)
                --preDepth;
            if (isHidden(node, flags))
                --hiddenDepth;
        });
    if (title)
        result.title = collapseWhitespace(textContent(title));

    const HrefResolver resolver(
        linkBaseOf(baseUrl, base != nullptr, base ? attribute(base, "href") : QString()));
    result.links.reserve(found.size());
    for (FoundLink &f : found)
        result.links.append({std::move(f.text), resolver.resolve(attribute(f.node, "href"))});
    found.clear();

    result.innerHTML = innerMarkup(root);
    result.innerText = renderedText(root, 0);
    result.phraseFound = !options.phrase.isEmpty() && result.innerText.contains(options.phrase);
    return result;
}

} // namespace kestrune
