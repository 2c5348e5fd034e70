// SPDX-License-Identifier: GPL-3.0-or-later
#include "state/StoredFile.h"

#include <QFile>
#include <QMutex>
#include <QSet>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace StoredFile {

namespace {

QMutex g_mutex;
Report g_report;
QSet<QString> g_reported;

} // namespace

Read read(const QString &path, QByteArray *bytes)
{
    bytes->clear();
    // Not blocking: a FIFO planted at the path must not hang the program.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR ? Read::Missing : Read::Unreadable;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    char buffer[65536];
    while (ok) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        bytes->append(buffer, n);
    }
    ::close(fd);
    if (!ok)
        bytes->clear();
    return ok ? Read::Read : Read::Unreadable;
}

void setUnreadableReport(Report report)
{
    const QMutexLocker lock(&g_mutex);
    g_report = std::move(report);
}

void reportUnreadable(const QString &path)
{
    Report report;
    {
        const QMutexLocker lock(&g_mutex);
        if (!g_report || g_reported.contains(path))
            return;
        g_reported.insert(path);
        report = g_report;
    }
    report(path);
}

} // namespace StoredFile
