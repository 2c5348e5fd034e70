// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QHash>
#include <QString>

#include <functional>

/// Server certificates the user chose to trust although they did not verify
/// (self-signed, expired, another name): one SHA-256 fingerprint per host and
/// port. "Always" is kept in a file beside the other data files (Trusted.txt;
/// never a password), "once" only until the program ends. A host whose
/// certificate differs from the one trusted for it before is "changed": the
/// user is asked again, told so, and nothing passes by itself.
///
/// File: UTF-8 lines "host port fingerprint", CR LF; lines starting with '#'
/// and lines that do not read are skipped. Written atomically.
class TrustStore
{
public:
    /// What the store knows about a certificate at a host and port.
    enum class Match
    {
        Unknown, ///< nothing trusted for this host and port
        Trusted, ///< this very certificate was trusted (always, or once in this run of the program)
        Changed  ///< another certificate was trusted always for this host and port
    };

    /// The user's answer, and what decide() returns.
    enum class Answer
    {
        Refuse,
        TrustOnce,
        TrustAlways
    };

    /// Asked when the store cannot decide; `changed`: see Match::Changed.
    using Ask = std::function<Answer(bool changed)>;

    /// Reads `path` (a missing or unreadable file means nothing is trusted yet).
    explicit TrustStore(QString path);

    const QString &path() const { return m_path; }

    /// Reads the file again, forgetting "always" answers not in it.
    void reload();

    Match match(const QString &host, quint16 port, const QString &fingerprint) const;

    /// The fingerprint trusted always for host and port, or empty.
    QString storedFingerprint(const QString &host, quint16 port) const;

    /// Trusts the certificate for host and port from now on, replacing any
    /// other, and writes the file. False when the file could not be written,
    /// or exists but cannot be read (it is then left as it is, and reported:
    /// see StoredFile); the trust then holds until the program ends.
    bool trustAlways(const QString &host, quint16 port, const QString &fingerprint);

    /// Trusts the certificate for host and port until the program ends.
    void trustOnce(const QString &host, quint16 port, const QString &fingerprint);

    /// The whole rule for a certificate that did not verify: a trusted one
    /// passes without a question; otherwise `ask` is asked (told whether it
    /// changed) and its answer kept as it says. Refuse when `ask` is empty.
    Answer decide(const QString &host, quint16 port, const QString &fingerprint, const Ask &ask);

private:
    static QString key(const QString &host, quint16 port);
    static void parse(const QByteArray &text, QHash<QString, QString> *into);
    bool save();

    QString m_path;
    QHash<QString, QString> m_always; // "host port" -> fingerprint, as in the file
    QHash<QString, QString> m_once;   // for this run of the program only
    bool m_unread = false;            // the file could not be read when last loaded
};
