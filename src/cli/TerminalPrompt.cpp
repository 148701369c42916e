#include "cli/TerminalPrompt.h"

#include <QByteArray>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace kestrune::cli {

#ifdef Q_OS_WIN

std::optional<QString> askSecretOnTerminal(const QString &prompt,
                                           const std::function<bool()> &cancelled)
{
    HANDLE in = ::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (in == INVALID_HANDLE_VALUE)
        return std::nullopt;
    HANDLE out = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                               nullptr);
    DWORD mode = 0;
    ::GetConsoleMode(in, &mode);
    ::SetConsoleMode(in, (mode & ~DWORD(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT);
    DWORD written = 0;
    if (out != INVALID_HANDLE_VALUE)
        ::WriteConsoleW(out, prompt.utf16(), DWORD(prompt.size()), &written, nullptr);
    QString line;
    bool ok = true;
    for (;;) {
        if (cancelled && cancelled()) {
            ok = false;
            break;
        }
        if (::WaitForSingleObject(in, 200) != WAIT_OBJECT_0)
            continue;
        wchar_t buffer[256];
        DWORD read = 0;
        if (!::ReadConsoleW(in, buffer, 256, &read, nullptr) || read == 0) {
            ok = false;
            break;
        }
        line += QString::fromWCharArray(buffer, int(read));
        if (line.contains(u'\n'))
            break;
    }
    ::SetConsoleMode(in, mode);
    if (out != INVALID_HANDLE_VALUE) {
        ::WriteConsoleW(out, L"\r\n", 2, &written, nullptr);
        ::CloseHandle(out);
    }
    ::CloseHandle(in);
    if (!ok)
        return std::nullopt;
    return line.section(u'\n', 0, 0).remove(u'\r');
}

#else

std::optional<QString> askSecretOnTerminal(const QString &prompt,
                                           const std::function<bool()> &cancelled)
{
    const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    termios saved{};
    if (::tcgetattr(fd, &saved) != 0) {
        ::close(fd);
        return std::nullopt;
    }
    termios quiet = saved;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    quiet.c_lflag |= ICANON;
    ::tcsetattr(fd, TCSAFLUSH, &quiet);
    const QByteArray text = prompt.toLocal8Bit();
    [[maybe_unused]] ssize_t n = ::write(fd, text.constData(), size_t(text.size()));

    QByteArray line;
    bool ok = true;
    for (;;) {
        if (cancelled && cancelled()) {
            ok = false;
            break;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, 200);
        if (ready < 0 && errno != EINTR) {
            ok = false;
            break;
        }
        if (ready <= 0)
            continue;
        char c = 0;
        const ssize_t got = ::read(fd, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ok = false; // the terminal went away (or Ctrl+D on an empty line)
            break;
        }
        if (c == '\n')
            break;
        line += c;
    }
    ::tcsetattr(fd, TCSAFLUSH, &saved);
    n = ::write(fd, "\n", 1);
    ::close(fd);
    if (!ok)
        return std::nullopt;
    if (line.endsWith('\r'))
        line.chop(1);
    const QString secret = QString::fromLocal8Bit(line);
    line.fill('\0');
    return secret;
}

#endif

} // namespace kestrune::cli
