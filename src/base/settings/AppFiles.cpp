#include "base/settings/AppFiles.h"
#include "base/system/SystemError.h"

#include "base/settings/TextCodec.h"
#include "base/settings/basKestrune.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>

#ifdef Q_OS_WIN
#include <QTemporaryFile>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kestrune::appfiles {

namespace {

QString userFolder(const QString &variable, const QString &home, const char *defaultUnderHome)
{
    // Only an absolute path counts; anything else falls back to the default.
    QString base = variable;
    if (base.isEmpty() || QDir::isRelativePath(base)) {
        if (home.isEmpty() || QDir::isRelativePath(home))
            return QString();
        base = home + QLatin1Char('/') + QLatin1String(defaultUnderHome);
    }
    return QDir::cleanPath(base + QLatin1Char('/') + kFolderName);
}

bool isFile(const QString &path)
{
    return QFileInfo(path).isFile();
}

QString withSeparator(const QString &folder)
{
    if (folder.endsWith(QDir::separator()) || folder.endsWith(QLatin1Char('/')))
        return folder;
    return folder + QDir::separator();
}

} // namespace

Environment Environment::current()
{
    Environment env;
#ifdef Q_OS_WIN
    // The per-user store of a program in a protected folder.
    env.home = QDir::fromNativeSeparators(qEnvironmentVariable("LOCALAPPDATA"));
    env.xdgConfigHome = env.home;
    env.xdgStateHome = env.home;
#else
    env.home = qEnvironmentVariable("HOME");
    env.xdgConfigHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    env.xdgStateHome = qEnvironmentVariable("XDG_STATE_HOME");
#endif
    return env;
}

QString UserConfigFolder(const Environment &env)
{
    return userFolder(env.xdgConfigHome, env.home, ".config");
}

QString UserStateFolder(const Environment &env)
{
    return userFolder(env.xdgStateHome, env.home, ".local/state");
}

bool FolderWritable(const QString &folder)
{
#ifdef Q_OS_WIN
    // Permissions on Windows are lists the access bits do not show: try.
    QTemporaryFile probe(folder + QStringLiteral("/.kestrune-probe-XXXXXX"));
    return probe.open();
#else
    return ::access(QFile::encodeName(folder).constData(), W_OK | X_OK) == 0;
#endif
}

Layout Resolve(const QString &exeFolder, const Environment &env, bool exeFolderWritable)
{
    Layout layout;
    const QString besideIni = basKestrune::IniFilePath(exeFolder);
    const QString besideHelp = withSeparator(exeFolder) + kHelpFileName;
    if (exeFolderWritable) {
        layout.iniRead = layout.iniWrite = layout.iniSystem = besideIni;
        layout.helpFile = besideHelp;
        return layout;
    }

    layout.portable = false;
    // The executable in <P>/bin: the system's files under <P>, or for
    // /usr/bin the settings under /etc.
    const QString prefix = QDir::cleanPath(exeFolder + QStringLiteral("/.."));
    const QString etcIni = QStringLiteral("/etc/kestrune/") + basKestrune::kIniFileName;
    layout.iniSystem = besideIni;
    if (!isFile(besideIni)) {
        for (const QString &candidate :
             {prefix + etcIni, QDir::cleanPath(prefix + QStringLiteral("/..")) + etcIni}) {
            if (isFile(candidate)) {
                layout.iniSystem = QDir::toNativeSeparators(QDir::cleanPath(candidate));
                break;
            }
        }
    }
    const QString sharedHelp = prefix + QStringLiteral("/share/kestrune/") + kHelpFileName;
    layout.helpFile = (!isFile(besideHelp) && isFile(sharedHelp))
                          ? QDir::toNativeSeparators(sharedHelp)
                          : besideHelp;

    const QString configFolder = UserConfigFolder(env);
    layout.iniWrite = configFolder.isEmpty()
                          ? layout.iniSystem
                          : QDir::toNativeSeparators(configFolder + QLatin1Char('/')
                                                     + basKestrune::kIniFileName);
    layout.iniRead = isFile(layout.iniWrite) ? layout.iniWrite : layout.iniSystem;
    layout.stateFolder = QDir::toNativeSeparators(UserStateFolder(env));
    return layout;
}

Layout Resolve(const QString &exeFolder)
{
    return Resolve(exeFolder, Environment::current(), FolderWritable(exeFolder));
}

bool MakePrivateFolder(const QString &folder, QString *reason)
{
    const auto fail = [reason](int error) {
        if (reason)
            *reason = SystemErrorText(error);
        return false;
    };
    if (folder.isEmpty())
        return fail(ENOENT);
    if (QFileInfo(folder).isDir())
        return true;
#ifdef Q_OS_WIN
    if (!QDir().mkpath(folder))
        return fail(EACCES);
#else
    // Parents first, each made 0700 when missing, as the base directories ask.
    const QString clean = QDir::cleanPath(folder);
    QString path = clean.startsWith(QLatin1Char('/')) ? QStringLiteral("/") : QString();
    for (const QString &part : clean.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        path += part;
        if (::mkdir(QFile::encodeName(path).constData(), 0700) != 0 && errno != EEXIST)
            return fail(errno);
        path += QLatin1Char('/');
    }
#endif
    if (!QFileInfo(folder).isDir())
        return fail(ENOTDIR);
    return true;
}

bool PrepareUserSettings(const QString &userFile, const QString &systemFile, QString *reason)
{
    if (QFileInfo::exists(userFile))
        return true;
    if (!MakePrivateFolder(QFileInfo(userFile).absolutePath(), reason))
        return false;
    // The system's lines as they are; an unreadable or missing system file
    // gives an empty start, and the save adds its keys.
    QByteArray content;
    QFile system(systemFile);
    if (system.open(QIODevice::ReadOnly))
        content = system.readAll();
    QSaveFile out(userFile);
    errno = 0;
    if (!out.open(QIODevice::WriteOnly)) {
        if (reason)
            *reason = SystemErrorText(errno != 0 ? errno : EACCES);
        return false;
    }
    if (out.write(content) != content.size() || !out.commit()) {
        if (reason)
            *reason = SystemErrorText(errno != 0 ? errno : EIO);
        return false;
    }
    return true;
}

} // namespace kestrune::appfiles
