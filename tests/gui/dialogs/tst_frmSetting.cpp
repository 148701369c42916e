// The settings dialog: what it shows, how it validates, what it stores.

#include "LabelChecks.h"
#include "RecordingUi.h"
#include "WindowControls.h"

#include "base/settings/basKestrune.h"
#include "gui/dialogs/frmSetting.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <memory>

using namespace kestrune;

using namespace kestrune::basKestrune;
using kestrune::MsgIcon;

namespace {

const QString kWriteError = QStringLiteral(" ファイルの書き込み時にエラーが発生しました。");
const QString kNeedTimeout = QStringLiteral("タイムアウト値（秒）を指定してください。");
const QString kChanged = QStringLiteral("設定が変更されました！");

QString u8(const char *text)
{
    return QString::fromUtf8(text);
}

// What is typed and saved, and what the program and the file then hold.
struct SaveCase {
    QString timeout, storedTimeout;
    int milliseconds;
    QString address, port, proxyBefore, proxyAfter, storedAddress, storedPort;
};

} // namespace

Q_DECLARE_METATYPE(SaveCase)

class tst_frmSetting : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<RecordingUi> m_ui;

    QString iniPath() const { return m_dir->filePath(QStringLiteral("Kestrune.ini")); }

    void writeIni(const QByteArray &content)
    {
        QFile f(iniPath());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
    }

    QByteArray iniBytes() const
    {
        QFile f(iniPath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    // A dialog shown and active, as the collector window's command leaves it.
    std::unique_ptr<frmSetting> openDialog()
    {
        auto dlg = std::make_unique<frmSetting>();
        dlg->show();
        if (!QTest::qWaitForWindowActive(dlg.get()))
            qWarning("the settings dialog did not become active");
        return dlg;
    }

    void setTexts(frmSetting &dlg, const QString &timeout, const QString &address,
                  const QString &port)
    {
        const SettingControls c(&dlg);
        c.txtTimeOut->setText(timeout);
        c.txtProxyAddress->setText(address);
        c.txtProxyPort->setText(port);
    }

    void clickSave(frmSetting &dlg)
    {
        const SettingControls c(&dlg);
        QTest::mouseClick(c.cmdButton[0], Qt::LeftButton);
    }

    // Message i: its text and icon, the program's title and, when given, its owner.
    void verifyMessage(int i, const QString &text, MsgIcon icon, QWidget *owner = nullptr)
    {
        QVERIFY(i < m_ui->messages.size());
        if (owner)
            QCOMPARE(m_ui->messages[i].parent.data(), owner);
        QCOMPARE(m_ui->messages[i].text, text);
        QCOMPARE(m_ui->messages[i].icon, icon);
        QCOMPARE(m_ui->messages[i].title, QStringLiteral("Kestrune"));
    }

    // Nothing stored and nothing recomputed: the file is as before and the
    // settings are what the dialog read from init()'s file.
    void verifyNothingSaved(const QByteArray &fileBefore)
    {
        QCOMPARE(iniBytes(), fileBefore);
        QCOMPARE(gstrTimeout, QStringLiteral("30"));
        QCOMPARE(glngTimeout, 30000);
        QCOMPARE(gstrProxyAddress, QStringLiteral("cache.example"));
        QCOMPARE(gstrProxyPort, QStringLiteral("3128"));
        QCOMPARE(gstrProxy, QStringLiteral("earlier:1"));
    }

    void verifyBoxes(frmSetting &dlg, const QString &timeout, const QString &address,
                     const QString &port)
    {
        const SettingControls c(&dlg);
        QCOMPARE(c.txtTimeOut->text(), timeout);
        QCOMPARE(c.txtProxyAddress->text(), address);
        QCOMPARE(c.txtProxyPort->text(), port);
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        frmSetting::SetExecutableFolder(m_dir->path());
        writeIni("[Kestrune]\r\nTimeout=30\r\nProxyAddress=cache.example\r\nProxyPort=3128\r\n");
        // What start-up and earlier saves may have left behind.
        gstrIniFile.clear();
        gstrIniSaveFile.clear();
        gstrTimeout = QStringLiteral("30");
        glngTimeout = 30000;
        gstrProxyAddress.clear();
        gstrProxyPort.clear();
        gstrProxy = QStringLiteral("earlier:1");
        m_ui = std::make_unique<RecordingUi>();
    }

    void cleanup()
    {
        m_ui.reset();
        QFile::setPermissions(iniPath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        frmSetting::SetExecutableFolder(QString());
        m_dir.reset();
    }

    void layout_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("container");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("toolTip");

        const struct {
            const char *name, *container;
            QRect geometry;
            const char *text, *toolTip;
        } rows[] = {
            {"lblWindow", "frmSetting", QRect(12, 10, 96, 12), "稼動環境設定画面", ""},
            {"frameCommunication", "frmSetting", QRect(10, 34, 339, 39), "通信設定", ""},
            {"lblCommunication", "frameCommunication", QRect(8, 18, 91, 12), "タイムアウト（秒）：",
             "この時間内に処理できなかった場合サーバのステータスを初期化します（単位：秒）"},
            {"txtTimeOut", "frameCommunication", QRect(110, 14, 49, 18), "30",
             "この時間内に処理できなかった場合、通信状態を初期化します（単位：秒）"},
            {"frameProxyServer", "frmSetting", QRect(10, 84, 339, 63), "プロキシ サーバー", ""},
            {"lblProxyServer", "frameProxyServer", QRect(10, 18, 46, 12), "アドレス：", ""},
            {"txtProxyAddress", "frameProxyServer", QRect(110, 14, 219, 18), "cache.example", ""},
            {"lblProxyPort", "frameProxyServer", QRect(10, 36, 37, 12), "ポート：", ""},
            {"txtProxyPort", "frameProxyServer", QRect(110, 34, 219, 18), "3128", ""},
            {"cmdButton_0", "frmSetting", QRect(106, 162, 72, 29), "保存(&S)", "設定を保存"},
            {"cmdButton_1", "frmSetting", QRect(192, 162, 72, 29), "ｷｬﾝｾﾙ(&C)", "キャンセル"},
        };
        for (const auto &r : rows)
            QTest::newRow(r.name) << u8(r.name) << u8(r.container) << r.geometry << u8(r.text)
                                  << u8(r.toolTip);
    }

    void layout()
    {
        QFETCH(QString, name);
        QFETCH(QString, container);
        QFETCH(QRect, geometry);
        QFETCH(QString, text);
        QFETCH(QString, toolTip);

        frmSetting dlg;
        auto *w = dlg.findChild<QWidget *>(name);
        QVERIFY2(w != nullptr, qPrintable(name));
        QCOMPARE(w->parentWidget()->objectName(), container);
        QString shown;
        if (auto *label = qobject_cast<QLabel *>(w)) {
            // Labels may grow to show their whole text; nothing moves.
            const QString problem = dialogtest::placeProblem(w, geometry);
            QVERIFY2(problem.isEmpty(), qPrintable(problem));
            shown = label->text();
        } else {
            QCOMPARE(w->geometry(), geometry);
        }
        if (auto *box = qobject_cast<QGroupBox *>(w))
            shown = box->title();
        else if (auto *button = qobject_cast<QPushButton *>(w))
            shown = button->text();
        else if (auto *edit = qobject_cast<QLineEdit *>(w)) {
            shown = edit->text();
            QCOMPARE(edit->maxLength(), 32767); // no limit of its own
            QVERIFY(edit->validator() == nullptr);
        }
        QCOMPARE(shown, text);
        QCOMPARE(w->toolTip(), toolTip);
    }

    void window()
    {
        frmSetting dlg;
        QCOMPARE(dlg.windowTitle(), QStringLiteral("設定 - Kestrune"));
        QCOMPARE(dlg.size(), QSize(359, 203));
        QCOMPARE(dlg.minimumSize(), QSize(359, 203));
        QCOMPARE(dlg.maximumSize(), QSize(359, 203));
        const Qt::WindowFlags flags = dlg.windowFlags();
        QVERIFY(!(flags
                  & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint
                     | Qt::WindowContextHelpButtonHint)));
    }

    void everyTextShowsWhole_data()
    {
        QTest::addColumn<QString>("family");
        QTest::newRow("application font") << QString();
        QTest::newRow("Noto Sans CJK JP") << QStringLiteral("Noto Sans CJK JP");
    }

    void everyTextShowsWhole()
    {
        QFETCH(QString, family);
        const QFont before = QApplication::font();
        if (!family.isEmpty())
            QApplication::setFont(QFont(family, 9));
        frmSetting dlg;
        QApplication::setFont(before);
        for (QLabel *label : dlg.findChildren<QLabel *>()) {
            const QString problem = dialogtest::clipProblem(label);
            QVERIFY2(problem.isEmpty(),
                     qPrintable(label->objectName() + QLatin1String(": ") + problem));
            // It stays clear of the box beside it.
            QVERIFY(label->geometry().right() < 110);
        }
    }

    void openingReadsTheFileAndSelectsTheTimeout()
    {
        writeIni("[Kestrune]\r\nTimeout= 45 \r\nProxyAddress=proxy.lan\r\nProxyPort=8080\r\n");
        glngTimeout = 1234;

        auto dlg = openDialog();
        const SettingControls c(dlg.get());
        QCOMPARE(QFileInfo(gstrIniFile).absoluteFilePath(),
                 QFileInfo(iniPath()).absoluteFilePath());
        QCOMPARE(gstrTimeout, QStringLiteral("45"));
        QCOMPARE(gstrProxyAddress, QStringLiteral("proxy.lan"));
        QCOMPARE(gstrProxyPort, QStringLiteral("8080"));
        verifyBoxes(*dlg, QStringLiteral("45"), QStringLiteral("proxy.lan"),
                    QStringLiteral("8080"));
        // Opening leaves the derived settings alone.
        QCOMPARE(glngTimeout, 1234);
        QCOMPARE(gstrProxy, QStringLiteral("earlier:1"));

        QCOMPARE(QApplication::focusWidget(), c.txtTimeOut);
        QCOMPARE(c.txtTimeOut->selectedText(), QStringLiteral("45"));
        QVERIFY(m_ui->messages.isEmpty());
    }

    void openingWithoutFileShowsEmptyBoxes()
    {
        QVERIFY(QFile::remove(iniPath()));
        auto dlg = openDialog();
        verifyBoxes(*dlg, QString(), QString(), QString());
        QVERIFY(gstrTimeout.isEmpty());
        QVERIFY(m_ui->messages.isEmpty());
    }

    void tabOrder()
    {
        auto dlg = openDialog();
        const SettingControls c(dlg.get());
        const QList<QWidget *> expected = {c.txtProxyAddress, c.txtProxyPort, c.cmdButton[0],
                                           c.cmdButton[1], c.txtTimeOut};
        for (QWidget *next : expected) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), next);
        }
    }

    void gainingFocusSelectsWholeText_data()
    {
        QTest::addColumn<QString>("how");
        for (const char *how : {"tab", "backtab", "click", "program"})
            QTest::newRow(how) << QString::fromLatin1(how);
    }

    void gainingFocusSelectsWholeText()
    {
        QFETCH(QString, how);
        auto dlg = openDialog();
        const SettingControls c(dlg.get());
        QLineEdit *box = c.txtProxyAddress;
        box->setText(QStringLiteral("proxy.example.jp"));
        box->deselect();

        if (how == QLatin1String("tab")) {
            QTest::keyClick(c.txtTimeOut, Qt::Key_Tab);
        } else if (how == QLatin1String("backtab")) {
            c.txtProxyPort->setFocus();
            QTest::keyClick(c.txtProxyPort, Qt::Key_Backtab);
        } else if (how == QLatin1String("click")) {
            // Towards the end of the text, where a plain click puts the cursor.
            QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(box->width() - 20, 9));
        } else {
            box->setFocus();
        }
        QCOMPARE(QApplication::focusWidget(), box);
        QCOMPARE(box->selectedText(), QStringLiteral("proxy.example.jp"));

        // Typing replaces the whole text.
        QTest::keyClicks(box, QStringLiteral("p2"));
        QCOMPARE(box->text(), QStringLiteral("p2"));
    }

    void secondClickInFocusedBoxPlacesCursor()
    {
        auto dlg = openDialog();
        const SettingControls c(dlg.get());
        c.txtProxyAddress->setText(QStringLiteral("proxy.example.jp"));
        QTest::mouseClick(c.txtProxyAddress, Qt::LeftButton, {}, QPoint(30, 9));
        QVERIFY(c.txtProxyAddress->hasSelectedText());
        // Once the box has the focus a click is an ordinary click.
        QTest::mouseClick(c.txtProxyAddress, Qt::LeftButton, {}, QPoint(30, 9));
        QVERIFY(!c.txtProxyAddress->hasSelectedText());
    }

    void enterAndEscDoNothing_data()
    {
        QTest::addColumn<int>("key");
        QTest::newRow("Esc") << int(Qt::Key_Escape);
        QTest::newRow("Return") << int(Qt::Key_Return);
        QTest::newRow("Enter") << int(Qt::Key_Enter);
    }

    void enterAndEscDoNothing()
    {
        QFETCH(int, key);
        const QByteArray before = iniBytes();
        auto dlg = openDialog();
        const SettingControls c(dlg.get());
        c.txtTimeOut->setText(QStringLiteral("99"));
        // On the boxes and on either button (neither is a default button).
        for (QWidget *w : QList<QWidget *>{c.txtTimeOut, c.cmdButton[0], c.cmdButton[1]}) {
            w->setFocus();
            QTest::keyClick(w, Qt::Key(key));
            QVERIFY(dlg->isVisible());
        }
        QCOMPARE(dlg->result(), 0);
        QVERIFY(m_ui->messages.isEmpty());
        verifyNothingSaved(before);
    }

    void refusedTimeout_data()
    {
        QTest::addColumn<QString>("timeout");
        QTest::addColumn<bool>("timeoutFocused"); // the box has the focus when save is pressed
        QTest::newRow("empty") << "" << false;
        QTest::newRow("spaces") << "    " << false;
        QTest::newRow("spaces, box focused") << "  " << true;
        QTest::newRow("letters") << "abc" << false;
        QTest::newRow("digits and letters") << "12s" << false;
        QTest::newRow("2147484 (overflow)") << "2147484" << false;
        QTest::newRow("-2147484 (overflow)") << "-2147484" << false;
        QTest::newRow("huge") << "99999999999999999999" << false;
    }

    void refusedTimeout()
    {
        QFETCH(QString, timeout);
        QFETCH(bool, timeoutFocused);
        const QByteArray before = iniBytes();
        auto dlg = openDialog();
        const SettingControls c(dlg.get());
        setTexts(*dlg, timeout, QStringLiteral("new.proxy"), QStringLiteral("81"));
        if (timeoutFocused) {
            // No focus change on the way, so no focus event selects the text.
            c.txtTimeOut->setFocus();
            c.txtTimeOut->deselect();
            c.cmdButton[0]->click();
        } else {
            c.txtProxyPort->setFocus();
            clickSave(*dlg);
        }

        QCOMPARE(m_ui->messages.size(), 1);
        verifyMessage(0, kNeedTimeout, MsgIcon::Exclamation, dlg.get());
        QVERIFY(dlg->isVisible());
        QCOMPARE(QApplication::focusWidget(), c.txtTimeOut);
        QCOMPARE(c.txtTimeOut->selectedText(), timeout);
        // Nothing stored, nothing recomputed; the boxes keep what was typed.
        verifyNothingSaved(before);
        QCOMPARE(c.txtProxyAddress->text(), QStringLiteral("new.proxy"));

        // Corrected, the same dialog saves.
        c.txtTimeOut->setText(QStringLiteral("12"));
        clickSave(*dlg);
        QCOMPARE(m_ui->messageTexts(), QStringList({kNeedTimeout, kChanged}));
        QCOMPARE(glngTimeout, 12000);
        QVERIFY(!dlg->isVisible());
    }

    void accessKeys()
    {
        auto dlg = openDialog();
        const SettingControls c(dlg.get());
        c.txtTimeOut->setText(QStringLiteral("25"));
        // Access keys go through the window, where shortcuts are dispatched.
        QTest::keyClick(dlg->windowHandle(), Qt::Key_S, Qt::AltModifier); // 保存(&S)
        QTRY_COMPARE_WITH_TIMEOUT(m_ui->messageTexts(), QStringList({kChanged}), 30000);
        QCOMPARE(glngTimeout, 25000);

        auto again = openDialog();
        const SettingControls a(again.get());
        a.txtTimeOut->setText(QStringLiteral("26"));
        QTest::keyClick(again->windowHandle(), Qt::Key_C, Qt::AltModifier); // ｷｬﾝｾﾙ(&C)
        QTRY_VERIFY_WITH_TIMEOUT(!again->isVisible(), 30000);
        QCOMPARE(again->result(), int(QDialog::Rejected));
        QCOMPARE(glngTimeout, 25000);
        QVERIFY(iniBytes().contains("Timeout=25\r\n"));
    }

    void save_data()
    {
        QTest::addColumn<SaveCase>("c");
        // The time-out, with the proxy boxes as the file filled them.
        auto timeout = [](const char *name, const char *typed, const char *stored, int ms) {
            QTest::newRow(name) << SaveCase{u8(typed),
                                            u8(stored),
                                            ms,
                                            "cache.example",
                                            "3128",
                                            "earlier:1",
                                            "cache.example:3128",
                                            "cache.example",
                                            "3128"};
        };
        timeout("45 with spaces", "  45  ", "45", 45000);
        timeout("0", "0", "0", 0);
        timeout("-5", "-5", "-5", -5000);
        timeout("largest", "2147483", "2147483", 2147483000);
        timeout("smallest", "-2147483", "-2147483", -2147483000);
        timeout("2.5 rounds to even", "2.5", "2.5", 2000);
        timeout("3.5 rounds to even", "3.5", "3.5", 4000);
        timeout("plus sign", "+7", "+7", 7000);

        // The proxy rule, with the time-out " 60 ".
        auto proxy = [](const char *name, const char *address, const char *port, const char *before,
                        const char *after, const char *storedAddress, const char *storedPort) {
            QTest::newRow(name) << SaveCase{" 60 ", "60",  60000,         address,   port,
                                            before, after, storedAddress, storedPort};
        };
        proxy("address, empty port", "proxy.lan", "", "", "proxy.lan", "proxy.lan", "");
        proxy("address and 8080", "  proxy.lan  ", "8080", "", "proxy.lan:8080", "proxy.lan",
              "8080");
        proxy("port with spaces", "10.0.0.1", " 3128 ", "old:1", "10.0.0.1:3128", "10.0.0.1",
              "3128");
        proxy("empty address keeps the earlier proxy", "", "8080", "earlier.proxy:3128",
              "earlier.proxy:3128", "", "8080");
        proxy("empty address after start-up", "   ", "8080", "", "", "", "8080");
        proxy("both empty", "", "", "old:1", "old:1", "", "");
    }

    void save()
    {
        QFETCH(SaveCase, c);
        gstrProxy = c.proxyBefore;
        auto dlg = openDialog();
        setTexts(*dlg, c.timeout, c.address, c.port);
        clickSave(*dlg);

        QCOMPARE(m_ui->messages.size(), 1);
        verifyMessage(0, kChanged, MsgIcon::Information, dlg.get());
        QVERIFY(!dlg->isVisible());
        QCOMPARE(dlg->result(), int(QDialog::Accepted));
        QCOMPARE(gstrTimeout, c.storedTimeout);
        QCOMPARE(glngTimeout, c.milliseconds);
        QCOMPARE(gstrProxy, c.proxyAfter);
        QCOMPARE(gstrProxyAddress, c.storedAddress);
        QCOMPARE(gstrProxyPort, c.storedPort);
        QVERIFY(iniBytes().contains("Timeout=" + c.storedTimeout.toUtf8() + "\r\n"));
        // Opened again, the dialog shows the stored, trimmed values.
        verifyBoxes(*openDialog(), c.storedTimeout, c.storedAddress, c.storedPort);
    }

    void keysAreWrittenInOrder()
    {
        writeIni("; settings\r\n[Kestrune]\r\nOther=1\r\n");
        auto dlg = openDialog();
        setTexts(*dlg, QStringLiteral("20"), QStringLiteral("p"), QStringLiteral("1"));
        clickSave(*dlg);
        const QByteArray text = iniBytes();
        const qsizetype t = text.indexOf("Timeout=20");
        const qsizetype a = text.indexOf("ProxyAddress=p");
        const qsizetype p = text.indexOf("ProxyPort=1");
        QVERIFY2(t >= 0 && a > t && p > a, text.constData());
        QVERIFY(text.startsWith("; settings\r\n[Kestrune]\r\nOther=1\r\n"));
    }

    void cancelChangesNothing_data()
    {
        QTest::addColumn<bool>("closeBox");
        QTest::newRow("cancel button") << false;
        QTest::newRow("close box") << true;
    }

    void cancelChangesNothing()
    {
        QFETCH(bool, closeBox);
        const QByteArray before = iniBytes();
        auto dlg = openDialog();
        const SettingControls c(dlg.get());
        setTexts(*dlg, QStringLiteral("77"), QStringLiteral("typed.proxy"), QStringLiteral("9999"));
        if (closeBox)
            QVERIFY(dlg->close());
        else
            QTest::mouseClick(c.cmdButton[1], Qt::LeftButton);

        QVERIFY(!dlg->isVisible());
        QCOMPARE(dlg->result(), int(QDialog::Rejected));
        QVERIFY(m_ui->messages.isEmpty());
        verifyNothingSaved(before);
        // Opened again, the dialog shows the file, not what was typed.
        verifyBoxes(*openDialog(), QStringLiteral("30"), QStringLiteral("cache.example"),
                    QStringLiteral("3128"));
    }

    // A save that cannot be stored warns once, naming the file and the
    // system's reason, and is not confirmed; the program still goes on with
    // the new values and the dialog closes.
    void unwritableFileWarnsOnceWithoutConfirming()
    {
        QVERIFY(QFile::setPermissions(iniPath(), QFileDevice::ReadOwner | QFileDevice::ReadGroup
                                                     | QFileDevice::ReadOther));
        const QByteArray before = iniBytes();
        auto dlg = openDialog();
        setTexts(*dlg, QStringLiteral("90"), QStringLiteral("ro.proxy"), QStringLiteral("8000"));
        clickSave(*dlg);

        QVERIFY(QFileInfo(gstrIniFile).isAbsolute());
        QCOMPARE(m_ui->messageTexts(),
                 QStringList{gstrIniFile + kWriteError + QStringLiteral("\r\n")
                             + QString::fromLocal8Bit(std::strerror(EACCES))});
        verifyMessage(0, m_ui->messages.at(0).text, MsgIcon::Exclamation);
        QVERIFY(!dlg->isVisible());
        QCOMPARE(iniBytes(), before);
        // The program goes on with the new values.
        QCOMPARE(gstrTimeout, QStringLiteral("90"));
        QCOMPARE(glngTimeout, 90000);
        QCOMPARE(gstrProxy, QStringLiteral("ro.proxy:8000"));
    }
};

QTEST_MAIN(tst_frmSetting)
#include "tst_frmSetting.moc"
