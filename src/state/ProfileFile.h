// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <optional>

/// A small reader and writer of "ini" profile files (Settings.ini), behaving
/// like the classic profile-string functions: section and key names match
/// without regard to case; surrounding blanks and one pair of enclosing
/// quotes are dropped on reading; at most 2047 characters of a value arrive;
/// writing one key leaves every other line in place and creates the file and
/// section when missing. Files are UTF-8 and replaced atomically.
class ProfileFile
{
public:
    static constexpr int MaxValueLength = 2047;

    explicit ProfileFile(QString filePath) : m_filePath(std::move(filePath)) {}
    const QString &filePath() const { return m_filePath; }

    /// The value, or defaultValue when the key (or file, or section) is absent.
    QString readString(const QString &section, const QString &key,
                       const QString &defaultValue = {}) const;
    /// False when the file cannot be written, or exists but cannot be read
    /// (then it is reported, see StoredFile); the old file stays intact.
    bool writeString(const QString &section, const QString &key, const QString &value);

    /// Parsing and editing on text, for tests and fuzzing.
    static std::optional<QString> lookup(const QByteArray &text, const QString &section,
                                         const QString &key);
    static QByteArray withValue(const QByteArray &text, const QString &section, const QString &key,
                                const QString &value);

private:
    QString m_filePath;
};
