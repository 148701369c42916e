// Page decoding and document extraction: what the hidden browser makes of
// the bytes of a listing page.

#include "collector/HtmlDocument.h"
#include "collector/PageCharset.h"

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

struct ListingEntry {
    QString name;
    QString href; // as written in the page
};

// A directory listing as IIS writes it.
QString iisListing(const QString &host, const QString &folder, const QList<ListingEntry> &entries,
                   const QString &parentText = QStringLiteral("[To Parent Directory]"),
                   const QString &headExtra = QString())
{
    QString html = QStringLiteral("<html><head>%1<title>%2 - %3</title></head><body><H1>%2 - %3</H1><hr>\r\n\r\n"
                                  "<pre><A HREF=\"/\">%4</A><br><br>")
                       .arg(headExtra, host, folder, parentText);
    int size = 1000;
    for (const ListingEntry &e : entries) {
        html += QStringLiteral(" 2024/01/05     9:03 %1 <A HREF=\"%2\">%3</A><br>")
                    .arg(size++, 12)
                    .arg(e.href, e.name);
    }
    html += QStringLiteral("</pre><hr></body></html>");
    return html;
}

const QString kJapaneseName1 = QStringLiteral("アクセス記録①.log");
const QString kJapaneseName2 = QStringLiteral("エラー～一覧＼表.log");
const QString kNotFound = QStringLiteral("指定されたドキュメントは存在しません。");

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
    void canonicalCharset_data();
    void canonicalCharset();
    void contentTypeCharset_data();
    void contentTypeCharset();
    void decodePage_data();
    void decodePage();
    void resolveHref_data();
    void resolveHref();
    void baseElement_data();
    void baseElement();
    void linkText_data();
    void linkText();
    void linksInDocumentOrder();
    void innerText_data();
    void innerText();
    void notFoundSentence_data();
    void notFoundSentence();
    void innerHtmlAndTitle();
    void emptyAndTextOnlyInput();
    void brokenMarkupDoesNotCrash_data();
    void brokenMarkupDoesNotCrash();
    void hugeTextNodeIsNotCut();
    void parserWritesNothingToStderr();
    void hundredThousandLinks();
};

void TstHtmlDocument::canonicalCharset_data()
{
    QTest::addColumn<QByteArray>("label");
    QTest::addColumn<QByteArray>("expected");
    for (const char *l : {"Shift_JIS", "shift_jis", "SHIFT_JIS", "sjis", "x-sjis", "ms_kanji",
                          "MS_Kanji", "csShiftJIS", "windows-31j", "Windows-31J", "cp932",
                          "  shift_jis\t"})
        QTest::newRow(l) << QByteArray(l) << QByteArray("windows-31j");
    QTest::newRow("utf-8") << QByteArray("UTF-8") << QByteArray("UTF-8");
    QTest::newRow("utf8") << QByteArray("utf8") << QByteArray("UTF-8");
    QTest::newRow("latin1 is 1252") << QByteArray("ISO-8859-1") << QByteArray("windows-1252");
    QTest::newRow("ascii is 1252") << QByteArray("us-ascii") << QByteArray("windows-1252");
    QTest::newRow("euc-jp") << QByteArray("EUC-JP") << QByteArray("EUC-JP");
    QTest::newRow("iso-2022-jp") << QByteArray("iso-2022-jp") << QByteArray("ISO-2022-JP");
    QTest::newRow("unknown") << QByteArray("x-no-such-charset") << QByteArray();
    QTest::newRow("empty") << QByteArray("  ") << QByteArray();
    QTest::newRow("utf-7 refused") << QByteArray("UTF-7") << QByteArray();
}

void TstHtmlDocument::canonicalCharset()
{
    QFETCH(QByteArray, label);
    QFETCH(QByteArray, expected);
    QCOMPARE(CanonicalCharset(label), expected);
}

void TstHtmlDocument::contentTypeCharset_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("plain") << QByteArray("text/html; charset=Shift_JIS") << QByteArray("Shift_JIS");
    QTest::newRow("no space") << QByteArray("text/html;charset=utf-8") << QByteArray("utf-8");
    QTest::newRow("quoted") << QByteArray("text/html; charset=\"x-sjis\"") << QByteArray("x-sjis");
    QTest::newRow("upper name") << QByteArray("text/html; CHARSET = sjis ") << QByteArray("sjis");
    QTest::newRow("other params") << QByteArray("text/html; q=1; charset=euc-jp; x=y")
                                  << QByteArray("euc-jp");
    QTest::newRow("none") << QByteArray("text/html") << QByteArray();
    QTest::newRow("empty header") << QByteArray() << QByteArray();
    QTest::newRow("charset in type is no parameter") << QByteArray("charset=utf-8") << QByteArray();
}

void TstHtmlDocument::contentTypeCharset()
{
    QFETCH(QByteArray, header);
    QFETCH(QByteArray, expected);
    QCOMPARE(CharsetFromContentType(header), expected);
}

void TstHtmlDocument::decodePage_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QByteArray>("encoding");
    QTest::addColumn<PageCharsetSource>("source");

    const QString body = QStringLiteral("<p>") + kJapaneseName1 + QStringLiteral(" ") + kJapaneseName2
                         + QStringLiteral("</p>");
    const QByteArray sjisBody = sjis(body);
    const QByteArray utf8Body = body.toUtf8();

    QTest::newRow("header Shift_JIS") << sjisBody << QByteArray("text/html; charset=Shift_JIS")
                                      << body << QByteArray("windows-31j")
                                      << PageCharsetSource::HttpHeader;
    QTest::newRow("header quoted x-sjis") << sjisBody << QByteArray("text/html; charset=\"x-sjis\"")
                                          << body << QByteArray("windows-31j")
                                          << PageCharsetSource::HttpHeader;
    QTest::newRow("header utf-8") << utf8Body << QByteArray("text/html; charset=utf-8") << body
                                  << QByteArray("UTF-8") << PageCharsetSource::HttpHeader;
    // The header outranks the page's own declaration.
    const QString metaEuc = QStringLiteral("<meta charset=\"euc-jp\">") + body;
    QTest::newRow("header over meta") << sjis(metaEuc) << QByteArray("text/html; charset=ms_kanji")
                                      << metaEuc << QByteArray("windows-31j")
                                      << PageCharsetSource::HttpHeader;

    const QString metaCharset = QStringLiteral("<html><head><meta charset=\"shift_jis\"></head>") + body;
    QTest::newRow("meta charset") << sjis(metaCharset) << QByteArray("text/html") << metaCharset
                                  << QByteArray("windows-31j") << PageCharsetSource::MetaTag;
    const QString metaEquiv = QStringLiteral("<HTML><HEAD><META HTTP-EQUIV=\"Content-Type\" "
                                             "CONTENT=\"text/html; charset=x-sjis\"></HEAD>")
                              + body;
    QTest::newRow("meta http-equiv") << sjis(metaEquiv) << QByteArray() << metaEquiv
                                     << QByteArray("windows-31j") << PageCharsetSource::MetaTag;
    const QString metaUnquoted = QStringLiteral("<meta http-equiv=content-type content='text/html;charset=csShiftJIS'>") + body;
    QTest::newRow("meta single quotes") << sjis(metaUnquoted) << QByteArray() << metaUnquoted
                                        << QByteArray("windows-31j") << PageCharsetSource::MetaTag;
    const QString unknownHeader = QStringLiteral("<meta charset=sjis>") + body;
    QTest::newRow("unknown header label, meta used")
        << sjis(unknownHeader) << QByteArray("text/html; charset=bogus") << unknownHeader
        << QByteArray("windows-31j") << PageCharsetSource::MetaTag;
    // EUC-JP would garble the Shift_JIS bytes; these declarations must not count.
    const QString noPragma = QStringLiteral("<meta content=\"text/html; charset=euc-jp\">") + body;
    QTest::newRow("content without http-equiv ignored")
        << sjis(noPragma) << QByteArray() << noPragma << QByteArray("windows-31j")
        << PageCharsetSource::Fallback;
    const QString inComment = QStringLiteral("<!-- <meta charset=\"euc-jp\"> -->") + body;
    QTest::newRow("meta in comment ignored") << sjis(inComment) << QByteArray() << inComment
                                             << QByteArray("windows-31j")
                                             << PageCharsetSource::Fallback;
    const QString inAttribute = QStringLiteral("<div title=\"<meta charset=euc-jp>\">") + body;
    QTest::newRow("meta in attribute value ignored")
        << sjis(inAttribute) << QByteArray() << inAttribute << QByteArray("windows-31j")
        << PageCharsetSource::Fallback;
    const QString late = QString(1100, u'x') + QStringLiteral("<meta charset=\"euc-jp\">") + body;
    QTest::newRow("meta after 1024 bytes ignored") << sjis(late) << QByteArray() << late
                                                   << QByteArray("windows-31j")
                                                   << PageCharsetSource::Fallback;
    const QString metaUtf16 = QStringLiteral("<meta charset=\"utf-16\">") + body;
    QTest::newRow("meta utf-16 read as utf-8") << metaUtf16.toUtf8() << QByteArray() << metaUtf16
                                               << QByteArray("UTF-8") << PageCharsetSource::MetaTag;

    QTest::newRow("bom utf-8") << QByteArray("\xEF\xBB\xBF") + utf8Body << QByteArray("text/html")
                               << body << QByteArray("UTF-8") << PageCharsetSource::ByteOrderMark;
    QTest::newRow("bom utf-8 beats header label")
        << QByteArray("\xEF\xBB\xBF") + utf8Body << QByteArray("text/html; charset=Shift_JIS")
        << body << QByteArray("UTF-8") << PageCharsetSource::ByteOrderMark;
    QStringEncoder le(QStringConverter::Utf16LE);
    QStringEncoder be(QStringConverter::Utf16BE);
    QTest::newRow("bom utf-16le") << QByteArray("\xFF\xFE") + QByteArray(le(body)) << QByteArray()
                                  << body << QByteArray("UTF-16LE")
                                  << PageCharsetSource::ByteOrderMark;
    QTest::newRow("bom utf-16be") << QByteArray("\xFE\xFF") + QByteArray(be(body)) << QByteArray()
                                  << body << QByteArray("UTF-16BE")
                                  << PageCharsetSource::ByteOrderMark;

    QTest::newRow("undeclared utf-8") << utf8Body << QByteArray("text/html") << body
                                      << QByteArray("UTF-8") << PageCharsetSource::ValidUtf8;
    QTest::newRow("undeclared ascii") << QByteArray("<p>ex240105.log</p>") << QByteArray()
                                      << QStringLiteral("<p>ex240105.log</p>")
                                      << QByteArray("UTF-8") << PageCharsetSource::ValidUtf8;
    QTest::newRow("undeclared shift_jis") << sjisBody << QByteArray("text/html") << body
                                          << QByteArray("windows-31j")
                                          << PageCharsetSource::Fallback;
    // Bytes no code page 932 sequence uses show as U+FFFD, not as controls.
    QTest::newRow("invalid sjis bytes") << QByteArray("a\xFD" "b\x85\x40" "c") << QByteArray()
                                        << QStringLiteral("a\uFFFDb\uFFFDc")
                                        << QByteArray("windows-31j")
                                        << PageCharsetSource::Fallback;
}

void TstHtmlDocument::decodePage()
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

void TstHtmlDocument::resolveHref_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("href");
    QTest::addColumn<QString>("expected");

    const QString base = QStringLiteral("http://127.0.0.1:8080/logs/sub/index.html");
    QTest::newRow("relative") << base << QStringLiteral("a.log")
                              << QStringLiteral("http://127.0.0.1:8080/logs/sub/a.log");
    QTest::newRow("root-relative") << base << QStringLiteral("/logs/b.log")
                                   << QStringLiteral("http://127.0.0.1:8080/logs/b.log");
    QTest::newRow("absolute") << base << QStringLiteral("http://10.0.0.5/other/c.log")
                              << QStringLiteral("http://10.0.0.5/other/c.log");
    QTest::newRow("parent") << base << QStringLiteral("../d.log")
                            << QStringLiteral("http://127.0.0.1:8080/logs/d.log");
    QTest::newRow("dot segments in absolute") << base << QStringLiteral("http://h/a/./b/../c.log")
                                              << QStringLiteral("http://h/a/c.log");
    QTest::newRow("protocol-relative") << base << QStringLiteral("//mirror:81/x.log")
                                       << QStringLiteral("http://mirror:81/x.log");
    QTest::newRow("query and fragment") << base << QStringLiteral("get.asp?f=a b#top")
                                        << QStringLiteral("http://127.0.0.1:8080/logs/sub/get.asp?f=a%20b#top");
    QTest::newRow("fragment only") << base << QStringLiteral("#x")
                                   << QStringLiteral("http://127.0.0.1:8080/logs/sub/index.html#x");
    QTest::newRow("empty is the page") << base << QString() << base;
    QTest::newRow("space encoded") << base << QStringLiteral("my log.txt")
                                   << QStringLiteral("http://127.0.0.1:8080/logs/sub/my%20log.txt");
    QTest::newRow("japanese encoded as utf-8") << base << QStringLiteral("/logs/記録.log")
                                               << QStringLiteral("http://127.0.0.1:8080/logs/%E8%A8%98%E9%8C%B2.log");
    QTest::newRow("already encoded kept") << base << QStringLiteral("/logs/%E8%A8%98.log")
                                          << QStringLiteral("http://127.0.0.1:8080/logs/%E8%A8%98.log");
    QTest::newRow("surrounding blanks") << base << QStringLiteral("  \n a.log \t")
                                        << QStringLiteral("http://127.0.0.1:8080/logs/sub/a.log");
    QTest::newRow("tab and newline inside") << base << QStringLiteral("a\t.l\nog")
                                            << QStringLiteral("http://127.0.0.1:8080/logs/sub/a.log");
    QTest::newRow("backslashes") << base << QStringLiteral("\\logs\\e.log?x=\\")
                                 << QStringLiteral("http://127.0.0.1:8080/logs/e.log?x=%5C");
    QTest::newRow("default port dropped") << base << QStringLiteral("HTTP://Example.COM:80")
                                          << QStringLiteral("http://example.com/");
    QTest::newRow("https default port") << base << QStringLiteral("https://h:443/x")
                                        << QStringLiteral("https://h/x");
    QTest::newRow("same-scheme relative") << base << QStringLiteral("http:f.log")
                                          << QStringLiteral("http://127.0.0.1:8080/logs/sub/f.log");
    QTest::newRow("javascript kept") << base << QStringLiteral("javascript:void(0)")
                                     << QStringLiteral("javascript:void(0)");
    QTest::newRow("mailto kept") << base << QStringLiteral("mailto:ops@example.com")
                                 << QStringLiteral("mailto:ops@example.com");
    QTest::newRow("unparsable kept as written") << base << QStringLiteral(" http://[bad/x ")
                                                << QStringLiteral("http://[bad/x");
    QTest::newRow("no host kept as written") << base << QStringLiteral("http://")
                                             << QStringLiteral("http://");
    QTest::newRow("base with default port") << QStringLiteral("http://H:80/logs/?sort=1#x")
                                            << QStringLiteral("a.log")
                                            << QStringLiteral("http://h/logs/a.log");
    QTest::newRow("root-relative, base with default port") << QStringLiteral("https://h:443/logs/")
                                                           << QStringLiteral("/x/a.log")
                                                           << QStringLiteral("https://h/x/a.log");
    QTest::newRow("dots inside names") << base << QStringLiteral("..a..log/b.")
                                       << QStringLiteral("http://127.0.0.1:8080/logs/sub/..a..log/b.");
    QTest::newRow("dot segment at end") << base << QStringLiteral("x/..")
                                        << QStringLiteral("http://127.0.0.1:8080/logs/sub/");
    QTest::newRow("base without path") << QStringLiteral("http://h") << QStringLiteral("a.log")
                                       << QStringLiteral("http://h/a.log");
    QTest::newRow("base with user info") << QStringLiteral("http://u:p@h/logs/") << QStringLiteral("a.log")
                                         << QStringLiteral("http://u:p@h/logs/a.log");
    QTest::newRow("relative on blank page") << QStringLiteral("about:blank")
                                            << QStringLiteral("a.log") << QStringLiteral("a.log");
    QTest::newRow("absolute on blank page") << QStringLiteral("about:blank")
                                            << QStringLiteral("http://h/a.log")
                                            << QStringLiteral("http://h/a.log");
}

void TstHtmlDocument::resolveHref()
{
    QFETCH(QString, base);
    QFETCH(QString, href);
    QFETCH(QString, expected);
    QCOMPARE(ResolveHref(href, QUrl(base)), expected);
    // The parser resolves every link the same way.
    const QString html = QStringLiteral("<a href=\"%1\">x</a>").arg(href.toHtmlEscaped());
    const HtmlDocument doc = ParseHtmlDocument(html, QUrl(base));
    QCOMPARE(doc.links.size(), 1);
    QCOMPARE(doc.links[0].href, expected);
}

void TstHtmlDocument::baseElement_data()
{
    QTest::addColumn<QString>("html");
    QTest::addColumn<QStringList>("expected");

    const QString links = QStringLiteral("<a href=\"a.log\">a</a><a href=\"/b.log\">b</a>"
                                         "<a href=\"http://x/c.log\">c</a>");
    QTest::newRow("absolute base") << QStringLiteral("<head><base href=\"http://mirror/archive/\"></head>") + links
                                   << QStringList{QStringLiteral("http://mirror/archive/a.log"),
                                                  QStringLiteral("http://mirror/b.log"),
                                                  QStringLiteral("http://x/c.log")};
    QTest::newRow("relative base") << QStringLiteral("<head><base href=\"../old/\"></head>") + links
                                   << QStringList{QStringLiteral("http://127.0.0.1:8080/old/a.log"),
                                                  QStringLiteral("http://127.0.0.1:8080/b.log"),
                                                  QStringLiteral("http://x/c.log")};
    QTest::newRow("first base wins") << QStringLiteral("<base href=\"http://one/\"><base href=\"http://two/\">") + links
                                     << QStringList{QStringLiteral("http://one/a.log"),
                                                    QStringLiteral("http://one/b.log"),
                                                    QStringLiteral("http://x/c.log")};
    QTest::newRow("base without href ignored") << QStringLiteral("<base target=\"_top\">") + links
                                               << QStringList{QStringLiteral("http://127.0.0.1:8080/logs/a.log"),
                                                              QStringLiteral("http://127.0.0.1:8080/b.log"),
                                                              QStringLiteral("http://x/c.log")};
    QTest::newRow("base after the links still counts") << links + QStringLiteral("<base href=\"http://late/d/\">")
                                                       << QStringList{QStringLiteral("http://late/d/a.log"),
                                                                      QStringLiteral("http://late/b.log"),
                                                                      QStringLiteral("http://x/c.log")};
}

void TstHtmlDocument::baseElement()
{
    QFETCH(QString, html);
    QFETCH(QStringList, expected);
    const HtmlDocument doc = ParseHtmlDocument(html, QUrl(QStringLiteral("http://127.0.0.1:8080/logs/")));
    QStringList hrefs;
    for (const DocumentLink &l : doc.links)
        hrefs << l.href;
    QCOMPARE(hrefs, expected);
}

void TstHtmlDocument::linkText_data()
{
    QTest::addColumn<QString>("html");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain") << QStringLiteral("<a href=x>ex240105.log</a>") << QStringLiteral("ex240105.log");
    QTest::newRow("entities") << QStringLiteral("<a href=x>A&amp;B &lt;1&gt; &quot;q&quot; &#x8A18;&#37682;</a>")
                              << QStringLiteral("A&B <1> \"q\" 記録");
    QTest::newRow("nested markup") << QStringLiteral("<a href=x><b>access</b>_<i>2024<span>01</span></i>.log</a>")
                                   << QStringLiteral("access_202401.log");
    QTest::newRow("white space collapsed") << QStringLiteral("<a href=x>\n   two \t  words\n</a>")
                                           << QStringLiteral("two words");
    QTest::newRow("kept inside pre") << QStringLiteral("<pre><a href=x>two  spaces.log</a></pre>")
                                     << QStringLiteral("two  spaces.log");
    QTest::newRow("nested markup inside pre") << QStringLiteral("<pre><a href=x><b>a  b</b> c</a></pre>")
                                              << QStringLiteral("a  b c");
    QTest::newRow("line break inside") << QStringLiteral("<a href=x>one<br>two</a>")
                                       << QStringLiteral("one\ntwo");
    QTest::newRow("image only") << QStringLiteral("<a href=x><img src=i.gif alt=icon></a>") << QString();
    QTest::newRow("hidden part left out") << QStringLiteral("<a href=x>shown<span hidden>secret</span><script>s()</script></a>")
                                          << QStringLiteral("shown");
    QTest::newRow("unrendered link gives its text") << QStringLiteral("<noscript><a href=x>plain <b>text</b></a></noscript>")
                                                    << QStringLiteral("plain text");
    QTest::newRow("nbsp kept") << QStringLiteral("<a href=x>a&nbsp;b</a>") << QStringLiteral("a\u00A0b");
}

void TstHtmlDocument::linkText()
{
    QFETCH(QString, html);
    QFETCH(QString, expected);
    const HtmlDocument doc = ParseHtmlDocument(html, QUrl(QStringLiteral("http://h/")));
    QCOMPARE(doc.links.size(), 1);
    QCOMPARE(doc.links[0].outerText, expected);
}

void TstHtmlDocument::linksInDocumentOrder()
{
    const QString html = QStringLiteral(
        "<html><head><link href=\"style.css\" rel=stylesheet></head><body>"
        "<a name=\"top\">anchor without href</a>"
        "<div><p><a href=\"1.log\">one</a></p><table><tr><td><a href=\"2.log\">two</a></td></tr></table></div>"
        "<map name=m><area href=\"3.log\" alt=three></map>"
        "<a href=\"1.log\">one</a>"
        "<A HREF=\"4.log\">FOUR</A>"
        "<a href=\"\">self</a>"
        "</body></html>");
    const HtmlDocument doc = ParseHtmlDocument(html, QUrl(QStringLiteral("http://h/logs/")));
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

void TstHtmlDocument::innerText_data()
{
    QTest::addColumn<QString>("html");
    QTest::addColumn<QString>("expected");
    QTest::newRow("inline white space") << QStringLiteral("<p>  a \n b\t\tc  </p>") << QStringLiteral("a b c");
    QTest::newRow("paragraphs") << QStringLiteral("<p>one</p><p>two</p>") << QStringLiteral("one\n\ntwo");
    QTest::newRow("divs and text") << QStringLiteral("<body>x<div>one</div><div> two </div>y</body>")
                                   << QStringLiteral("x\none\ntwo\ny");
    QTest::newRow("br") << QStringLiteral("a<br>b<br><br>c") << QStringLiteral("a\nb\n\nc");
    QTest::newRow("heading then pre") << QStringLiteral("<h1>Title</h1><hr>\n\n<pre>l1  x\nl2</pre><hr>")
                                      << QStringLiteral("Title\nl1  x\nl2");
    QTest::newRow("first newline of pre dropped") << QStringLiteral("<pre>\nline</pre>") << QStringLiteral("line");
    QTest::newRow("table") << QStringLiteral("<table><tr><td>a</td><td>b</td></tr><tbody><tr><th>c</th><td>d</td></tr></tbody></table>")
                           << QStringLiteral("a\tb\nc\td");
    QTest::newRow("list") << QStringLiteral("<ul><li>one</li><li>two</li></ul>") << QStringLiteral("one\ntwo");
    QTest::newRow("head, script, style left out")
        << QStringLiteral("<html><head><title>T</title><style>p{}</style><script>var a='<b>';</script></head>"
                          "<body>shown<script>hidden()</script><noscript>ns</noscript><template>t</template></body></html>")
        << QStringLiteral("shown");
    // An element that is not rendered makes no line break either.
    QTest::newRow("hidden attribute") << QStringLiteral("<div>a<div hidden>b</div>c</div>") << QStringLiteral("ac");
    QTest::newRow("comments left out") << QStringLiteral("a<!-- b -->c") << QStringLiteral("ac");
    QTest::newRow("entities") << QStringLiteral("<p>&lt;dir&gt; &amp; &#12354;</p>") << QStringLiteral("<dir> & あ");
    QTest::newRow("crlf normalised") << QStringLiteral("<pre>a\r\nb\rc</pre>") << QStringLiteral("a\nb\nc");
}

void TstHtmlDocument::innerText()
{
    QFETCH(QString, html);
    QFETCH(QString, expected);
    QCOMPARE(ParseHtmlDocument(html, QUrl(QStringLiteral("http://h/"))).innerText, expected);
}

void TstHtmlDocument::notFoundSentence_data()
{
    QTest::addColumn<QString>("html");
    QTest::newRow("plain") << QStringLiteral(
        "<html><head><title>ページが見つかりません</title></head><body><h1>エラー</h1>"
        "<p>%1</p></body></html>").arg(kNotFound);
    QTest::newRow("inline markup inside") << QStringLiteral(
        "<body><p><b>指定された</b>ドキュメントは<font color=red>存在しません</font>。</p></body>");
    QTest::newRow("windows-31j page") << DecodePage(
        sjis(QStringLiteral("<html><body><table><tr><td>%1</td></tr></table></body></html>").arg(kNotFound)),
        QByteArray("text/html"));
}

void TstHtmlDocument::notFoundSentence()
{
    QFETCH(QString, html);
    const HtmlDocument doc = ParseHtmlDocument(html, QUrl(QStringLiteral("http://h/logs/")));
    QVERIFY2(doc.innerText.contains(kNotFound), qPrintable(doc.innerText));
}

void TstHtmlDocument::innerHtmlAndTitle()
{
    const QString html = QStringLiteral(
        "<HTML><HEAD><TITLE>\n  127.0.0.1 -\t/logs/  </TITLE><title>second</title></HEAD>"
        "<BODY><H1 Class=big>a &amp; b &lt;c&gt;</H1><A HREF=\"x.log?a=1&amp;b=&quot;2&quot;\">x</A><BR>"
        "<!-- note --><script>if (a < b && c) {}</script></BODY></HTML>");
    const HtmlDocument doc = ParseHtmlDocument(html, QUrl(QStringLiteral("http://h/logs/")));
    QCOMPARE(doc.title, QStringLiteral("127.0.0.1 - /logs/"));
    QCOMPARE(doc.innerHTML,
             QStringLiteral("<head><title>\n  127.0.0.1 -\t/logs/  </title><title>second</title></head>"
                            "<body><h1 class=\"big\">a &amp; b &lt;c&gt;</h1>"
                            "<a href=\"x.log?a=1&amp;b=&quot;2&quot;\">x</a><br>"
                            "<!-- note --><script>if (a < b && c) {}</script></body>"));
    QCOMPARE(doc.links.value(0).href, QStringLiteral("http://h/logs/x.log?a=1&b=%222%22"));

    // The markup parses back to the same document.
    const HtmlDocument again = ParseHtmlDocument(QStringLiteral("<html>") + doc.innerHTML + QStringLiteral("</html>"),
                                                 QUrl(QStringLiteral("http://h/logs/")));
    QCOMPARE(again.innerHTML, doc.innerHTML);
    QCOMPARE(again.innerText, doc.innerText);
}

void TstHtmlDocument::emptyAndTextOnlyInput()
{
    const HtmlDocument empty = ParseHtmlDocument(QString(), QUrl(QStringLiteral("about:blank")));
    QCOMPARE(empty.innerHTML, QStringLiteral("<head></head><body></body>"));
    QVERIFY(empty.innerText.isEmpty());
    QVERIFY(empty.links.isEmpty());
    QVERIFY(empty.title.isEmpty());

    const HtmlDocument text = ParseHtmlDocument(QStringLiteral("just  text"), QUrl(QStringLiteral("http://h/")));
    QCOMPARE(text.innerText, QStringLiteral("just text"));
    QVERIFY(text.links.isEmpty());
}

void TstHtmlDocument::brokenMarkupDoesNotCrash_data()
{
    QTest::addColumn<QString>("html");
    QTest::addColumn<int>("links"); // -1: any number

    QString deep;
    for (int i = 0; i < 100000; ++i)
        deep += QStringLiteral("<div><span>");
    deep += QStringLiteral("<a href=deep>deep</a>");
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

    QTest::newRow("unclosed everything") << QStringLiteral("<html><body><pre><a href=a>a<b><i>x<a href=b>b") << 2;
    QTest::newRow("stray end tags") << QStringLiteral("</a></b></html><a href=a>a</a></body></td>") << 1;
    QTest::newRow("unquoted and broken attributes") << QStringLiteral("<a href=a.log title='x>a</a><a href=\"b.log>b</a><a href=c.log>c</a>") << -1;
    QTest::newRow("unterminated comment") << QStringLiteral("<a href=a>a</a><!-- <a href=b>b</a>") << 1;
    QTest::newRow("nul and controls") << QStringLiteral("<a href=a>a\u0001\u0002</a>") + QChar(0)
                                             + QStringLiteral("<a href=b>b\u000B</a>\u001F<a href=c>c</a>")
                                      << 3;
    QTest::newRow("lone surrogate") << QStringLiteral("<a href=a>a") + QChar(0xD800) + QStringLiteral("</a><a href=b>b</a>") << 2;
    QTest::newRow("deep nesting") << deep << 1;
    QTest::newRow("20000 unclosed links") << unclosedLinks << 20000;
    QTest::newRow("random garbage") << garbage << -1;
    QTest::newRow("only a doctype") << QStringLiteral("<!DOCTYPE html>") << 0;
    QTest::newRow("xml declaration") << QStringLiteral("<?xml version=\"1.0\" encoding=\"ebcdic\"?><a href=a>a</a>") << 1;
    QTest::newRow("meta charset inside is ignored") << QStringLiteral("<meta charset=\"utf-16\"><a href=\"記録.log\">記録</a>") << 1;
}

void TstHtmlDocument::brokenMarkupDoesNotCrash()
{
    QFETCH(QString, html);
    QFETCH(int, links);
    const HtmlDocument doc = ParseHtmlDocument(html, QUrl(QStringLiteral("http://h/")));
    if (links >= 0)
        QCOMPARE(doc.links.size(), links);
    for (const DocumentLink &l : doc.links)
        QVERIFY2(!l.href.isEmpty(), qPrintable(l.outerText));
    if (QTest::currentDataTag() == QByteArrayLiteral("meta charset inside is ignored")) {
        QCOMPARE(doc.links[0].outerText, QStringLiteral("記録"));
        QCOMPARE(doc.links[0].href, QStringLiteral("http://h/%E8%A8%98%E9%8C%B2.log"));
    }
}

void TstHtmlDocument::hugeTextNodeIsNotCut()
{
    // Text beyond the parser's default node limit (10 MB) is still read, and
    // so is the markup after it.
    QString html = QStringLiteral("<html><body><pre>");
    html += QString(12 * 1024 * 1024, u'x');
    html += QStringLiteral("</pre><a href=\"after.log\">after</a></body></html>");
    const HtmlDocument doc = ParseHtmlDocument(html, QUrl(QStringLiteral("http://h/")));
    QCOMPARE(doc.links.size(), 1);
    QCOMPARE(doc.links[0].href, QStringLiteral("http://h/after.log"));
    QCOMPARE(doc.innerText.size(), 12 * 1024 * 1024 + 1 + 5);
}

void TstHtmlDocument::parserWritesNothingToStderr()
{
    int found = 0;
    const QByteArray written = stderrOf([&] {
        const HtmlDocument doc = ParseHtmlDocument(
            QStringLiteral("<html><body><zzz:foo><a href=a>a</b></i></table><tr><td><a href=b>&bogus;</p>"
                           "<p <a href=c>c</a><a href=d>d</a>") + QChar(0) + QStringLiteral("\u0001</html></html><html>"),
            QUrl(QStringLiteral("http://h/")));
        found = int(doc.links.size());
    });
    // "<p <a href=c>" is a <p> with odd attributes, as in a browser: a, b, d.
    QCOMPARE(found, 3);
    QCOMPARE(written, QByteArray());
}

void TstHtmlDocument::hundredThousandLinks()
{
    const int count = 100000;
    QList<ListingEntry> entries;
    entries.reserve(count);
    for (int i = 0; i < count; ++i) {
        const QString name = QStringLiteral("ex%1.log").arg(i, 6, 10, QLatin1Char('0'));
        entries.append({name, QStringLiteral("/logs/") + name});
    }
    const QString html = iisListing(QStringLiteral("127.0.0.1"), QStringLiteral("/logs/"), entries);

    QElapsedTimer timer;
    timer.start();
    const HtmlDocument doc = ParseHtmlDocument(html, QUrl(QStringLiteral("http://127.0.0.1:8080/logs/")));
    const qint64 elapsed = timer.elapsed();
    qInfo("100,000-link listing (%lld characters): parsed in %lld ms", qlonglong(html.size()),
          qlonglong(elapsed));

    QCOMPARE(doc.links.size(), count + 1);
    QCOMPARE(doc.links[0].outerText, QStringLiteral("[To Parent Directory]"));
    for (int i = 0; i < count; ++i) {
        const DocumentLink &l = doc.links[i + 1];
        if (l.outerText != entries[i].name
            || l.href != QStringLiteral("http://127.0.0.1:8080") + entries[i].href)
            QFAIL(qPrintable(QStringLiteral("link %1: %2 %3").arg(i).arg(l.outerText, l.href)));
    }
}

QTEST_GUILESS_MAIN(TstHtmlDocument)
#include "tst_htmldocument.moc"
