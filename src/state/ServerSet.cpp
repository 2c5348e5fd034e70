// SPDX-License-Identifier: GPL-3.0-or-later
#include "state/ServerSet.h"

#include "state/ProfileFile.h"

namespace {
const QString OptionsSection = QStringLiteral("Options");
} // namespace

ServerSet::ServerSet(QString settingsFile, QString key)
    : m_settingsFile(std::move(settingsFile)), m_key(std::move(key))
{
    if (!m_settingsFile.isEmpty())
        m_servers = ProfileFile(m_settingsFile)
                        .readString(OptionsSection, m_key)
                        .split(u' ', Qt::SkipEmptyParts);
}

void ServerSet::set(const QString &server, bool member)
{
    if (m_servers.contains(server) == member)
        return;
    if (member)
        m_servers.append(server);
    else
        m_servers.removeAll(server);
    while (m_servers.join(u' ').size() > ProfileFile::MaxValueLength)
        m_servers.removeFirst();
    if (m_settingsFile.isEmpty())
        return;
    // A refused write loses only the memory across restarts.
    ProfileFile(m_settingsFile).writeString(OptionsSection, m_key, m_servers.join(u' '));
}
