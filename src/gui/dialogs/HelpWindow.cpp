#include "gui/dialogs/HelpWindow.h"

#include "base/settings/AppInfo.h"
#include "gui/seam/UiSeam.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QStringConverter>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>
#include <QWidget>

#include <optional>

namespace kestrune {

namespace {

class HelpWindow : public QWidget {
public:
    HelpWindow() : QWidget(nullptr, Qt::Window)
    {
        setObjectName(QStringLiteral("HelpWindow"));
        // An open manual never keeps the program running.
        setAttribute(Qt::WA_QuitOnClose, false);
        setWindowTitle(appTitle() + QStringLiteral(" ヘルプ"));
        resize(640, 600);

        m_browser = new QTextBrowser(this);
        m_browser->setObjectName(QStringLiteral("txtHelp"));
        // Links are followed here: anchors inside the manual scroll, web
        // addresses go to the desktop's browser.
        m_browser->setOpenLinks(false);
        connect(m_browser, &QTextBrowser::anchorClicked, this, [this](const QUrl &url) {
            if (url.scheme().isEmpty() || url.isLocalFile()) {
                if (url.hasFragment())
                    m_browser->scrollToAnchor(url.fragment());
                return;
            }
            ui().openUrl(url);
        });

        auto *layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(m_browser);
    }

    void showDocument(const QString &path, const QString &html)
    {
        m_browser->setSearchPaths({QFileInfo(path).absolutePath()});
        m_browser->setHtml(html);
        m_path = path;
    }

    const QString &path() const { return m_path; }

private:
    QTextBrowser *m_browser = nullptr;
    QString m_path;
};

QPointer<HelpWindow> g_window;

// The manual's text, or nothing when it cannot be shown.
std::optional<QString> readManual(const QString &path)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.readAll();
    if (bytes.trimmed().isEmpty())
        return std::nullopt;
    // The manual declares its encoding; UTF-8 when it does not.
    QStringDecoder decoder = QStringDecoder::decoderForHtml(bytes);
    if (!decoder.isValid())
        decoder = QStringDecoder(QStringConverter::Utf8);
    return QString(decoder.decode(bytes));
}

} // namespace

void ShowHelpWindow(QWidget *parent, const QString &helpFile)
{
    const QString path = QFileInfo(helpFile).absoluteFilePath();
    if (g_window && g_window->isVisible() && g_window->path() == path) {
        g_window->showNormal();
        g_window->raise();
        g_window->activateWindow();
        return;
    }

    const auto manual = readManual(path);
    if (!manual) {
        ui().messageBox(parent,
                        QStringLiteral("ヘルプ ファイルを表示できません。\n"
                                       "ファイルが見つからないか、読み込めません。\n\n")
                            + QDir::toNativeSeparators(path),
                        MsgIcon::Exclamation, appTitle());
        return;
    }

    if (!g_window)
        g_window = new HelpWindow;
    g_window->showDocument(path, *manual);
    g_window->showNormal();
    g_window->raise();
    g_window->activateWindow();
}

void CloseHelpWindow()
{
    if (!g_window)
        return;
    HelpWindow *window = g_window;
    g_window = nullptr;
    window->hide();
    delete window;
}

QWidget *CurrentHelpWindow()
{
    if (g_window && g_window->isVisible())
        return g_window;
    return nullptr;
}

} // namespace kestrune
