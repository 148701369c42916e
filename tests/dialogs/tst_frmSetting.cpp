// The settings dialog: what it shows, how it validates, what it stores.

#include "LabelChecks.h"
#include "RecordingUi.h"

#include "app/basKestrune.h"
#include "dialogs/frmSetting.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace basKestrune;
using kestrune::MsgIcon;

namespace {

const QString kWriteError = QStringLiteral(" ファイルの書き込み時にエラーが発生しました。");
const QString kNeedTimeout = QStringLiteral("タイムアウト値（秒）を指定してください。");
const QString kChanged = QStringLiteral("設定が変更されました！");

} // namespace

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

    QString storedValue(const char *key) const
    {
        return ReadIniValue(kSection, QLatin1String(key), iniPath());
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
        dlg.txtTimeOut->setText(timeout);
        dlg.txtProxyAddress->setText(address);
        dlg.txtProxyPort->setText(port);
    }

    void clickSave(frmSetting &dlg) { QTest::mouseClick(dlg.cmdButton[0], Qt::LeftButton); }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        frmSetting::SetExecutableFolder(m_dir->path());
        writeIni("[Kestrune]\r\nTimeout=30\r\nProxyAddress=cache.example\r\nProxyPort=3128\r\n");
        // What start-up and earlier saves may have left behind.
        gstrIniFile.clear();
        gstrTimeout = QStringLiteral("30");
        glngTimeout = 30000;
        gstrProxyAddress.clear();
        gstrProxyPort.clear();
        gstrProxy.clear();
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

        const QString dialog = QStringLiteral("frmSetting");
        QTest::newRow("lblWindow") << "lblWindow" << dialog << QRect(12, 10, 96, 12)
                                   << "稼動環境設定画面" << "";
        QTest::newRow("frameCommunication") << "frameCommunication" << dialog
                                            << QRect(10, 34, 339, 39) << "通信設定" << "";
        QTest::newRow("lblCommunication")
            << "lblCommunication" << "frameCommunication" << QRect(8, 18, 91, 12)
            << "タイムアウト（秒）："
            << "この時間内に処理できなかった場合サーバのステータスを初期化します（単位：秒）";
        QTest::newRow("txtTimeOut")
            << "txtTimeOut" << "frameCommunication" << QRect(110, 14, 49, 18) << "30"
            << "この時間内に処理できなかった場合、通信状態を初期化します（単位：秒）";
        QTest::newRow("frameProxyServer") << "frameProxyServer" << dialog
                                          << QRect(10, 84, 339, 63) << "プロキシ サーバー" << "";
        QTest::newRow("lblProxyServer") << "lblProxyServer" << "frameProxyServer"
                                        << QRect(10, 18, 46, 12) << "アドレス：" << "";
        QTest::newRow("txtProxyAddress") << "txtProxyAddress" << "frameProxyServer"
                                         << QRect(110, 14, 219, 18) << "cache.example" << "";
        QTest::newRow("port caption") << "lblProxyPort" << "frameProxyServer"
                                      << QRect(10, 36, 37, 12) << "ポート：" << "";
        QTest::newRow("txtProxyPort") << "txtProxyPort" << "frameProxyServer"
                                      << QRect(110, 34, 219, 18) << "3128" << "";
        QTest::newRow("cmdButton(0)") << "cmdButton_0" << dialog << QRect(106, 162, 72, 29)
                                      << "保存(&S)" << "設定を保存";
        QTest::newRow("cmdButton(1)") << "cmdButton_1" << dialog << QRect(192, 162, 72, 29)
                                      << "ｷｬﾝｾﾙ(&C)" << "キャンセル";
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
        // Labels may grow to show their whole text; nothing moves.
        if (qobject_cast<QLabel *>(w)) {
            const QString problem = dialogtest::placeProblem(w, geometry);
            QVERIFY2(problem.isEmpty(), qPrintable(problem));
        } else {
            QCOMPARE(w->geometry(), geometry);
        }
        QString shown;
        if (auto *label = qobject_cast<QLabel *>(w))
            shown = label->text();
        else if (auto *box = qobject_cast<QGroupBox *>(w))
            shown = box->title();
        else if (auto *edit = qobject_cast<QLineEdit *>(w))
            shown = edit->text();
        else if (auto *button = qobject_cast<QPushButton *>(w))
            shown = button->text();
        QCOMPARE(shown, text);
        QCOMPARE(w->toolTip(), toolTip);
        if (auto *edit = qobject_cast<QLineEdit *>(w)) {
            QCOMPARE(edit->maxLength(), 32767); // no limit of its own
            QVERIFY(edit->validator() == nullptr);
        }
    }

    void window()
    {
        frmSetting dlg;
        QCOMPARE(dlg.windowTitle(), QStringLiteral("設定 - Kestrune"));
        QCOMPARE(dlg.size(), QSize(359, 203));
        QCOMPARE(dlg.minimumSize(), QSize(359, 203));
        QCOMPARE(dlg.maximumSize(), QSize(359, 203));
        const Qt::WindowFlags flags = dlg.windowFlags();
        QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
        QVERIFY(!(flags & Qt::WindowContextHelpButtonHint));
        QCOMPARE(dlg.cmdButton[0]->objectName(), QStringLiteral("cmdButton_0"));
        QCOMPARE(dlg.cmdButton[1]->objectName(), QStringLiteral("cmdButton_1"));
        for (QPushButton *b : dlg.cmdButton) {
            QVERIFY(!b->isDefault());
            QVERIFY(!b->autoDefault());
        }
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
            QVERIFY2(problem.isEmpty(), qPrintable(label->objectName() + QLatin1String(": ") + problem));
            // It stays clear of the box beside it.
            QVERIFY(label->geometry().right() < 110);
        }
    }

    void openingReadsTheFileAndSelectsTheTimeout()
    {
        writeIni("[Kestrune]\r\nTimeout= 45 \r\nProxyAddress=proxy.lan\r\nProxyPort=8080\r\n");
        gstrProxy = QStringLiteral("earlier:1");
        glngTimeout = 1234;

        auto dlg = openDialog();
        QCOMPARE(QFileInfo(gstrIniFile).absoluteFilePath(), QFileInfo(iniPath()).absoluteFilePath());
        QCOMPARE(gstrTimeout, QStringLiteral("45"));
        QCOMPARE(gstrProxyAddress, QStringLiteral("proxy.lan"));
        QCOMPARE(gstrProxyPort, QStringLiteral("8080"));
        QCOMPARE(dlg->txtTimeOut->text(), QStringLiteral("45"));
        QCOMPARE(dlg->txtProxyAddress->text(), QStringLiteral("proxy.lan"));
        QCOMPARE(dlg->txtProxyPort->text(), QStringLiteral("8080"));
        // Opening leaves the derived settings alone.
        QCOMPARE(glngTimeout, 1234);
        QCOMPARE(gstrProxy, QStringLiteral("earlier:1"));

        QCOMPARE(QApplication::focusWidget(), dlg->txtTimeOut);
        QCOMPARE(dlg->txtTimeOut->selectedText(), QStringLiteral("45"));
        QVERIFY(m_ui->messages.isEmpty());
    }

    void openingWithoutFileShowsEmptyBoxes()
    {
        QVERIFY(QFile::remove(iniPath()));
        auto dlg = openDialog();
        QVERIFY(dlg->txtTimeOut->text().isEmpty());
        QVERIFY(dlg->txtProxyAddress->text().isEmpty());
        QVERIFY(dlg->txtProxyPort->text().isEmpty());
        QVERIFY(gstrTimeout.isEmpty());
        QVERIFY(m_ui->messages.isEmpty());
    }

    void tabOrder()
    {
        auto dlg = openDialog();
        const QList<QWidget *> expected = {dlg->txtTimeOut, dlg->txtProxyAddress,
                                           dlg->txtProxyPort, dlg->cmdButton[0],
                                           dlg->cmdButton[1], dlg->txtTimeOut};
        for (int i = 1; i < expected.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), expected[i]);
        }
    }

    void gainingFocusSelectsWholeText_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("tab") << "tab";
        QTest::newRow("backtab") << "backtab";
        QTest::newRow("click") << "click";
        QTest::newRow("program") << "program";
    }

    void gainingFocusSelectsWholeText()
    {
        QFETCH(QString, how);
        auto dlg = openDialog();
        dlg->txtProxyAddress->setText(QStringLiteral("proxy.example.jp"));
        dlg->txtProxyAddress->deselect();

        if (how == QLatin1String("tab")) {
            QTest::keyClick(dlg->txtTimeOut, Qt::Key_Tab);
        } else if (how == QLatin1String("backtab")) {
            dlg->txtProxyPort->setFocus();
            QTest::keyClick(dlg->txtProxyPort, Qt::Key_Backtab);
        } else if (how == QLatin1String("click")) {
            // Towards the end of the text, where a plain click puts the cursor.
            QTest::mouseClick(dlg->txtProxyAddress, Qt::LeftButton, {},
                              QPoint(dlg->txtProxyAddress->width() - 20, 9));
        } else {
            dlg->txtProxyAddress->setFocus();
        }
        QCOMPARE(QApplication::focusWidget(), dlg->txtProxyAddress);
        QCOMPARE(dlg->txtProxyAddress->selectedText(), QStringLiteral("proxy.example.jp"));

        // Typing replaces the whole text.
        QTest::keyClicks(dlg->txtProxyAddress, QStringLiteral("p2"));
        QCOMPARE(dlg->txtProxyAddress->text(), QStringLiteral("p2"));
    }

    void secondClickInFocusedBoxPlacesCursor()
    {
        auto dlg = openDialog();
        dlg->txtProxyAddress->setText(QStringLiteral("proxy.example.jp"));
        QTest::mouseClick(dlg->txtProxyAddress, Qt::LeftButton, {}, QPoint(30, 9));
        QVERIFY(dlg->txtProxyAddress->hasSelectedText());
        // Once the box has the focus a click is an ordinary click.
        QTest::mouseClick(dlg->txtProxyAddress, Qt::LeftButton, {}, QPoint(30, 9));
        QVERIFY(!dlg->txtProxyAddress->hasSelectedText());
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
        dlg->txtTimeOut->setText(QStringLiteral("99"));
        for (QWidget *w : {static_cast<QWidget *>(dlg->txtTimeOut),
                           static_cast<QWidget *>(dlg->cmdButton[0]),
                           static_cast<QWidget *>(dlg->cmdButton[1])}) {
            w->setFocus();
            QTest::keyClick(w, Qt::Key(key));
            QVERIFY(dlg->isVisible());
        }
        QCOMPARE(dlg->result(), 0);
        QVERIFY(m_ui->messages.isEmpty());
        QCOMPARE(iniBytes(), before);
        QCOMPARE(glngTimeout, 30000);
    }

    void refusedTimeout_data()
    {
        QTest::addColumn<QString>("timeout");
        QTest::newRow("empty") << "";
        QTest::newRow("spaces") << "    ";
        QTest::newRow("letters") << "abc";
        QTest::newRow("digits and letters") << "12s";
        QTest::newRow("2147484 (overflow)") << "2147484";
        QTest::newRow("-2147484 (overflow)") << "-2147484";
        QTest::newRow("huge") << "99999999999999999999";
    }

    void refusedTimeout()
    {
        QFETCH(QString, timeout);
        const QByteArray before = iniBytes();
        gstrProxy = QStringLiteral("earlier:1");
        auto dlg = openDialog();
        setTexts(*dlg, timeout, QStringLiteral("new.proxy"), QStringLiteral("81"));
        dlg->txtProxyPort->setFocus(); // the focus is elsewhere when save is pressed

        clickSave(*dlg);

        QCOMPARE(m_ui->messages.size(), 1);
        QCOMPARE(m_ui->messages[0].text, kNeedTimeout);
        QCOMPARE(m_ui->messages[0].icon, MsgIcon::Exclamation);
        QCOMPARE(m_ui->messages[0].title, QStringLiteral("Kestrune"));
        QVERIFY(dlg->isVisible());
        QCOMPARE(QApplication::focusWidget(), dlg->txtTimeOut);
        QCOMPARE(dlg->txtTimeOut->selectedText(), timeout);
        // Nothing stored, nothing recomputed; the boxes keep what was typed.
        QCOMPARE(iniBytes(), before);
        QCOMPARE(gstrTimeout, QStringLiteral("30"));
        QCOMPARE(glngTimeout, 30000);
        QCOMPARE(gstrProxyAddress, QStringLiteral("cache.example"));
        QCOMPARE(gstrProxyPort, QStringLiteral("3128"));
        QCOMPARE(gstrProxy, QStringLiteral("earlier:1"));
        QCOMPARE(dlg->txtProxyAddress->text(), QStringLiteral("new.proxy"));

        // Corrected, the same dialog saves.
        dlg->txtTimeOut->setText(QStringLiteral("12"));
        clickSave(*dlg);
        QCOMPARE(m_ui->messageTexts(), QStringList({kNeedTimeout, kChanged}));
        QCOMPARE(glngTimeout, 12000);
        QVERIFY(!dlg->isVisible());
    }

    void refusalWhileTimeoutHasFocusSelectsIt()
    {
        auto dlg = openDialog();
        dlg->txtTimeOut->setText(QStringLiteral("  "));
        dlg->txtTimeOut->setFocus();
        dlg->txtTimeOut->deselect();
        dlg->cmdButton[0]->click(); // no focus change on the way
        QCOMPARE(m_ui->messageTexts(), QStringList({kNeedTimeout}));
        QCOMPARE(QApplication::focusWidget(), dlg->txtTimeOut);
        QCOMPARE(dlg->txtTimeOut->selectedText(), QStringLiteral("  "));
    }

    void accessKeys()
    {
        auto dlg = openDialog();
        dlg->txtTimeOut->setText(QStringLiteral("25"));
        // Access keys go through the window, where shortcuts are dispatched.
        QTest::keyClick(dlg->windowHandle(), Qt::Key_S, Qt::AltModifier); // 保存(&S)
        QTRY_COMPARE(m_ui->messageTexts(), QStringList({kChanged}));
        QCOMPARE(glngTimeout, 25000);

        auto again = openDialog();
        again->txtTimeOut->setText(QStringLiteral("26"));
        QTest::keyClick(again->windowHandle(), Qt::Key_C, Qt::AltModifier); // ｷｬﾝｾﾙ(&C)
        QTRY_VERIFY(!again->isVisible());
        QCOMPARE(again->result(), int(QDialog::Rejected));
        QCOMPARE(glngTimeout, 25000);
        QCOMPARE(storedValue("Timeout"), QStringLiteral("25"));
    }

    void savedTimeout_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("milliseconds");
        QTest::newRow("45 with spaces") << "  45  " << "45" << 45000;
        QTest::newRow("0") << "0" << "0" << 0;
        QTest::newRow("-5") << "-5" << "-5" << -5000;
        QTest::newRow("largest") << "2147483" << "2147483" << 2147483000;
        QTest::newRow("smallest") << "-2147483" << "-2147483" << -2147483000;
        QTest::newRow("2.5 rounds to even") << "2.5" << "2.5" << 2000;
        QTest::newRow("3.5 rounds to even") << "3.5" << "3.5" << 4000;
        QTest::newRow("plus sign") << "+7" << "+7" << 7000;
    }

    void savedTimeout()
    {
        QFETCH(QString, typed);
        QFETCH(QString, stored);
        QFETCH(int, milliseconds);
        auto dlg = openDialog();
        dlg->txtTimeOut->setText(typed);
        clickSave(*dlg);

        QCOMPARE(m_ui->messages.size(), 1);
        QCOMPARE(m_ui->messages[0].text, kChanged);
        QCOMPARE(m_ui->messages[0].icon, MsgIcon::Information);
        QCOMPARE(m_ui->messages[0].title, QStringLiteral("Kestrune"));
        QVERIFY(!dlg->isVisible());
        QCOMPARE(dlg->result(), int(QDialog::Accepted));
        QCOMPARE(gstrTimeout, stored);
        QCOMPARE(glngTimeout, milliseconds);
        QCOMPARE(storedValue("Timeout"), stored);
        QVERIFY(iniBytes().contains("Timeout=" + stored.toUtf8() + "\r\n"));
    }

    void proxyRule_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("proxyBefore");
        QTest::addColumn<QString>("proxyAfter");
        QTest::addColumn<QString>("storedAddress");
        QTest::addColumn<QString>("storedPort");

        QTest::newRow("address, empty port")
            << "proxy.lan" << "" << "" << "proxy.lan" << "proxy.lan" << "";
        QTest::newRow("address and 8080")
            << "  proxy.lan  " << "8080" << "" << "proxy.lan:8080" << "proxy.lan" << "8080";
        QTest::newRow("port with spaces")
            << "10.0.0.1" << " 3128 " << "old:1" << "10.0.0.1:3128" << "10.0.0.1" << "3128";
        QTest::newRow("empty address keeps the earlier proxy")
            << "" << "8080" << "earlier.proxy:3128" << "earlier.proxy:3128" << "" << "8080";
        QTest::newRow("empty address after start-up")
            << "   " << "8080" << "" << "" << "" << "8080";
        QTest::newRow("both empty") << "" << "" << "old:1" << "old:1" << "" << "";
    }

    void proxyRule()
    {
        QFETCH(QString, address);
        QFETCH(QString, port);
        QFETCH(QString, proxyBefore);
        QFETCH(QString, proxyAfter);
        QFETCH(QString, storedAddress);
        QFETCH(QString, storedPort);

        gstrProxy = proxyBefore;
        auto dlg = openDialog();
        setTexts(*dlg, QStringLiteral("30"), address, port);
        clickSave(*dlg);

        QCOMPARE(m_ui->messageTexts(), QStringList({kChanged}));
        QCOMPARE(gstrProxy, proxyAfter);
        QCOMPARE(gstrProxyAddress, storedAddress);
        QCOMPARE(gstrProxyPort, storedPort);
        QCOMPARE(storedValue("ProxyAddress"), storedAddress);
        QCOMPARE(storedValue("ProxyPort"), storedPort);
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
        gstrProxy = QStringLiteral("earlier:1");
        auto dlg = openDialog();
        setTexts(*dlg, QStringLiteral("77"), QStringLiteral("typed.proxy"),
                 QStringLiteral("9999"));
        if (closeBox)
            QVERIFY(dlg->close());
        else
            QTest::mouseClick(dlg->cmdButton[1], Qt::LeftButton);

        QVERIFY(!dlg->isVisible());
        QCOMPARE(dlg->result(), int(QDialog::Rejected));
        QVERIFY(m_ui->messages.isEmpty());
        QCOMPARE(iniBytes(), before);
        QCOMPARE(glngTimeout, 30000);
        QCOMPARE(gstrProxy, QStringLiteral("earlier:1"));
        QCOMPARE(gstrTimeout, QStringLiteral("30"));
        QCOMPARE(gstrProxyAddress, QStringLiteral("cache.example"));
        QCOMPARE(gstrProxyPort, QStringLiteral("3128"));

        // Opened again, the dialog shows the file, not what was typed.
        auto again = openDialog();
        QCOMPARE(again->txtTimeOut->text(), QStringLiteral("30"));
        QCOMPARE(again->txtProxyAddress->text(), QStringLiteral("cache.example"));
        QCOMPARE(again->txtProxyPort->text(), QStringLiteral("3128"));
    }

    void reopenAfterSaveShowsSavedValues()
    {
        auto dlg = openDialog();
        setTexts(*dlg, QStringLiteral(" 60 "), QStringLiteral(" p.lan "), QString());
        clickSave(*dlg);
        auto again = openDialog();
        QCOMPARE(again->txtTimeOut->text(), QStringLiteral("60"));
        QCOMPARE(again->txtProxyAddress->text(), QStringLiteral("p.lan"));
        QCOMPARE(again->txtProxyPort->text(), QString());
    }

    void readOnlyFileWarnsPerKeyThenConfirms()
    {
        QVERIFY(QFile::setPermissions(iniPath(), QFileDevice::ReadOwner | QFileDevice::ReadGroup
                                                     | QFileDevice::ReadOther));
        const QByteArray before = iniBytes();
        auto dlg = openDialog();
        setTexts(*dlg, QStringLiteral("90"), QStringLiteral("ro.proxy"), QStringLiteral("8000"));
        clickSave(*dlg);

        const QString warning = gstrIniFile + kWriteError;
        QVERIFY(QFileInfo(gstrIniFile).isAbsolute());
        QCOMPARE(m_ui->messageTexts(), QStringList({warning, warning, warning, kChanged}));
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(m_ui->messages[i].icon, MsgIcon::Exclamation);
            QCOMPARE(m_ui->messages[i].title, QStringLiteral("Kestrune"));
        }
        QCOMPARE(m_ui->messages[3].icon, MsgIcon::Information);
        QVERIFY(!dlg->isVisible());
        QCOMPARE(iniBytes(), before);
        // The program goes on with the new values.
        QCOMPARE(gstrTimeout, QStringLiteral("90"));
        QCOMPARE(glngTimeout, 90000);
        QCOMPARE(gstrProxy, QStringLiteral("ro.proxy:8000"));
    }

    void modalUseAsTheCollectorWindowDoesIt()
    {
        QWidget owner;
        owner.show();
        frmSetting dlg(&owner);
        QTimer::singleShot(0, &dlg, [&] {
            dlg.txtTimeOut->setText(QStringLiteral("15"));
            dlg.txtProxyAddress->setText(QStringLiteral("modal.proxy"));
            dlg.cmdButton[0]->click();
        });
        QCOMPARE(dlg.exec(), int(QDialog::Accepted));
        QCOMPARE(glngTimeout, 15000);
        QCOMPARE(gstrProxy, QStringLiteral("modal.proxy:3128"));
        QCOMPARE(m_ui->messages.value(0).parent.data(), static_cast<QWidget *>(&dlg));
    }
};

QTEST_MAIN(tst_frmSetting)
#include "tst_frmSetting.moc"
