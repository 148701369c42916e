#include "gui/dialogs/frmSetting.h"

#include "base/settings/AppFiles.h"
#include "base/settings/AppInfo.h"
#include "base/settings/basKestrune.h"
#include "gui/layout/JapaneseFont.h"
#include "gui/seam/UiSeam.h"
#include "gui/dialogs/SettingsWrite.h"
#include "gui/layout/WindowLayout.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFocusEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>

#include <utility>

namespace kestrune {

using namespace basKestrune;
using kestrune::layout::twips;

namespace {

QString g_exeFolderOverride;

const QString kKeyTimeout = QStringLiteral("Timeout");
const QString kKeyProxyAddress = QStringLiteral("ProxyAddress");
const QString kKeyProxyPort = QStringLiteral("ProxyPort");

QLineEdit *makeTextBox(QWidget *container, const char *name, const QRect &geometry)
{
    auto *box = new QLineEdit(container);
    box->setObjectName(QLatin1String(name));
    box->setGeometry(geometry);
    return box;
}

} // namespace

QString frmSetting::ExecutableFolder()
{
    if (!g_exeFolderOverride.isEmpty())
        return g_exeFolderOverride;
    return QCoreApplication::applicationDirPath();
}

void frmSetting::SetExecutableFolder(const QString &folder)
{
    g_exeFolderOverride = folder;
}

frmSetting::frmSetting(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint
                          | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("frmSetting"));
    setFixedSize(twips(5385, 3045));
    kestrune::uifont::UseJapaneseUiFont(this);
    setSizeGripEnabled(false);

    lblWindow = new QLabel(QStringLiteral("稼動環境設定画面"), this);
    lblWindow->setObjectName(QStringLiteral("lblWindow"));
    lblWindow->setGeometry(twips(180, 150, 1440, 180));

    frameCommunication = new QGroupBox(QStringLiteral("通信設定"), this);
    frameCommunication->setObjectName(QStringLiteral("frameCommunication"));
    frameCommunication->setGeometry(twips(150, 510, 5085, 585));

    lblCommunication = new QLabel(QStringLiteral("タイムアウト（秒）："), frameCommunication);
    lblCommunication->setObjectName(QStringLiteral("lblCommunication"));
    lblCommunication->setGeometry(twips(120, 270, 1365, 180));
    lblCommunication->setToolTip(QStringLiteral(
        "この時間内に処理できなかった場合サーバのステータスを初期化します（単位：秒）"));

    txtTimeOut = makeTextBox(frameCommunication, "txtTimeOut", twips(1650, 210, 735, 270));
    txtTimeOut->setToolTip(
        QStringLiteral("この時間内に処理できなかった場合、通信状態を初期化します（単位：秒）"));

    frameProxyServer = new QGroupBox(QStringLiteral("プロキシ サーバー"), this);
    frameProxyServer->setObjectName(QStringLiteral("frameProxyServer"));
    frameProxyServer->setGeometry(twips(150, 1260, 5085, 945));

    lblProxyServer = new QLabel(QStringLiteral("アドレス："), frameProxyServer);
    lblProxyServer->setObjectName(QStringLiteral("lblProxyServer"));
    lblProxyServer->setGeometry(twips(150, 270, 690, 180));

    txtProxyAddress = makeTextBox(frameProxyServer, "txtProxyAddress", twips(1650, 210, 3285, 270));

    lblProxyPort = new QLabel(QStringLiteral("ポート："), frameProxyServer);
    lblProxyPort->setObjectName(QStringLiteral("lblProxyPort"));
    lblProxyPort->setGeometry(twips(150, 540, 555, 180));

    txtProxyPort = makeTextBox(frameProxyServer, "txtProxyPort", twips(1650, 510, 3285, 270));

    const struct {
        const char *caption;
        const char *toolTip;
        QRect geometry;
    } buttons[] = {
        {"保存(&S)", "設定を保存", twips(1590, 2430, 1080, 435)},
        {"ｷｬﾝｾﾙ(&C)", "キャンセル", twips(2880, 2430, 1080, 435)},
    };
    for (int i = 0; i < 2; ++i) {
        auto *button = new QPushButton(QString::fromUtf8(buttons[i].caption), this);
        button->setObjectName(QStringLiteral("cmdButton_%1").arg(i));
        button->setToolTip(QString::fromUtf8(buttons[i].toolTip));
        button->setGeometry(buttons[i].geometry);
        // Neither Enter nor Esc acts on a button of this dialog.
        button->setAutoDefault(false);
        button->setDefault(false);
        connect(button, &QPushButton::clicked, this, [this, i] { cmdButton_Click(i); });
        cmdButton[i] = button;
    }

    // Labels whose text is wider than the box the layout gives them are
    // fitted without moving anything (see WindowLayout.h).
    kestrune::layout::fitLabel(lblWindow, twips(180, 150, 5000, 180).width());
    kestrune::layout::fitLabel(lblCommunication, txtTimeOut->x() - lblCommunication->x() - 2);
    kestrune::layout::fitLabel(lblProxyServer, txtProxyAddress->x() - lblProxyServer->x() - 2);
    kestrune::layout::fitLabel(lblProxyPort, txtProxyPort->x() - lblProxyPort->x() - 2);

    kestrune::layout::inlineFrameCaption(frameCommunication);
    kestrune::layout::inlineFrameCaption(frameProxyServer);

    // Tab order: the time-out, the address, the port, save, cancel.
    setTabOrder(txtTimeOut, txtProxyAddress);
    setTabOrder(txtProxyAddress, txtProxyPort);
    setTabOrder(txtProxyPort, cmdButton[0]);
    setTabOrder(cmdButton[0], cmdButton[1]);

    for (QLineEdit *box : {txtTimeOut, txtProxyAddress, txtProxyPort})
        box->installEventFilter(this);

    Form_Load();
    txtTimeOut->setFocus(Qt::OtherFocusReason);
}

void frmSetting::Form_Load()
{
    setWindowTitle(QStringLiteral("設定 - ") + kestrune::appTitle());

    // A copy the user may not write reads the user's own file once there is
    // one, the system's until then, and saves into the user's.
    const appfiles::Layout files = appfiles::Resolve(ExecutableFolder());
    gstrIniFile = files.iniRead;
    gstrIniSaveFile = files.iniWrite;

    gstrTimeout = ReadIniValue(kSection, kKeyTimeout, gstrIniFile);
    gstrProxyAddress = ReadIniValue(kSection, kKeyProxyAddress, gstrIniFile);
    gstrProxyPort = ReadIniValue(kSection, kKeyProxyPort, gstrIniFile);

    txtTimeOut->setText(gstrTimeout);
    txtProxyAddress->setText(gstrProxyAddress);
    txtProxyPort->setText(gstrProxyPort);
}

void frmSetting::cmdButton_Click(int index)
{
    switch (index) {
    case 0: SaveSettings(); break;
    case 1: QDialog::reject(); break;
    default: break;
    }
}

void frmSetting::FocusTimeOut()
{
    txtTimeOut->setFocus(Qt::OtherFocusReason);
    // When the box had the focus already no focus event comes.
    txtTimeOut->selectAll();
}

void frmSetting::SaveSettings()
{
    const QString timeout = TrimSpaces(txtTimeOut->text());

    // A blank time-out, and one that is no number of seconds that fits the
    // millisecond count, are refused alike: nothing is stored and the
    // globals keep what the file held at opening.
    const TimeoutConversion converted = timeout.isEmpty() ? TimeoutConversion{}
                                                          : ConvertTimeout(timeout);
    if (!converted.milliseconds) {
        kestrune::ui().messageBox(this, QStringLiteral("タイムアウト値（秒）を指定してください。"),
                                  kestrune::MsgIcon::Exclamation, kestrune::appTitle());
        FocusTimeOut();
        return;
    }

    gstrTimeout = timeout;
    glngTimeout = *converted.milliseconds;
    gstrProxyAddress = TrimSpaces(txtProxyAddress->text());
    gstrProxyPort = TrimSpaces(txtProxyPort->text());

    // Without an address the proxy in force stays as it was.
    if (!gstrProxyAddress.isEmpty()) {
        gstrProxy = gstrProxyAddress;
        if (!gstrProxyPort.isEmpty())
            gstrProxy += QLatin1Char(':') + gstrProxyPort;
    }

    // The first failure is reported, once, and ends the save: the keys
    // after it would only fail the same way.  A save that stored nothing is
    // not confirmed.  Either way the program goes on with the new values.
    if (StoreSettings()) {
        kestrune::ui().messageBox(this, QStringLiteral("設定が変更されました！"),
                                  kestrune::MsgIcon::Information, kestrune::appTitle());
    }
    QDialog::accept();
}

bool frmSetting::StoreSettings()
{
    const QString target = gstrIniSaveFile.isEmpty() ? gstrIniFile : gstrIniSaveFile;
    // The user's own file starts as a copy of the system's on its first save.
    if (target != gstrIniFile) {
        QString reason;
        if (!appfiles::PrepareUserSettings(target, gstrIniFile, &reason)) {
            ShowIniWriteError(target, reason);
            return false;
        }
    }
    for (const auto &[key, value] :
         {std::pair{kKeyTimeout, gstrTimeout}, std::pair{kKeyProxyAddress, gstrProxyAddress},
          std::pair{kKeyProxyPort, gstrProxyPort}}) {
        if (WriteIniValue(kSection, key, value, target))
            return false;
    }
    // From now on the settings are read where they were saved.
    gstrIniFile = target;
    return true;
}

bool frmSetting::eventFilter(QObject *watched, QEvent *event)
{
    auto *box = qobject_cast<QLineEdit *>(watched);
    if (box == nullptr)
        return QDialog::eventFilter(watched, event);

    switch (event->type()) {
    case QEvent::FocusIn:
        // Typing replaces the whole text, however the box got the focus.
        box->selectAll();
        if (static_cast<QFocusEvent *>(event)->reason() == Qt::MouseFocusReason)
            m_selectAfterClick = box; // the press itself moves the cursor
        break;
    case QEvent::FocusOut: m_selectAfterClick = nullptr; break;
    case QEvent::MouseButtonRelease:
        if (m_selectAfterClick == box) {
            m_selectAfterClick = nullptr;
            // A drag that selected part of the text keeps its selection.
            if (!box->hasSelectedText())
                box->selectAll();
        }
        break;
    default: break;
    }
    return QDialog::eventFilter(watched, event);
}

void frmSetting::keyPressEvent(QKeyEvent *event)
{
    // Enter and Esc are bound to nothing here.
    switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter: event->accept(); return;
    default: QDialog::keyPressEvent(event);
    }
}

} // namespace kestrune
