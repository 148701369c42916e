#include "RecordingUi.h"

RecordingUi::RecordingUi(bool install)
{
    if (install)
        this->install();
}

RecordingUi::~RecordingUi()
{
    uninstall();
}

void RecordingUi::install()
{
    kestrune::setUi(this);
    m_installed = true;
}

void RecordingUi::uninstall()
{
    if (m_installed) {
        kestrune::setUi(nullptr);
        m_installed = false;
    }
}

void RecordingUi::clear()
{
    messages.clear();
    pointerChanges.clear();
    busy = false;
    helpShown.clear();
    helpQuits = 0;
    launches.clear();
    openedUrls.clear();
    folderRequests.clear();
    loginRequests.clear();
    loginParents.clear();
}

QStringList RecordingUi::messageTexts() const
{
    QStringList texts;
    for (const Message &m : messages)
        texts << m.text;
    return texts;
}

void RecordingUi::messageBox(QWidget *parent, const QString &text, kestrune::MsgIcon icon,
                             const QString &title)
{
    messages.append({parent, text, icon, title});
    if (onMessage)
        onMessage(messages.constLast());
}

void RecordingUi::setBusyPointer(bool isBusy)
{
    pointerChanges.append(isBusy);
    busy = isBusy;
}

void RecordingUi::showHelp(QWidget *parent, const QString &helpFile)
{
    helpShown.append({parent, helpFile});
    if (onShowHelp)
        onShowHelp(parent, helpFile);
}

void RecordingUi::quitHelp()
{
    ++helpQuits;
    if (onQuitHelp)
        onQuitHelp();
}

bool RecordingUi::startDetached(const QString &program, const QStringList &arguments)
{
    launches.append({program, arguments});
    return !failStartDetached;
}

bool RecordingUi::openUrl(const QUrl &url)
{
    openedUrls.append(url);
    return !failOpenUrl;
}

QString RecordingUi::chooseDirectory(QWidget *parent, const QString &title,
                                     const QString &startFolder)
{
    folderRequests.append({parent, title, startFolder});
    if (folderAnswers.isEmpty())
        return QString();
    return folderAnswers.takeFirst();
}

std::optional<kestrune::LoginAnswer> RecordingUi::askLogin(QWidget *parent,
                                                           const kestrune::LoginRequest &request)
{
    loginRequests.append(request);
    loginParents.append(parent);
    if (onLogin)
        onLogin(loginRequests.constLast());
    if (loginAnswers.isEmpty())
        return std::nullopt;
    return loginAnswers.takeFirst();
}
