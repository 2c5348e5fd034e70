// SPDX-License-Identifier: GPL-3.0-or-later
#include "state/AppPaths.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

namespace {

/// Where the data files go, as the user "nobody" would find it: root may
/// write anywhere, so a read-only folder can only be tried without root.
QString dataDirAsNobody(const QString &exeDir, const QString &configHome)
{
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return "<pipe failed>";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(2);
        qputenv("XDG_CONFIG_HOME", configHome.toUtf8());
        const QByteArray dir = AppPaths::dataDirFor(exeDir).toUtf8();
        if (::write(pipeFds[1], dir.constData(), size_t(dir.size())) != dir.size())
            ::_exit(3);
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    QByteArray out;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
        out.append(buffer, n);
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "<child failed>";
    return QString::fromUtf8(out);
}

TEST(AppPaths, WritableProgramFolderKeepsTheDataFilesBesideTheExecutable)
{
    QTemporaryDir portable;
    EXPECT_EQ(AppPaths::dataDirFor(portable.path()), portable.path() + "/");
    EXPECT_EQ(AppPaths::dataDirFor(portable.path() + "/"), portable.path() + "/");
}

TEST(AppPaths, InstalledCopyKeepsItsFilesInTheUsersConfigFolder)
{
    QTemporaryDir prefix, config;
    QDir(prefix.path()).mkpath("bin");
    QDir(prefix.path()).mkpath("share/trelvan");
    QFile help(prefix.filePath("share/trelvan/Help.html"));
    ASSERT_TRUE(help.open(QIODevice::WriteOnly));
    help.close();
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    const QString dir = AppPaths::dataDirFor(prefix.filePath("bin"));
    qunsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(dir, config.path() + "/trelvan/");
    EXPECT_TRUE(QDir(dir).exists()); // created on demand
}

TEST(AppPaths, ReadOnlyProgramFolderFallsBackToTheConfigFolder)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    QTemporaryDir readOnly, config;
    // Readable by everybody, writable by its owner (root) only.
    QFile::setPermissions(readOnly.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                               QFileDevice::ExeOther);
    QFile::setPermissions(config.path(), QFileDevice::ReadOther | QFileDevice::WriteOther |
                                             QFileDevice::ExeOther | QFileDevice::ReadOwner |
                                             QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_EQ(dataDirAsNobody(readOnly.path(), config.path()), config.path() + "/trelvan/");
    EXPECT_EQ(dataDirAsNobody(config.path(), config.path()), config.path() + "/");
}

} // namespace
