// The help window, and the manual that the build places beside the program.

#include "RecordingUi.h"

#include "gui/dialogs/HelpWindow.h"

#include <QApplication>
#include <QFile>
#include <QPointer>
#include <QRegularExpression>
#include <QSet>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>

#include <memory>

using namespace kestrune;

using kestrune::CloseHelpWindow;
using kestrune::CurrentHelpWindow;
using kestrune::MsgIcon;
using kestrune::ShowHelpWindow;

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QString shownText(QWidget *window)
{
    auto *browser = window ? window->findChild<QTextBrowser *>() : nullptr;
    return browser ? browser->toPlainText() : QString();
}

int helpWindowCount()
{
    int n = 0;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("HelpWindow"))
            ++n;
    return n;
}

QString manualPath()
{
    return QStringLiteral(KESTRUNE_SOURCE_DIR "/resources/Kestrune.hlp");
}

} // namespace

class tst_HelpWindow : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<RecordingUi> m_ui;
    QString m_help;

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_help = m_dir->filePath(QStringLiteral("Kestrune.hlp"));
        writeFile(m_help,
                  "<html><head><meta charset=\"utf-8\"><title>t</title></head>"
                  "<body><h1>使い方</h1><p id=\"a\">最初の版</p></body></html>");
        m_ui = std::make_unique<RecordingUi>();
    }

    void cleanup()
    {
        CloseHelpWindow();
        m_ui.reset();
        m_dir.reset();
    }

    void opensTheManual()
    {
        QVERIFY(CurrentHelpWindow() == nullptr);
        QWidget owner;
        owner.show();
        ShowHelpWindow(&owner, m_help);
        QWidget *w = CurrentHelpWindow();
        QVERIFY(w != nullptr);
        QVERIFY(w->isVisible());
        QVERIFY(w->isWindow());
        QVERIFY(w->windowTitle().contains(QStringLiteral("Kestrune")));
        QVERIFY(shownText(w).contains(QStringLiteral("使い方")));
        QVERIFY(shownText(w).contains(QStringLiteral("最初の版")));
        QVERIFY(m_ui->messages.isEmpty());
        // The owner stays usable while the manual is open.
        QVERIFY(owner.isEnabled());
        QVERIFY(QApplication::activeModalWidget() == nullptr);
    }

    void oneInstanceBroughtToFront()
    {
        ShowHelpWindow(nullptr, m_help);
        QPointer<QWidget> first = CurrentHelpWindow();
        QVERIFY(first);

        QWidget other;
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));

        ShowHelpWindow(nullptr, m_help);
        QCOMPARE(CurrentHelpWindow(), first.data());
        QCOMPARE(helpWindowCount(), 1);
        QVERIFY(QTest::qWaitForWindowActive(first.data()));
    }

    void missingOrUnusableFileGivesAMessage_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("missing") << "missing";
        QTest::newRow("empty") << "empty";
        QTest::newRow("directory") << "directory";
    }

    void missingOrUnusableFileGivesAMessage()
    {
        QFETCH(QString, kind);
        QString path = m_dir->filePath(QStringLiteral("Other.hlp"));
        if (kind == QLatin1String("empty"))
            writeFile(path, "  \r\n");
        else if (kind == QLatin1String("directory"))
            path = m_dir->path();

        QWidget owner;
        ShowHelpWindow(&owner, path);
        QVERIFY(CurrentHelpWindow() == nullptr);
        QCOMPARE(helpWindowCount(), 0);
        QCOMPARE(m_ui->messages.size(), 1);
        const auto &m = m_ui->messages[0];
        QVERIFY2(m.text.startsWith(QStringLiteral("ヘルプ ファイルを表示できません。")),
                 qPrintable(m.text));
        QVERIFY2(m.text.contains(QDir::toNativeSeparators(path)), qPrintable(m.text));
        QCOMPARE(m.icon, MsgIcon::Exclamation);
        QCOMPARE(m.title, QStringLiteral("Kestrune"));
        QCOMPARE(m.parent.data(), &owner);
    }

    void closeClosesAndDestroys()
    {
        // Through the program's own seam, as the collector window opens it
        // and closes it when unloading.
        m_ui.reset();
        kestrune::ui().showHelp(nullptr, m_help);
        QPointer<QWidget> w = CurrentHelpWindow();
        QVERIFY(w);
        kestrune::ui().quitHelp();
        QVERIFY(w.isNull());
        QVERIFY(CurrentHelpWindow() == nullptr);
        QCOMPARE(helpWindowCount(), 0);
        kestrune::ui().quitHelp(); // nothing open: nothing happens
        m_ui = std::make_unique<RecordingUi>();
    }

    void reopenedAfterTheOperatorClosedItShowsTheFileAnew()
    {
        ShowHelpWindow(nullptr, m_help);
        QVERIFY(CurrentHelpWindow()->close());
        QVERIFY(CurrentHelpWindow() == nullptr);

        writeFile(m_help, "<html><body><p>二番目の版</p></body></html>");
        ShowHelpWindow(nullptr, m_help);
        QVERIFY(CurrentHelpWindow() != nullptr);
        QVERIFY(shownText(CurrentHelpWindow()).contains(QStringLiteral("二番目の版")));
        QCOMPARE(helpWindowCount(), 1);
    }

    void declaredEncodingIsHonoured()
    {
        QStringEncoder sjis("Shift_JIS");
        if (!sjis.isValid())
            QSKIP("no Shift_JIS codec");
        const QByteArray body = sjis.encode(QStringLiteral("<p>シフトJISの手引き</p>"));
        writeFile(m_help, "<html><head><meta charset=\"Shift_JIS\"></head><body>" + body
                              + "</body></html>");
        ShowHelpWindow(nullptr, m_help);
        QVERIFY(shownText(CurrentHelpWindow()).contains(QStringLiteral("シフトJISの手引き")));
    }

    // --- the manual itself ---

    void manual()
    {
        QFile f(manualPath());
        QVERIFY2(f.open(QIODevice::ReadOnly), qPrintable(manualPath()));
        QStringDecoder utf8(QStringDecoder::Utf8);
        const QString text = utf8.decode(f.readAll());
        QVERIFY(!utf8.hasError());
        QVERIFY(text.contains(QStringLiteral("<meta charset=\"utf-8\">"), Qt::CaseInsensitive));
        QVERIFY(text.contains(QStringLiteral("lang=\"ja\"")));

        // Every in-page link leads to an anchor that exists.
        QSet<QString> ids;
        const QRegularExpression idRe(QStringLiteral("\\bid=\"([^\"]+)\""));
        for (auto it = idRe.globalMatch(text); it.hasNext();)
            ids.insert(it.next().captured(1));
        const QRegularExpression hrefRe(QStringLiteral("href=\"#([^\"]+)\""));
        int links = 0;
        for (auto it = hrefRe.globalMatch(text); it.hasNext(); ++links) {
            const QString target = it.next().captured(1);
            QVERIFY2(ids.contains(target), qPrintable(target));
        }
        QVERIFY(links > 0);

        // It opens in the help window and names, as the reader sees it, what
        // the operator sees on the screen and in the run log.
        ShowHelpWindow(nullptr, manualPath());
        QVERIFY(CurrentHelpWindow() != nullptr);
        QVERIFY(m_ui->messages.isEmpty());
        const QString shown = shownText(CurrentHelpWindow());
        const char *const names[] = {
            // the collector window
            "Kestrune",
            "IISログのURL：",
            "保存先フォルダ：",
            "開始",
            "停止",
            "設定",
            "終了",
            "ヘルプ",
            "バージョン情報",
            "ファイル名",
            "ダウンロード状況",
            "Loading...",
            "Timed Out!",
            "処理中[",
            // settings
            "タイムアウト（秒）：",
            "プロキシ サーバー",
            "アドレス：",
            "ポート：",
            "Kestrune.ini",
            "タイムアウト値（秒）を指定してください。",
            "設定が変更されました！",
            " ファイルの書き込み時にエラーが発生しました。",
            // the run log
            "Kestrune.log",
            "==========================================================",
            "に起動",
            "○ IISログダウンロード開始。",
            "× ファイルサイズが同じ ",
            "○ IISログダウンロード終了。",
            "× ファイル名が不正です。",
            "× ファイルを保存できません。",
            "× ページを表示できません。",
            "× タイムアウトが発生しました。",
            "× 指定されたドキュメントは存在しません。",
            "× ページ分析エラー！",
            // messages and problems
            "起動エラー！",
            "型が一致しません。",
            "オーバーフローしました。",
            "IISログのURLを指定してください。",
            "保存先フォルダを指定してください。",
            "現時点ではｼｽﾃﾑ情報を使用できません",
            "[To Parent Directory]",
        };
        QStringList missing;
        for (const char *name : names)
            if (!shown.contains(QString::fromUtf8(name)))
                missing << QString::fromUtf8(name);
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(QStringLiteral(" | "))));
    }
};

QTEST_MAIN(tst_HelpWindow)
#include "tst_HelpWindow.moc"
