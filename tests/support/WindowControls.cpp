#include "WindowControls.h"

#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QStringList>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>
#include <QWidget>

namespace {

// Looks controls up by object name among a window's children and collects
// what could not be found; done() reports it all at once.
class Lookup {
public:
    Lookup(QWidget *window, const std::source_location &where) : m_window(window), m_where(where) {}

    template <class T>
    T *get(const QString &name)
    {
        const char *type = T::staticMetaObject.className();
        if (!m_window) {
            m_problems.append(QStringLiteral("no window to look for %1 \"%2\" in")
                                  .arg(QLatin1String(type), name));
            return nullptr;
        }
        const QList<T *> found = m_window->findChildren<T *>(name);
        if (found.size() == 1)
            return found.first();
        m_problems.append(found.isEmpty()
                              ? QStringLiteral("no %1 named \"%2\"").arg(QLatin1String(type), name)
                              : QStringLiteral("%1 controls of type %2 named \"%3\"")
                                    .arg(found.size())
                                    .arg(QLatin1String(type), name));
        return nullptr;
    }

    template <class T, std::size_t N>
    std::array<T *, N> array(const QString &pattern, int first = 0)
    {
        std::array<T *, N> controls{};
        for (std::size_t i = 0; i < N; ++i)
            controls[i] = get<T>(pattern.arg(first + int(i)));
        return controls;
    }

    void done() const
    {
        if (m_problems.isEmpty())
            return;
        const QString window = m_window ? m_window->objectName() : QStringLiteral("(none)");
        const QByteArray message = QStringLiteral("controls of %1 missing: %2")
                                       .arg(window, m_problems.join(QStringLiteral("; ")))
                                       .toUtf8();
        QTest::qFail(message.constData(), m_where.file_name(), int(m_where.line()));
        throw MissingControl(message.toStdString());
    }

private:
    QWidget *m_window;
    std::source_location m_where;
    QStringList m_problems;
};

} // namespace

DownloadControls::DownloadControls(QWidget *window, std::source_location where)
{
    Lookup find(window, where);
    fraTarget = find.get<QGroupBox>(QStringLiteral("fraTarget"));
    lblTarget = find.array<QLabel, 2>(QStringLiteral("lblTarget_%1"));
    txtURL = find.get<QLineEdit>(QStringLiteral("txtURL"));
    cmdLoad = find.get<QToolButton>(QStringLiteral("cmdLoad"));
    txtFolder = find.get<QLineEdit>(QStringLiteral("txtFolder"));
    cmdBrowse = find.get<QToolButton>(QStringLiteral("cmdBrowse"));
    fraSource = find.get<QGroupBox>(QStringLiteral("fraSource"));
    brwBrowserView = find.get<QWidget>(QStringLiteral("brwBrowser"));
    txtSource = find.get<QPlainTextEdit>(QStringLiteral("txtSource"));
    txtHtml = find.get<QPlainTextEdit>(QStringLiteral("txtHtml"));
    fraLogfile = find.get<QGroupBox>(QStringLiteral("fraLogfile"));
    lstLogfiles = find.get<QTreeWidget>(QStringLiteral("lstLogfiles"));
    cmdButton = find.array<QToolButton, 6>(QStringLiteral("cmdButton_%1"));
    fraStatus = find.get<QGroupBox>(QStringLiteral("fraStatus"));
    pgrDownload = find.get<QProgressBar>(QStringLiteral("pgrDownload"));
    lblLogCount = find.get<QLabel>(QStringLiteral("lblLogCount"));
    lblAuction = find.get<QLabel>(QStringLiteral("lblAuction"));
    lblLogTotal = find.get<QLabel>(QStringLiteral("lblLogTotal"));
    StatusBar1 = find.get<QStatusBar>(QStringLiteral("StatusBar1"));
    panels = find.array<QLabel, 4>(QStringLiteral("panel_%1"), 1);
    Line1 = find.array<QFrame, 2>(QStringLiteral("Line1_%1"));
    find.done();
}

SettingControls::SettingControls(QWidget *dialog, std::source_location where)
{
    Lookup find(dialog, where);
    lblWindow = find.get<QLabel>(QStringLiteral("lblWindow"));
    frameCommunication = find.get<QGroupBox>(QStringLiteral("frameCommunication"));
    lblCommunication = find.get<QLabel>(QStringLiteral("lblCommunication"));
    txtTimeOut = find.get<QLineEdit>(QStringLiteral("txtTimeOut"));
    frameProxyServer = find.get<QGroupBox>(QStringLiteral("frameProxyServer"));
    lblProxyServer = find.get<QLabel>(QStringLiteral("lblProxyServer"));
    txtProxyAddress = find.get<QLineEdit>(QStringLiteral("txtProxyAddress"));
    lblProxyPort = find.get<QLabel>(QStringLiteral("lblProxyPort"));
    txtProxyPort = find.get<QLineEdit>(QStringLiteral("txtProxyPort"));
    cmdButton = find.array<QPushButton, 2>(QStringLiteral("cmdButton_%1"));
    find.done();
}

AboutControls::AboutControls(QWidget *dialog, std::source_location where)
{
    Lookup find(dialog, where);
    picIcon = find.get<QLabel>(QStringLiteral("picIcon"));
    lblTitle = find.get<QLabel>(QStringLiteral("lblTitle"));
    lblVersion = find.get<QLabel>(QStringLiteral("lblVersion"));
    lblCopyright = find.get<QLabel>(QStringLiteral("lblCopyright"));
    lblURL = find.get<QLabel>(QStringLiteral("lblURL"));
    lblDisclaimer = find.get<QLabel>(QStringLiteral("lblDisclaimer"));
    cmdOK = find.get<QPushButton>(QStringLiteral("cmdOK"));
    cmdSysInfo = find.get<QPushButton>(QStringLiteral("cmdSysInfo"));
    Line1 = find.array<QWidget, 2>(QStringLiteral("Line1_%1"));
    find.done();
}

LoginControls::LoginControls(QWidget *dialog, std::source_location where)
{
    Lookup find(dialog, where);
    lblPrompt = find.get<QLabel>(QStringLiteral("lblPrompt"));
    lblUser = find.get<QLabel>(QStringLiteral("lblUser"));
    txtUser = find.get<QLineEdit>(QStringLiteral("txtUser"));
    lblPassword = find.get<QLabel>(QStringLiteral("lblPassword"));
    txtPassword = find.get<QLineEdit>(QStringLiteral("txtPassword"));
    cmdOK = find.get<QPushButton>(QStringLiteral("cmdOK"));
    cmdCancel = find.get<QPushButton>(QStringLiteral("cmdCancel"));
    find.done();
}
