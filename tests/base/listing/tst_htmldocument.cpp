// Page decoding and document extraction: what the hidden browser makes of
// the bytes of a listing page.

#include "base/listing/HtmlDocument.h"
#include "base/listing/PageCharset.h"

#include <QElapsedTimer>
#include <QStringEncoder>
#include <QTemporaryFile>
#include <QtTest>

#include <cstdio>
#include <unistd.h>

using namespace kestrune;

Q_DECLARE_METATYPE(kestrune::PageCharsetSource)

namespace {

QByteArray sjis(const QString &text)
{
    QStringEncoder encoder("windows-31j");
    QByteArray bytes = encoder(text);
    Q_ASSERT(!encoder.hasError());
    return bytes;
}

QString u8(const char *text)
{
    return QString::fromUtf8(text);
}

QStringList hrefsOf(const HtmlDocument &doc)
{
    QStringList hrefs;
    for (const DocumentLink &l : doc.links)
        hrefs << l.href;
    return hrefs;
}

const QString kJapaneseName1 = QStringLiteral("アクセス記録①.log");
const QString kJapaneseName2 = QStringLiteral("エラー～一覧＼表.log");
const QString kNotFound = QStringLiteral("指定されたドキュメントは存在しません。");

// Where reading the links alone, while the page is parsed, gives something
// else than the whole document does (links, title, whether the rendered text
// holds phrase); empty when the two agree.
QString leanDifference(const HtmlDocument &whole, const QString &html, const QUrl &base,
                       const QString &phrase = kNotFound)
{
    HtmlParseOptions options;
    options.serialise = false;
    options.phrase = phrase;
    const HtmlDocument lean = ParseHtmlDocument(html, base, options);
    if (!lean.innerHTML.isEmpty() || !lean.innerText.isEmpty())
        return QStringLiteral("the links alone came with markup or text");
    if (lean.title != whole.title)
        return QStringLiteral("title \"%1\", not \"%2\"").arg(lean.title, whole.title);
    if (lean.phraseFound != whole.innerText.contains(phrase))
        return QStringLiteral("phrase %1 in the text \"%2\"")
            .arg(lean.phraseFound ? "found, not" : "not found,", whole.innerText);
    if (lean.links.size() != whole.links.size())
        return QStringLiteral("%1 links, not %2").arg(lean.links.size()).arg(whole.links.size());
    for (qsizetype i = 0; i < lean.links.size(); ++i) {
        const DocumentLink &a = lean.links[i];
        const DocumentLink &b = whole.links[i];
        if (a.outerText != b.outerText || a.href != b.href)
            return QStringLiteral("link %1: \"%2\" %3, not \"%4\" %5")
                .arg(i)
                .arg(a.outerText, a.href, b.outerText, b.href);
    }
    return QString();
}

// The document both ways; a test that uses it checks both.
#define PARSE_BOTH_WAYS(doc, html, base)                                                           \
    const HtmlDocument doc = ParseHtmlDocument(html, base);                                        \
    do {                                                                                           \
        const QString difference = leanDifference(doc, html, base);                                \
        QVERIFY2(difference.isEmpty(), qPrintable(difference));                                    \
    } while (false)

// The stderr output of fn (captured at the file-descriptor level, where a C
// library writes).
template <class Fn>
QByteArray stderrOf(Fn fn)
{
    QTemporaryFile capture;
    if (!capture.open())
        return "cannot capture";
    std::fflush(stderr);
    const int saved = dup(2);
    dup2(capture.handle(), 2);
    fn();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    capture.seek(0);
    return capture.readAll();
}

} // namespace

class TstHtmlDocument : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void canonicalCharset_data()
    {
        QTest::addColumn<QByteArray>("label");
        QTest::addColumn<QByteArray>("expected");
        for (const char *l : {"Shift_JIS", "SHIFT_JIS", "sjis", "x-sjis", "ms_kanji", "csShiftJIS",
                              "windows-31j", "Windows-31J", "cp932", "  shift_jis\t"})
            QTest::newRow(l) << QByteArray(l) << QByteArray("windows-31j");
        const char *const others[][2] = {
            {"UTF-8", "UTF-8"},           {"utf8", "UTF-8"},    {"ISO-8859-1", "windows-1252"},
            {"us-ascii", "windows-1252"}, {"EUC-JP", "EUC-JP"}, {"iso-2022-jp", "ISO-2022-JP"},
            {"x-no-such-charset", ""},    {"  ", ""},           {"UTF-7", ""}, // refused
        };
        for (const auto &o : others)
            QTest::newRow(o[0]) << QByteArray(o[0]) << QByteArray(o[1]);
    }

    void canonicalCharset()
    {
        QFETCH(QByteArray, label);
        QFETCH(QByteArray, expected);
        QCOMPARE(CanonicalCharset(label), expected);
    }

    void contentTypeCharset_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<QByteArray>("expected");
        const char *const rows[][3] = {
            {"plain", "text/html; charset=Shift_JIS", "Shift_JIS"},
            {"no space", "text/html;charset=utf-8", "utf-8"},
            {"quoted", "text/html; charset=\"x-sjis\"", "x-sjis"},
            {"upper name", "text/html; CHARSET = sjis ", "sjis"},
            {"other params", "text/html; q=1; charset=euc-jp; x=y", "euc-jp"},
            {"none", "text/html", ""},
            {"empty header", "", ""},
            {"charset in type is no parameter", "charset=utf-8", ""},
        };
        for (const auto &r : rows)
            QTest::newRow(r[0]) << QByteArray(r[1]) << QByteArray(r[2]);
    }

    void contentTypeCharset()
    {
        QFETCH(QByteArray, header);
        QFETCH(QByteArray, expected);
        QCOMPARE(CharsetFromContentType(header), expected);
    }

    void decodePage_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QByteArray>("encoding");
        QTest::addColumn<PageCharsetSource>("source");
        using S = PageCharsetSource;
        auto row = [](const char *name, const QByteArray &bytes, const char *contentType,
                      const QString &text, const char *encoding, S source) {
            QTest::newRow(name) << bytes << QByteArray(contentType) << text << QByteArray(encoding)
                                << source;
        };
        const QString body = QStringLiteral("<p>") + kJapaneseName1 + u' ' + kJapaneseName2
                             + QStringLiteral("</p>");
        const QByteArray utf8Body = body.toUtf8();
        // The page in code page 932, preceded by some markup.
        auto sjisRow = [&](const char *name, const QString &head, const char *contentType,
                           S source) {
            row(name, sjis(head + body), contentType, head + body, "windows-31j", source);
        };

        sjisRow("header Shift_JIS", QString(), "text/html; charset=Shift_JIS", S::HttpHeader);
        row("header utf-8", utf8Body, "text/html; charset=utf-8", body, "UTF-8", S::HttpHeader);
        // The header outranks the page's own declaration.
        sjisRow("header over meta", u8("<meta charset=\"euc-jp\">"), "text/html; charset=ms_kanji",
                S::HttpHeader);
        sjisRow("meta charset", u8("<html><head><meta charset=\"shift_jis\"></head>"), "text/html",
                S::MetaTag);
        sjisRow(
            "meta http-equiv",
            u8("<HTML><HEAD><META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=x-sjis\"></HEAD>"),
            "", S::MetaTag);
        sjisRow("meta single quotes",
                u8("<meta http-equiv=content-type content='text/html;charset=csShiftJIS'>"), "",
                S::MetaTag);
        sjisRow("unknown header label, meta used", u8("<meta charset=sjis>"),
                "text/html; charset=bogus", S::MetaTag);
        // EUC-JP would garble the Shift_JIS bytes; these declarations must not count.
        sjisRow("content without http-equiv ignored",
                u8("<meta content=\"text/html; charset=euc-jp\">"), "", S::Fallback);
        sjisRow("meta in comment ignored", u8("<!-- <meta charset=\"euc-jp\"> -->"), "",
                S::Fallback);
        sjisRow("meta in attribute value ignored", u8("<div title=\"<meta charset=euc-jp>\">"), "",
                S::Fallback);
        sjisRow("meta after 1024 bytes ignored",
                QString(1100, u'x') + u8("<meta charset=\"euc-jp\">"), "", S::Fallback);
        const QString metaUtf16 = u8("<meta charset=\"utf-16\">") + body;
        row("meta utf-16 read as utf-8", metaUtf16.toUtf8(), "", metaUtf16, "UTF-8", S::MetaTag);

        const QByteArray bom("\xEF\xBB\xBF");
        row("bom utf-8", bom + utf8Body, "text/html", body, "UTF-8", S::ByteOrderMark);
        row("bom utf-8 beats header label", bom + utf8Body, "text/html; charset=Shift_JIS", body,
            "UTF-8", S::ByteOrderMark);
        QStringEncoder le(QStringConverter::Utf16LE);
        QStringEncoder be(QStringConverter::Utf16BE);
        row("bom utf-16le", QByteArray("\xFF\xFE") + QByteArray(le(body)), "", body, "UTF-16LE",
            S::ByteOrderMark);
        row("bom utf-16be", QByteArray("\xFE\xFF") + QByteArray(be(body)), "", body, "UTF-16BE",
            S::ByteOrderMark);

        row("undeclared utf-8", utf8Body, "text/html", body, "UTF-8", S::ValidUtf8);
        row("undeclared ascii", "<p>ex240105.log</p>", "", u8("<p>ex240105.log</p>"), "UTF-8",
            S::ValidUtf8);
        sjisRow("undeclared shift_jis", QString(), "text/html", S::Fallback);
        // Bytes no code page 932 sequence uses show as U+FFFD, not as controls.
        row("invalid sjis bytes",
            QByteArray("a\xFD"
                       "b\x85\x40"
                       "c"),
            "", QStringLiteral("a\uFFFDb\uFFFDc"), "windows-31j", S::Fallback);
    }

    void decodePage()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, contentType);
        QFETCH(QString, expected);
        QFETCH(QByteArray, encoding);
        QFETCH(PageCharsetSource, source);

        const PageCharset detected = DetectPageCharset(bytes, contentType);
        QCOMPARE(detected.encoding, encoding);
        QCOMPARE(int(detected.source), int(source));
        QCOMPARE(DecodePage(bytes, contentType), expected);
    }

    void resolveHref_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("href");
        QTest::addColumn<QString>("expected");

        // "~/" in an expected value stands for the base page's folder.
        const QString folder = QStringLiteral("http://127.0.0.1:8080/logs/sub/");
        const QString page = folder + QStringLiteral("index.html");
        auto row = [&](const char *name, const char *href, const char *expected,
                       const char *base = nullptr) {
            QTest::newRow(name) << (base ? u8(base) : page) << u8(href)
                                << u8(expected).replace(QStringLiteral("~/"), folder);
        };
        row("relative", "a.log", "~/a.log");
        row("root-relative", "/logs/b.log", "http://127.0.0.1:8080/logs/b.log");
        row("absolute", "http://10.0.0.5/other/c.log", "http://10.0.0.5/other/c.log");
        row("parent", "../d.log", "http://127.0.0.1:8080/logs/d.log");
        row("dot segments in absolute", "http://h/a/./b/../c.log", "http://h/a/c.log");
        row("protocol-relative", "//mirror:81/x.log", "http://mirror:81/x.log");
        row("query and fragment", "get.asp?f=a b#top", "~/get.asp?f=a%20b#top");
        row("fragment only", "#x", "~/index.html#x");
        row("empty is the page", "", "~/index.html");
        row("space encoded", "my log.txt", "~/my%20log.txt");
        row("japanese encoded as utf-8", "/logs/記録.log",
            "http://127.0.0.1:8080/logs/%E8%A8%98%E9%8C%B2.log");
        row("already encoded kept", "/logs/%E8%A8%98.log",
            "http://127.0.0.1:8080/logs/%E8%A8%98.log");
        row("surrounding blanks", "  \n a.log \t", "~/a.log");
        row("tab and newline inside", "a\t.l\nog", "~/a.log");
        row("backslashes", "\\logs\\e.log?x=\\", "http://127.0.0.1:8080/logs/e.log?x=%5C");
        row("default port dropped", "HTTP://Example.COM:80", "http://example.com/");
        row("https default port", "https://h:443/x", "https://h/x");
        row("same-scheme relative", "http:f.log", "~/f.log");
        row("javascript kept", "javascript:void(0)", "javascript:void(0)");
        row("mailto kept", "mailto:ops@example.com", "mailto:ops@example.com");
        row("unparsable kept as written", " http://[bad/x ", "http://[bad/x");
        row("no host kept as written", "http://", "http://");
        row("dots inside names", "..a..log/b.", "~/..a..log/b.");
        row("dot segment at end", "x/..", "~/");
        row("base with default port", "a.log", "http://h/logs/a.log", "http://H:80/logs/?sort=1#x");
        row("root-relative, base with default port", "/x/a.log", "https://h/x/a.log",
            "https://h:443/logs/");
        row("base without path", "a.log", "http://h/a.log", "http://h");
        row("base with user info", "a.log", "http://u:p@h/logs/a.log", "http://u:p@h/logs/");
        row("relative on blank page", "a.log", "a.log", "about:blank");
        row("absolute on blank page", "http://h/a.log", "http://h/a.log", "about:blank");
    }

    void resolveHref()
    {
        QFETCH(QString, base);
        QFETCH(QString, href);
        QFETCH(QString, expected);
        QCOMPARE(ResolveHref(href, QUrl(base)), expected);
        // The parser resolves every link the same way.
        const QString html = QStringLiteral("<a href=\"%1\">x</a>").arg(href.toHtmlEscaped());
        PARSE_BOTH_WAYS(doc, html, QUrl(base));
        QCOMPARE(hrefsOf(doc), QStringList{expected});
    }

    void baseElement_data()
    {
        QTest::addColumn<QString>("html");
        QTest::addColumn<QStringList>("expected");

        // The links resolve against the page http://127.0.0.1:8080/logs/ unless a <base> says
        // otherwise.
        const QString links = QStringLiteral(
            "<a href=\"a.log\">a</a><a href=\"/b.log\">b</a><a href=\"http://x/c.log\">c</a>");
        auto row = [&](const char *name, const QString &html, const char *a, const char *b) {
            QTest::newRow(name) << html
                                << QStringList{u8(a), u8(b), QStringLiteral("http://x/c.log")};
        };
        row("absolute base", u8("<head><base href=\"http://mirror/archive/\"></head>") + links,
            "http://mirror/archive/a.log", "http://mirror/b.log");
        row("relative base", u8("<head><base href=\"../old/\"></head>") + links,
            "http://127.0.0.1:8080/old/a.log", "http://127.0.0.1:8080/b.log");
        row("first base wins", u8("<base href=\"http://one/\"><base href=\"http://two/\">") + links,
            "http://one/a.log", "http://one/b.log");
        row("base without href ignored", u8("<base target=\"_top\">") + links,
            "http://127.0.0.1:8080/logs/a.log", "http://127.0.0.1:8080/b.log");
        row("base after the links still counts", links + u8("<base href=\"http://late/d/\">"),
            "http://late/d/a.log", "http://late/b.log");
    }

    void baseElement()
    {
        QFETCH(QString, html);
        QFETCH(QStringList, expected);
        PARSE_BOTH_WAYS(doc, html, QUrl(QStringLiteral("http://127.0.0.1:8080/logs/")));
        QCOMPARE(hrefsOf(doc), expected);
    }

    void linkText_data()
    {
        QTest::addColumn<QString>("html");
        QTest::addColumn<QString>("expected");
        const char *const rows[][3] = {
            {"plain", "<a href=x>ex240105.log</a>", "ex240105.log"},
            {"entities", "<a href=x>A&amp;B &lt;1&gt; &quot;q&quot; &#x8A18;&#37682;</a>",
             "A&B <1> \"q\" 記録"},
            {"nested markup", "<a href=x><b>access</b>_<i>2024<span>01</span></i>.log</a>",
             "access_202401.log"},
            {"white space collapsed", "<a href=x>\n   two \t  words\n</a>", "two words"},
            {"kept inside pre", "<pre><a href=x>two  spaces.log</a></pre>", "two  spaces.log"},
            {"nested markup inside pre", "<pre><a href=x><b>a  b</b> c</a></pre>", "a  b c"},
            {"line break inside", "<a href=x>one<br>two</a>", "one\ntwo"},
            {"image only", "<a href=x><img src=i.gif alt=icon></a>", ""},
            {"hidden part left out",
             "<a href=x>shown<span hidden>secret</span><script>s()</script></a>", "shown"},
            {"unrendered link gives its text",
             "<noscript><a href=x>plain <b>text</b></a></noscript>", "plain text"},
            {"nbsp kept", "<a href=x>a&nbsp;b</a>", "a\u00A0b"},
            // The text is decoded already: a declaration inside must not re-decode it.
            {"meta charset inside is ignored", "<meta charset=\"utf-16\"><a href=\"x\">記録</a>",
             "記録"},
            {"xml declaration is ignored",
             "<?xml version=\"1.0\" encoding=\"ebcdic\"?><a href=x>記録</a>", "記録"},
        };
        for (const auto &r : rows)
            QTest::newRow(r[0]) << u8(r[1]) << u8(r[2]);
    }

    void linkText()
    {
        QFETCH(QString, html);
        QFETCH(QString, expected);
        PARSE_BOTH_WAYS(doc, html, QUrl(QStringLiteral("http://h/")));
        QCOMPARE(doc.links.size(), 1);
        QCOMPARE(doc.links[0].outerText, expected);
    }

    void linksInDocumentOrder()
    {
        const QString html = QStringLiteral(
            "<html><head><link href=\"style.css\" rel=stylesheet></head><body>"
            "<a name=\"top\">anchor without href</a>"
            "<div><p><a href=\"1.log\">one</a></p><table><tr><td><a href=\"2.log\">two</a></td></tr></table></div>"
            "<map name=m><area href=\"3.log\" alt=three></map>"
            "<a href=\"1.log\">one</a><A HREF=\"4.log\">FOUR</A><a href=\"\">self</a></body></html>");
        PARSE_BOTH_WAYS(doc, html, QUrl(QStringLiteral("http://h/logs/")));
        QStringList got;
        for (const DocumentLink &l : doc.links)
            got << l.outerText + u'=' + l.href;
        QCOMPARE(got, (QStringList{QStringLiteral("one=http://h/logs/1.log"),
                                   QStringLiteral("two=http://h/logs/2.log"),
                                   QStringLiteral("=http://h/logs/3.log"),
                                   QStringLiteral("one=http://h/logs/1.log"),
                                   QStringLiteral("FOUR=http://h/logs/4.log"),
                                   QStringLiteral("self=http://h/logs/")}));
    }

    void innerText_data()
    {
        QTest::addColumn<QString>("html");
        QTest::addColumn<QString>("expected");
        const char *const rows[][3] = {
            {"inline white space", "<p>  a \n b\t\tc  </p>", "a b c"},
            {"paragraphs", "<p>one</p><p>two</p>", "one\n\ntwo"},
            {"divs and text", "<body>x<div>one</div><div> two </div>y</body>", "x\none\ntwo\ny"},
            {"br", "a<br>b<br><br>c", "a\nb\n\nc"},
            {"heading then pre", "<h1>Title</h1><hr>\n\n<pre>l1  x\nl2</pre><hr>",
             "Title\nl1  x\nl2"},
            {"first newline of pre dropped", "<pre>\nline</pre>", "line"},
            {"table",
             "<table><tr><td>a</td><td>b</td></tr><tbody><tr><th>c</th><td>d</td></tr></tbody></table>",
             "a\tb\nc\td"},
            {"list", "<ul><li>one</li><li>two</li></ul>", "one\ntwo"},
            {"head, script, style left out",
             "<html><head><title>T</title><style>p{}</style><script>var a='<b>';</script></head>"
             "<body>shown<script>hidden()</script><noscript>ns</noscript><template>t</template></body></html>",
             "shown"},
            // An element that is not rendered makes no line break either.
            {"hidden attribute", "<div>a<div hidden>b</div>c</div>", "ac"},
            {"comments left out", "a<!-- b -->c", "ac"},
            {"entities", "<p>&lt;dir&gt; &amp; &#12354;</p>", "<dir> & あ"},
            {"crlf normalised", "<pre>a\r\nb\rc</pre>", "a\nb\nc"},
        };
        for (const auto &r : rows)
            QTest::newRow(r[0]) << u8(r[1]) << u8(r[2]);
    }

    void innerText()
    {
        QFETCH(QString, html);
        QFETCH(QString, expected);
        PARSE_BOTH_WAYS(doc, html, QUrl(QStringLiteral("http://h/")));
        QCOMPARE(doc.innerText, expected);
    }

    void notFoundSentence_data()
    {
        QTest::addColumn<QString>("html");
        QTest::addColumn<bool>("found");
        QTest::newRow("plain")
            << QStringLiteral(
                   "<html><head><title>ページが見つかりません</title></head><body>"
                   "<h1>エラー</h1><p>%1</p></body></html>")
                   .arg(kNotFound)
            << true;
        QTest::newRow("inline markup inside") << QStringLiteral(
            "<body><p><b>指定された</b>ドキュメントは<font "
            "color=red>存在しません</font>。</p></body>")
                                              << true;
        QTest::newRow("windows-31j page")
            << DecodePage(sjis(QStringLiteral(
                                   "<html><body><table><tr><td>%1</td></tr></table></body></html>")
                                   .arg(kNotFound)),
                          QByteArray("text/html"))
            << true;
        QTest::newRow("character references")
            << QStringLiteral("<p>&#x6307;定された&#12489;キュメントは存在しません。</p>") << true;
        QTest::newRow("hidden parts inside") << QStringLiteral(
            "<p>指定された<script>x()</script>ドキュメントは<span hidden>x</span>存在しません。</p>")
                                             << true;
        QTest::newRow("after a long page")
            << QStringLiteral("<pre>") + QStringLiteral("<a href=x>x</a> 1 2\n").repeated(50000)
                   + QStringLiteral("</pre><p>%1</p>").arg(kNotFound)
            << true;
        QTest::newRow("split by a line break")
            << QStringLiteral("<p>指定された<br>ドキュメントは存在しません。</p>") << false;
        QTest::newRow("split by blocks")
            << QStringLiteral("<div>指定された</div><div>ドキュメントは存在しません。</div>")
            << false;
        QTest::newRow("split by table cells") << QStringLiteral(
            "<table><tr><td>指定された</td><td>ドキュメントは存在しません。</td>"
            "</tr></table>") << false;
        QTest::newRow("split by white space")
            << QStringLiteral("<p>指定された \n ドキュメントは存在しません。</p>") << false;
        QTest::newRow("only in the title")
            << QStringLiteral("<html><head><title>%1</title></head><body>x</body></html>")
                   .arg(kNotFound)
            << false;
        QTest::newRow("only in a comment, an attribute or a script")
            << QStringLiteral("<!-- %1 --><a href=x title=\"%1\">x</a><script>'%1'</script>")
                   .arg(kNotFound)
            << false;
    }

    void notFoundSentence()
    {
        QFETCH(QString, html);
        QFETCH(bool, found);
        PARSE_BOTH_WAYS(doc, html, QUrl(QStringLiteral("http://h/logs/")));
        QVERIFY2(doc.innerText.contains(kNotFound) == found, qPrintable(doc.innerText));
        HtmlParseOptions options;
        options.phrase = kNotFound;
        QCOMPARE(ParseHtmlDocument(html, QUrl(QStringLiteral("http://h/logs/")), options)
                     .phraseFound,
                 found);
    }

    void innerHtmlAndTitle()
    {
        const QString html = QStringLiteral(
            "<HTML><HEAD><TITLE>\n  127.0.0.1 -\t/logs/  </TITLE><title>second</title></HEAD>"
            "<BODY><H1 Class=big>a &amp; b &lt;c&gt;</H1><A HREF=\"x.log?a=1&amp;b=&quot;2&quot;\">x</A><BR>"
            "<!-- note --><script>if (a < b && c) {}</script></BODY></HTML>");
        const QUrl base(QStringLiteral("http://h/logs/"));
        PARSE_BOTH_WAYS(doc, html, base);
        QCOMPARE(doc.title, QStringLiteral("127.0.0.1 - /logs/"));
        QCOMPARE(doc.innerHTML,
                 QStringLiteral(
                     "<head><title>\n  127.0.0.1 -\t/logs/  </title><title>second</title></head>"
                     "<body><h1 class=\"big\">a &amp; b &lt;c&gt;</h1>"
                     "<a href=\"x.log?a=1&amp;b=&quot;2&quot;\">x</a><br>"
                     "<!-- note --><script>if (a < b && c) {}</script></body>"));
        QCOMPARE(hrefsOf(doc), QStringList{QStringLiteral("http://h/logs/x.log?a=1&b=%222%22")});

        // The markup parses back to the same document.
        const HtmlDocument again = ParseHtmlDocument(QStringLiteral("<html>") + doc.innerHTML
                                                         + QStringLiteral("</html>"),
                                                     base);
        QCOMPARE(again.innerHTML, doc.innerHTML);
        QCOMPARE(again.innerText, doc.innerText);
    }

    void emptyAndTextOnlyInput()
    {
        const HtmlDocument empty = ParseHtmlDocument(QString(),
                                                     QUrl(QStringLiteral("about:blank")));
        QCOMPARE(empty.innerHTML, QStringLiteral("<head></head><body></body>"));
        QVERIFY(empty.innerText.isEmpty() && empty.links.isEmpty() && empty.title.isEmpty());

        const HtmlDocument text = ParseHtmlDocument(QStringLiteral("just  text"),
                                                    QUrl(QStringLiteral("http://h/")));
        QCOMPARE(text.innerText, QStringLiteral("just text"));
        QVERIFY(text.links.isEmpty());
    }

    void brokenMarkupDoesNotCrash_data()
    {
        QTest::addColumn<QString>("html");
        QTest::addColumn<int>("links"); // -1: any number

        QString deep = QStringLiteral("<div><span>").repeated(100000)
                       + QStringLiteral("<a href=deep>deep</a>");
        QString unclosedLinks;
        for (int i = 0; i < 20000; ++i)
            unclosedLinks += QStringLiteral("<a href=\"%1\">%1").arg(i);
        QString garbage;
        quint32 x = 12345;
        for (int i = 0; i < 200000; ++i) {
            x = x * 1103515245u + 12345u;
            garbage += QChar(char16_t(0x20 + (x >> 16) % 0x60));
        }
        garbage.replace(u'{', u'<');

        QTest::newRow("unclosed everything")
            << u8("<html><body><pre><a href=a>a<b><i>x<a href=b>b") << 2;
        QTest::newRow("stray end tags") << u8("</a></b></html><a href=a>a</a></body></td>") << 1;
        QTest::newRow("unquoted and broken attributes")
            << u8("<a href=a.log title='x>a</a><a href=\"b.log>b</a><a href=c.log>c</a>") << -1;
        QTest::newRow("unterminated comment") << u8("<a href=a>a</a><!-- <a href=b>b</a>") << 1;
        QTest::newRow("nul and controls") << u8("<a href=a>a\u0001\u0002</a>") + QChar(0)
                                                 + u8("<a href=b>b\u000B</a>\u001F<a href=c>c</a>")
                                          << 3;
        QTest::newRow("lone surrogate")
            << u8("<a href=a>a") + QChar(0xD800) + u8("</a><a href=b>b</a>") << 2;
        QTest::newRow("deep nesting") << deep << 1;
        QTest::newRow("20000 unclosed links") << unclosedLinks << 20000;
        QTest::newRow("random garbage") << garbage << -1;
        QTest::newRow("only a doctype") << u8("<!DOCTYPE html>") << 0;
    }

    void brokenMarkupDoesNotCrash()
    {
        QFETCH(QString, html);
        QFETCH(int, links);
        PARSE_BOTH_WAYS(doc, html, QUrl(QStringLiteral("http://h/")));
        if (links >= 0)
            QCOMPARE(doc.links.size(), links);
        for (const DocumentLink &l : doc.links)
            QVERIFY2(!l.href.isEmpty(), qPrintable(l.outerText));
    }

    void hugeTextNodeIsNotCut()
    {
        // Text beyond the parser's default node limit (10 MB) is still read, and
        // so is the markup after it.
        const QString html = QStringLiteral("<html><body><pre>") + QString(12 * 1024 * 1024, u'x')
                             + QStringLiteral(
                                 "</pre><a href=\"after.log\">after</a></body></html>");
        PARSE_BOTH_WAYS(doc, html, QUrl(QStringLiteral("http://h/")));
        QCOMPARE(hrefsOf(doc), QStringList{QStringLiteral("http://h/after.log")});
        QCOMPARE(doc.innerText.size(), 12 * 1024 * 1024 + 1 + 5);
    }

    void parserWritesNothingToStderr()
    {
        int found = 0;
        const QByteArray written = stderrOf([&] {
            const HtmlDocument doc = ParseHtmlDocument(
                QStringLiteral(
                    "<html><body><zzz:foo><a href=a>a</b></i></table><tr><td><a href=b>&bogus;</p>"
                    "<p <a href=c>c</a><a href=d>d</a>")
                    + QChar(0) + QStringLiteral("\u0001</html></html><html>"),
                QUrl(QStringLiteral("http://h/")));
            found = int(doc.links.size());
            HtmlParseOptions lean;
            lean.serialise = false;
            lean.phrase = kNotFound;
            found += int(ParseHtmlDocument(QStringLiteral("<a href=a>a</b></i></table>&bogus;")
                                               + QChar(0) + QStringLiteral("</html><html>"),
                                           QUrl(QStringLiteral("http://h/")), lean)
                             .links.size());
        });
        // "<p <a href=c>" is a <p> with odd attributes, as in a browser: a, b, d;
        // then the link read without the tree.
        QCOMPARE(found, 4);
        QCOMPARE(written, QByteArray());
    }

    void hundredThousandLinks()
    {
        const int count = 100000;
        QString html = QStringLiteral(
            "<html><head><title>127.0.0.1 - /logs/</title></head><body><H1>127.0.0.1 - /logs/</H1>"
            "<hr>\r\n\r\n<pre><A HREF=\"/\">[To Parent Directory]</A><br><br>");
        for (int i = 0; i < count; ++i)
            html += QStringLiteral(
                        " 2024/01/05     9:03 %1 <A HREF=\"/logs/ex%2.log\">ex%2.log</A><br>")
                        .arg(1000 + i, 12)
                        .arg(i, 6, 10, QLatin1Char('0'));
        html += QStringLiteral("</pre><hr></body></html>");

        QElapsedTimer timer;
        timer.start();
        PARSE_BOTH_WAYS(doc, html, QUrl(QStringLiteral("http://127.0.0.1:8080/logs/")));
        qInfo("100,000-link listing (%lld characters): parsed both ways in %lld ms",
              qlonglong(html.size()), qlonglong(timer.elapsed()));

        QCOMPARE(doc.links.size(), count + 1);
        QCOMPARE(doc.links[0].outerText, QStringLiteral("[To Parent Directory]"));
        for (int i = 0; i < count; ++i) {
            const DocumentLink &l = doc.links[i + 1];
            const QString name = QStringLiteral("ex%1.log").arg(i, 6, 10, QLatin1Char('0'));
            if (l.outerText != name
                || l.href != QStringLiteral("http://127.0.0.1:8080/logs/") + name)
                QFAIL(qPrintable(QStringLiteral("link %1: %2 %3").arg(i).arg(l.outerText, l.href)));
        }
    }
};

QTEST_GUILESS_MAIN(TstHtmlDocument)
#include "tst_htmldocument.moc"
