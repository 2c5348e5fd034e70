#pragma once

#include <QByteArray>
#include <QString>

/// Replaces a file's content all at once: the bytes go to a new file beside
/// it, which is then renamed over the old one. A crash or a full disk leaves
/// the old file intact, and a symbolic link planted at the path is replaced,
/// never written through. The file gets the user's umask.
namespace AtomicFile {

bool write(const QString &path, const QByteArray &content);

} // namespace AtomicFile
