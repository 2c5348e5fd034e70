// SPDX-License-Identifier: GPL-3.0-or-later
#include "state/TrustStore.h"

#include "state/AtomicFile.h"
#include "state/StoredFile.h"

#include <QList>

#include <algorithm>

TrustStore::TrustStore(QString path) : m_path(std::move(path))
{
    reload();
}

QString TrustStore::key(const QString &host, quint16 port)
{
    // Host names are compared without regard to case (RFC 4343).
    return host.toLower() + u' ' + QString::number(port);
}

void TrustStore::reload()
{
    m_always.clear();
    QByteArray text;
    m_unread = StoredFile::read(m_path, &text) == StoredFile::Read::Unreadable;
    parse(text, &m_always);
}

void TrustStore::parse(const QByteArray &text, QHash<QString, QString> *into)
{
    const QList<QByteArray> lines = text.split('\n');
    for (const QByteArray &raw : lines) {
        const QByteArray line = raw.trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> fields = line.simplified().split(' ');
        bool portOk = false;
        const uint port = fields.size() == 3 ? fields[1].toUInt(&portOk) : 0;
        if (!portOk || port == 0 || port > 65535)
            continue;
        into->insert(key(QString::fromUtf8(fields[0]), quint16(port)),
                     QString::fromLatin1(fields[2]).toUpper());
    }
}

bool TrustStore::save()
{
    // The file is rewritten whole: one that cannot be read would lose every
    // fingerprint it holds. One unread at start that reads now keeps its
    // lines beside the new answers.
    QByteArray old;
    switch (StoredFile::read(m_path, &old)) {
    case StoredFile::Read::Unreadable:
        StoredFile::reportUnreadable(m_path);
        return false;
    case StoredFile::Read::Read:
        if (m_unread) {
            QHash<QString, QString> stored;
            parse(old, &stored);
            for (auto it = stored.cbegin(); it != stored.cend(); ++it)
                m_always.insert(it.key(), m_always.value(it.key(), it.value()));
            m_unread = false;
        }
        break;
    case StoredFile::Read::Missing:
        m_unread = false;
        break;
    }
    QByteArray text = "# Trelvan: server certificates trusted always (host port SHA-256)\r\n";
    QStringList keys = m_always.keys();
    std::sort(keys.begin(), keys.end());
    for (const QString &k : keys)
        text += (k + u' ' + m_always.value(k)).toUtf8() + "\r\n";
    return AtomicFile::write(m_path, text);
}

TrustStore::Match TrustStore::match(const QString &host, quint16 port,
                                    const QString &fingerprint) const
{
    const QString k = key(host, port);
    const QString wanted = fingerprint.toUpper();
    if (m_once.value(k) == wanted || m_always.value(k) == wanted)
        return Match::Trusted;
    return m_always.contains(k) ? Match::Changed : Match::Unknown;
}

QString TrustStore::storedFingerprint(const QString &host, quint16 port) const
{
    return m_always.value(key(host, port));
}

bool TrustStore::trustAlways(const QString &host, quint16 port, const QString &fingerprint)
{
    const QString k = key(host, port);
    m_always.insert(k, fingerprint.toUpper());
    m_once.remove(k);
    return save();
}

void TrustStore::trustOnce(const QString &host, quint16 port, const QString &fingerprint)
{
    m_once.insert(key(host, port), fingerprint.toUpper());
}

TrustStore::Answer TrustStore::decide(const QString &host, quint16 port, const QString &fingerprint,
                                      const Ask &ask)
{
    const Match m = match(host, port, fingerprint);
    if (m == Match::Trusted)
        return storedFingerprint(host, port) == fingerprint.toUpper() ? Answer::TrustAlways
                                                                      : Answer::TrustOnce;
    if (fingerprint.isEmpty() || !ask)
        return Answer::Refuse;
    const Answer answer = ask(m == Match::Changed);
    if (answer == Answer::TrustAlways)
        trustAlways(host, port, fingerprint);
    else if (answer == Answer::TrustOnce)
        trustOnce(host, port, fingerprint);
    return answer;
}
