// SPDX-License-Identifier: GPL-3.0-or-later
#include "state/AtomicFile.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace AtomicFile {

static mode_t fileMode()
{
    // umask can only be read by setting it; do it once.
    static const mode_t mode = [] {
        const mode_t mask = ::umask(022);
        ::umask(mask);
        return mode_t(0666 & ~mask);
    }();
    return mode;
}

/// Writes content to a new file beside path, synced when asked; its name, or
/// empty.
static QByteArray writeBeside(const QString &path, const QByteArray &content, bool sync)
{
    QByteArray tmp = QFile::encodeName(path) + ".XXXXXX";
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0)
        return {};
    bool ok = ::fchmod(fd, fileMode()) == 0;
    qsizetype done = 0;
    while (ok && done < content.size()) {
        const ssize_t n = ::write(fd, content.constData() + done, size_t(content.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += n;
    }
    ok = ok && (!sync || ::fsync(fd) == 0);
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        ::unlink(tmp.constData());
        return {};
    }
    return tmp;
}

bool write(const QString &path, const QByteArray &content)
{
    Pending pending;
    return pending.prepare(path, content) && pending.commit();
}

bool Pending::prepare(const QString &path, const QByteArray &content, bool sync)
{
    discard();
    m_tmp = writeBeside(path, content, sync);
    m_path = QFile::encodeName(path);
    return !m_tmp.isEmpty();
}

bool Pending::commit()
{
    if (m_tmp.isEmpty())
        return false;
    const bool ok = ::rename(m_tmp.constData(), m_path.constData()) == 0;
    if (ok)
        m_tmp.clear();
    discard();
    return ok;
}

void Pending::discard()
{
    if (!m_tmp.isEmpty())
        ::unlink(m_tmp.constData());
    m_tmp.clear();
}

} // namespace AtomicFile
