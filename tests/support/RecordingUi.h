#pragma once
// A UiSeam for tests: records every message box, pointer change, help call,
// program start, address opening, folder and login request, never waits for
// a person, and answers from a script.
//
//     RecordingUi ui;                 // installed until it goes out of scope
//     ui.failStartDetached = true;    // make launches fail
//     ui.folderAnswers << "/tmp/x";   // the next chooseDirectory answer
//     ui.loginAnswers << kestrune::LoginAnswer{"user", "secret"};
//     ... drive the code ...
//     QCOMPARE(ui.messages.size(), 1);
//     QCOMPARE(ui.messages[0].text, QStringLiteral("..."));

#include "gui/seam/UiSeam.h"

#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <optional>

class RecordingUi : public kestrune::UiSeam {
public:
    struct Message {
        QPointer<QWidget> parent;
        QString text;
        kestrune::MsgIcon icon = kestrune::MsgIcon::None;
        QString title;
    };
    struct HelpCall {
        QPointer<QWidget> parent;
        QString helpFile;
    };
    struct Launch {
        QString program;
        QStringList arguments;
    };
    struct FolderRequest {
        QPointer<QWidget> parent;
        QString title;
        QString startFolder;
    };

    // Installs itself as the seam in force (unless install is false) and
    // restores the default seam when destroyed.
    explicit RecordingUi(bool install = true);
    ~RecordingUi() override;
    RecordingUi(const RecordingUi &) = delete;
    RecordingUi &operator=(const RecordingUi &) = delete;

    void install();
    void uninstall();

    // Forgets everything recorded; the scripted answers stay.
    void clear();

    // --- records ---
    QList<Message> messages;
    QList<bool> pointerChanges; // every setBusyPointer argument, in order
    bool busy = false;          // the pointer as the last call left it
    QList<HelpCall> helpShown;
    int helpQuits = 0;
    QList<Launch> launches; // every startDetached call, failed ones included
    QList<QUrl> openedUrls; // every openUrl call, failed ones included
    QList<FolderRequest> folderRequests;
    QList<kestrune::LoginRequest> loginRequests;
    QList<QPointer<QWidget>> loginParents; // the owner of each login request

    // --- script ---
    bool failStartDetached = false;
    bool failOpenUrl = false;
    // Answers of chooseDirectory, first one first; a null QString (also when
    // the list is used up) is a cancelled dialog.
    QStringList folderAnswers;
    // Answers of askLogin, first one first; std::nullopt (also when the list
    // is used up) is a cancelled dialog.
    QList<std::optional<kestrune::LoginAnswer>> loginAnswers;
    // Runs while the login dialog is "open" (after the request has been
    // recorded, before the scripted answer is taken).
    std::function<void(const kestrune::LoginRequest &)> onLogin;
    // Runs while a message box is "open" (after it has been recorded), e.g.
    // to look at the program's state or to press another button meanwhile.
    std::function<void(const Message &)> onMessage;
    // When set, showHelp and quitHelp also run these (e.g. the real help
    // window functions, to test it through the seam).
    std::function<void(QWidget *, const QString &)> onShowHelp;
    std::function<void()> onQuitHelp;

    // Texts of the recorded message boxes, in order.
    QStringList messageTexts() const;

    // --- UiSeam ---
    void messageBox(QWidget *parent, const QString &text, kestrune::MsgIcon icon,
                    const QString &title) override;
    void setBusyPointer(bool busy) override;
    void showHelp(QWidget *parent, const QString &helpFile) override;
    void quitHelp() override;
    bool startDetached(const QString &program, const QStringList &arguments) override;
    bool openUrl(const QUrl &url) override;
    QString chooseDirectory(QWidget *parent, const QString &title,
                            const QString &startFolder) override;
    std::optional<kestrune::LoginAnswer> askLogin(QWidget *parent,
                                                  const kestrune::LoginRequest &request) override;

private:
    bool m_installed = false;
};
