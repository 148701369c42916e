#pragma once
// A server program for tests (nginx, tinyproxy): started in the foreground as
// a child process on a free loopback port, with everything it writes in a
// temporary folder, and stopped when the fixture is destroyed (or, should the
// test crash, by the kernel).  Subclasses write the configuration and name
// the command line.

#include <QList>
#include <QPair>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class ServerProcessFixture {
public:
    virtual ~ServerProcessFixture();
    ServerProcessFixture(const ServerProcessFixture &) = delete;
    ServerProcessFixture &operator=(const ServerProcessFixture &) = delete;

    // Starts the server and waits until its port accepts connections.  False
    // (see errorString()) when the program is missing or would not come up;
    // under CI (the variable CI set) that also fails the running test, so
    // the test's QSKIP cannot hide a machine without its servers.
    bool start();
    void stop();
    bool isRunning() const;

    quint16 port() const { return m_port; }
    QString errorString() const { return m_error; }

    // A variable of the server's environment (and its configuration
    // check's), set on top of the test's own; takes effect at the next
    // start().
    void setEnvironmentVariable(const QString &name, const QString &value);

    // The program's path on the PATH or in the system folders; empty when
    // it is not installed.
    static QString findProgram(const QString &name);

protected:
    // name: the program as found on the PATH (or in /usr/sbin); package: the
    // Debian package that brings it, for the error text.
    ServerProcessFixture(QString name, QString package);

    // Writes the configuration for port into folder() and returns the
    // program's arguments; false (with setError) when that failed.
    virtual bool configure(quint16 port, QStringList &arguments) = 0;

    QString executablePath() const { return findProgram(m_name); }
    // The server's environment: the test's, with the variables set.
    QProcessEnvironment environment() const;
    QString folder() const { return m_dir.path(); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }
    void setError(const QString &error) { m_error = error; }
    // Returns false from a start(): fails the running test under CI.
    bool startFailed();
    QByteArray processOutput() { return m_process.readAll(); }
    // A file's bytes (empty when it cannot be read), and a file written whole.
    static QByteArray readAll(const QString &path);
    static bool writeAll(const QString &path, const QByteArray &bytes);
    // Runs the program's own configuration check (checkArguments); false,
    // with its words as the error, when it refuses.  A mistake in a test's
    // snippet would otherwise only show as a server that never comes up.
    bool configurationAccepted(const QStringList &checkArguments);

private:
    bool startOnce();

    QString m_name;
    QString m_package;
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
    QList<QPair<QString, QString>> m_environment; // name, value
};
