// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

/// Replaces a file's content all at once: the bytes go to a new file beside
/// it, which is then renamed over the old one. A crash or a full disk leaves
/// the old file intact, and a symbolic link planted at the path is replaced,
/// never written through. The file gets the user's umask.
namespace AtomicFile {

bool write(const QString &path, const QByteArray &content);

/// A write in two steps: the new content is made durable beside the file
/// first, and takes the file's place only on commit(). Something that must
/// happen only once the content could be written goes in between; a crash
/// there leaves the old file. Destroyed uncommitted, it leaves the old file.
class Pending
{
public:
    Pending() = default;
    ~Pending() { discard(); }
    Pending(const Pending &) = delete;
    Pending &operator=(const Pending &) = delete;

    /// Writes the content beside `path`, and with `sync` waits until it is
    /// on the disk; false on failure.
    bool prepare(const QString &path, const QByteArray &content, bool sync = true);
    /// Puts the prepared content in the file's place; false on failure.
    bool commit();
    void discard();

private:
    QByteArray m_tmp;
    QByteArray m_path;
};

} // namespace AtomicFile
