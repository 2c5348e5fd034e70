// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The real program as the process tests run it: a copy of the executable in
// a sandbox of its own, so its data files live beside it, with HOME, the XDG
// folders and TMPDIR in the sandbox too, so every file the program could
// write lands where the test looks. It runs on the offscreen platform, in
// its unattended mode unless the test says otherwise.

#include "support/FtpTestServer.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sys/stat.h>

/// Whether `path` is a symbolic link, dangling or not.
inline bool isSymlink(const QString &path)
{
    struct stat st
    {
    };
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISLNK(st.st_mode);
}

/// Polls `condition` until it holds, at most `ms`; whether it came to hold.
inline bool waitFor(const std::function<bool()> &condition, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!condition()) {
        if (t.elapsed() > ms)
            return false;
        QThread::msleep(5);
    }
    return true;
}

class Sandbox
{
public:
    Sandbox()
    {
        EXPECT_TRUE(m_dir.isValid());
        for (const char *sub : {"program", "home", "config", "cache", "data", "state", "tmp"})
            QDir(m_dir.path()).mkpath(QString::fromLatin1(sub));
        QDir(m_dir.path()).mkpath(QStringLiteral("runtime"));
        QFile::setPermissions(path(QStringLiteral("runtime")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_exe = program(QStringLiteral("trelvan"));
        EXPECT_TRUE(QFile::copy(QStringLiteral(TRELVAN_EXECUTABLE), m_exe));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("TRELVAN_AUTOMATION"), QStringLiteral("run"));
        environment.insert(QStringLiteral("TRELVAN_INSTANCE_SOCKET"),
                           path(QStringLiteral("runtime/s")));
        const std::pair<const char *, const char *> folders[] = {{"HOME", "home"},
                                                                 {"XDG_CONFIG_HOME", "config"},
                                                                 {"XDG_CACHE_HOME", "cache"},
                                                                 {"XDG_DATA_HOME", "data"},
                                                                 {"XDG_STATE_HOME", "state"},
                                                                 {"XDG_RUNTIME_DIR", "runtime"},
                                                                 {"TMPDIR", "tmp"}};
        for (const auto &[name, folder] : folders)
            environment.insert(QLatin1String(name), path(QLatin1String(folder)));
    }
    ~Sandbox() { stop(); }

    QString path(const QString &name) const { return m_dir.filePath(name); }
    QString program(const QString &name) const { return m_dir.filePath("program/" + name); }

    /// Settings.ini (or `target`) naming `server`, its user and its upload folder.
    void writeSettings(const FtpTestServer &server, const QString &target = {})
    {
        writeFile(target.isEmpty() ? program(QStringLiteral("Settings.ini")) : target,
                  QStringLiteral("[Options]\r\nServer=%1\r\nUser=%2\r\nDestFolder=%3\r\n")
                      .arg(QString::fromStdString(server.serverField()),
                           QString::fromStdString(server.user()),
                           QString::fromStdString(server.uploadFolder()))
                      .toUtf8());
    }

    /// Files.txt listing `files`.
    void writeList(const QStringList &files)
    {
        writeFile(program(QStringLiteral("Files.txt")), (files.join("\r\n") + "\r\n").toUtf8());
    }

    /// What every start gets: the sandbox's folders and the modes above.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();

    /// Starts the program, which logs in with `password`.
    void start(const QString &password, const QStringList &arguments = {})
    {
        environment.insert(QStringLiteral("TRELVAN_PASSWORD"), password);
        m_process = std::make_unique<QProcess>();
        startAnother(*m_process, arguments);
        ASSERT_TRUE(m_process->waitForStarted(10000));
    }

    /// Starts a further process of the program on the same data files, as a
    /// second start by the user; its output is the caller's to read.
    void startAnother(QProcess &process, const QStringList &arguments = {}) const
    {
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(program({}));
        process.start(m_exe, arguments);
    }

    bool isRunning() const { return m_process && m_process->state() != QProcess::NotRunning; }

    /// Waits for the program to end; its exit code.
    int finish(int ms = 120000)
    {
        EXPECT_TRUE(m_process->waitForFinished(ms));
        collect();
        return m_process->exitCode();
    }

    void stop()
    {
        if (isRunning()) {
            m_process->kill();
            m_process->waitForFinished(10000);
            collect();
        }
    }

    /// Everything the program printed on stdout and stderr so far, every start.
    const QByteArray &output() const { return m_output; }
    /// What it printed on stderr alone.
    const QByteArray &errors() const { return m_errors; }

    /// Every file below the sandbox whose bytes hold `needle` (the copy of
    /// the executable aside).
    QStringList filesHolding(const QByteArray &needle) const
    {
        QStringList found;
        QDirIterator it(m_dir.path(), QDir::Files | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString file = it.next();
            if (file != m_exe && !isSymlink(file) && readFile(file).contains(needle))
                found << file;
        }
        return found;
    }

private:
    void collect()
    {
        const QByteArray errors = m_process->readAllStandardError();
        m_output += m_process->readAllStandardOutput() + errors;
        m_errors += errors;
    }

    QTemporaryDir m_dir;
    QString m_exe;
    std::unique_ptr<QProcess> m_process;
    QByteArray m_output;
    QByteArray m_errors;
};
