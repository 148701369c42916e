// The login dialog: what it says, what it hands back, and that every text
// shows whole however long the server's names are.

#include "LabelChecks.h"
#include "WindowControls.h"

#include "gui/seam/UiSeam.h"
#include "gui/dialogs/frmLogin.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTextDocument>
#include <QTimer>

#include <functional>
#include <optional>

using namespace kestrune;

using kestrune::LoginAnswer;
using kestrune::LoginRequest;

namespace {

using Answer = std::optional<LoginAnswer>;

enum class Finish { ClickOK, EnterInPassword, ClickCancel, Escape };

QString u8(const char *text)
{
    return QString::fromUtf8(text);
}

LoginRequest request(const QString &host, const QString &realm = QString(), bool proxy = false,
                     const QString &user = QString())
{
    LoginRequest r;
    r.host = host;
    r.realm = realm;
    r.proxy = proxy;
    r.user = user;
    return r;
}

// A tool tip as the reader sees it: markup rendered, plain text as it is.
QString shownToolTip(const QString &tip)
{
    if (!Qt::mightBeRichText(tip))
        return tip;
    QTextDocument doc;
    doc.setHtml(tip);
    return doc.toPlainText();
}

// Empty when every line of the label fits its width and all lines its height.
QString multiLineClipProblem(const QLabel *label)
{
    const QFontMetrics fm(label->font());
    const QStringList lines = label->text().split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (fm.horizontalAdvance(line) > label->width())
            return QStringLiteral("line \"%1\" %2 px in %3 px")
                .arg(line)
                .arg(fm.horizontalAdvance(line))
                .arg(label->width());
    }
    const int height = fm.height() + int(lines.size() - 1) * fm.lineSpacing();
    if (height > label->height())
        return QStringLiteral("%1 lines need %2 px, have %3")
            .arg(lines.size())
            .arg(height)
            .arg(label->height());
    return QString();
}

// Runs act on the login dialog once it is the active modal window; gives up
// after 30 s (the test then fails on the dialog's outcome).
void whenLoginShows(const std::function<void(frmLogin *)> &act,
                    QDeadlineTimer deadline = QDeadlineTimer(30000))
{
    QTimer::singleShot(10, [act, deadline] {
        auto *dlg = qobject_cast<frmLogin *>(QApplication::activeModalWidget());
        if (dlg != nullptr && dlg->isActiveWindow())
            act(dlg);
        else if (!deadline.hasExpired())
            whenLoginShows(act, deadline);
    });
}

void finish(frmLogin *dlg, Finish how)
{
    const LoginControls c(dlg);
    switch (how) {
    case Finish::ClickOK: QTest::mouseClick(c.cmdOK, Qt::LeftButton); break;
    case Finish::EnterInPassword: QTest::keyClick(c.txtPassword, Qt::Key_Return); break;
    case Finish::ClickCancel: QTest::mouseClick(c.cmdCancel, Qt::LeftButton); break;
    case Finish::Escape: QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape); break;
    }
}

} // namespace

Q_DECLARE_METATYPE(Answer)
Q_DECLARE_METATYPE(kestrune::LoginRequest)
Q_DECLARE_METATYPE(Finish)

class tst_frmLogin : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void cleanup()
    {
        while (QApplication::overrideCursor())
            QApplication::restoreOverrideCursor();
    }

    void window()
    {
        frmLogin dlg(request(QStringLiteral("logs.example.jp")));
        const LoginControls c(&dlg);
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Kestrune"));
        QCOMPARE(c.lblUser->text(), u8("ユーザー名："));
        QCOMPARE(c.lblPassword->text(), u8("パスワード："));
        QCOMPARE(c.cmdOK->text(), QStringLiteral("OK"));
        // Half-width katakana, no accelerator.
        QCOMPARE(c.cmdCancel->text().toUcs4(),
                 QList<uint>({0xFF77, 0xFF6C, 0xFF9D, 0xFF7E, 0xFF99}));
        QVERIFY(c.cmdOK->isDefault());
        QVERIFY(!c.cmdCancel->isDefault());
        QCOMPARE(c.txtUser->echoMode(), QLineEdit::Normal);
        QCOMPARE(c.txtPassword->echoMode(), QLineEdit::Password);
        for (QLineEdit *box : {c.txtUser, c.txtPassword})
            QVERIFY(box->completer() == nullptr);
        QCOMPARE(dlg.minimumSize(), dlg.maximumSize());
        QCOMPARE(dlg.size(), dlg.minimumSize());
        QVERIFY(!(dlg.windowFlags()
                  & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint
                     | Qt::WindowContextHelpButtonHint)));
    }

    void prompt_data()
    {
        QTest::addColumn<LoginRequest>("req");
        QTest::addColumn<QString>("text");

        QTest::newRow("no realm") << request(QStringLiteral("logs.example.jp"))
                                  << u8("logs.example.jp へのログイン");
        QTest::newRow("realm") << request(QStringLiteral("logs.example.jp"),
                                          QStringLiteral("Kestrune test"))
                               << u8("logs.example.jp へのログイン\n「Kestrune test」");
        QTest::newRow("proxy") << request(QStringLiteral("proxy.lan"),
                                          QStringLiteral("Squid proxy"), true)
                               << u8("proxy.lan へのログイン\n「Squid proxy」");
        QTest::newRow("Japanese realm") << request(QStringLiteral("10.0.0.5"), u8("ログ置き場"))
                                        << u8("10.0.0.5 へのログイン\n「ログ置き場」");
        QTest::newRow("markup stays text")
            << request(QStringLiteral("h"), QStringLiteral("<b>x</b><img src=a>"))
            << u8("h へのログイン\n「<b>x</b><img src=a>」");
        QTest::newRow("breaks and overrides become spaces")
            << request(QStringLiteral("h"), QString::fromUtf16(u"a\r\nb\tc\u202Ed"))
            << u8("h へのログイン\n「a  b c d」");
    }

    void prompt()
    {
        QFETCH(LoginRequest, req);
        QFETCH(QString, text);
        frmLogin dlg(req);
        const LoginControls c(&dlg);
        QCOMPARE(c.lblPrompt->text(), text);
        QCOMPARE(frmLogin::PromptText(req.host, req.realm), text);
        QCOMPARE(c.lblPrompt->textFormat(), Qt::PlainText);
        QCOMPARE(c.lblPrompt->toolTip(), QString()); // nothing was shortened
    }

    void longNamesShortenedInTheMiddle_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("realm");
        QTest::addColumn<bool>("shortened");

        const QString longHost = QStringLiteral("start-") + QString(80, QLatin1Char('h'))
                                 + QStringLiteral("-end.example.jp");
        const QString longRealm = u8("始まり") + QString(60, QChar(0x30ED)) + u8("終わり");
        QTest::newRow("fits the dialog")
            << QStringLiteral("collector-01.logs.example.co.jp") << QStringLiteral("IIS") << false;
        QTest::newRow("long host") << longHost << QString() << true;
        QTest::newRow("long realm") << QStringLiteral("h") << longRealm << true;
        QTest::newRow("both long") << longHost << longRealm << true;
        QTest::newRow("long markup realm")
            << QStringLiteral("h") << QStringLiteral("<b>") + longRealm + QStringLiteral("</b>")
            << true;
    }

    void longNamesShortenedInTheMiddle()
    {
        QFETCH(QString, host);
        QFETCH(QString, realm);
        QFETCH(bool, shortened);

        frmLogin dlg(request(host, realm));
        const LoginControls c(&dlg);
        const QString full = frmLogin::PromptText(host, realm);
        const QString problem = multiLineClipProblem(c.lblPrompt);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        // The label spans the dialog between equal margins, no wider.
        QCOMPARE(c.lblPrompt->x() + c.lblPrompt->width() + c.lblPrompt->x(), dlg.width());

        if (!shortened) {
            QCOMPARE(c.lblPrompt->text(), full);
            QCOMPARE(c.lblPrompt->toolTip(), QString());
            return;
        }
        QCOMPARE(shownToolTip(c.lblPrompt->toolTip()), full);
        const QStringList shown = c.lblPrompt->text().split(QLatin1Char('\n'));
        const QStringList whole = full.split(QLatin1Char('\n'));
        QCOMPARE(shown.size(), whole.size());
        for (int i = 0; i < whole.size(); ++i) {
            if (shown[i] == whole[i])
                continue;
            // Both ends of the name survive, the middle gives way.
            const qsizetype head = i == 0 ? 0 : 1;                          // 「
            const qsizetype tail = i == 0 ? u8(" へのログイン").size() : 1; // 」
            const qsizetype cut = shown[i].indexOf(QChar(0x2026));
            QVERIFY2(cut >= head + 3 && shown[i].size() - cut - 1 >= tail + 3,
                     qPrintable(shown[i]));
            QVERIFY(whole[i].startsWith(shown[i].left(cut)));
            QVERIFY(whole[i].endsWith(shown[i].mid(cut + 1)));
        }
    }

    void everyCaptionShowsWhole_data()
    {
        QTest::addColumn<QFont>("font");
        QTest::newRow("application font") << QApplication::font();
        QTest::newRow("Noto Sans CJK JP 9") << QFont(QStringLiteral("Noto Sans CJK JP"), 9);
        QTest::newRow("Noto Sans CJK JP 12") << QFont(QStringLiteral("Noto Sans CJK JP"), 12);
        QTest::newRow("DejaVu Sans 10") << QFont(QStringLiteral("DejaVu Sans"), 10);
    }

    void everyCaptionShowsWhole()
    {
        QFETCH(QFont, font);
        const QFont before = QApplication::font();
        QApplication::setFont(font);
        frmLogin dlg(request(QStringLiteral("logs.example.jp"), QStringLiteral("Kestrune test")));
        const LoginControls c(&dlg);
        QApplication::setFont(before);

        QString problem = multiLineClipProblem(c.lblPrompt);
        QVERIFY2(problem.isEmpty(), qPrintable(u8("lblPrompt: ") + problem));
        QCOMPARE(c.lblPrompt->toolTip(), QString());
        for (QLabel *label : {c.lblUser, c.lblPassword}) {
            problem = dialogtest::clipProblem(label);
            QVERIFY2(problem.isEmpty(), qPrintable(label->objectName() + u8(": ") + problem));
        }
        for (QPushButton *button : {c.cmdOK, c.cmdCancel})
            QVERIFY2(QFontMetrics(button->font()).horizontalAdvance(button->text()) + 8
                         <= button->width(),
                     qPrintable(button->objectName()));
        // Nothing overlaps and everything is inside the dialog.
        QVERIFY(c.lblPrompt->geometry().bottom() < c.txtUser->y());
        QVERIFY(c.lblUser->geometry().right() < c.txtUser->x());
        QVERIFY(c.lblPassword->geometry().right() < c.txtPassword->x());
        QVERIFY(c.txtUser->geometry().bottom() < c.txtPassword->y());
        QVERIFY(c.txtPassword->geometry().bottom() < c.cmdOK->y());
        for (QWidget *w : dlg.findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
            QVERIFY2(dlg.rect().contains(w->geometry()), qPrintable(w->objectName()));
    }

    void focus_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("focused");
        QTest::newRow("no user: the user name") << QString() << QStringLiteral("txtUser");
        QTest::newRow("user given: the password") << u8("山田") << QStringLiteral("txtPassword");
    }

    void focus()
    {
        QFETCH(QString, user);
        QFETCH(QString, focused);
        frmLogin dlg(request(QStringLiteral("h"), QString(), false, user));
        const LoginControls c(&dlg);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowActive(&dlg));
        QCOMPARE(c.txtUser->text(), user);
        QCOMPARE(c.txtPassword->text(), QString());
        QCOMPARE(QApplication::focusWidget()->objectName(), focused);
    }

    void answer_data()
    {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("typedUser");
        QTest::addColumn<QString>("typedPassword");
        QTest::addColumn<Finish>("how");
        QTest::addColumn<Answer>("expected");

        QTest::newRow("OK") << QString() << u8("alice") << u8("s3cret pw") << Finish::ClickOK
                            << Answer(LoginAnswer{u8("alice"), u8("s3cret pw")});
        QTest::newRow("Enter") << QString() << u8("DOMAIN\\bob") << u8("p@ss")
                               << Finish::EnterInPassword
                               << Answer(LoginAnswer{u8("DOMAIN\\bob"), u8("p@ss")});
        QTest::newRow("given user kept") << u8("山田") << QString() << u8("pw") << Finish::ClickOK
                                         << Answer(LoginAnswer{u8("山田"), u8("pw")});
        QTest::newRow("empty user and password")
            << QString() << QString() << QString() << Finish::ClickOK << Answer(LoginAnswer{});
        QTest::newRow("cancel") << QString() << u8("alice") << u8("pw") << Finish::ClickCancel
                                << Answer();
        QTest::newRow("escape") << u8("alice") << QString() << u8("pw") << Finish::Escape
                                << Answer();
    }

    void answer()
    {
        QFETCH(QString, given);
        QFETCH(QString, typedUser);
        QFETCH(QString, typedPassword);
        QFETCH(Finish, how);
        QFETCH(Answer, expected);

        frmLogin dlg(request(QStringLiteral("h"), QString(), false, given));
        const LoginControls c(&dlg);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowActive(&dlg));
        QTest::keyClicks(c.txtUser, typedUser);
        QTest::keyClicks(c.txtPassword, typedPassword);
        finish(&dlg, how);
        QVERIFY(!dlg.isVisible());

        const Answer got = dlg.TakeAnswer();
        QCOMPARE(got.has_value(), expected.has_value());
        if (expected) {
            QCOMPARE(got->user, expected->user);
            QCOMPARE(got->password, expected->password);
        }
        // The password is handed over, not kept: the box is empty and a
        // second take gives nothing.
        QCOMPARE(c.txtPassword->text(), QString());
        QVERIFY(!dlg.TakeAnswer().has_value());
    }

    void centredOnParent()
    {
        QWidget parent;
        parent.setGeometry(120, 90, 520, 380);
        parent.show();
        QVERIFY(QTest::qWaitForWindowExposed(&parent));
        frmLogin dlg(request(QStringLiteral("h")), &parent);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        const QPoint offset = dlg.frameGeometry().center() - parent.frameGeometry().center();
        QVERIFY2(offset.manhattanLength() <= 2,
                 qPrintable(QStringLiteral("%1,%2").arg(offset.x()).arg(offset.y())));
    }

    // The production seam: the dialog comes up with the normal pointer, the
    // busy pointer comes back afterwards, and the answer is what was typed.
    void qtSeam_data()
    {
        QTest::addColumn<bool>("busyBefore");
        QTest::addColumn<Finish>("how");
        QTest::addColumn<Answer>("expected");
        QTest::newRow("busy, OK") << true << Finish::ClickOK
                                  << Answer(LoginAnswer{u8("carol"), u8("pw")});
        QTest::newRow("idle, OK") << false << Finish::ClickOK
                                  << Answer(LoginAnswer{u8("carol"), u8("pw")});
        QTest::newRow("busy, escape") << true << Finish::Escape << Answer();
    }

    void qtSeam()
    {
        QFETCH(bool, busyBefore);
        QFETCH(Finish, how);
        QFETCH(Answer, expected);

        QWidget owner;
        owner.show();
        QVERIFY(QTest::qWaitForWindowExposed(&owner));
        if (busyBefore)
            QApplication::setOverrideCursor(Qt::WaitCursor);

        bool shown = false;
        bool normalPointer = false;
        QString prompt;
        QWidget *parent = nullptr;
        whenLoginShows([&](frmLogin *dlg) {
            const LoginControls c(dlg);
            shown = true;
            normalPointer = QApplication::overrideCursor() == nullptr;
            prompt = c.lblPrompt->text();
            parent = dlg->parentWidget();
            QTest::keyClicks(c.txtPassword, QStringLiteral("pw"));
            finish(dlg, how);
        });
        const Answer got = kestrune::ui().askLogin(&owner,
                                                   request(QStringLiteral("proxy.lan"),
                                                           QStringLiteral("r"), true, u8("carol")));

        QVERIFY(shown);
        QVERIFY(normalPointer);
        QCOMPARE(prompt, u8("proxy.lan へのログイン\n「r」"));
        QCOMPARE(parent, &owner);
        QCOMPARE(QApplication::overrideCursor() != nullptr, busyBefore);
        QCOMPARE(got.has_value(), expected.has_value());
        if (expected) {
            QCOMPARE(got->user, expected->user);
            QCOMPARE(got->password, expected->password);
        }
    }
};

QTEST_MAIN(tst_frmLogin)
#include "tst_frmLogin.moc"
