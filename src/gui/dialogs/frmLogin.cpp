#include "gui/dialogs/frmLogin.h"

#include "base/settings/AppInfo.h"
#include "gui/layout/JapaneseFont.h"
#include "gui/layout/WindowLayout.h"

#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextDocument>

namespace kestrune {

using kestrune::layout::twips;

namespace {

const QString kPromptSuffix = QStringLiteral(" へのログイン");
const QString kRealmOpen = QStringLiteral("「");
const QString kRealmClose = QStringLiteral("」");
const QChar kEllipsis(0x2026);

// The host and the realm come from the network.  Anything that would break
// the prompt's two lines or reorder what is shown is replaced by a space.
QString printable(const QString &text)
{
    QList<uint> codes = text.toUcs4();
    bool changed = false;
    for (uint &code : codes) {
        switch (QChar::category(code)) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            code = ' ';
            changed = true;
            break;
        default: break;
        }
    }
    if (!changed)
        return text;
    return QString::fromUcs4(reinterpret_cast<const char32_t *>(codes.constData()), codes.size());
}

// head + middle + tail in at most room pixels: the middle part loses
// characters from its centre when the whole line would not fit.
QString fitLine(const QFontMetrics &metrics, const QString &head, const QString &middle,
                const QString &tail, int room, bool &elided)
{
    QString line = head + middle + tail;
    if (metrics.horizontalAdvance(line) <= room)
        return line;
    elided = true;
    // Joined text may measure a little wider than its parts: shrink the
    // middle's share until the line fits.
    for (int share = room - metrics.horizontalAdvance(head + tail); share > 0; share -= 2) {
        const QString shortened = metrics.elidedText(middle, Qt::ElideMiddle, share);
        if (shortened.isEmpty())
            break;
        line = head + shortened + tail;
        if (metrics.horizontalAdvance(line) <= room)
            return line;
    }
    return head + kEllipsis + tail;
}

} // namespace

frmLogin::frmLogin(const kestrune::LoginRequest &request, QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint
                          | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("frmLogin"));
    setWindowTitle(kestrune::appTitle());
    kestrune::uifont::UseJapaneseUiFont(this);
    setSizeGripEnabled(false);

    lblPrompt = new QLabel(this);
    lblPrompt->setObjectName(QStringLiteral("lblPrompt"));
    lblPrompt->setGeometry(twips(240, 180, 4320, 600));
    // Never read as markup: the texts come from the server.
    lblPrompt->setTextFormat(Qt::PlainText);
    lblPrompt->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    const auto makeRow = [this](const char *caption, const char *labelName, const char *boxName,
                                int top, QLabel *&label, QLineEdit *&box) {
        label = new QLabel(QString::fromUtf8(caption), this);
        label->setObjectName(QLatin1String(labelName));
        label->setGeometry(twips(240, top + 45, 1200, 180));
        box = new QLineEdit(this);
        box->setObjectName(QLatin1String(boxName));
        box->setGeometry(twips(1500, top, 3060, 270));
        box->setCompleter(nullptr);
        label->setBuddy(box);
    };
    makeRow("ユーザー名：", "lblUser", "txtUser", 900, lblUser, txtUser);
    makeRow("パスワード：", "lblPassword", "txtPassword", 1290, lblPassword, txtPassword);
    txtUser->setInputMethodHints(Qt::ImhNoAutoUppercase | Qt::ImhNoPredictiveText);
    // Password mode also marks the box as sensitive to input methods and
    // keeps its text off the clipboard.
    txtPassword->setEchoMode(QLineEdit::Password);

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setGeometry(twips(2280, 1740, 1080, 375));
    cmdOK->setDefault(true);
    connect(cmdOK, &QPushButton::clicked, this, &QDialog::accept);

    cmdCancel = new QPushButton(QStringLiteral("ｷｬﾝｾﾙ"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setGeometry(twips(3480, 1740, 1080, 375));
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);

    setTabOrder(txtUser, txtPassword);
    setTabOrder(txtPassword, cmdOK);
    setTabOrder(cmdOK, cmdCancel);

    ShowPrompt(request.host, request.realm);

    // A font taller than the layout assumes gets the prompt's lines more
    // room: everything below moves down and the dialog grows by as much.
    QSize size = twips(4800, 2310);
    const QFontMetrics metrics(lblPrompt->font());
    const int lines = int(lblPrompt->text().count(QLatin1Char('\n'))) + 1;
    const int needed = metrics.height() + (lines - 1) * metrics.lineSpacing();
    if (needed > lblPrompt->height()) {
        const int extra = needed - lblPrompt->height();
        lblPrompt->resize(lblPrompt->width(), needed);
        for (QWidget *w : std::initializer_list<QWidget *>{lblUser, txtUser, lblPassword,
                                                           txtPassword, cmdOK, cmdCancel})
            w->move(w->x(), w->y() + extra);
        size.rheight() += extra;
    }
    setFixedSize(size);

    kestrune::layout::fitLabel(lblUser, txtUser->x() - lblUser->x() - 2);
    kestrune::layout::fitLabel(lblPassword, txtPassword->x() - lblPassword->x() - 2);

    txtUser->setText(request.user);
    if (request.user.isEmpty()) {
        txtUser->setFocus(Qt::OtherFocusReason);
    } else {
        txtPassword->setFocus(Qt::OtherFocusReason);
    }
}

QString frmLogin::PromptText(const QString &host, const QString &realm)
{
    QString text = printable(host) + kPromptSuffix;
    if (!realm.isEmpty())
        text += QLatin1Char('\n') + kRealmOpen + printable(realm) + kRealmClose;
    return text;
}

void frmLogin::ShowPrompt(const QString &host, const QString &realm)
{
    // The prompt spans the dialog between its margins; only what would not
    // fit even there is shortened, and then the tool tip has it whole.
    const QFontMetrics metrics(lblPrompt->font());
    const int room = lblPrompt->width();
    bool elided = false;
    QString text = fitLine(metrics, QString(), printable(host), kPromptSuffix, room, elided);
    if (!realm.isEmpty())
        text += QLatin1Char('\n')
                + fitLine(metrics, kRealmOpen, printable(realm), kRealmClose, room, elided);
    lblPrompt->setText(text);

    QString toolTip;
    if (elided) {
        toolTip = PromptText(host, realm);
        // Tool tips that look like markup are shown as markup: keep the
        // server's text literal.
        if (Qt::mightBeRichText(toolTip))
            toolTip = Qt::convertFromPlainText(toolTip, Qt::WhiteSpaceNormal);
    }
    lblPrompt->setToolTip(toolTip);
}

std::optional<kestrune::LoginAnswer> frmLogin::TakeAnswer()
{
    std::optional<kestrune::LoginAnswer> answer;
    if (result() == QDialog::Accepted)
        answer = kestrune::LoginAnswer{txtUser->text(), txtPassword->text()};
    txtPassword->clear();
    // Taken once: a second call has nothing to give.
    setResult(QDialog::Rejected);
    return answer;
}

} // namespace kestrune
