#include "gui/dialogs/frmAbout.h"

#include "base/settings/AppInfo.h"
#include "gui/layout/JapaneseFont.h"
#include "gui/seam/UiSeam.h"
#include "gui/layout/WindowLayout.h"
#include "base/settings/basKestrune.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QMouseEvent>
#include <QShowEvent>
#include <QPalette>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QStandardPaths>
#include <QStyle>
#include <QUrl>

#ifdef Q_OS_WIN
#include <qt_windows.h>

#include <cstring>
#else
#include <unistd.h>
#endif

using kestrune::layout::twips;

#ifndef KESTRUNE_HOME_PAGE
#define KESTRUNE_HOME_PAGE ""
#endif

namespace kestrune {

QString FormatMemoryKB(quint64 kilobytes, const QLocale &locale)
{
    if (kilobytes == 0)
        return QString();
    const QString digits = QString::number(kilobytes);
    const QString separator = locale.groupSeparator();
    QString text;
    for (qsizetype i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            text += separator;
        text += digits.at(i);
    }
    return text;
}

quint64 TotalPhysicalMemoryKB()
{
#ifdef Q_OS_WIN
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof(status);
    if (!GlobalMemoryStatusEx(&status))
        return 0;
    return status.ullTotalPhys / 1024;
#else
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return 0;
    return static_cast<quint64>(pages) * static_cast<quint64>(pageSize) / 1024;
#endif
}

SystemInfoLookup SystemInfoLookup::defaults()
{
    // Desktop system-information and monitoring programs, the most
    // informative first.
    return {{QStringLiteral("hardinfo"), QStringLiteral("gnome-system-monitor"),
             QStringLiteral("plasma-systemmonitor"), QStringLiteral("ksysguard"),
             QStringLiteral("xfce4-taskmanager"), QStringLiteral("mate-system-monitor")},
            {}};
}

QString FindSystemInformationProgram(const SystemInfoLookup &lookup)
{
    for (const QString &name : lookup.candidates) {
        const QString path = QStandardPaths::findExecutable(name, lookup.searchPaths);
        if (!path.isEmpty())
            return path;
    }
    return QString();
}

QString BuildHomePage()
{
    return QStringLiteral(KESTRUNE_HOME_PAGE).trimmed();
}

QUrl AboutAddress(const QString &homePage, const QString &helpFile)
{
    if (!homePage.trimmed().isEmpty())
        return QUrl(homePage.trimmed());
    return QUrl::fromLocalFile(QFileInfo(helpFile).absoluteFilePath());
}

QUrl BrowserAddress(const QUrl &address, const QString &folder)
{
    if (!address.isLocalFile() || folder.isEmpty())
        return address;
    const QFileInfo source(address.toLocalFile());
    const QString suffix = source.suffix().toLower();
    if (suffix == QLatin1String("html") || suffix == QLatin1String("htm"))
        return address;
    QFile in(source.filePath());
    if (!QDir().mkpath(folder) || !in.open(QIODevice::ReadOnly))
        return address;
    QSaveFile out(QDir(folder).filePath(source.completeBaseName() + QStringLiteral(".html")));
    if (!out.open(QIODevice::WriteOnly) || out.write(in.readAll()) < 0 || !out.commit())
        return address;
    return QUrl::fromLocalFile(out.fileName());
}

namespace {

const QString kNoSystemInformation = QStringLiteral("現時点ではｼｽﾃﾑ情報を使用できません");

// The font the web address is shown in: the proportional gothic the dialog
// was drawn with, else the dialog's own Japanese font.
QFont linkFont(const QFont &base)
{
    const QStringList present = QFontDatabase::families();
    QFont font = base;
    for (const QString &name : {QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("MS PGothic")}) {
        if (present.contains(name, Qt::CaseInsensitive)) {
            font.setFamily(name);
            break;
        }
    }
    font.setPointSize(9);
    font.setWeight(QFont::Normal);
    font.setUnderline(true);
    return font;
}

#ifdef Q_OS_WIN
// One registry value as text.  The key is opened for reading only: asking
// for write access as well makes the lookup fail for ordinary users.
bool ReadRegistryValue(HKEY rootKey, const QString &keyName, const QString &valueName,
                       QString &value)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(rootKey, reinterpret_cast<LPCWSTR>(keyName.utf16()), 0, KEY_READ, &key)
        != ERROR_SUCCESS) {
        value.clear();
        return false;
    }
    BYTE buffer[1024] = {};
    DWORD length = sizeof(buffer);
    DWORD type = 0;
    const LONG rc = RegQueryValueExW(key, reinterpret_cast<LPCWSTR>(valueName.utf16()), nullptr,
                                     &type, buffer, &length);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        value.clear();
        return false;
    }
    switch (type) {
    case REG_SZ: {
        QString text = QString::fromWCharArray(reinterpret_cast<const wchar_t *>(buffer),
                                               static_cast<qsizetype>(length / sizeof(wchar_t)));
        if (text.endsWith(QChar(0)))
            text.chop(1);
        value = text;
        break;
    }
    case REG_DWORD: {
        qint32 number = 0;
        std::memcpy(&number, buffer, sizeof(number));
        value = QString::number(number);
        break;
    }
    default: break; // other types leave the text as it was
    }
    return true;
}

// A normal file: hidden and system files count as absent.
bool IsNormalFile(const QString &path)
{
    const DWORD attributes = GetFileAttributesW(reinterpret_cast<LPCWSTR>(path.utf16()));
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    return !(attributes
             & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
}
#endif

} // namespace

frmAbout::frmAbout(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint
                          | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報"));
    setFixedSize(twips(6150, 3435));
    kestrune::uifont::UseJapaneseUiFont(this);
    setSizeGripEnabled(false);

    const auto makeLabel = [this](const char *name, const char *text, const QRect &geometry) {
        auto *label = new QLabel(QString::fromUtf8(text), this);
        label->setObjectName(QLatin1String(name));
        label->setGeometry(geometry);
        return label;
    };
    picIcon = makeLabel("picIcon", "", twips(300, 240, 480, 480));
    picIcon->setAlignment(Qt::AlignCenter);
    lblTitle = makeLabel("lblTitle", "ｱﾌﾟﾘｹｰｼｮﾝ ﾀｲﾄﾙ", twips(1020, 239, 4815, 195));
    lblVersion = makeLabel("lblVersion", "ﾊﾞｰｼﾞｮﾝ", twips(1020, 480, 4815, 195));
    lblCopyright = makeLabel("lblCopyright", "著作権", twips(1020, 720, 4815, 195));
    lblURL = makeLabel("lblURL", "URL", twips(1140, 1800, 330, 180));
    lblDisclaimer = makeLabel("lblDisclaimer", "警告: ...", twips(1020, 2400, 3270, 780));
    lblDisclaimer->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblDisclaimer->setWordWrap(true);

    // The address looks and acts like a link.
    lblURL->setFont(linkFont(font()));
    QPalette linkPalette = lblURL->palette();
    linkPalette.setColor(QPalette::WindowText, QColor(0, 0, 255));
    lblURL->setPalette(linkPalette);
    lblURL->setCursor(Qt::PointingHandCursor);
    lblURL->installEventFilter(this);

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setGeometry(twips(4500, 2400, 1380, 345));
    cmdOK->setDefault(true);
    connect(cmdOK, &QPushButton::clicked, this, &QDialog::accept);

    cmdSysInfo = new QPushButton(QStringLiteral("ｼｽﾃﾑ情報(&S)..."), this);
    cmdSysInfo->setObjectName(QStringLiteral("cmdSysInfo"));
    cmdSysInfo->setGeometry(twips(4500, 2820, 1380, 345));
    cmdSysInfo->setAutoDefault(false);
    connect(cmdSysInfo, &QPushButton::clicked, this, &frmAbout::LaunchSystemInformation);

    setTabOrder(cmdOK, cmdSysInfo);

    // The etched rule: a gray line with a white one, two pixels wide, under it.
    const struct {
        QColor colour;
        QRect geometry;
    } lines[] = {
        {QColor(255, 255, 255), QRect(twips(1020, 2280, 0, 0).topLeft(), QSize(320, 2))},
        {QColor(128, 128, 128), QRect(twips(1020, 2265, 0, 0).topLeft(), QSize(320, 1))},
    };
    for (int i = 0; i < 2; ++i) {
        auto *line = new QWidget(this);
        line->setObjectName(QStringLiteral("Line1_%1").arg(i));
        line->setAutoFillBackground(true);
        QPalette palette = line->palette();
        palette.setColor(QPalette::Window, lines[i].colour);
        line->setPalette(palette);
        line->setGeometry(lines[i].geometry);
        Line1[i] = line;
    }

    cmdOK->setFocus(Qt::OtherFocusReason);
    Form_Load();
}

void frmAbout::Form_Load()
{
    kestrune::ui().setBusyPointer(true);

    setWindowTitle(kestrune::appTitle() + QStringLiteral("のﾊﾞｰｼﾞｮﾝ情報"));
    CentreOnScreen();

    QIcon icon = windowIcon();
    if (icon.isNull())
        icon = style()->standardIcon(QStyle::SP_MessageBoxInformation);
    picIcon->setPixmap(icon.pixmap(picIcon->size()));

    lblTitle->setText(kestrune::appTitle());
    lblVersion->setText(QStringLiteral("Version %1.%2.%3")
                            .arg(kestrune::versionMajor())
                            .arg(kestrune::versionMinor())
                            .arg(kestrune::versionRevision()));
    lblCopyright->setText(kestrune::copyrightText());

    for (QLabel *label : {lblTitle, lblVersion, lblCopyright})
        kestrune::layout::fitLabel(label, width() - label->x() - 4);
    ShowWebAddress();

    lblDisclaimer->setText(QStringLiteral("Windowsが使用できる物理ﾒﾓﾘ: ") + GetPhysicalMemoryText()
                           + QStringLiteral(" KB"));

    kestrune::ui().setBusyPointer(false);
}

void frmAbout::CentreOnScreen()
{
    kestrune::layout::centreOnScreen(this, parentWidget() ? parentWidget()->screen()
                                                          : QGuiApplication::primaryScreen());
}

void frmAbout::ShowWebAddress()
{
    m_address = kestrune::AboutAddress(kestrune::BuildHomePage(), basKestrune::gstrHelpFile);
    const QString text = m_address.toDisplayString();
    // The design size holds only the word "URL"; the label grows to the
    // address, as far as the dialog's right edge.  An address longer still
    // (a manual deep in the folders) gives way in its middle; the tool tip
    // has it whole.
    lblURL->setText(text);
    const int room = width() - lblURL->x() - 4;
    kestrune::layout::fitLabel(lblURL, room);
    const QFontMetrics metrics(lblURL->font());
    if (metrics.horizontalAdvance(text) > lblURL->width()) {
        lblURL->setText(metrics.elidedText(text, Qt::ElideMiddle, lblURL->width()));
        lblURL->setToolTip(text);
    }
}

void frmAbout::showEvent(QShowEvent *event)
{
    // The window frame is known once the window exists: centre again with
    // the outer size.
    if (!m_centredWithFrame) {
        m_centredWithFrame = true;
        CentreOnScreen();
    }
    QDialog::showEvent(event);
}

QString frmAbout::GetPhysicalMemoryText()
{
    return kestrune::FormatMemoryKB(kestrune::TotalPhysicalMemoryKB(), QLocale());
}

void frmAbout::LaunchSystemInformation()
{
    QString program;
#ifdef Q_OS_WIN
    QString value;
    if (ReadRegistryValue(HKEY_LOCAL_MACHINE,
                          QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO"),
                          QStringLiteral("PATH"), value)) {
        program = value; // taken as it is; a missing file fails to start
    } else if (ReadRegistryValue(HKEY_LOCAL_MACHINE,
                                 QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools Location"),
                                 QStringLiteral("MSINFO"), value)) {
        const QString candidate = value + QStringLiteral("\\MSINFO32.EXE");
        if (IsNormalFile(candidate))
            program = candidate;
    }
#else
    program = kestrune::FindSystemInformationProgram(m_lookup);
#endif
    if (!program.isEmpty() && kestrune::ui().startDetached(program, {}))
        return;
    kestrune::ui().messageBox(this, kNoSystemInformation, kestrune::MsgIcon::None,
                              kestrune::appTitle());
}

void frmAbout::OpenWebAddress()
{
    // A failure passes silently, as the desktop shows no error either.
    kestrune::ui().openUrl(kestrune::BrowserAddress(m_address, QStandardPaths::writableLocation(
                                                                   QStandardPaths::CacheLocation)));
}

bool frmAbout::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == lblURL && event->type() == QEvent::MouseButtonRelease) {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::LeftButton
            && lblURL->rect().contains(mouse->position().toPoint())) {
            OpenWebAddress();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace kestrune
